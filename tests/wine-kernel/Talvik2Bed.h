// What every program of the bed that runs Talvik2 on the kernel host does first and last: the
// virtual bus installed on a root device, the driver's package (its INF naming the virtual
// colorimeter's id, the image, an empty catalog, the co-installer's stand-in) put into the store
// by SensorInst.exe, colorimeters plugged through the bus's control interface and the host's
// start of Talvik2 on them awaited; then both packages uninstalled.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace wk {

// The driver's hardware id as the bed's INF copy names it.
extern const char kColorimeterId[];
// PnP's answer to a plug or an unplug comes within this.
constexpr DWORD kPnpTimeoutMs = 20000;

// The files a bed installs from, as host paths.
struct Talvik2Files {
    std::wstring sensorInst, busInf, driverInf, driverSys, coInstaller;
};
// The five files as every bed program takes them, from `args[0]` on (host paths, in the order
// above).
Talvik2Files Talvik2FilesFrom(char** args);

// The colorimeter as the bus sees it: bus-powered, remote wake (so the driver asks for selective
// suspend), one interface of the vendor's class with one interrupt IN endpoint (0x81).
std::vector<BYTE> ColorimeterPlugRequest();

// Lays the package out in `packageDir` (ending in a backslash): the INF with the placeholder id
// made the virtual colorimeter's, the image, the co-installer, an empty catalog.
bool LayOutTalvik2Package(const Talvik2Files& files, const std::wstring& packageDir);

class Talvik2Bed {
public:
    // Installs the bus (from a copy of its INF in `busDir`, by default `packageDir`) and
    // Talvik2's package laid out in `packageDir`, each with SensorInst.exe, and opens the bus's
    // control interface; every step a check.
    bool Install(const Talvik2Files& files, const std::wstring& packageDir,
                 const std::wstring& busDir = L"");
    // The bus alone (Talvik2's package is someone else's to install).
    bool InstallBus(const Talvik2Files& files, const std::wstring& busDir);
    // Takes out again what it installed (checks), closing the bus.
    void Uninstall();
    HANDLE Bus() const { return bus_; }

    // Plugs a colorimeter and waits for the host to start Talvik2 on it (one more interface than
    // before); `path` is the new one's interface. `arrived` runs as soon as the bus has the
    // device, before the host can have started a driver on it (e.g. to script its answers).
    // Quiet: the caller checks.
    bool Plug(ULONG& port, std::wstring& path, std::string& why,
              const std::function<bool(ULONG port, std::string& why)>& arrived = {});
    bool Unplug(ULONG port, std::string& why);
    // Gives the device on `port` one interrupt transfer on endpoint 0x81.
    DWORD FeedInterrupt(ULONG port, const std::vector<BYTE>& bytes);
    // The sequence number the bus log's next entry will have.
    ULONG NextLogSequence();

private:
    HANDLE bus_ = INVALID_HANDLE_VALUE;
    std::wstring tool_, busInf_, driverInf_;
};

// Gives the device on `port` one interrupt transfer on endpoint 0x81.
DWORD FeedInterrupt(HANDLE bus, ULONG port, const std::vector<BYTE>& bytes);
// The sequence number the bus log's next entry will have.
ULONG NextLogSequence(HANDLE bus);

// Wine's setupapi records C:\windows\inf as the package's source once its first device is
// installed, and the next device's file copies then wait for media there forever. The bed puts
// the package's files where that record points, as a disk would be inserted.
bool ProvideInstallMedia(const std::wstring& packageDir);

} // namespace wk
