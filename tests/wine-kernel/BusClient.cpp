#include "BusClient.h"

#include "Harness.h"

#include <cstdlib>
#include <cstring>

namespace wk {

DWORD Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
              DWORD& returned) {
    returned = 0;
    if (!DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                         nullptr))
        return GetLastError();
    return 0;
}

std::string Error(DWORD error) {
    return "error " + std::to_string(error);
}

DWORD ControlWaited(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out,
                    DWORD outSize, DWORD& returned, const std::function<void()>& meanwhile) {
    OVERLAPPED op = {};
    op.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    returned = 0;
    DWORD error = 0;
    if (!DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, nullptr, &op))
        error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        if (meanwhile)
            meanwhile();
        if (WaitForSingleObject(op.hEvent, kIoTimeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(device, &op);
            if (WaitForSingleObject(op.hEvent, kIoTimeoutMs) != WAIT_OBJECT_0) {
                wt::Check(false, "the request ends, cancelled if need be",
                          "control " + std::to_string(code) + " still pending " +
                              std::to_string(kIoTimeoutMs) + " ms after CancelIoEx");
                std::exit(wt::Finish());
            }
        }
        error = GetOverlappedResult(device, &op, &returned, TRUE) ? 0 : GetLastError();
    } else if (error == 0) {
        GetOverlappedResult(device, &op, &returned, TRUE);
    }
    CloseHandle(op.hEvent);
    return error;
}

std::vector<BYTE> ScriptRequest(ULONG port, const std::vector<ScriptRecord>& records) {
    USBBUS_SCRIPT header = {port, ULONG(records.size())};
    std::vector<BYTE> bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    for (const ScriptRecord& r : records) {
        const UCHAR flags = (r.anyRequest ? 0u : USBBUS_MATCH_REQUEST_TYPE | USBBUS_MATCH_REQUEST) |
                            (r.repeats ? USBBUS_RECORD_REPEATS : 0u);
        USBBUS_SCRIPT_RECORD record = {
            flags,        r.requestType, r.request,           BYTE(r.answer),
            r.usbdStatus, r.delayMs,     ULONG(r.data.size())};
        const BYTE* p = reinterpret_cast<const BYTE*>(&record);
        bytes.insert(bytes.end(), p, p + sizeof record);
        bytes.insert(bytes.end(), r.data.begin(), r.data.end());
    }
    return bytes;
}

std::vector<USBBUS_LOG_ENTRY> ReadLog(HANDLE bus, ULONG first) {
    std::vector<USBBUS_LOG_ENTRY> log(USBBUS_LOG_ENTRIES);
    DWORD returned = 0;
    Control(bus, IOCTL_USBBUS_READ_LOG, &first, sizeof first, log.data(),
            DWORD(log.size() * sizeof(USBBUS_LOG_ENTRY)), returned);
    log.resize(returned / sizeof(USBBUS_LOG_ENTRY));
    return log;
}

std::string VendorTraffic(const std::vector<USBBUS_LOG_ENTRY>& log, ULONG port) {
    std::string text;
    bool inVendor = false;
    bool pending = false; // a vendor transfer's setup went out, its end has not been logged
    for (const USBBUS_LOG_ENTRY& e : log) {
        if (e.Port != port || e.EndpointAddress != 0)
            continue;
        if (e.Kind == UsbBusLogSetup) {
            inVendor = (e.Setup.bmRequestType & 0x60) == 0x40;
            pending = inVendor;
            if (inVendor)
                text += " setup " + std::to_string(e.Setup.bmRequestType) + "/" +
                        std::to_string(e.Setup.bRequest) + " value " +
                        std::to_string(e.Setup.wValue) + " length " +
                        std::to_string(e.Setup.wLength);
        } else if (inVendor && e.Kind == UsbBusLogData) {
            text += " data";
            for (ULONG i = 0; i < e.Length && i < USBBUS_LOG_DATA_BYTES; ++i)
                text += " " + std::to_string(e.Data[i]);
        } else if (inVendor && e.Kind == UsbBusLogStatus) {
            text += " status " + std::to_string(static_cast<unsigned long>(e.UsbdStatus));
            pending = false;
        } else if (pending && e.Kind == UsbBusLogCancel) {
            // Only the pending vendor transfer's: the idle notification is cancelled here too.
            text += " cancelled";
            pending = false;
        }
    }
    return text;
}

} // namespace wk
