/* The test bed's stand-in for the framework's co-installer that a KMDF driver's INF names: the
 * kernel image WDFLDR.SYS is put in place beforehand, so every install step has nothing to do. */
#include <windows.h>

#include <setupapi.h>

__declspec(dllexport) DWORD WINAPI
    WdfCoInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context) {
    (void)function;
    (void)set;
    (void)device;
    (void)context;
    return NO_ERROR;
}
