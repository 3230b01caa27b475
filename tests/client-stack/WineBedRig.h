// The shared tests' rig on Wine's kernel host: Talvik2 on the kernel test bed's virtual bus (the
// bed installed once, by the program's main), a colorimeter plugged through the bus's control
// interface for each test, its vendor answers a bus script, what it saw read from the bus log.
// The client reaches it through its Windows transport, as an application would.
#pragma once

#include "ClientRig.h"

#include "Talvik2Bed.h"

#include "transport/win32/Win32Transport.h"

namespace clientstack {

// The bed the rigs plug into; set before the first test runs.
void UseBed(wk::Talvik2Bed& bed);

class WineBedRig : public ClientRig {
public:
    explicit WineBedRig(wk::Talvik2Bed& bed) : bed_(bed) {}
    // Unplugs a colorimeter still plugged, so that the next test finds only its own.
    ~WineBedRig() override;

    talvik::Transport& Transport() override { return transport_; }
    bool Plug(std::string& why) override;
    void Script(const std::vector<Answer>& answers) override;
    void PushInterrupt(const Bytes& bytes) override;
    std::vector<WireRequest> Seen() override;
    void ForgetSeen() override;
    std::int64_t NowMs() override;
    bool Unplug(std::string& why) override;

private:
    wk::Talvik2Bed& bed_;
    talvik::Win32Transport transport_;
    bool plugged_ = false;
    ULONG port_ = 0;
    std::wstring path_;
    ULONG firstEntry_ = 0; // the bus log's first entry of what Seen reports
};

} // namespace clientstack
