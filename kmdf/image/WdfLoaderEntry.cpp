// WDFLDR.SYS's own entry. The kernel loads the image as the dependency of a client driver's
// import and never starts it as a service, so there is nothing to set up: binding does it all.
#include <wdm.h>

extern "C" NTSTATUS FxLoaderEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(driverObject);
    UNREFERENCED_PARAMETER(registryPath);
    return STATUS_SUCCESS;
}
