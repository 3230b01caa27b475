#include "DriverStore.h"

#include "ScopedHandle.h"

#include <setupapi.h>

#include <vector>

namespace sensorinst {
namespace {

bool ReadWholeFile(const std::wstring& path, std::vector<char>& data) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 24))
        return false;
    data.resize(size_t(size.QuadPart));
    DWORD read = 0;
    return data.empty() || (ReadFile(file.get(), &data[0], DWORD(data.size()), &read, nullptr) &&
                            read == data.size());
}

std::wstring InfDirectory() {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return std::wstring(windows) + L"\\inf\\";
}

} // namespace

DWORD StageInfInStore(const std::wstring& infPath, std::wstring& storedName) {
    wchar_t destination[MAX_PATH];
    wchar_t* component = nullptr;
    // SPOST_PATH: the package's files are found beside the INF when a device is installed later.
    if (!SetupCopyOEMInfW(infPath.c_str(), nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr,
                          &component))
        return GetLastError();
    storedName = component ? component : destination;
    return 0;
}

bool FindInfInStore(const std::wstring& infPath, std::wstring& storedName) {
    std::vector<char> wanted;
    std::wstring directory = InfDirectory();
    if (directory.empty() || !ReadWholeFile(infPath, wanted))
        return false;
    WIN32_FIND_DATAW entry;
    // Windows names stored packages oemN.inf; Wine keeps the INF's own name when it is free.
    HANDLE listing = FindFirstFileW((directory + L"*.inf").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    do {
        std::vector<char> stored;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            ReadWholeFile(directory + entry.cFileName, stored) && stored == wanted) {
            storedName = entry.cFileName;
            found = true;
        }
    } while (!found && FindNextFileW(listing, &entry));
    FindClose(listing);
    return found;
}

DWORD RemoveInfFromStore(const std::wstring& storedName) {
    // Forced, since the devices the INF names are removed by now. Without the flag Wine deletes
    // nothing and reports success, so the result is checked on the file itself.
    if (!SetupUninstallOEMInfW(storedName.c_str(), SUOI_FORCEDELETE, nullptr))
        return GetLastError();
    std::wstring stored = InfDirectory() + storedName;
    if (GetFileAttributesW(stored.c_str()) != INVALID_FILE_ATTRIBUTES)
        return ERROR_ACCESS_DENIED;
    return 0;
}

} // namespace sensorinst
