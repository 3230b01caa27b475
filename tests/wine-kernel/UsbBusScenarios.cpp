// The virtual USB bus on the kernel host: SensorInst.exe installs it on a root-enumerated
// device; through its control interface a device is plugged from its descriptors, the host's
// PnP manager enumerates it by its USB ids, and unplugged the host removes it.
//
//   wt_usbbus.exe <SensorInst.exe> <VirtUsbBus.inf>
//
// VirtUsbBus.sys must already be in %SystemRoot%\system32\drivers. This program stays alive for
// the whole scenario, which keeps the Wine session (and the kernel host) running.
#include "FloorInterface.h"
#include "RootDevice.h"
#include "ToolRun.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <setupapi.h>

#include <string>
#include <vector>

namespace {

const wchar_t kBusHardwareId[] = L"Root\\VirtualUsb";
// No INF names it, so the host enumerates the device and loads no driver for it.
const wchar_t kChildHardwareId[] = L"USB\\VID_1209&PID_7A01";
const GUID kControlInterface = USBBUS_CONTROL_INTERFACE_GUID_INIT;
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

DWORD Control(HANDLE bus, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
              DWORD& returned) {
    returned = 0;
    if (!DeviceIoControl(bus, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                         nullptr))
        return GetLastError();
    return 0;
}

std::string Error(DWORD error) {
    return "error " + std::to_string(error);
}

// The bus answers: the log reads back whole records.
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

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        wt::Note("usage: wt_usbbus.exe <SensorInst.exe> <VirtUsbBus.inf>");
        return 2;
    }
    std::wstring tool = L"\"" + wt::HostPath(argv[1]) + L"\"";
    std::wstring dir = wt::ScratchDir(L"usbbus");
    std::wstring inf = dir + L"VirtUsbBus.inf";
    if (!wt::Check(wt::CopyTo(wt::HostPath(argv[2]), inf), "the package is laid out"))
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
