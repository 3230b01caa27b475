// wt_probes: the system requirement probes and the display snapshot on a real Windows (Wine),
// through the same code and the same Win32 side as Setup.exe. Each scenario prints one line per
// check ("ok   ..." or "FAIL ...") and exits non-zero when a check failed.
//
//   wt_probes report                          what the probes answer here
//   wt_probes version MAJOR.MINOR             the version probe reports this version
//   wt_probes edid none|supported|supported256|unsupported|oversized
//                                             sets Wine's monitor EDID, checks the display test
//   wt_probes product PACKAGE.msi             product state before and after installing it
//   wt_probes decoy DECOY_MSI_DLL PLAIN_IMPORT_EXE
//                                             a planted msi.dll beside the program stays unused
#include "EdidInjection.h"
#include "app/AdminProbe.h"
#include "app/ProductState.h"
#include "app/WinOSVersion.h"
#include "display/EnumDisplay.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int g_failed = 0;

bool Check(bool ok, const std::string& what, const std::string& detail = "") {
    // The detail (what was found) only matters when it is not what was expected.
    const bool showDetail = !ok && !detail.empty();
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what.c_str(), showDetail ? ": " : "",
                showDetail ? detail.c_str() : "");
    if (!ok)
        ++g_failed;
    return ok;
}

int Finish() {
    std::printf("%s\n", g_failed ? "FAILED" : "PASSED");
    std::fflush(stdout);
    return g_failed ? 1 : 0;
}

std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string Folder(const std::string& path) {
    return path.substr(0, path.rfind('\\') + 1);
}

std::string OwnPath() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length && length < MAX_PATH ? std::string(path, length) : std::string();
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs a command line and waits for it; its exit code, or -1 when it did not start or end.
long Run(const std::string& commandLine, DWORD timeoutMs = 120000) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    DWORD exitCode = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(exitCode);
}

// A fresh folder under %TEMP% with the given files copied in (source, name in the folder).
std::string Scratch(const char* name, const std::string& file1, const char* name1,
                    const std::string& file2, const char* name2) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = std::string(temp) + name + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    for (const char* stale : {name1, name2, "decoy-loaded.txt", "decoy-called.txt"})
        DeleteFileA((dir + stale).c_str());
    bool copied = CopyFileA(file1.c_str(), (dir + name1).c_str(), FALSE) &&
                  CopyFileA(file2.c_str(), (dir + name2).c_str(), FALSE);
    Check(copied, std::string("program and planted msi.dll copied to ") + dir);
    return dir;
}

int Report() {
    CWinOSVersion os;
    std::printf("version_valid=%d\nversion_ex=%d\nversion=%lu.%lu\n", os.m_bVersionValid,
                os.m_bVersionInfoEx, static_cast<unsigned long>(os.m_osvi.dwMajorVersion),
                static_cast<unsigned long>(os.m_osvi.dwMinorVersion));
    std::printf("admin=%d\n", UserIsAdministrator() ? 1 : 0);
    std::printf("product_state=%d\n", QueryProductState());
    CEnumDisplay displays;
    for (const auto& entry : displays.m_mapDisplay) {
        const DisplayInfo& info = entry.second;
        std::printf("display%d=%s|%s|%s|edid=%d\n", entry.first, info.strAdapterName.c_str(),
                    info.strMonitorName.c_str(), info.strMonitorId.c_str(), info.bHasEdid);
    }
    std::printf("supported_display=%d\n", displays.HasSupportedDisplay());
    std::fflush(stdout);
    return 0;
}

int Version(const char* expected) {
    CWinOSVersion os;
    char reported[32];
    std::snprintf(reported, sizeof(reported), "%lu.%lu",
                  static_cast<unsigned long>(os.m_osvi.dwMajorVersion),
                  static_cast<unsigned long>(os.m_osvi.dwMinorVersion));
    Check(os.m_bVersionValid != 0, "the version record is valid");
    Check(os.m_bVersionInfoEx != 0, "the extended record is taken");
    Check(std::strcmp(reported, expected) == 0, std::string("the version is ") + expected,
          reported);
    return Finish();
}

int Edid(const std::string& which) {
    struct Case {
        const char* name;
        std::vector<BYTE> value; // empty: no EDID
        int hasEdid, supported;
    };
    const Case cases[] = {
        {"none", {}, 0, 0},
        {"supported", edid::Supported(), 1, 1},
        {"supported256", edid::Supported(1), 1, 1},
        {"unsupported", edid::Unsupported(), 1, 0},
        {"oversized", edid::Supported(2), 0, 0},
    };
    const Case* c = nullptr;
    for (const Case& each : cases)
        if (which == each.name)
            c = &each;
    if (!c) {
        std::fprintf(stderr, "wt_probes: unknown EDID case %s\n", which.c_str());
        return 2;
    }

    const LONG set = c->value.empty() ? edid::Remove() : edid::Inject(c->value);
    Check(set == ERROR_SUCCESS, "EDID of " + std::to_string(c->value.size()) + " bytes in place",
          std::to_string(set));
    int answer = -1;
    {
        CEnumDisplay displays;
        const DisplayInfo* monitor = nullptr;
        for (const auto& entry : displays.m_mapDisplay)
            if (entry.second.strMonitorId.rfind("MONITOR\\Default_Monitor\\", 0) == 0)
                monitor = &entry.second;
        if (Check(monitor != nullptr, "Wine's monitor is recorded")) {
            Check(monitor->bHasEdid == c->hasEdid,
                  std::string("its EDID is ") + (c->hasEdid ? "read" : "not read"),
                  std::to_string(monitor->bHasEdid));
            if (c->hasEdid)
                Check(std::memcmp(monitor->edid, c->value.data(), 128) == 0,
                      "the base block is copied as stored");
        }
        answer = displays.HasSupportedDisplay();
    }
    Check(answer == c->supported, "HasSupportedDisplay answers " + std::to_string(c->supported),
          std::to_string(answer));
    // The session is shared with other tests: leave the monitor as Wine made it.
    Check(edid::Remove() == ERROR_SUCCESS, "EDID removed again");
    return Finish();
}

int Product(const std::string& package) {
    const std::string uninstall = std::string("msiexec /x ") + kProductCode + " /qn";
    if (QueryProductState() == kProductInstalled) {
        std::printf("note: the product was left installed by an earlier run; removing it\n");
        Run(uninstall);
    }
    INT state = QueryProductState();
    Check(state != kProductInstalled, "not installed: the state is not 5", std::to_string(state));
    const long installed = Run("msiexec /i \"" + WindowsPath(package) + "\" /qn");
    Check(installed == 0, "the package installs", std::to_string(installed));
    state = QueryProductState();
    Check(state == kProductInstalled, "installed: the state is 5", std::to_string(state));
    const long removed = Run(uninstall);
    Check(removed == 0, "the package uninstalls", std::to_string(removed));
    state = QueryProductState();
    Check(state != kProductInstalled, "removed: the state is not 5 again", std::to_string(state));
    return Finish();
}

// Run inside the scratch folder, beside the planted msi.dll: asks the product state the way
// the setup does and tells where msi.dll came from.
int DecoyChild() {
    const INT state = QueryProductState();
    char path[MAX_PATH] = "";
    HMODULE msi = GetModuleHandleA("msi.dll");
    if (msi)
        GetModuleFileNameA(msi, path, MAX_PATH);
    std::printf("product_state=%d msi=%s\n", state, path);
    std::fflush(stdout);
    const bool fromOwnFolder =
        msi && _stricmp(Folder(path).c_str(), Folder(OwnPath()).c_str()) == 0;
    return (msi && !fromOwnFolder && state != kProductInstalled) ? 0 : 1;
}

// Wine's per-program setting for the load order of one DLL; empty `order` removes it.
void SetDllOrder(const char* program, const char* order) {
    const std::string key = std::string("Software\\Wine\\AppDefaults\\") + program;
    if (!*order) {
        RegDeleteKeyA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
        return;
    }
    HKEY overrides = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &overrides, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(overrides, "msi", 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                   static_cast<DWORD>(std::strlen(order) + 1));
    RegCloseKey(overrides);
}

int Decoy(const std::string& decoyDll, const std::string& plainImportExe) {
    // Native DLLs first for the two copies, as Windows treats a DLL that is not a known DLL
    // (Wine loads its own msi.dll first by default).
    const char* const kMended = "wt_decoy_probe.exe";
    const char* const kPlain = "wt_decoy_plain.exe";
    SetDllOrder(kMended, "native,builtin");
    SetDllOrder(kPlain, "native,builtin");

    const std::string mended =
        Scratch("wt_decoy_mended", OwnPath(), kMended, WindowsPath(decoyDll), "msi.dll");
    const long child = Run("\"" + mended + kMended + "\" decoy-child");
    Check(child == 0, "the setup's query binds to the system's msi.dll", std::to_string(child));
    Check(!Exists(mended + "decoy-loaded.txt"), "the planted msi.dll is not loaded");
    Check(!Exists(mended + "decoy-called.txt"), "its ordinal 112 is not called");

    // The control: the same plant beside a program that imports msi.dll the plain way.
    const std::string plain = Scratch("wt_decoy_plain", WindowsPath(plainImportExe), kPlain,
                                      WindowsPath(decoyDll), "msi.dll");
    Run("\"" + plain + kPlain + "\"");
    Check(Exists(plain + "decoy-loaded.txt"), "control: a plain import loads the planted msi.dll");
    Check(Exists(plain + "decoy-called.txt"), "control: and calls its ordinal 112");

    SetDllOrder(kMended, "");
    SetDllOrder(kPlain, "");
    return Finish();
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "report";
    if (mode == "report")
        return Report();
    if (mode == "version" && argc > 2)
        return Version(argv[2]);
    if (mode == "edid" && argc > 2)
        return Edid(argv[2]);
    if (mode == "product" && argc > 2)
        return Product(argv[2]);
    if (mode == "decoy" && argc > 3)
        return Decoy(argv[2], argv[3]);
    if (mode == "decoy-child")
        return DecoyChild();
    std::fprintf(stderr, "usage: wt_probes report|version V|edid CASE|product MSI|decoy DLL EXE\n");
    return 2;
}
