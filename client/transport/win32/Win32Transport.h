// The Windows side of the client's transport: SetupDi to find the colorimeters, CreateFile to
// open one, overlapped DeviceIoControl for every request, CancelIoEx (CancelIo before Vista) to
// cancel one.
#pragma once

#include "talvik/Transport.h"

#include <windows.h>

namespace talvik {

class Win32Transport : public Transport {
public:
    uint32_t ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) override;
    uint32_t Open(const std::string& path, std::unique_ptr<Channel>& channel) override;
};

// An open device handle (opened for overlapped I/O); takes ownership of the handle.
class Win32Channel : public Channel {
public:
    explicit Win32Channel(HANDLE handle);
    ~Win32Channel() override;
    Win32Channel(const Win32Channel&) = delete;
    Win32Channel& operator=(const Win32Channel&) = delete;

    std::unique_ptr<PendingIo> Submit(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength) override;

private:
    HANDLE m_handle;
};

} // namespace talvik
