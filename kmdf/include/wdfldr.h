// The framework loader's binding calls (exported by WDFLDR.SYS on the platform, by the layer
// here) and the bind stub that calls them from a client image's entry point.
#pragma once

#include <wdf.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _WDF_COMPONENT_GLOBALS* PWDF_COMPONENT_GLOBALS;

// Checks the bind info, fills its FuncCount table entries and hands back the driver globals.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI
    WdfVersionBind(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath,
                   _Inout_ PWDF_BIND_INFO BindInfo, _Out_ PWDF_COMPONENT_GLOBALS* ComponentGlobals);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI
    WdfVersionUnbind(_In_ PUNICODE_STRING RegistryPath, _In_ PWDF_BIND_INFO BindInfo,
                     _In_ PWDF_COMPONENT_GLOBALS ComponentGlobals);

// The image's entry point: binds KmdfLibrary 1.1, then runs the driver's DriverEntry.
DRIVER_INITIALIZE FxDriverEntry;

// The same for a given driver entry routine (FxDriverEntry passes DriverEntry): unbinds when it
// fails and, when the framework asks for it (DisplaceDriverUnload), at unload.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    FxStubDriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath,
                      _In_ PDRIVER_INITIALIZE DriverEntry);

#ifdef __cplusplus
}
#endif
