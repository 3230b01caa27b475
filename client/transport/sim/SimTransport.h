// The client's transport in the simulated system: the simulated kernel's user-mode I/O manager
// (ntsim::UserIo) in place of SetupDi, CreateFile and overlapped DeviceIoControl. Nothing else
// moves the machine's virtual time, so a wait advances it until its request has completed.
#pragma once

#include "talvik/Transport.h"

#include "sim/Machine.h"

#include <functional>

namespace talvik {

// Channels it opens refer to it and to the machine: both must outlive them.
class SimTransport : public Transport {
public:
    explicit SimTransport(::sim::Machine& machine) : m_machine(machine) {}

    // Called after each request has completed and been waited for (talvikctl prints the bus
    // traffic there).
    void SetAfterRequest(std::function<void()> hook) { m_afterRequest = std::move(hook); }

    uint32_t ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) override;
    uint32_t Open(const std::string& path, std::unique_ptr<Channel>& channel) override;

private:
    ::sim::Machine& m_machine;
    std::function<void()> m_afterRequest;
};

} // namespace talvik
