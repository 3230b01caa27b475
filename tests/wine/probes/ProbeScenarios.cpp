// wt_probes: the system requirement probes and the display snapshot on a real Windows (Wine),
// through the same code and the same Win32 side as Setup.exe. Each scenario prints one line per
// check (the harness's wt::Check) and exits non-zero when a check failed.
//
//   wt_probes report                          what the probes answer here
//   wt_probes version MAJOR.MINOR             the version probe reports this version
//   wt_probes edid none|supported|supported256|unsupported|oversized
//                                             sets Wine's monitor EDID, checks the display test
//   wt_probes product PACKAGE.msi             product state before and after installing it
//   wt_probes decoy DECOY_MSI_DLL PLAIN_IMPORT_EXE
//                                             a planted msi.dll beside the program stays unused
#include "EdidInjection.h"
#include "Harness.h"
#include "app/AdminProbe.h"
#include "app/ProductState.h"
#include "app/WinOSVersion.h"
#include "display/EnumDisplay.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using wt::Check;
using wt::Finish;

std::wstring Folder(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\') + 1);
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs a program and waits for it; its exit code, or -1 when it did not start or end in time.
long Run(const std::wstring& exe, const std::wstring& arguments = L"") {
    wt::Process process = wt::Start(exe, arguments);
    DWORD exitCode = 0;
    if (!wt::WaitForExit(process, 120000, &exitCode)) {
        wt::Kill(process);
        return -1;
    }
    return static_cast<long>(exitCode);
}

std::wstring Msiexec() {
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, length) + L"\\msiexec.exe";
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

    // Under a virtual desktop Wine rewrites the monitor's key, without an EDID, at a process's
    // first display query: make that query first, then put the EDID in place.
    DISPLAY_DEVICEA first{};
    first.cb = sizeof(first);
    EnumDisplayDevicesA(nullptr, 0, &first, 0);
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
    const std::wstring uninstall = L"/x " + wt::Wide(kProductCode) + L" /qn";
    if (QueryProductState() == kProductInstalled) {
        wt::Note("the product was left installed by an earlier run; removing it");
        Run(Msiexec(), uninstall);
    }
    INT state = QueryProductState();
    Check(state != kProductInstalled, "not installed: the state is not 5", std::to_string(state));
    const long installed = Run(Msiexec(), L"/i \"" + wt::HostPath(package) + L"\" /qn");
    Check(installed == 0, "the package installs", std::to_string(installed));
    state = QueryProductState();
    Check(state == kProductInstalled, "installed: the state is 5", std::to_string(state));
    const long removed = Run(Msiexec(), uninstall);
    Check(removed == 0, "the package uninstalls", std::to_string(removed));
    state = QueryProductState();
    Check(state != kProductInstalled, "removed: the state is not 5 again", std::to_string(state));
    return Finish();
}

// Run inside the scratch folder, beside the planted msi.dll: asks the product state the way
// the setup does and tells where msi.dll came from.
int DecoyChild() {
    const INT state = QueryProductState();
    wchar_t path[MAX_PATH] = L"";
    HMODULE msi = GetModuleHandleW(L"msi.dll");
    if (msi)
        GetModuleFileNameW(msi, path, MAX_PATH);
    wt::Note("product_state=" + std::to_string(state) + " msi=" + wt::Utf8(path));
    const bool fromOwnFolder =
        msi && _wcsicmp(Folder(path).c_str(), Folder(OwnPath()).c_str()) == 0;
    return (msi && !fromOwnFolder && state != kProductInstalled) ? 0 : 1;
}

// Wine's per-program setting for the load order of msi.dll; empty `order` removes it.
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

// A fresh scratch folder holding `program` under `name` and the planted msi.dll beside it.
std::wstring Plant(const wchar_t* folder, const std::wstring& program, const char* name,
                   const std::string& decoyDll) {
    const std::wstring dir = wt::ScratchDir(folder);
    Check(wt::CopyTo(program, dir + wt::Wide(name)) &&
              wt::CopyTo(wt::HostPath(decoyDll), dir + L"msi.dll"),
          "program and planted msi.dll copied to " + wt::Utf8(dir));
    return dir;
}

int Decoy(const std::string& decoyDll, const std::string& plainImportExe) {
    // Native DLLs first for the two copies, as Windows treats a DLL that is not a known DLL
    // (Wine loads its own msi.dll first by default).
    const char* const kMended = "wt_decoy_probe.exe";
    const char* const kPlain = "wt_decoy_plain.exe";
    SetDllOrder(kMended, "native,builtin");
    SetDllOrder(kPlain, "native,builtin");

    const std::wstring mended = Plant(L"decoy_mended", OwnPath(), kMended, decoyDll);
    const long child = Run(mended + wt::Wide(kMended), L"decoy-child");
    Check(child == 0, "the setup's query binds to the system's msi.dll", std::to_string(child));
    Check(!Exists(mended + L"decoy-loaded.txt"), "the planted msi.dll is not loaded");
    Check(!Exists(mended + L"decoy-called.txt"), "its ordinal 112 is not called");

    // The control: the same plant beside a program that imports msi.dll the plain way.
    const std::wstring plain =
        Plant(L"decoy_plain", wt::HostPath(plainImportExe), kPlain, decoyDll);
    Run(plain + wt::Wide(kPlain));
    Check(Exists(plain + L"decoy-loaded.txt"), "control: a plain import loads the planted msi.dll");
    Check(Exists(plain + L"decoy-called.txt"), "control: and calls its ordinal 112");

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
