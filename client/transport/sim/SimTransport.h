// The client's transport in the simulated system: the framework layer's user-mode side (the I/O
// manager of the simulated machine) in place of SetupDi, CreateFile and DeviceIoControl.
#pragma once

#include "talvik/Transport.h"

#include <functional>

namespace talvik {

// Channels it opens refer to it: it must outlive them.
class SimTransport : public Transport {
public:
    // Called after each request has completed and been waited for (talvikctl prints the bus
    // traffic there).
    void SetAfterRequest(std::function<void()> hook) { m_afterRequest = std::move(hook); }

    uint32_t ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) override;
    uint32_t Open(const std::string& path, std::unique_ptr<Channel>& channel) override;

private:
    std::function<void()> m_afterRequest;
};

} // namespace talvik
