// The shared tests' rig natively: Talvik2 on the simulated kernel stack (sim::Talvik2Machine),
// reached through the simulated I/O manager (SimTransport), the colorimeter's vendor answers
// given by its handler from the script. The machine's time is virtual: only a wait moves it.
#pragma once

#include "ClientRig.h"

#include "transport/sim/SimTransport.h"

#include "sim/Talvik2Machine.h"

#include <deque>
#include <mutex>

namespace clientstack {

class SimRig : public ClientRig {
public:
    SimRig();

    // For the cases only a simulated machine allows (virtual time, injected faults).
    ::sim::Talvik2Machine& Machine() { return machine_; }

    talvik::Transport& Transport() override { return transport_; }
    bool Plug(std::string& why) override;
    void Script(const std::vector<Answer>& answers) override;
    void PushInterrupt(const Bytes& bytes) override;
    std::vector<WireRequest> Seen() override;
    void ForgetSeen() override;
    std::int64_t NowMs() override { return machine_.NowMs(); }
    bool Unplug(std::string& why) override;

private:
    ::sim::ControlReply Reply(const USB_SETUP_PACKET& setup, const Bytes& hostData);

    // The handler runs on the kernel's threads, and what it uses outlives the machine.
    std::mutex mu_;
    std::deque<Answer> script_;
    std::vector<WireRequest> seen_;
    ::sim::Talvik2Machine machine_;
    ::sim::Colorimeter* colorimeter_ = nullptr;
    talvik::SimTransport transport_{machine_};
};

} // namespace clientstack
