// The colorimeter driver on the kernel host: the virtual bus is installed on a root device, the
// driver's package (a copy of its INF naming the virtual device's id, with a stand-in of the
// framework's co-installer) goes into the store, a colorimeter is plugged through the bus's
// control interface, and the host loads the driver, which binds to the framework's image
// WDFLDR.SYS. Then a vendor IN and OUT request and an interrupt read go through the driver's
// interface, and the bus log shows them on the wire.
//
//   wt_talvik2.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> <Talvik2.sys>
//                  <WdfCoInstaller01001.dll> [<talvikctl.exe>]
//
// With talvikctl.exe the requests go through the shipped client instead (its output checked
// against the bus log).
// VirtUsbBus.sys, WDFLDR.SYS and Talvik2.sys must already be in %SystemRoot%\system32\drivers.
// This program stays alive for the whole scenario, which keeps the kernel host running.
#include "BusClient.h"
#include "FloorInterface.h"
#include "Talvik2Bed.h"
#include "ToolRun.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <initguid.h>
#include <setupapi.h>
#include <winioctl.h>

#include <TalvikPublic.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using wk::Contains;
using wk::Control;
using wk::ControlWaited;
using wk::Error;
using wk::kIoTimeoutMs;
using wk::ReadLog;
using wk::ScriptRequest;
using wk::VendorTraffic;

const UCHAR kVendorIn = 0xC0;
const UCHAR kVendorOut = 0x40;
const DWORD kToolTimeoutMs = 60000;
// STATUS_CANCELLED (ntstatus.h is the kernel's), as the bus logs a transfer taken back.
const LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
// USBD_STATUS_CANCELED, the end the bus logs after taking a transfer back.
const unsigned long kUsbdCanceled = 0xC0010000ul;
// USBD_STATUS_STALL_PID, as the bus logs a stalled transfer.
const unsigned long kStallPid = 0xC0000004ul;
// The driver's (driver/Talvik.h, driver/Device.cpp).
const ULONGLONG kSendTimeoutMs = 5000;
const DWORD kIdleTimeoutMs = 10000;

// What only a kernel with truly concurrent DPCs, timers and work items shows: a stall, the send
// timeout (the framework's timer cancels the transfer at the bus), and S0 idle (the device
// powered down after the driver's idle timeout and back up for the next request).
void CheckFailuresAndIdle(HANDLE bus, HANDLE device, ULONG port) {
    std::vector<USBBUS_LOG_ENTRY> before = ReadLog(bus, 0);
    ULONG first = before.empty() ? 0 : before.back().Sequence + 1;
    VENDOR_OR_CLASS_REQUEST_CONTROL stalled = {1, 2, 0, 0, 0x23, 0, 0, 0};
    std::vector<BYTE> data(8, 0);
    DWORD returned = 0;
    DWORD error = ControlWaited(device, IOCTL_VENDOR_OR_CLASS_REQUEST, &stalled, sizeof stalled,
                                data.data(), DWORD(data.size()), returned);
    wt::Check(error != 0 && returned == 0, "a stalled vendor request fails", Error(error));

    VENDOR_OR_CLASS_REQUEST_CONTROL unanswered = {1, 2, 0, 0, 0x24, 0, 0, 0};
    ULONGLONG start = GetTickCount64();
    error = ControlWaited(device, IOCTL_VENDOR_OR_CLASS_REQUEST, &unanswered, sizeof unanswered,
                          data.data(), DWORD(data.size()), returned);
    ULONGLONG tookMs = GetTickCount64() - start;
    wt::Check(error != 0 && tookMs + 20 >= kSendTimeoutMs && tookMs < kSendTimeoutMs + 3000,
              "a vendor request the device never answers fails after the driver's 5 s timeout",
              Error(error) + " after " + std::to_string(tookMs) + " ms");
    bool cancelled = false;
    for (const USBBUS_LOG_ENTRY& e : ReadLog(bus, first))
        cancelled = cancelled || (e.Port == port && e.Kind == UsbBusLogCancel);
    wt::Check(cancelled, "the bus log has the timed-out transfer cancelled");

    Sleep(kIdleTimeoutMs + 2000);
    VENDOR_OR_CLASS_REQUEST_CONTROL again = {1, 2, 0, 0, 0x21, 0, 0, 0};
    data.assign(8, 0);
    error = ControlWaited(device, IOCTL_VENDOR_OR_CLASS_REQUEST, &again, sizeof again, data.data(),
                          DWORD(data.size()), returned);
    data.resize(returned);
    wt::Check(error == 0 && data == std::vector<BYTE>{1, 2},
              "after the idle timeout the next vendor request is still answered",
              Error(error) + ", " + std::to_string(returned) + " bytes");
}

// Plugs a colorimeter and waits for the host to start Talvik2 on it (one more interface than
// before); false when it did not. `path` is the new one's interface.
bool PlugColorimeter(HANDLE bus, ULONG& port, std::wstring& path) {
    const std::vector<std::wstring> before = wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK);
    std::vector<BYTE> plug = wk::ColorimeterPlugRequest();
    DWORD returned = 0;
    DWORD error = Control(bus, IOCTL_USBBUS_PLUG, plug.data(), DWORD(plug.size()), &port,
                          sizeof port, returned);
    wt::Check(error == 0, "a colorimeter is plugged into the bus", Error(error));
    std::vector<std::wstring> paths;
    wt::WaitUntil(
        [&] {
            paths = wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK);
            return paths.size() > before.size();
        },
        wk::kPnpTimeoutMs, 100);
    if (!wt::Check(paths.size() == before.size() + 1,
                   "the host started Talvik2 on it, bound to WDFLDR.SYS: its device interface is "
                   "present",
                   std::to_string(paths.size()) + " interfaces, " + std::to_string(before.size()) +
                       " before"))
        return false;
    for (const std::wstring& p : paths)
        if (std::find(before.begin(), before.end(), p) == before.end())
            path = p;
    return true;
}

void CheckColorimeter(HANDLE bus) {
    ULONG first = wk::NextLogSequence(bus);
    ULONG port = 0;
    DWORD returned = 0;
    DWORD error = 0;
    std::wstring path;
    if (!PlugColorimeter(bus, port, path))
        return;
    HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (!wt::Check(device != INVALID_HANDLE_VALUE, "CreateFile opens the colorimeter",
                   Error(GetLastError())))
        return;

    std::vector<BYTE> script = ScriptRequest(port, {{kVendorIn, 0x21, UsbBusAnswerData, {7, 8, 9}},
                                                    {kVendorOut, 0x22, UsbBusAnswerAck, {}},
                                                    {kVendorIn, 0x23, UsbBusAnswerStall, {}},
                                                    {kVendorIn, 0x24, UsbBusAnswerNothing, {}},
                                                    {kVendorIn, 0x21, UsbBusAnswerData, {1, 2}}});
    error = Control(bus, IOCTL_USBBUS_SCRIPT, script.data(), DWORD(script.size()), nullptr, 0,
                    returned);
    wt::Check(error == 0, "the colorimeter's vendor answers are scripted", Error(error));

    VENDOR_OR_CLASS_REQUEST_CONTROL in = {1, 2, 0, 0, 0x21, 0, 0x0102, 0};
    std::vector<BYTE> data(8, 0);
    error = ControlWaited(device, IOCTL_VENDOR_OR_CLASS_REQUEST, &in, sizeof in, data.data(),
                          DWORD(data.size()), returned);
    data.resize(returned);
    wt::Check(error == 0 && data == std::vector<BYTE>{7, 8, 9},
              "a vendor IN request gets the colorimeter's bytes",
              Error(error) + ", " + std::to_string(returned) + " bytes");

    VENDOR_OR_CLASS_REQUEST_CONTROL out = {0, 2, 0, 0, 0x22, 0, 0x0304, 0};
    BYTE sent[] = {0x5A, 0xA5};
    error = ControlWaited(device, IOCTL_VENDOR_OR_CLASS_REQUEST, &out, sizeof out, sent,
                          sizeof sent, returned);
    wt::Check(error == 0, "a vendor OUT request with two bytes is accepted", Error(error));

    BYTE packet[8] = {};
    const BYTE fed[] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5};
    DWORD feedError = ~0u;
    error = ControlWaited(device, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, packet, sizeof packet,
                          returned, [&] {
                              // The read is on its way to the pipe once it is pending here.
                              Sleep(200);
                              feedError = wk::FeedInterrupt(bus, port, {fed, fed + sizeof fed});
                          });
    wt::Check(feedError == 0, "the interrupt endpoint is fed", Error(feedError));
    wt::Check(error == 0 && returned == sizeof fed && std::memcmp(packet, fed, sizeof fed) == 0,
              "an interrupt read gets the fed bytes",
              Error(error) + ", " + std::to_string(returned) + " bytes");

    std::vector<USBBUS_LOG_ENTRY> log = ReadLog(bus, first);
    wt::CheckText(wt::Wide(VendorTraffic(log, port)),
                  L" setup 192/33 value 258 length 8 data 7 8 9 status 0"
                  L" setup 64/34 value 772 length 2 data 90 165 status 0",
                  "the bus log has both vendor requests on the wire, in order");
    bool interrupt = false;
    for (const USBBUS_LOG_ENTRY& e : log)
        interrupt =
            interrupt || (e.Port == port && e.Kind == UsbBusLogData && e.EndpointAddress == 0x81 &&
                          e.Length == sizeof fed && std::memcmp(e.Data, fed, sizeof fed) == 0);
    wt::Check(interrupt, "the bus log has the interrupt transfer on endpoint 0x81");

    CheckFailuresAndIdle(bus, device, port);

    // A read pending at the unplug ends with the device instead of waiting forever.
    OVERLAPPED op = {};
    op.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL started = DeviceIoControl(device, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, packet,
                                   sizeof packet, nullptr, &op);
    DWORD readError = started ? 0 : GetLastError();
    Sleep(200);
    error = Control(bus, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    wt::Check(error == 0, "the colorimeter is unplugged with an interrupt read pending",
              Error(error));
    if (readError == ERROR_IO_PENDING) {
        bool ended = WaitForSingleObject(op.hEvent, kIoTimeoutMs) == WAIT_OBJECT_0;
        if (!ended)
            CancelIoEx(device, &op);
        readError = GetOverlappedResult(device, &op, &returned, TRUE) ? 0 : GetLastError();
        wt::Check(ended && readError != 0, "the pending read fails as the device goes",
                  Error(readError));
    } else {
        wt::Check(false, "the interrupt read was pending at the unplug", Error(readError));
    }
    CloseHandle(op.hEvent);
    CloseHandle(device);
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).empty(); },
                            wk::kPnpTimeoutMs, 100),
              "the host removed its stack: the interface is gone");
}

// talvikctl's output, its exit code first: "exit N: ...".
std::string RunTalvikctl(const std::wstring& ctl, const std::wstring& args) {
    return wk::ToolTranscript(ctl + L" " + args, kToolTimeoutMs);
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Requests the driver turns away before the wire, sent as a program of the user's own would: a
// class request (talvikctl only ever makes vendor ones) and a control code the driver lacks.
void CheckRefused(const std::wstring& path) {
    HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (!wt::Check(device != INVALID_HANDLE_VALUE, "CreateFile opens the colorimeter",
                   Error(GetLastError())))
        return;
    VENDOR_OR_CLASS_REQUEST_CONTROL classRequest = {1, 1, 0, 0, 0x35, 0, 0, 0};
    BYTE data[8] = {};
    DWORD returned = 0;
    DWORD error = ControlWaited(device, IOCTL_VENDOR_OR_CLASS_REQUEST, &classRequest,
                                sizeof classRequest, data, sizeof data, returned);
    wt::Check(error == ERROR_INVALID_FUNCTION && returned == 0,
              "a class request (a key other than vendor-to-device) is refused", Error(error));
    const DWORD unknownCode =
        CTL_CODE(FILE_DEVICE_UNKNOWN, TALVIK_IOCTL_INDEX + 0x3F, METHOD_BUFFERED, FILE_ANY_ACCESS);
    error = ControlWaited(device, unknownCode, &classRequest, sizeof classRequest, data,
                          sizeof data, returned);
    wt::Check(error != 0 && returned == 0, "a control code the driver lacks is refused",
              Error(error));
    CloseHandle(device);
}

// A second colorimeter beside the first: talvikctl lists both, and a request for the second
// (named by its path) reaches its port only.
void CheckSecondColorimeter(HANDLE bus, const std::wstring& ctl, ULONG firstPort,
                            const std::wstring& firstPath) {
    ULONG port = 0;
    std::wstring path;
    if (!PlugColorimeter(bus, port, path))
        return;
    ULONG first = wk::NextLogSequence(bus);
    std::vector<BYTE> script =
        ScriptRequest(port, {{kVendorIn, 0x41, UsbBusAnswerData, {0x0A, 0x0B}}});
    DWORD returned = 0;
    DWORD error = Control(bus, IOCTL_USBBUS_SCRIPT, script.data(), DWORD(script.size()), nullptr, 0,
                          returned);
    wt::Check(error == 0, "the second colorimeter's answer is scripted", Error(error));

    std::string out = Lower(RunTalvikctl(ctl, L"list"));
    wt::Check(Contains(out, "exit 0: 2 colorimeters") && Contains(out, Lower(wt::Utf8(path))) &&
                  Contains(out, Lower(wt::Utf8(firstPath))) && path != firstPath,
              "talvikctl lists both colorimeters", out);
    out = RunTalvikctl(ctl, L"--device \"" + path + L"\" vendor --in --request 0x41 --length 4");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "data    0a 0b"),
              "talvikctl --device PATH reaches the second colorimeter", out);
    std::vector<USBBUS_LOG_ENTRY> log = ReadLog(bus, first);
    wt::CheckText(wt::Wide(VendorTraffic(log, port) + " |" + VendorTraffic(log, firstPort)),
                  L" setup 192/65 value 0 length 4 data 10 11 status 0 |",
                  "the bus log has the request on the second port only");

    error = Control(bus, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    wt::Check(error == 0, "the second colorimeter is unplugged", Error(error));
    wt::Check(
        wt::WaitUntil([] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).size() == 1; },
                      wk::kPnpTimeoutMs, 100),
        "the host removed the second stack only");
}

// The colorimeter pulled out while talvikctl is reading: the first read is answered, the second
// is pending at the removal and ends with the device, the third fails on the handle left; the
// tool ends on its own, and the host goes on serving.
void CheckSurpriseRemovalUnderTalvikctl(HANDLE bus, const std::wstring& ctl, ULONG port) {
    const ULONG first = wk::NextLogSequence(bus);
    DWORD error = wk::FeedInterrupt(bus, port, {0x55, 0x66});
    wt::Check(error == 0, "the interrupt endpoint is fed", Error(error));
    wk::BackgroundTool reading(ctl + L" read --count 3 --length 8", kToolTimeoutMs);
    const bool answered = wt::WaitUntil(
        [&] {
            for (const USBBUS_LOG_ENTRY& e : ReadLog(bus, first))
                if (e.Port == port && e.Kind == UsbBusLogData && e.EndpointAddress == 0x81)
                    return true;
            return false;
        },
        kToolTimeoutMs, 50);
    wt::Check(answered, "talvikctl's first read is answered on the wire");
    Sleep(300); // the second read on its way to the pipe
    DWORD returned = 0;
    error = Control(bus, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    wt::Check(error == 0, "the colorimeter is pulled out under talvikctl's reads", Error(error));
    const std::string out = reading.Finish();
    const size_t second = out.find("read 2/3");
    const std::string after = second == std::string::npos ? "" : out.substr(second);
    wt::Check(Contains(out, "exit 1: ") && Contains(out, "data    55 66") &&
                  (Contains(after.substr(0, after.find("read 3/3")), "status  device gone") ||
                   Contains(after.substr(0, after.find("read 3/3")), "status  cancelled")) &&
                  Contains(out, "read 3/3"),
              "talvikctl's pending read ends with the device and the tool ends on its own", out);
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).empty(); },
                            wk::kPnpTimeoutMs, 100),
              "the host removed its stack: the interface is gone");
    const std::string listed = RunTalvikctl(ctl, L"list");
    wt::Check(Contains(listed, "exit 0: 0 colorimeters"),
              "the host goes on serving: talvikctl lists no colorimeter", listed);
}

// The shipped x64 talvikctl.exe against the driver: it lists the colorimeter by its interface
// class, sends vendor requests both ways and without data, and reads the interrupt pipe; the bus
// log shows the same on the wire, and nothing of the refused requests.
void CheckTalvikctl(HANDLE bus, const std::wstring& ctl, const std::wstring& packageDir) {
    ULONG port = 0;
    std::wstring path;
    if (!PlugColorimeter(bus, port, path))
        return;
    ULONG first = wk::NextLogSequence(bus);
    std::vector<BYTE> script =
        ScriptRequest(port, {{kVendorIn, 0x31, UsbBusAnswerData, {0xDE, 0xAD, 0xBE}},
                             {kVendorOut, 0x32, UsbBusAnswerAck, {}},
                             {kVendorOut, 0x33, UsbBusAnswerAck, {}},
                             {kVendorIn, 0x34, UsbBusAnswerStall, {}},
                             {kVendorIn, 0x35, UsbBusAnswerNothing, {}}});
    DWORD returned = 0;
    DWORD error = Control(bus, IOCTL_USBBUS_SCRIPT, script.data(), DWORD(script.size()), nullptr, 0,
                          returned);
    wt::Check(error == 0, "the colorimeter's vendor answers are scripted", Error(error));

    std::string out = RunTalvikctl(ctl, L"list");
    wt::Check(Contains(out, "exit 0: 1 colorimeter\n") ||
                  Contains(out, "exit 0: 1 colorimeter\r\n"),
              "talvikctl list finds one colorimeter", out);
    wt::Check(Contains(Lower(out), "  0  " + Lower(wt::Utf8(path))),
              "talvikctl lists it by the driver's interface path", out);

    out = RunTalvikctl(ctl, L"vendor --in --request 0x31 --value 0x0102 --length 8");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "status  success (error 0), 3 bytes") &&
                  Contains(out, "data    de ad be"),
              "talvikctl vendor --in prints the colorimeter's bytes", out);
    out = RunTalvikctl(ctl, L"vendor --out --request 0x32 --value 0x0304 --data 5aa5");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "status  success (error 0), 2 bytes"),
              "talvikctl vendor --out sends two bytes", out);
    out = RunTalvikctl(ctl, L"vendor --out --request 0x33 --value 7");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "status  success (error 0), 0 bytes"),
              "talvikctl sends a vendor request without a data stage", out);
    out = RunTalvikctl(ctl, L"vendor --in --request 0x34 --length 4");
    wt::Check(Contains(out, "exit 1: ") && Contains(out, "status  device error"),
              "talvikctl reports a stalled request as the device's error, exit 1", out);
    CheckRefused(path);

    // Held by the bus until the read asks for it.
    const std::vector<BYTE> fed = {0x11, 0x22, 0x33, 0x44};
    error = wk::FeedInterrupt(bus, port, fed);
    wt::Check(error == 0, "the interrupt endpoint is fed", Error(error));
    out = RunTalvikctl(ctl, L"read --length 8");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "status  success (error 0), 4 bytes") &&
                  Contains(out, "data    11 22 33 44"),
              "talvikctl read prints the fed interrupt data", out);

    // The one real-time wait for the driver's timeout.
    const ULONGLONG start = GetTickCount64();
    out = RunTalvikctl(ctl, L"vendor --in --request 0x35 --length 4");
    const ULONGLONG tookMs = GetTickCount64() - start;
    wt::Check(Contains(out, "exit 1: ") && Contains(out, "status  timed out") &&
                  tookMs + 20 >= kSendTimeoutMs && tookMs < kSendTimeoutMs + 5000,
              "talvikctl sees the driver's 5 s timeout of a request the colorimeter never answers",
              out + " after " + std::to_string(tookMs) + " ms");
    out = RunTalvikctl(ctl, L"read --length 8 --cancel-after 300");
    wt::Check(Contains(out, "exit 1: ") && Contains(out, "cancel  after 300 ms") &&
                  Contains(out, "status  cancelled (error 995), 0 bytes"),
              "talvikctl cancels a read nothing answers (CancelIoEx) and reports it cancelled",
              out);

    std::vector<USBBUS_LOG_ENTRY> log = ReadLog(bus, first);
    wt::CheckText(wt::Wide(VendorTraffic(log, port)),
                  L" setup 192/49 value 258 length 8 data 222 173 190 status 0"
                  L" setup 64/50 value 772 length 2 data 90 165 status 0"
                  L" setup 64/51 value 7 length 0 status 0"
                  L" setup 192/52 value 0 length 4 status " +
                      std::to_wstring(kStallPid) +
                      L" setup 192/53 value 0 length 4 cancelled status " +
                      std::to_wstring(kUsbdCanceled),
                  "the bus log has talvikctl's requests on the wire, the timed-out one taken "
                  "back, and none refused");
    bool interrupt = false;
    for (const USBBUS_LOG_ENTRY& e : log)
        interrupt = interrupt ||
                    (e.Port == port && e.Kind == UsbBusLogData && e.EndpointAddress == 0x81 &&
                     e.Length == fed.size() && std::memcmp(e.Data, fed.data(), fed.size()) == 0);
    wt::Check(interrupt, "the bus log has the interrupt transfer on endpoint 0x81");
    bool readCancelled = false;
    for (const USBBUS_LOG_ENTRY& e : log)
        readCancelled =
            readCancelled || (e.Port == port && e.Kind == UsbBusLogCancel &&
                              e.EndpointAddress == 0x81 && e.Status == kStatusCancelled);
    wt::Check(readCancelled, "the bus log has the cancelled read taken back from endpoint 0x81");

    if (wt::Check(wk::ProvideInstallMedia(packageDir),
                  "the package's files are where Wine looks for them on a second install"))
        CheckSecondColorimeter(bus, ctl, port, path);
    CheckSurpriseRemovalUnderTalvikctl(bus, ctl, port);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        wt::Note("usage: wt_talvik2.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> "
                 "<Talvik2.sys> <WdfCoInstaller01001.dll> [<talvikctl.exe>]");
        return 2;
    }
    const wk::Talvik2Files files = wk::Talvik2FilesFrom(argv + 1);
    const std::wstring dir = wt::ScratchDir(L"talvik2");
    wk::Talvik2Bed bed;
    if (bed.Install(files, dir)) {
        if (argc == 7)
            CheckTalvikctl(bed.Bus(), L"\"" + wt::HostPath(argv[6]) + L"\"", dir);
        else
            CheckColorimeter(bed.Bus());
    }
    bed.Uninstall();
    return wt::Finish();
}
