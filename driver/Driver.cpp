// Driver entry, device creation and the trace routine.
#include <initguid.h>

#include "Talvik.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    TalvikTrace(TRACE_LEVEL_ERROR, DBG_INIT, "Talvik Driver - Driver Framework Edition.\n");
    TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_INIT, "Built %s %s\n", __DATE__, __TIME__);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = TalvikEvtDriverContextCleanup;
    WDF_DRIVER_CONFIG_INIT(&config, TalvikEvtDeviceAdd);

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_INIT, "WdfDriverCreate failed with status 0x%x\n",
                    status);
    }
    return status;
}

VOID TalvikEvtDriverContextCleanup(WDFOBJECT Driver) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Driver);
}

NTSTATUS TalvikEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_IO_QUEUE_CONFIG ioQueueConfig;
    PDEVICE_CONTEXT pDevContext;
    WDFDEVICE device;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Driver);
    PAGED_CODE();

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDevicePrepareHardware = TalvikEvtDevicePrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = TalvikEvtDeviceReleaseHardware;
    pnpPowerCallbacks.EvtDeviceD0Entry = TalvikEvtDeviceD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = TalvikEvtDeviceD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);

    // A device-to-host vendor request may write only into memory its caller can write, which
    // can be checked only in the caller's context.
    WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, TalvikEvtIoInCallerContext);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &attributes);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP,
                    "WdfDeviceCreate failed with Status code %!STATUS!\n", status);
        return status;
    }
    pDevContext = GetDeviceContext(device);

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&ioQueueConfig, WdfIoQueueDispatchParallel);
    ioQueueConfig.EvtIoDeviceControl = TalvikEvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &ioQueueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "WdfIoQueueCreate failed  %!STATUS!\n", status);
        return status;
    }

    // Vendor requests share the device's one URB block, so they wait here for each other. The
    // next one is delivered as the previous one completes, possibly at DISPATCH_LEVEL, so the
    // queue's routine is nonpaged.
    WDF_IO_QUEUE_CONFIG_INIT(&ioQueueConfig, WdfIoQueueDispatchSequential);
    ioQueueConfig.EvtIoDeviceControl = TalvikEvtIoVendorRequest;
    status = WdfIoQueueCreate(device, &ioQueueConfig, WDF_NO_OBJECT_ATTRIBUTES,
                              &pDevContext->VendorRequestQueue);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "WdfIoQueueCreate failed  %!STATUS!\n", status);
        return status;
    }

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_TALVIK, NULL);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP,
                    "WdfDeviceCreateDeviceInterface failed  %!STATUS!\n", status);
        return status;
    }
    return status;
}

#if DBG
// The debugger's printf knows no "%!STATUS!": the status is shown as a number. A format that
// does not fit is replaced by a fixed line rather than cut inside a conversion.
static PCSTR TalvikRenderFormat(PCSTR Format, PCHAR Rendered, size_t Size) {
    static const CHAR status[] = "%!STATUS!";
    static const CHAR number[] = "0x%08x";
    size_t in = 0;
    size_t out = 0;

    while (Format[in] != '\0') {
        if (strncmp(&Format[in], status, sizeof(status) - 1) == 0) {
            if (out + sizeof(number) - 1 >= Size) {
                return "TalvikTrace: format too long\n";
            }
            RtlCopyMemory(&Rendered[out], number, sizeof(number) - 1);
            out += sizeof(number) - 1;
            in += sizeof(status) - 1;
        } else {
            if (out + 1 >= Size) {
                return "TalvikTrace: format too long\n";
            }
            Rendered[out++] = Format[in++];
        }
    }
    Rendered[out] = '\0';
    return Rendered;
}
#endif

// A debug build routes lines to the kernel debugger: level 2 (errors) and 4 (information) map
// onto the debugger's error and information levels, and the categories ride in the same mask
// above them, so a component filter can select by either.
VOID TalvikTrace(ULONG Level, ULONG Flags, PCSTR Format, ...) {
#if DBG
    CHAR rendered[256];
    ULONG debuggerLevel;
    va_list args;

    debuggerLevel = Level <= TRACE_LEVEL_ERROR        ? DPFLTR_ERROR_LEVEL
                    : Level < TRACE_LEVEL_INFORMATION ? DPFLTR_WARNING_LEVEL
                                                      : DPFLTR_INFO_LEVEL;
    va_start(args, Format);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID,
                DPFLTR_MASK | (1UL << debuggerLevel) | (Flags << TALVIK_TRACE_CATEGORY_SHIFT),
                TalvikRenderFormat(Format, rendered, sizeof(rendered)), args);
    va_end(args);
#else
    UNREFERENCED_PARAMETER(Level);
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(Format);
#endif
}
