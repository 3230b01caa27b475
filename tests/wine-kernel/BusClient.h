// What a scenario does with the virtual bus and with a device's interface from user mode: a
// device-control request, one that is given up (and cancelled) when the host does not end it,
// an answer script for a plugged device, and the bus log.
#pragma once

#include <windows.h>

#include <usbbus/BusControl.h>

#include <functional>
#include <string>
#include <vector>

namespace wk {

// Synchronous DeviceIoControl: 0 or the Win32 error.
DWORD Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
              DWORD& returned);
std::string Error(DWORD error);

// How long a scenario waits for a request before it cancels it, and then for the cancellation.
constexpr DWORD kIoTimeoutMs = 10000;

// One request on an overlapped handle, given up (and cancelled) after kIoTimeoutMs; `meanwhile`
// runs while it is pending. One that even its cancellation does not end is stuck in the kernel
// host: the scenario ends there (a failed check), since the request may still write into the
// caller's buffers.
DWORD ControlWaited(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out,
                    DWORD outSize, DWORD& returned, const std::function<void()>& meanwhile = {});

// One answer of a script: for control transfers of this type and request, or for any.
struct ScriptRecord {
    UCHAR requestType;
    UCHAR request;
    USBBUS_ANSWER answer;
    std::vector<BYTE> data; // UsbBusAnswerData
    LONG usbdStatus = 0;    // UsbBusAnswerError
    ULONG delayMs = 0;
    bool repeats = false;    // never used up
    bool anyRequest = false; // matches whatever the type and request
};
// The input of IOCTL_USBBUS_SCRIPT for the device on `port`.
std::vector<BYTE> ScriptRequest(ULONG port, const std::vector<ScriptRecord>& records);

// The bus log from sequence number `first` on.
std::vector<USBBUS_LOG_ENTRY> ReadLog(HANDLE bus, ULONG first);

// The vendor requests on `port` as the bus log has them: each setup (type, request, value,
// length), the data moved and the status after it, e.g. " setup 192/49 value 258 length 8 data
// 222 173 190 status 0", or " cancelled" for one taken back before it ended.
std::string VendorTraffic(const std::vector<USBBUS_LOG_ENTRY>& log, ULONG port);

} // namespace wk
