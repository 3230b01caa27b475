// The device object: WDFDEVICE_INIT calls, WdfDeviceCreate (a WDM device attached to the PDO's
// stack, whose extension names the framework's device), PnP capabilities and device interfaces.
#include "FxDevice.h"
#include "FxEntry.h"
#include "FxExports.h"
#include "FxHost.h"

// What EvtDriverDeviceAdd fills in before WdfDeviceCreate; it lives on AddDevice's stack.
struct WDFDEVICE_INIT {
    FxDriver* Driver;
    PDEVICE_OBJECT Pdo;
    WDF_PNPPOWER_EVENT_CALLBACKS Callbacks;
    WDF_DEVICE_IO_TYPE IoType;
    PFN_WDF_IO_IN_CALLER_CONTEXT InCallerContext;
    WDF_OBJECT_ATTRIBUTES RequestAttributes;
    BOOLEAN HasRequestAttributes;
    WDF_FILEOBJECT_CONFIG FileConfig;
    WDF_OBJECT_ATTRIBUTES FileAttributes;
    BOOLEAN HasFileConfig;
    BOOLEAN HasFileAttributes;
    FxDevice* Created; // set by WdfDeviceCreate: the record is used up
    LIST_ENTRY Live;   // in g_liveInits while EvtDriverDeviceAdd runs
};

namespace {

struct FxInterface {
    LIST_ENTRY Link;
    UNICODE_STRING SymbolicLink;
    BOOLEAN Enabled;
};

// The records of the AddDevice calls running now: one kept past its EvtDriverDeviceAdd names a
// stack frame that is gone, so it is looked up here before it is read.
KSPIN_LOCK g_liveInitsLock;
LIST_ENTRY g_liveInits;

VOID SetLive(PWDFDEVICE_INIT init, BOOLEAN live) {
    KIRQL irql;
    KeAcquireSpinLock(&g_liveInitsLock, &irql);
    if (g_liveInits.Flink == NULL)
        InitializeListHead(&g_liveInits);
    if (live)
        InsertTailList(&g_liveInits, &init->Live);
    else
        RemoveEntryList(&init->Live);
    KeReleaseSpinLock(&g_liveInitsLock, irql);
}

BOOLEAN IsLive(PWDFDEVICE_INIT init) {
    BOOLEAN found = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&g_liveInitsLock, &irql);
    if (g_liveInits.Flink != NULL)
        for (PLIST_ENTRY e = g_liveInits.Flink; e != &g_liveInits && !found; e = e->Flink)
            found = CONTAINING_RECORD(e, WDFDEVICE_INIT, Live) == init;
    KeReleaseSpinLock(&g_liveInitsLock, irql);
    return found;
}

PWDFDEVICE_INIT InitOf(PWDFDEVICE_INIT init, PCSTR api) {
    if (init == NULL || !IsLive(init) || init->Created != NULL) {
        FxViolation("%s: the device-initialisation record is used up", api);
        return NULL;
    }
    return init;
}

// The device's own teardown, after the driver's cleanup callbacks and its children (file
// objects among them): idle state, I/O state, interfaces, then the WDM device leaves the stack.
VOID DisposeDevice(FxObject* object) {
    FxDevice* device = reinterpret_cast<FxDevice*>(object);
    FxIdleFree(device);
    if (device->Io != NULL)
        FxIoDeviceFree(device);
    while (!IsListEmpty(&device->Interfaces)) {
        FxInterface* i = CONTAINING_RECORD(RemoveHeadList(&device->Interfaces), FxInterface, Link);
        if (i->Enabled)
            IoSetDeviceInterfaceState(&i->SymbolicLink, FALSE);
        RtlFreeUnicodeString(&i->SymbolicLink);
        ExFreePoolWithTag(i, FX_TAG_DEVICE);
    }
    if (device->Self != NULL) {
        // IRPs still arriving find no framework device behind the WDM one.
        __atomic_store_n(&device->Extension->Device, nullptr, __ATOMIC_SEQ_CST);
        if (device->Lower != NULL)
            IoDetachDevice(device->Lower);
        IoDeleteDevice(device->Self);
    }
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

FxDevice* FxDeviceOf(PDEVICE_OBJECT device) {
    if (device == NULL || device->DeviceExtension == NULL)
        return NULL;
    // Cleared by the removal on the PnP thread while a late caller may be dispatching.
    return __atomic_load_n(&static_cast<FxDeviceExtension*>(device->DeviceExtension)->Device,
                           __ATOMIC_SEQ_CST);
}

EXTERN_C PVOID FxHostDeviceHandle(PDEVICE_OBJECT deviceObject) {
    FxDriver* driver = FxTheDriver();
    if (deviceObject == NULL || driver == NULL || deviceObject->DriverObject != driver->Wdm)
        return NULL;
    FxDevice* device = FxDeviceOf(deviceObject);
    return device != NULL ? device->Object.Handle : NULL;
}

NTSTATUS FxCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FxForward(FxDevice* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->Lower, irp);
}

NTSTATUS FxForwardAndWait(FxDevice* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

VOID FxStateLock(FxDevice* device) {
    KeWaitForSingleObject(&device->StateLock, Executive, KernelMode, FALSE, NULL);
}

VOID FxStateUnlock(FxDevice* device) {
    KeSetEvent(&device->StateLock, IO_NO_INCREMENT, FALSE);
}

VOID FxInterfacesSetState(FxDevice* device, BOOLEAN enable) {
    for (PLIST_ENTRY e = device->Interfaces.Flink; e != &device->Interfaces; e = e->Flink) {
        FxInterface* i = CONTAINING_RECORD(e, FxInterface, Link);
        if (i->Enabled != enable && NT_SUCCESS(IoSetDeviceInterfaceState(&i->SymbolicLink, enable)))
            i->Enabled = enable;
    }
}

NTSTATUS FxDeviceAdd(FxDriver* driver, PDEVICE_OBJECT pdo) {
    WDFDEVICE_INIT init;
    RtlZeroMemory(&init, sizeof init);
    init.Driver = driver;
    init.Pdo = pdo;
    init.IoType = WdfDeviceIoBuffered;
    NTSTATUS status = STATUS_SUCCESS;
    if (driver->Config.EvtDriverDeviceAdd != NULL) {
        SetLive(&init, TRUE);
        FxCountDriverCall();
        status = driver->Config.EvtDriverDeviceAdd(
            reinterpret_cast<WDFDRIVER>(driver->Object.Handle), &init);
        SetLive(&init, FALSE);
    }
    if (NT_SUCCESS(status) && init.Created == NULL) {
        FxViolation("EvtDriverDeviceAdd succeeded without creating a device object");
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        // A device made for an add that failed is the framework's to delete.
        if (init.Created != NULL)
            FxObjectDelete(&init.Created->Object);
        return status;
    }
    init.Created->Self->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT FxDeviceLower(FxDevice* device) {
    return device->Lower;
}

PDEVICE_OBJECT FxDeviceWdm(FxDevice* device) {
    return device->Self;
}

WDF_DEVICE_IO_TYPE FxDeviceIoType(FxDevice* device) {
    return device->IoType;
}

PWDF_OBJECT_ATTRIBUTES FxDeviceRequestAttributes(FxDevice* device) {
    return device->HasRequestAttributes ? &device->RequestAttributes : NULL;
}

PFN_WDF_IO_IN_CALLER_CONTEXT FxDeviceInCallerContext(FxDevice* device) {
    return device->InCallerContext;
}

VOID imp_WdfDeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init,
                                                PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL) || !InitOf(init, "WdfDeviceInitSetPnp"
                                                                    "PowerEventCallbacks"))
        return;
    if (callbacks == NULL || callbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        FxViolation("WdfDeviceInitSetPnpPowerEventCallbacks: Size is wrong");
        return;
    }
    init->Callbacks = *callbacks;
}

VOID imp_WdfDeviceInitSetIoType(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init,
                                WDF_DEVICE_IO_TYPE ioType) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL) || !InitOf(init, FX_API))
        return;
    if (ioType < WdfDeviceIoNeither || ioType > WdfDeviceIoDirect) {
        FxViolation("WdfDeviceInitSetIoType: %d is no transfer method", static_cast<int>(ioType));
        return;
    }
    init->IoType = ioType;
}

VOID imp_WdfDeviceInitSetIoInCallerContextCallback(PWDF_DRIVER_GLOBALS globals,
                                                   PWDFDEVICE_INIT init,
                                                   PFN_WDF_IO_IN_CALLER_CONTEXT callback) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL) || !InitOf(init, FX_API))
        return;
    init->InCallerContext = callback;
}

VOID imp_WdfDeviceInitSetFileObjectConfig(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init,
                                          PWDF_FILEOBJECT_CONFIG config,
                                          PWDF_OBJECT_ATTRIBUTES attributes) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL) || !InitOf(init, FX_API))
        return;
    if (config == NULL || config->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        FxViolation("WdfDeviceInitSetFileObjectConfig: WDF_FILEOBJECT_CONFIG.Size is wrong");
        return;
    }
    if (attributes != NULL && attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        FxViolation("WdfDeviceInitSetFileObjectConfig: WDF_OBJECT_ATTRIBUTES.Size is wrong");
        return;
    }
    init->FileConfig = *config;
    init->HasFileConfig = TRUE;
    init->HasFileAttributes = attributes != NULL;
    if (attributes != NULL)
        init->FileAttributes = *attributes;
}

VOID imp_WdfDeviceInitSetRequestAttributes(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init,
                                           PWDF_OBJECT_ATTRIBUTES attributes) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL) || !InitOf(init, FX_API))
        return;
    if (attributes == NULL || attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        FxViolation("WdfDeviceInitSetRequestAttributes: WDF_OBJECT_ATTRIBUTES.Size is wrong");
        return;
    }
    init->RequestAttributes = *attributes;
    init->HasRequestAttributes = TRUE;
}

// Creates the device object with its context; on success *DeviceInit becomes NULL.
NTSTATUS imp_WdfDeviceCreate(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT* deviceInit,
                             PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* created) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    PWDFDEVICE_INIT init = InitOf(deviceInit != NULL ? *deviceInit : NULL, FX_API);
    if (init == NULL || created == NULL)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    if (FxInjected(__func__, &status))
        return status;
    FxObject* object;
    status = FxObjectCreate(sizeof(FxDevice), FxTypeDevice, attributes, &init->Driver->Object,
                            DisposeDevice, FX_API, &object);
    if (!NT_SUCCESS(status))
        return status;
    FxDevice* device = reinterpret_cast<FxDevice*>(object);
    device->Driver = init->Driver;
    device->Pdo = init->Pdo;
    device->Callbacks = init->Callbacks;
    device->IoType = init->IoType;
    device->InCallerContext = init->InCallerContext;
    device->RequestAttributes = init->RequestAttributes;
    device->HasRequestAttributes = init->HasRequestAttributes;
    device->FileConfig = init->FileConfig;
    device->FileAttributes = init->FileAttributes;
    device->HasFileConfig = init->HasFileConfig;
    device->HasFileAttributes = init->HasFileAttributes;
    FxDeviceSetPnpState(device, FxPnpAdded);
    device->LastDx = WdfPowerDeviceD3Final;
    InitializeListHead(&device->Interfaces);
    InitializeListHead(&device->Files);
    KeInitializeSpinLock(&device->FilesLock);
    KeInitializeEvent(&device->StateLock, SynchronizationEvent, TRUE);

    PDEVICE_OBJECT self;
    status = IoCreateDevice(init->Driver->Wdm, sizeof(FxDeviceExtension), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &self);
    if (NT_SUCCESS(status)) {
        FxDeviceExtension* extension = static_cast<FxDeviceExtension*>(self->DeviceExtension);
        extension->Dispatching = 1;
        KeInitializeEvent(&extension->DispatchDrained, NotificationEvent, FALSE);
        __atomic_store_n(&extension->Device, device, __ATOMIC_SEQ_CST);
        device->Extension = extension;
        device->Self = self;
        device->Lower = IoAttachDeviceToDeviceStack(self, init->Pdo);
        if (device->Lower == NULL)
            status = STATUS_NO_SUCH_DEVICE;
    }
    if (NT_SUCCESS(status)) {
        if (device->IoType == WdfDeviceIoBuffered)
            self->Flags |= DO_BUFFERED_IO;
        else if (device->IoType == WdfDeviceIoDirect)
            self->Flags |= DO_DIRECT_IO;
        self->Flags |= device->Lower->Flags & DO_POWER_PAGABLE;
        status = FxIdleCreate(device);
    }
    if (NT_SUCCESS(status))
        status = FxIoDeviceInit(device);
    if (!NT_SUCCESS(status)) {
        FxObjectDelete(object);
        return status;
    }
    init->Created = device;
    *deviceInit = NULL;
    static const PCSTR ioTypes[] = {"undefined", "neither", "buffered", "direct"};
    FxEvent("WdfDeviceCreate io type %s", ioTypes[device->IoType]);
    *created = reinterpret_cast<WDFDEVICE>(object->Handle);
    return STATUS_SUCCESS;
}

// Recorded now, applied to the bus's answer when QUERY_CAPABILITIES comes back up.
VOID imp_WdfDeviceSetPnpCapabilities(PWDF_DRIVER_GLOBALS globals, WDFDEVICE handle,
                                     PWDF_DEVICE_PNP_CAPABILITIES caps) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxDevice* device = FxResolve<FxDevice>(handle, FX_API);
    if (device == NULL)
        return;
    if (caps == NULL || caps->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        FxViolation("WdfDeviceSetPnpCapabilities: Size is wrong");
        return;
    }
    device->Capabilities = *caps;
    device->HasCapabilities = TRUE;
    const WDF_DEVICE_PNP_CAPABILITIES& c = *caps;
    FxEvent("WdfDeviceSetPnpCapabilities SurpriseRemovalOK=%d LockSupported=%d EjectSupported=%d "
            "Removable=%d DockDevice=%d UniqueID=%d SilentInstall=%d HardwareDisabled=%d "
            "NoDisplayInUI=%d Address=0x%lx UINumber=0x%lx",
            c.SurpriseRemovalOK, c.LockSupported, c.EjectSupported, c.Removable, c.DockDevice,
            c.UniqueID, c.SilentInstall, c.HardwareDisabled, c.NoDisplayInUI,
            static_cast<unsigned long>(c.Address), static_cast<unsigned long>(c.UINumber));
}

// Registered on the PDO now; enabled when the device starts (at once if it has) and disabled
// when it is removed.
NTSTATUS imp_WdfDeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS globals, WDFDEVICE handle,
                                            CONST GUID* interfaceClass,
                                            PCUNICODE_STRING referenceString) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    if (FxInjected(__func__, &status))
        return status;
    FxDevice* device = FxResolve<FxDevice>(handle, FX_API);
    if (device == NULL || interfaceClass == NULL)
        return STATUS_INVALID_PARAMETER;
    auto* i = static_cast<FxInterface*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FxInterface), FX_TAG_DEVICE));
    if (i == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(i, sizeof *i);
    status =
        IoRegisterDeviceInterface(device->Pdo, interfaceClass,
                                  const_cast<PUNICODE_STRING>(referenceString), &i->SymbolicLink);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(i, FX_TAG_DEVICE);
        return status;
    }
    // No state lock: the driver may call this from its PnP callbacks, which run under it.
    InsertTailList(&device->Interfaces, &i->Link);
    if (FxDevicePnpState(device) == FxPnpStarted)
        FxInterfacesSetState(device, TRUE);
    FxEvent(FX_API);
    return STATUS_SUCCESS;
}
