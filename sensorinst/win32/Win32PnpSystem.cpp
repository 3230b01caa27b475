#include "win32/Win32PnpSystem.h"

#include "win32/Console.h"
#include "win32/Devices.h"
#include "win32/DriverStore.h"

namespace sensorinst {
namespace {

// The decoration of the architecture this image runs as; SetupAPI refuses device installation
// from a WOW64 process, so the image's architecture is the system's.
#if defined(__x86_64__) || defined(_M_X64)
const wchar_t kArchitecture[] = L"amd64";
#elif defined(__aarch64__) || defined(_M_ARM64)
const wchar_t kArchitecture[] = L"arm64";
#else
const wchar_t kArchitecture[] = L"x86";
#endif

} // namespace

PnpSystem::PathKind Win32PnpSystem::Probe(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
}

unsigned long Win32PnpSystem::OpenInf(const std::wstring& path) {
    return inf_.Open(path);
}

bool Win32PnpSystem::ReadSection(const std::wstring& name, std::vector<InfFields>& lines) {
    return inf_.ReadSection(name, lines);
}

TargetSystem Win32PnpSystem::Target() {
    TargetSystem target;
    target.architecture = kArchitecture;
    // GetVersionEx answers per the program's manifest; RtlGetVersion tells the truth.
    typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    auto getVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (getVersion && getVersion(&version) == 0) {
        target.major = version.dwMajorVersion;
        target.minor = version.dwMinorVersion;
        target.build = version.dwBuildNumber;
        target.productType = version.wProductType;
        target.suiteMask = version.wSuiteMask;
    }
    return target;
}

unsigned long Win32PnpSystem::StageInf(const std::wstring& path, std::wstring& storedName) {
    return StageInfInStore(path, storedName);
}

bool Win32PnpSystem::FindStoredInf(const std::wstring& path, std::wstring& storedName) {
    return FindInfInStore(path, storedName);
}

unsigned long Win32PnpSystem::UninstallStoredInf(const std::wstring& storedName) {
    return RemoveInfFromStore(storedName);
}

bool Win32PnpSystem::IsDevicePresent(const std::wstring& hardwareId) {
    return IsDevicePresentWithId(hardwareId);
}

unsigned long Win32PnpSystem::UpdateDevices(const std::wstring& hardwareId,
                                            const std::wstring& infPath, bool& rebootRequired) {
    return UpdatePresentDevices(hardwareId, infPath, rebootRequired);
}

unsigned long Win32PnpSystem::RemoveDevices(const std::vector<std::wstring>& hardwareIds,
                                            const std::wstring& storedName, unsigned& removed,
                                            bool& rebootRequired) {
    return RemoveDevicesOfInf(hardwareIds, storedName, removed, rebootRequired);
}

void Win32PnpSystem::Print(const std::wstring& line) {
    WriteLine(STD_OUTPUT_HANDLE, line);
}

void Win32PnpSystem::PrintError(const std::wstring& line) {
    WriteLine(STD_ERROR_HANDLE, line);
}

} // namespace sensorinst
