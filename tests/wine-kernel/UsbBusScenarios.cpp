// The virtual USB bus on the kernel host: SensorInst.exe installs it on a root-enumerated
// device; through its control interface a device is plugged from its descriptors, the host's
// PnP manager enumerates it by its USB ids, and unplugged the host removes it. A second device
// gets the tests' function driver from its INF; its vendor requests are answered as a script
// says (data, a stall, a USB error), its interrupt endpoint is fed, and the bus log shows it all.
//
//   wt_usbbus.exe <SensorInst.exe> <VirtUsbBus.inf> <UsbFnTest.inf>
//
// VirtUsbBus.sys and UsbFnTest.sys must already be in %SystemRoot%\system32\drivers. This
// program stays alive for the whole scenario, which keeps the Wine session (and the kernel host)
// running.
#include "BusClient.h"
#include "FloorInterface.h"
#include "RootDevice.h"
#include "ToolRun.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <setupapi.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using wk::Control;
using wk::ControlWaited;
using wk::Error;
using wk::kIoTimeoutMs;
using wk::ReadLog;
using wk::ScriptRequest;

const wchar_t kBusHardwareId[] = L"Root\\VirtualUsb";
// No INF names it, so the host enumerates the device and loads no driver for it.
const wchar_t kChildHardwareId[] = L"USB\\VID_1209&PID_7A01";
const GUID kControlInterface = USBBUS_CONTROL_INTERFACE_GUID_INIT;
// The function driver's contract (tests/ntsim/support/FunctionDriver.h, which needs the kernel's
// headers): its interface class, its controls, and a vendor request's header.
const GUID kFunctionInterface = {
    0x6a1b7d3e, 0x41c2, 0x4f0e, {0x9b, 0x5d, 0x21, 0x7c, 0x88, 0x10, 0x3a, 0x64}};
const DWORD kFnVendorIn = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_READ_ACCESS);
const DWORD kFnReadInterrupt =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_READ_ACCESS);
struct FnVendorRequest {
    UCHAR request;
    USHORT value;
    USHORT index;
};
const LONG kUsbdStall = static_cast<LONG>(0xC0000004L);
const LONG kUsbdCrc = static_cast<LONG>(0xC0000001L);
// The first answer comes on the bus's timer, the way a slow device's does.
const ULONG kAnswerDelayMs = 200;
// {4D36E97D-E325-11CE-BFC1-08002BE10318}
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const DWORD kToolTimeoutMs = 60000;
const DWORD kPnpTimeoutMs = 15000;
// ERROR_NO_SUCH_DEVICE (STATUS_NO_SUCH_DEVICE's), which MinGW's winerror.h lacks.
const DWORD kErrorNoSuchDevice = 433;

std::vector<BYTE> PlugRequest() {
    return {18, 1, 0x00, 0x02, 0, 0,    0,  64, 0x09, 0x12, 0x01, 0x7A, 0x00, 0x01,
            0,  0, 0,    1,    9, 2,    25, 0,  1,    1,    0,    0x80, 50, // configuration
            9,  4, 0,    0,    1, 0xFF, 0,  0,  0,                          // interface
            7,  5, 0x81, 3,    8, 0,    10};                                // endpoint
}

std::vector<BYTE> FunctionPlugRequest() {
    std::vector<BYTE> request = PlugRequest();
    request[10] = 0x02; // product 0x7A02
    return request;
}

bool BusAnswers(HANDLE bus) {
    ULONG first = 0;
    std::vector<USBBUS_LOG_ENTRY> log(USBBUS_LOG_ENTRIES);
    DWORD returned = 0;
    DWORD error = Control(bus, IOCTL_USBBUS_READ_LOG, &first, sizeof first, log.data(),
                          DWORD(log.size() * sizeof(USBBUS_LOG_ENTRY)), returned);
    return error == 0 && returned % sizeof(USBBUS_LOG_ENTRY) == 0;
}

void CheckPlugAndUnplug(HANDLE bus) {
    wt::Check(BusAnswers(bus), "the bus log reads back through the control interface");
    std::vector<BYTE> request = PlugRequest();
    ULONG port = 0;
    DWORD returned = 0;
    DWORD error = Control(bus, IOCTL_USBBUS_PLUG, request.data(), DWORD(request.size()), &port,
                          sizeof port, returned);
    wt::Check(error == 0 && returned == sizeof port && port == 1,
              "a device plugged from its descriptors arrives on port 1",
              Error(error) + ", port " + std::to_string(port));
    wt::Check(wt::WaitUntil([] { return wk::CountPresentDevicesWithId(kChildHardwareId) == 1; },
                            kPnpTimeoutMs, 100),
              "the host enumerated it: a present device with hardware id USB\\VID_1209&PID_7A01");

    request.resize(20);
    error = Control(bus, IOCTL_USBBUS_PLUG, request.data(), DWORD(request.size()), &port,
                    sizeof port, returned);
    wt::Check(error == ERROR_INVALID_PARAMETER, "a truncated plug request is refused",
              Error(error));

    error = Control(bus, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    wt::Check(error == 0, "the device is unplugged", Error(error));
    error = Control(bus, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    wt::Check(error == kErrorNoSuchDevice, "unplugging it again: no such device", Error(error));
    // The host removed the child's stack: its PDO went at REMOVE_DEVICE, which frees the port.
    // (Wine 8.0 keeps the device node listed as present; see the platform notes.)
    request = PlugRequest();
    ULONG again = 0;
    wt::Check(wt::WaitUntil(
                  [&] {
                      Control(bus, IOCTL_USBBUS_PLUG, request.data(), DWORD(request.size()), &again,
                              sizeof again, returned);
                      if (again == 1)
                          return true;
                      Control(bus, IOCTL_USBBUS_UNPLUG, &again, sizeof again, nullptr, 0, returned);
                      return false;
                  },
                  kPnpTimeoutMs, 500),
              "the host removed the unplugged device: plugged again it gets port 1",
              "port " + std::to_string(again));
    wt::Note("device nodes with the id listed present after the unplug: " +
             std::to_string(wk::CountPresentDevicesWithId(kChildHardwareId)));
    error = Control(bus, IOCTL_USBBUS_UNPLUG, &again, sizeof again, nullptr, 0, returned);
    wt::Check(error == 0, "the second device is unplugged", Error(error));
    wt::Check(BusAnswers(bus), "the kernel host is alive: the bus still answers");
}

DWORD VendorIn(HANDLE function, UCHAR request, std::vector<BYTE>& data) {
    FnVendorRequest in = {request, 0, 0};
    DWORD returned = 0;
    DWORD error = ControlWaited(function, kFnVendorIn, &in, sizeof in, data.data(),
                                DWORD(data.size()), returned);
    data.resize(returned);
    return error;
}

// The vendor requests' traffic as the log has it: each setup's request and the status after it.
std::string VendorTraffic(const std::vector<USBBUS_LOG_ENTRY>& log, ULONG port) {
    std::string text;
    for (const USBBUS_LOG_ENTRY& e : log) {
        if (e.Port != port || e.EndpointAddress != 0)
            continue;
        if (e.Kind == UsbBusLogSetup && e.Setup.bmRequestType == 0xC0)
            text += " setup " + std::to_string(e.Setup.bRequest);
        else if (e.Kind == UsbBusLogData && !text.empty())
            text += " data " + std::to_string(e.Length);
        else if (e.Kind == UsbBusLogStatus && !text.empty())
            text += " status " + std::to_string(static_cast<unsigned long>(e.UsbdStatus));
    }
    return text;
}

void CheckScriptedDevice(HANDLE bus, const std::wstring& tool, const std::wstring& inf) {
    // In the driver store first: the host installs it when the device arrives.
    wk::ToolResult install = wk::RunTool(tool + L" \"" + inf + L"\"", kToolTimeoutMs);
    wt::Check(install.started && install.exitCode == 0,
              "SensorInst puts the function driver's package into the store",
              "exit " + std::to_string(install.exitCode) + ": " + install.output);
    ULONG first = 0;
    std::vector<USBBUS_LOG_ENTRY> before = ReadLog(bus, 0);
    if (!before.empty())
        first = before.back().Sequence + 1;

    std::vector<BYTE> request = FunctionPlugRequest();
    ULONG port = 0;
    DWORD returned = 0;
    DWORD error = Control(bus, IOCTL_USBBUS_PLUG, request.data(), DWORD(request.size()), &port,
                          sizeof port, returned);
    wt::Check(error == 0, "a device with the function driver's id is plugged", Error(error));
    std::vector<std::wstring> paths;
    wt::WaitUntil(
        [&] {
            paths = wk::PresentInterfaces(kFunctionInterface);
            return !paths.empty();
        },
        kPnpTimeoutMs, 100);
    if (!wt::Check(paths.size() == 1,
                   "the host started the function driver on it: its interface is present"))
        return;
    HANDLE function = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (!wt::Check(function != INVALID_HANDLE_VALUE, "CreateFile opens the function driver",
                   Error(GetLastError())))
        return;

    std::vector<BYTE> script =
        ScriptRequest(port, {{0xC0, 0x01, UsbBusAnswerData, {0x11, 0x22, 0x33}, 0, kAnswerDelayMs},
                             {0xC0, 0x02, UsbBusAnswerStall, {}, 0, 0},
                             {0xC0, 0x03, UsbBusAnswerError, {}, kUsbdCrc, 0}});
    error = Control(bus, IOCTL_USBBUS_SCRIPT, script.data(), DWORD(script.size()), nullptr, 0,
                    returned);
    wt::Check(error == 0, "the device's answers are scripted", Error(error));
    script.pop_back();
    error = Control(bus, IOCTL_USBBUS_SCRIPT, script.data(), DWORD(script.size()), nullptr, 0,
                    returned);
    wt::Check(error == ERROR_INVALID_PARAMETER, "a script one byte short is refused", Error(error));

    std::vector<BYTE> data(8);
    ULONGLONG start = GetTickCount64();
    error = VendorIn(function, 0x01, data);
    ULONGLONG tookMs = GetTickCount64() - start;
    wt::Check(error == 0 && data == std::vector<BYTE>{0x11, 0x22, 0x33},
              "vendor IN request 1 gets the scripted bytes",
              Error(error) + ", " + std::to_string(data.size()) + " bytes");
    // The tick count moves in steps of up to ~16 ms.
    wt::Check(tookMs + 20 >= kAnswerDelayMs, "...after the scripted delay",
              std::to_string(tookMs) + " ms");
    data.assign(8, 0);
    error = VendorIn(function, 0x02, data);
    wt::Check(error != 0 && data.empty(), "vendor IN request 2 stalls", Error(error));
    data.assign(8, 0);
    error = VendorIn(function, 0x03, data);
    wt::Check(error != 0 && data.empty(), "vendor IN request 3 fails with a USB error",
              Error(error));
    data.assign(8, 0);
    error = VendorIn(function, 0x01, data);
    wt::Check(error != 0, "request 1 again: its answer was used up, the device stalls",
              Error(error));

    BYTE packet[8] = {};
    const BYTE fed[] = {0xA1, 0xA2, 0xA3, 0xA4};
    USBBUS_FEED_IN feedHeader = {port, 0x81, {0, 0, 0}, sizeof fed};
    std::vector<BYTE> feed(sizeof feedHeader);
    std::memcpy(feed.data(), &feedHeader, sizeof feedHeader);
    feed.insert(feed.end(), fed, fed + sizeof fed);
    DWORD feedError = ~0u;
    error =
        ControlWaited(function, kFnReadInterrupt, nullptr, 0, packet, sizeof packet, returned, [&] {
            DWORD fedBytes = 0;
            feedError = Control(bus, IOCTL_USBBUS_FEED_IN, feed.data(), DWORD(feed.size()), nullptr,
                                0, fedBytes);
        });
    wt::Check(feedError == 0, "the interrupt endpoint is fed through the control interface",
              Error(feedError));
    wt::Check(error == 0 && returned == sizeof fed && std::memcmp(packet, fed, sizeof fed) == 0,
              "the pending interrupt read gets the fed bytes",
              Error(error) + ", " + std::to_string(returned) + " bytes");

    std::vector<USBBUS_LOG_ENTRY> log = ReadLog(bus, first);
    std::string traffic = VendorTraffic(log, port);
    std::string expected =
        " setup 1 data 3 status 0 setup 2 status " +
        std::to_string(static_cast<unsigned long>(kUsbdStall)) + " setup 3 status " +
        std::to_string(static_cast<unsigned long>(kUsbdCrc)) + " setup 1 status " +
        std::to_string(static_cast<unsigned long>(kUsbdStall));
    wt::Check(traffic == expected, "the bus log has the vendor requests and their ends in order",
              traffic);
    bool interrupt = false;
    for (const USBBUS_LOG_ENTRY& e : log)
        interrupt =
            interrupt || (e.Port == port && e.Kind == UsbBusLogData && e.EndpointAddress == 0x81 &&
                          e.Length == sizeof fed && std::memcmp(e.Data, fed, sizeof fed) == 0);
    wt::Check(interrupt, "the bus log has the interrupt transfer's bytes on endpoint 0x81");

    CloseHandle(function);
    error = Control(bus, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    wt::Check(error == 0, "the function device is unplugged", Error(error));
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(kFunctionInterface).empty(); },
                            kPnpTimeoutMs, 100),
              "the host removed its stack: the function driver's interface is gone");
    wk::ToolResult uninstall = wk::RunTool(tool + L" /uninstall \"" + inf + L"\"", kToolTimeoutMs);
    wt::Check(uninstall.started && uninstall.exitCode == 0,
              "SensorInst /uninstall takes the function driver's package out of the store",
              "exit " + std::to_string(uninstall.exitCode) + ": " + uninstall.output);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        wt::Note("usage: wt_usbbus.exe <SensorInst.exe> <VirtUsbBus.inf> <UsbFnTest.inf>");
        return 2;
    }
    std::wstring tool = L"\"" + wt::HostPath(argv[1]) + L"\"";
    std::wstring dir = wt::ScratchDir(L"usbbus");
    std::wstring inf = dir + L"VirtUsbBus.inf";
    std::wstring functionInf = dir + L"UsbFnTest.inf";
    if (!wt::Check(wt::CopyTo(wt::HostPath(argv[2]), inf) &&
                       wt::CopyTo(wt::HostPath(argv[3]), functionInf),
                   "the packages are laid out"))
        return wt::Finish();
    // A run cut short earlier leaves its device behind; this one starts from none.
    if (int left = wk::RemoveDevicesWithId(kBusHardwareId))
        wt::Note("removed " + std::to_string(left) + " bus device(s) left from an earlier run");

    wt::Check(wk::CreateRootDevice(kSystemClass, L"System", kBusHardwareId),
              "a root-enumerated device with the bus's hardware id is registered");
    wk::ToolResult install = wk::RunTool(tool + L" \"" + inf + L"\"", kToolTimeoutMs);
    wt::Check(install.started && install.exitCode == 0, "SensorInst installs the bus's package",
              "exit " + std::to_string(install.exitCode) + ": " + install.output);
    std::vector<std::wstring> paths;
    wt::WaitUntil(
        [&] {
            paths = wk::PresentInterfaces(kControlInterface);
            return !paths.empty();
        },
        kPnpTimeoutMs, 100);
    if (wt::Check(paths.size() == 1, "the host loaded the bus: its control interface is present")) {
        HANDLE bus = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        if (wt::Check(bus != INVALID_HANDLE_VALUE, "CreateFile opens the control interface",
                      Error(GetLastError()))) {
            CheckPlugAndUnplug(bus);
            CheckScriptedDevice(bus, tool, functionInf);
            CloseHandle(bus);
        }
    }

    wk::ToolResult uninstall = wk::RunTool(tool + L" /uninstall \"" + inf + L"\"", kToolTimeoutMs);
    wt::Check(uninstall.started && uninstall.exitCode == 0, "SensorInst /uninstall removes it",
              "exit " + std::to_string(uninstall.exitCode) + ": " + uninstall.output);
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(kControlInterface).empty(); },
                            kPnpTimeoutMs, 100),
              "the control interface is gone");
    return wt::Finish();
}
