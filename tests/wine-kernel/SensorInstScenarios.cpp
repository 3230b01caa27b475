// SensorInst.exe on the kernel host: installs the floor driver's package on a root-enumerated
// device, the host loads the driver and serves its interface, the uninstall takes both away; and
// the tool's answers to bad input.
//
//   wt_sensorinst.exe <SensorInst.exe> <KldrFloor.inf> [all|install|uninstall]
//
// "install" and "uninstall" split the scenario for a session restart in between (a reboot).
// KldrFloor.sys must already be in %SystemRoot%\system32\drivers. This program stays alive for
// the whole scenario, which keeps the Wine session (and the kernel host) running.
#include "FloorInterface.h"
#include "FloorIoctl.h"
#include "RootDevice.h"
#include "ToolRun.h"

#include "Harness.h"

#include <setupapi.h>

#include <string>
#include <vector>

namespace {

using wk::Contains;

const wchar_t kHardwareId[] = L"Root\\KldrFloor";
// {4D36E97D-E325-11CE-BFC1-08002BE10318}
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const DWORD kToolTimeoutMs = 60000;
const DWORD kDriverTimeoutMs = 15000;

std::wstring g_tool;
// The INF store before the scenario; other packages may be in it.
std::vector<std::wstring> g_storeBefore;

wk::ToolResult Tool(const std::wstring& arguments) {
    return wk::RunTool(L"\"" + g_tool + L"\"" + (arguments.empty() ? L"" : L" " + arguments),
                       kToolTimeoutMs);
}

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
              written == text.size();
    CloseHandle(file);
    return ok;
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read)
        text.append(chunk, read);
    CloseHandle(file);
    return text;
}

bool SameContents(const std::wstring& a, const std::wstring& b) {
    return ReadText(a) == ReadText(b);
}

std::wstring StoreDir() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\inf\\";
}

// Names of the INF files in the store.
std::vector<std::wstring> StoredInfs() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE listing = FindFirstFileW((StoreDir() + L"*.inf").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(entry.cFileName);
    while (FindNextFileW(listing, &entry));
    FindClose(listing);
    return names;
}

struct BadInput {
    const char* what;
    std::wstring arguments;
    DWORD exitCode;
    const char* message;
};

// One row per kind of bad input: the exit code and the one line that says what is wrong.
void CheckBadInput(const std::wstring& dir) {
    WriteText(dir + L"notes.inf", "Just some notes.\r\nNothing else.\r\n");
    WriteText(dir + L"x86only.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n"
                                    "[Manufacturer]\r\nMfg=Models,NTx86\r\n[Models.NTx86]\r\n"
                                    "Dev=Install,Root\\KldrNoSuch\r\n");
    WriteText(dir + L"nomfg.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n");
    CreateDirectoryW((dir + L"folder.inf").c_str(), nullptr);
    const BadInput rows[] = {
        {"no argument", L"", 87, "missing the INF file's path"},
        {"an empty path", L"\"\"", 87, "the INF file's path is empty"},
        {"an unknown switch", L"/quiet \"" + dir + L"notes.inf\"", 87, "unknown switch /quiet"},
        {"two INF files", L"\"" + dir + L"a.inf\" \"" + dir + L"b.inf\"", 87,
         "unexpected argument"},
        {"/uninstall without a path", L"/uninstall", 87, "missing the INF file's path"},
        {"no such file", L"\"" + dir + L"missing.inf\"", 2, "no such file: "},
        {"no such file, uninstall", L"/uninstall \"" + dir + L"missing.inf\"", 2, "no such file: "},
        {"a folder named .inf", L"\"" + dir + L"folder.inf\"", 2, "is a directory"},
        {"a text file", L"\"" + dir + L"notes.inf\"", 11, "not an INF file"},
        {"an INF without [Manufacturer]", L"\"" + dir + L"nomfg.inf\"", 1168,
         "no models section for NTamd64"},
        {"an INF for x86 only", L"\"" + dir + L"x86only.inf\"", 1168,
         "no models section for NTamd64"},
    };
    for (const BadInput& row : rows) {
        wk::ToolResult run = Tool(row.arguments);
        wt::Check(run.started && run.exitCode == row.exitCode,
                  std::string("bad input, ") + row.what + ": exit code " +
                      std::to_string(row.exitCode),
                  "got " + std::to_string(run.exitCode) + ": " + run.output);
        wt::Check(Contains(run.output, row.message),
                  std::string("bad input, ") + row.what + ": says \"" + row.message + "\"",
                  run.output);
    }
    wk::ToolResult usage = Tool(L"/?");
    wt::Check(usage.exitCode == 0 && Contains(usage.output, "usage: SensorInst.exe"),
              "/? prints the usage and succeeds", usage.output);
    wk::ToolResult unknown = Tool(L"/quiet");
    wt::Check(CountLines(unknown.output) == 3 && Contains(unknown.output, "usage:"),
              "a command-line error is one line, then the usage", unknown.output);
    wt::Check(StoredInfs() == g_storeBefore, "bad input leaves the INF store alone");
}

// The round trip through the I/O manager to the driver and back.
void CheckDriverServes(const std::wstring& path) {
    HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (!wt::Check(device != INVALID_HANDLE_VALUE, "CreateFile opens the floor device",
                   "error " + std::to_string(GetLastError())))
        return;
    ULONG magic = 0;
    DWORD returned = 0;
    DWORD error = wk::Control(device, IOCTL_FLOOR_IDENTIFY, &magic, sizeof(magic), returned);
    wt::Check(error == 0 && returned == 4 && magic == FLOOR_MAGIC,
              "the identify request returns the driver's 4 bytes",
              "error " + std::to_string(error) + ", " + std::to_string(returned) + " bytes");
    error = wk::Control(device, IOCTL_FLOOR_NULL, nullptr, 0, returned);
    wt::Check(error == 0 && returned == 0, "the null request completes with no data",
              "error " + std::to_string(error));
    error = wk::Control(device, FLOOR_CTL_CODE(0x8ffu), nullptr, 0, returned);
    wt::Check(error == ERROR_INVALID_FUNCTION, "an unknown control code is refused",
              "error " + std::to_string(error));
    CloseHandle(device);
}

std::vector<std::wstring> g_interfaces;

bool WaitForInterface() {
    wt::WaitUntil(
        [] {
            g_interfaces = wk::PresentInterfaces(wk::kFloorInterface);
            return !g_interfaces.empty();
        },
        kDriverTimeoutMs, 100);
    return wt::Check(g_interfaces.size() == 1,
                     "the kernel host loaded the driver: its interface is present");
}

void CheckInstall(const std::wstring& inf) {
    wt::Check(wk::CreateRootDevice(kSystemClass, L"System", kHardwareId),
              "a root-enumerated device with the INF's hardware id is registered");
    wk::ToolResult install = Tool(L"\"" + inf + L"\"");
    wt::Check(install.started && install.exitCode == 0, "SensorInst installs the package",
              "exit " + std::to_string(install.exitCode) + ": " + install.output);
    wt::Check(Contains(install.output, "updated the driver of Root\\KldrFloor"),
              "it updated the present device", install.output);
    std::vector<std::wstring> stored = StoredInfs();
    wt::Check(stored.size() == g_storeBefore.size() + 1, "the INF store holds one more INF",
              std::to_string(stored.size() - g_storeBefore.size()) + " more");
    if (WaitForInterface())
        CheckDriverServes(g_interfaces[0]);

    wk::ToolResult again = Tool(L"\"" + inf + L"\"");
    wt::Check(again.exitCode == 0 && StoredInfs() == stored,
              "installing again succeeds and keeps the one stored copy",
              "exit " + std::to_string(again.exitCode) + ": " + again.output);
}

void CheckUninstall(const std::wstring& inf) {
    wk::ToolResult uninstall = Tool(L"/uninstall \"" + inf + L"\"");
    wt::Check(uninstall.started && uninstall.exitCode == 0, "SensorInst /uninstall succeeds",
              "exit " + std::to_string(uninstall.exitCode) + ": " + uninstall.output);
    wt::Check(Contains(uninstall.output, "and 1 device(s)"), "it removed the one device",
              uninstall.output);
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(wk::kFloorInterface).empty(); },
                            kDriverTimeoutMs, 100),
              "the interface is gone");
    // The driver saw the removal: it deleted its device, so the old path leads nowhere.
    if (!g_interfaces.empty()) {
        HANDLE stale = CreateFileW(g_interfaces[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr);
        wt::Check(stale == INVALID_HANDLE_VALUE, "the device's old path no longer opens");
        if (stale != INVALID_HANDLE_VALUE)
            CloseHandle(stale);
    }
    wt::Check(StoredInfs() == g_storeBefore, "the INF store is as before");
    wt::Check(wk::CountDevicesWithId(kHardwareId) == 0, "no device node has the hardware id");

    wk::ToolResult twice = Tool(L"/uninstall \"" + inf + L"\"");
    wt::Check(twice.exitCode == 1168 && Contains(twice.output, "not in the driver store"),
              "uninstalling again: not in the driver store (1168)", twice.output);
}

} // namespace

int main(int argc, char** argv) {
    std::string phase = argc == 4 ? argv[3] : "all";
    if ((argc != 3 && argc != 4) ||
        (phase != "all" && phase != "install" && phase != "uninstall")) {
        wt::Note("usage: wt_sensorinst.exe <SensorInst.exe> <KldrFloor.inf> "
                 "[all|install|uninstall]");
        return 2;
    }
    g_tool = wt::HostPath(argv[1]);
    // The package is laid out once; the uninstall phase finds it where the install put it.
    std::wstring dir = L"C:\\wt\\sensorinst\\";
    std::wstring inf = dir + L"KldrFloor.inf";
    if (phase != "uninstall") {
        dir = wt::ScratchDir(L"sensorinst");
        if (!wt::Check(wt::CopyTo(wt::HostPath(argv[2]), inf), "the package is laid out"))
            return wt::Finish();
        // A run cut short earlier leaves its device behind; this one starts from none.
        if (int left = wk::RemoveDevicesWithId(kHardwareId))
            wt::Note("removed " + std::to_string(left) + " device(s) left from an earlier run");
    }
    for (const std::wstring& name : StoredInfs()) {
        if (!SameContents(StoreDir() + name, inf))
            g_storeBefore.push_back(name);
        else if (phase != "uninstall")
            SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr);
    }
    if (phase != "uninstall") {
        CheckBadInput(dir);
        CheckInstall(inf);
    }
    if (phase == "uninstall" && WaitForInterface())
        CheckDriverServes(g_interfaces[0]);
    if (phase != "install")
        CheckUninstall(inf);
    return wt::Finish();
}
