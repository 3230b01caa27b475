// The framework tests' KMDF driver. Its DriverEntry is the one the bind stub's FxDriverEntry
// runs; everything it does goes through the function table.
#include "TestKmdfDriver.h"

EXTERN_C const GUID FxTestInterfaceGuid = {
    0x3c0e9a71, 0x5b2d, 0x4e8f, {0xa1, 0x44, 0x7e, 0x19, 0x02, 0xc6, 0x5d, 0x38}};

FX_TEST_OPTIONS g_fxTestOptions;
FX_TEST_RECORD g_fxTestRecord;

namespace {

VOID Note(char letter) {
    LONG at = InterlockedIncrement(&g_fxTestRecord.Length) - 1;
    if (at < static_cast<LONG>(sizeof g_fxTestRecord.Order) - 1)
        g_fxTestRecord.Order[at] = letter;
}

NTSTATUS Prepare(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    Note('P');
    return g_fxTestOptions.PrepareStatus;
}

NTSTATUS Release(WDFDEVICE, WDFCMRESLIST) {
    Note('R');
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
    Note('E');
    g_fxTestRecord.LastEntryFrom = previous;
    return g_fxTestOptions.D0EntryStatus;
}

NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    Note('X');
    g_fxTestRecord.LastExitTo = target;
    return STATUS_SUCCESS;
}

NTSTATUS D0EntryPost(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    Note('e');
    return STATUS_SUCCESS;
}

NTSTATUS D0ExitPre(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    Note('x');
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedInit(WDFDEVICE) {
    Note('I');
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedSuspend(WDFDEVICE) {
    Note('s');
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedRestart(WDFDEVICE) {
    Note('r');
    return STATUS_SUCCESS;
}

VOID SelfManagedFlush(WDFDEVICE) {
    Note('l');
}

VOID SelfManagedCleanup(WDFDEVICE) {
    Note('C');
}

VOID SurpriseRemoval(WDFDEVICE) {
    Note('S');
}

NTSTATUS QueryRemove(WDFDEVICE) {
    return g_fxTestOptions.QueryRemoveStatus;
}

VOID DeviceCleanup(WDFOBJECT device) {
    // The context is still there while the device is cleaned up.
    if (FxTestDeviceContext(device)->Magic == FX_TEST_MAGIC)
        Note('c');
}

VOID DeviceDestroy(WDFOBJECT) {
    Note('d');
}

VOID FileCleanup(WDFFILEOBJECT) {
    Note('f');
}

VOID FileClose(WDFFILEOBJECT file) {
    if (FxTestFileContext(file) != NULL)
        Note('F');
}

VOID FileContextCleanup(WDFOBJECT) {
    Note('k');
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    g_fxTestRecord.KeptInit = init;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = Prepare;
    pnp.EvtDeviceReleaseHardware = Release;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    pnp.EvtDeviceQueryRemove = QueryRemove;
    if (g_fxTestOptions.SelfManagedIo) {
        pnp.EvtDeviceD0EntryPostInterruptsEnabled = D0EntryPost;
        pnp.EvtDeviceD0ExitPreInterruptsDisabled = D0ExitPre;
        pnp.EvtDeviceSelfManagedIoInit = SelfManagedInit;
        pnp.EvtDeviceSelfManagedIoSuspend = SelfManagedSuspend;
        pnp.EvtDeviceSelfManagedIoRestart = SelfManagedRestart;
        pnp.EvtDeviceSelfManagedIoFlush = SelfManagedFlush;
        pnp.EvtDeviceSelfManagedIoCleanup = SelfManagedCleanup;
    }
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    if (g_fxTestOptions.AddNoDevice)
        return STATUS_SUCCESS;
    if (g_fxTestOptions.FileObjects) {
        WDF_FILEOBJECT_CONFIG files;
        WDF_FILEOBJECT_CONFIG_INIT(&files, NULL, FileClose, FileCleanup);
        WDF_OBJECT_ATTRIBUTES fileAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FX_TEST_FILE_CONTEXT);
        fileAttributes.EvtCleanupCallback = FileContextCleanup;
        WdfDeviceInitSetFileObjectConfig(init, &files, &fileAttributes);
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FX_TEST_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = DeviceCleanup;
    attributes.EvtDestroyCallback = DeviceDestroy;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    FX_TEST_DEVICE_CONTEXT* context = FxTestDeviceContext(device);
    BOOLEAN zero = TRUE;
    for (ULONG w : context->Words)
        zero = zero && w == 0;
    g_fxTestRecord.ContextWasZero = zero && context->Magic == 0;
    context->Magic = FX_TEST_MAGIC;
    g_fxTestRecord.Device = device;
    status = WdfDeviceCreateDeviceInterface(device, &FxTestInterfaceGuid, NULL);
    if (!NT_SUCCESS(status))
        return status;
    if (g_fxTestOptions.Capabilities) {
        WDF_DEVICE_PNP_CAPABILITIES caps;
        WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
        caps.SurpriseRemovalOK = WdfTrue;
        caps.Removable = WdfFalse;
        caps.UINumber = 7;
        WdfDeviceSetPnpCapabilities(device, &caps);
    }
    if (g_fxTestOptions.Wake) {
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake;
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake);
        status = WdfDeviceAssignSxWakeSettings(device, &wake);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (g_fxTestOptions.Idle) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, g_fxTestOptions.IdleCaps);
        idle.IdleTimeout = g_fxTestOptions.IdleTimeoutMs;
        idle.Enabled = g_fxTestOptions.IdleEnabled;
        status = WdfDeviceAssignS0IdleSettings(device, &idle);
        if (!NT_SUCCESS(status))
            return status;
    }
    return g_fxTestOptions.AddStatus;
}

VOID DriverUnload(WDFDRIVER) {
    Note('u');
}

} // namespace

EXTERN_C VOID FxTestReset(VOID) {
    RtlZeroMemory(&g_fxTestOptions, sizeof g_fxTestOptions);
    RtlZeroMemory(&g_fxTestRecord, sizeof g_fxTestRecord);
    g_fxTestOptions.IdleCaps = IdleUsbSelectiveSuspend;
    g_fxTestOptions.IdleTimeoutMs = 1000;
    g_fxTestOptions.IdleEnabled = WdfUseDefault;
}

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    config.EvtDriverUnload = DriverUnload;
    NTSTATUS status = WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                                      &g_fxTestRecord.Driver);
    return NT_SUCCESS(status) ? g_fxTestOptions.EntryStatus : status;
}
