// The setup runs elevated, often from a download folder. msi.dll is not a known DLL, so a plain
// import of it is looked for in the program's own directory first, where anyone can plant one.
// It is delay-imported instead, and this loads the system's copy by full path before the first
// call; the delay-load helper then finds a module of that name already loaded and binds to it.
#include "platform/win32/SystemMsi.h"

#include <cstring>

HMODULE LoadSystemMsi() {
    static HMODULE module = nullptr;
    if (module)
        return module;
    static const char kName[] = "\\msi.dll";
    char path[MAX_PATH];
    UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof(kName) > MAX_PATH)
        return nullptr;
    std::memcpy(path + length, kName, sizeof(kName));
    // Its own dependencies are then looked for beside it, not beside the setup either.
    module = ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}
