#include "installers/Wow64Probe.h"

#include "platform/SystemApi.h"

BOOL Is64BitWindows() {
    CSystemApi& api = SystemApi();
    // kernel32 is always loaded in a Win32 process; the probe never loads a library itself.
    HMODULE kernel32 = api.GetModuleHandleA("kernel32.dll");
    if (!kernel32)
        return FALSE;
    FARPROC probe = api.GetProcAddress(kernel32, "GetSystemWow64DirectoryW");
    if (!probe)
        return FALSE;
    WCHAR directory[MAX_PATH];
    if (api.CallGetSystemWow64DirectoryW(probe, directory, MAX_PATH) != 0)
        return TRUE;
    // Any failure other than "not implemented" comes from a system that has WoW64.
    return api.GetLastError() != ERROR_CALL_NOT_IMPLEMENTED;
}
