// The image's entry point: the bind stub around the driver's own DriverEntry.
#include <ntddk.h>
#include <wdf.h>
#include <wdfldr.h>

extern "C" {

DRIVER_INITIALIZE DriverEntry;

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, FxDriverEntry)
#endif

NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return FxStubDriverEntry(DriverObject, RegistryPath, DriverEntry);
}

} // extern "C"
