#include "Talvik2Bed.h"

#include "BusClient.h"
#include "FloorInterface.h"
#include "RootDevice.h"
#include "ToolRun.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <initguid.h>
#include <winioctl.h>

#include <TalvikPublic.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace wk {

const char kColorimeterId[] = "USB\\VID_1209&PID_7A03";

namespace {

const wchar_t kBusHardwareId[] = L"Root\\VirtualUsb";
const char kPlaceholderId[] = "USB\\VID_XXXX&PID_XXXX";
const GUID kControlInterface = USBBUS_CONTROL_INTERFACE_GUID_INIT;
// {4D36E97D-E325-11CE-BFC1-08002BE10318}
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const DWORD kToolTimeoutMs = 60000;

// The driver's INF as the test bed installs it: the placeholder hardware id made the virtual
// colorimeter's. Everything else stays as the INF says it to Windows.
bool WriteTestInf(const std::wstring& from, const std::wstring& to) {
    std::ifstream in(wt::Utf8(from).c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string inf = text.str();
    size_t at = inf.find(kPlaceholderId);
    if (!in || at == std::string::npos)
        return false;
    inf.replace(at, std::strlen(kPlaceholderId), kColorimeterId);
    std::ofstream out(wt::Utf8(to).c_str(), std::ios::binary);
    out << inf;
    return bool(out);
}

// The catalog the INF names: the store adds it beside the INF, so a package without it is
// refused; an unsigned test bed has nothing to put in it.
bool WriteEmptyCatalog(const std::wstring& path) {
    std::ofstream out(wt::Utf8(path).c_str(), std::ios::binary);
    return bool(out);
}

bool RunSensorInst(const std::wstring& tool, const std::wstring& args, const std::string& what) {
    ToolResult run = RunTool(tool + L" " + args, kToolTimeoutMs);
    return wt::Check(run.started && run.exitCode == 0, what,
                     "exit " + std::to_string(run.exitCode) + ": " + run.output);
}

} // namespace

std::vector<BYTE> ColorimeterPlugRequest() {
    return {18, 1, 0x00, 0x02, 0, 0,    0,  64, 0x09, 0x12, 0x03, 0x7A, 0x00, 0x01,
            0,  0, 0,    1,    9, 2,    25, 0,  1,    1,    0,    0xA0, 50, // configuration
            9,  4, 0,    0,    1, 0xFF, 0,  0,  0,                          // interface
            7,  5, 0x81, 3,    8, 0,    10};                                // endpoint
}

bool LayOutTalvik2Package(const Talvik2Files& files, const std::wstring& packageDir) {
    CreateDirectoryW(packageDir.c_str(), nullptr);
    return WriteTestInf(files.driverInf, packageDir + L"Talvik2.inf") &&
           wt::CopyTo(files.driverSys, packageDir + L"Talvik2.sys") &&
           wt::CopyTo(files.coInstaller, packageDir + L"WdfCoInstaller01001.dll") &&
           WriteEmptyCatalog(packageDir + L"Talvik2.cat");
}

bool Talvik2Bed::Install(const Talvik2Files& files, const std::wstring& packageDir,
                         const std::wstring& busDir) {
    if (!wt::Check(LayOutTalvik2Package(files, packageDir),
                   "Talvik2's package is laid out, its INF naming the virtual colorimeter") ||
        !InstallBus(files, busDir.empty() ? packageDir : busDir))
        return false;
    // No colorimeter is present yet: the driver's package only goes into the store.
    driverInf_ = packageDir + L"Talvik2.inf";
    return RunSensorInst(tool_, L"\"" + driverInf_ + L"\"",
                         "SensorInst puts Talvik2's package into the store");
}

bool Talvik2Bed::InstallBus(const Talvik2Files& files, const std::wstring& busDir) {
    tool_ = L"\"" + files.sensorInst + L"\"";
    busInf_ = busDir + L"VirtUsbBus.inf";
    if (!wt::Check(wt::CopyTo(files.busInf, busInf_), "the bus's package is laid out"))
        return false;
    if (int left = RemoveDevicesWithId(kBusHardwareId))
        wt::Note("removed " + std::to_string(left) + " bus device(s) left from an earlier run");
    wt::Check(CreateRootDevice(kSystemClass, L"System", kBusHardwareId),
              "a root-enumerated device with the bus's hardware id is registered");
    RunSensorInst(tool_, L"\"" + busInf_ + L"\"", "SensorInst installs the bus's package");
    std::vector<std::wstring> paths;
    wt::WaitUntil(
        [&] {
            paths = PresentInterfaces(kControlInterface);
            return !paths.empty();
        },
        kPnpTimeoutMs, 100);
    if (!wt::Check(paths.size() == 1, "the host loaded the bus: its control interface is present"))
        return false;
    bus_ = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
    return wt::Check(bus_ != INVALID_HANDLE_VALUE, "CreateFile opens the control interface",
                     Error(GetLastError()));
}

void Talvik2Bed::Uninstall() {
    if (bus_ != INVALID_HANDLE_VALUE)
        CloseHandle(bus_);
    bus_ = INVALID_HANDLE_VALUE;
    if (!driverInf_.empty())
        RunSensorInst(tool_, L"/uninstall \"" + driverInf_ + L"\"",
                      "SensorInst /uninstall takes Talvik2's package out of the store");
    if (!busInf_.empty())
        RunSensorInst(tool_, L"/uninstall \"" + busInf_ + L"\"",
                      "SensorInst /uninstall removes the bus");
}

bool Talvik2Bed::Plug(ULONG& port, std::wstring& path, std::string& why,
                      const std::function<bool(ULONG port, std::string& why)>& arrived) {
    const std::vector<std::wstring> before = PresentInterfaces(GUID_DEVINTERFACE_TALVIK);
    std::vector<BYTE> plug = ColorimeterPlugRequest();
    DWORD returned = 0;
    DWORD error = Control(bus_, IOCTL_USBBUS_PLUG, plug.data(), DWORD(plug.size()), &port,
                          sizeof port, returned);
    if (error != 0) {
        why = "plugging failed: " + Error(error);
        return false;
    }
    if (arrived && !arrived(port, why))
        return false;
    std::vector<std::wstring> paths;
    wt::WaitUntil(
        [&] {
            paths = PresentInterfaces(GUID_DEVINTERFACE_TALVIK);
            return paths.size() > before.size();
        },
        kPnpTimeoutMs, 20);
    if (paths.size() != before.size() + 1) {
        why = std::to_string(paths.size()) + " interfaces, " + std::to_string(before.size()) +
              " before";
        return false;
    }
    for (const std::wstring& p : paths)
        if (std::find(before.begin(), before.end(), p) == before.end())
            path = p;
    return true;
}

bool Talvik2Bed::Unplug(ULONG port, std::string& why) {
    DWORD returned = 0;
    DWORD error = Control(bus_, IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, returned);
    if (error != 0)
        why = "unplugging failed: " + Error(error);
    return error == 0;
}

DWORD Talvik2Bed::FeedInterrupt(ULONG port, const std::vector<BYTE>& bytes) {
    return wk::FeedInterrupt(bus_, port, bytes);
}

ULONG Talvik2Bed::NextLogSequence() {
    return wk::NextLogSequence(bus_);
}

DWORD FeedInterrupt(HANDLE bus, ULONG port, const std::vector<BYTE>& bytes) {
    USBBUS_FEED_IN header = {port, 0x81, {0, 0, 0}, ULONG(bytes.size())};
    std::vector<BYTE> feed(sizeof header);
    std::memcpy(feed.data(), &header, sizeof header);
    feed.insert(feed.end(), bytes.begin(), bytes.end());
    DWORD returned = 0;
    return Control(bus, IOCTL_USBBUS_FEED_IN, feed.data(), DWORD(feed.size()), nullptr, 0,
                   returned);
}

ULONG NextLogSequence(HANDLE bus) {
    std::vector<USBBUS_LOG_ENTRY> before = ReadLog(bus, 0);
    return before.empty() ? 0 : before.back().Sequence + 1;
}

bool ProvideInstallMedia(const std::wstring& packageDir) {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const std::wstring inf = std::wstring(windows) + L"\\inf\\";
    return wt::CopyTo(packageDir + L"Talvik2.sys", inf + L"Talvik2.sys") &&
           wt::CopyTo(packageDir + L"WdfCoInstaller01001.dll", inf + L"WdfCoInstaller01001.dll");
}

Talvik2Files Talvik2FilesFrom(char** args) {
    return {wt::HostPath(args[0]), wt::HostPath(args[1]), wt::HostPath(args[2]),
            wt::HostPath(args[3]), wt::HostPath(args[4])};
}

} // namespace wk
