// The client side of binding to the framework, written from the platform's documented layout:
// the bind info for "KmdfLibrary" 1.1 with its 386-entry table and the driver globals, bound
// before the driver's DriverEntry runs and unbound when it fails or the driver unloads. Linked
// into the driver image; kernel subset of C++ (constant-initialised data only).
#include <ntddk.h>
#include <wdf.h>
#include <wdfldr.h>

extern "C" {

static DRIVER_UNLOAD FxStubDriverUnload;

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, FxStubDriverEntry)
#endif

WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
PWDF_DRIVER_GLOBALS WdfDriverGlobals;

// L"KmdfLibrary" as WCHARs: a wide literal has another type in the native build (char16_t).
static WCHAR WdfComponentName[] = {'K', 'm', 'd', 'f', 'L', 'i', 'b', 'r', 'a', 'r', 'y', 0};

WDF_BIND_INFO WdfBindInfo = {
    sizeof(WDF_BIND_INFO),      WdfComponentName, {1, 1, 0},
    WdfFunctionTableNumEntries, WdfFunctions,     NULL,
};

// Unbinding at unload names the service key again, but DriverEntry's copy of it is gone by
// then. A key name has at most 255 characters, so the services path and one name fit.
#define FX_STUB_REGISTRY_PATH_CHARS 320
static WCHAR FxStubRegistryPathBuffer[FX_STUB_REGISTRY_PATH_CHARS];
static UNICODE_STRING FxStubRegistryPath;
static PDRIVER_UNLOAD FxStubDriverUnloadOriginal;

static VOID FxStubUnbind(VOID) {
    (VOID) WdfVersionUnbind(&FxStubRegistryPath, &WdfBindInfo,
                            (PWDF_COMPONENT_GLOBALS)WdfDriverGlobals);
    WdfDriverGlobals = NULL;
}

NTSTATUS FxStubDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                           PDRIVER_INITIALIZE DriverEntry) {
    NTSTATUS status;
    USHORT length;

    length = RegistryPath->Length;
    if (length > sizeof(FxStubRegistryPathBuffer)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(FxStubRegistryPathBuffer, RegistryPath->Buffer, length);
    FxStubRegistryPath.Buffer = FxStubRegistryPathBuffer;
    FxStubRegistryPath.Length = length;
    FxStubRegistryPath.MaximumLength = sizeof(FxStubRegistryPathBuffer);

    status = WdfVersionBind(DriverObject, &FxStubRegistryPath, &WdfBindInfo,
                            (PWDF_COMPONENT_GLOBALS*)&WdfDriverGlobals);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        FxStubUnbind();
        return status;
    }

    // The framework installed its own unload routine; ours runs it, then unbinds.
    if (WdfDriverGlobals->DisplaceDriverUnload) {
        FxStubDriverUnloadOriginal = DriverObject->DriverUnload;
        DriverObject->DriverUnload = FxStubDriverUnload;
    }
    return status;
}

static VOID FxStubDriverUnload(PDRIVER_OBJECT DriverObject) {
    if (FxStubDriverUnloadOriginal != NULL) {
        FxStubDriverUnloadOriginal(DriverObject);
    }
    FxStubUnbind();
}

} // extern "C"
