// IRP_MJ_PNP for the framework's device: start (down first, then prepare hardware and D0),
// stop, removal, surprise removal and capabilities; the rest goes down the stack untouched.
#include "FxDevice.h"
#include "FxEntry.h"

namespace {

WDFDEVICE HandleOf(FxDevice* device) {
    return reinterpret_cast<WDFDEVICE>(device->Object.Handle);
}

NTSTATUS Reported(PCSTR callback, NTSTATUS status) {
    FxEvent("%s -> 0x%08X", callback, static_cast<unsigned>(status));
    return status;
}

NTSTATUS PrepareHardware(FxDevice* device) {
    PFN_WDF_DEVICE_PREPARE_HARDWARE prepare = device->Callbacks.EvtDevicePrepareHardware;
    NTSTATUS status = STATUS_SUCCESS;
    if (prepare != NULL) {
        FxCountDriverCall();
        device->PreparedFrom = FxObjectsNextSerial();
        status = Reported("EvtDevicePrepareHardware", prepare(HandleOf(device), NULL, NULL));
        device->PreparedTo = FxObjectsNextSerial();
    }
    device->HardwarePrepared = NT_SUCCESS(status);
    return status;
}

VOID ReleaseHardware(FxDevice* device) {
    if (!device->HardwarePrepared)
        return;
    device->HardwarePrepared = FALSE;
    PFN_WDF_DEVICE_RELEASE_HARDWARE release = device->Callbacks.EvtDeviceReleaseHardware;
    if (release != NULL) {
        FxCountDriverCall();
        Reported("EvtDeviceReleaseHardware", release(HandleOf(device), NULL));
    }
    // What the preparation made under the driver, not the device, the release must delete.
    FxObjectsReportOutliving(device->PreparedFrom, device->PreparedTo, "EvtDevicePrepareHardware",
                             "EvtDeviceReleaseHardware");
}

// Under the state lock, once the lower drivers have started.
NTSTATUS StartLocked(FxDevice* device) {
    NTSTATUS status = PrepareHardware(device);
    if (NT_SUCCESS(status))
        status = FxPowerUp(device, WdfPowerDeviceD3Final);
    if (!NT_SUCCESS(status)) {
        // A failed start releases the hardware; the PnP manager then removes the device.
        ReleaseHardware(device);
        return status;
    }
    FxDeviceSetPnpState(device, FxPnpStarted);
    FxInterfacesSetState(device, TRUE);
    FxIdleStarted(device);
    return STATUS_SUCCESS;
}

NTSTATUS Start(FxDevice* device, PIRP irp) {
    NTSTATUS status = FxForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        FxStateLock(device);
        status = StartLocked(device);
        FxStateUnlock(device);
    }
    return FxCompleteIrp(irp, status, irp->IoStatus.Information);
}

// A query the driver may refuse: refused, the IRP ends here; agreed, it goes down.
NTSTATUS Query(FxDevice* device, PIRP irp, PFN_WDF_DEVICE_QUERY_STOP callback, PCSTR name) {
    if (callback != NULL) {
        FxCountDriverCall();
        NTSTATUS status = Reported(name, callback(HandleOf(device)));
        if (!NT_SUCCESS(status))
            return FxCompleteIrp(irp, status, 0);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return FxForward(device, irp);
}

NTSTATUS Stop(FxDevice* device, PIRP irp) {
    FxStateLock(device);
    FxIdleStop(device);
    if (device->InD0)
        FxPowerDown(device, WdfPowerDeviceD3Final, FALSE);
    ReleaseHardware(device);
    if (FxDevicePnpState(device) == FxPnpStarted)
        FxDeviceSetPnpState(device, FxPnpStopped);
    FxStateUnlock(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return FxForward(device, irp);
}

// The device is gone: interfaces off, queues purged and sent I/O cancelled (inside the D0 exit
// when the device was in D0), then the hardware released.
NTSTATUS SurpriseRemoval(FxDevice* device, PIRP irp) {
    FxStateLock(device);
    FxIdleStop(device);
    FxInterfacesSetState(device, FALSE);
    FxDeviceSetPnpState(device, FxPnpSurpriseRemoved);
    FxEvent("device surprise-removed");
    if (device->InD0) {
        FxPowerDown(device, WdfPowerDeviceD3Final, TRUE);
    } else {
        FxIoPurge(device, STATUS_CANCELLED);
        FxIoTargetsRemove(device);
    }
    if (PFN_WDF_DEVICE_SURPRISE_REMOVAL removal = device->Callbacks.EvtDeviceSurpriseRemoval) {
        FxCountDriverCall();
        removal(HandleOf(device));
        FxEvent("EvtDeviceSurpriseRemoval");
    }
    ReleaseHardware(device);
    FxStateUnlock(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return FxForward(device, irp);
}

// Orderly removal after a stop or start, or the end after a surprise removal: the queues fail
// what they hold, targets go, the IRP goes down, then the device object and its children.
NTSTATUS Remove(FxDevice* device, PIRP irp) {
    FxStateLock(device);
    FxIdleStop(device);
    if (device->InD0)
        FxPowerDown(device, WdfPowerDeviceD3Final, FALSE);
    ReleaseHardware(device);
    FxSelfManagedIoEnd(device);
    FxInterfacesSetState(device, FALSE);
    FxIoPurge(device, STATUS_CANCELLED);
    FxIoTargetsRemove(device);
    FxDeviceSetPnpState(device, FxPnpRemoved);
    FxStateUnlock(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = FxForward(device, irp);
    // Callers still in a dispatch routine leave it (their requests fail on purged queues).
    FxDeviceExtension* extension = device->Extension;
    if (InterlockedDecrement(&extension->Dispatching) != 0)
        KeWaitForSingleObject(&extension->DispatchDrained, Executive, KernelMode, FALSE, NULL);
    FxObjectDelete(&device->Object);
    FxEvent("device removed");
    FxReportLive("device removed");
    return status;
}

ULONG TriState(WDF_TRI_STATE value, ULONG current) {
    return value == WdfUseDefault ? current : (value == WdfTrue ? 1 : 0);
}

// The bus's answer, with what the driver set applied on the way up.
NTSTATUS QueryCapabilities(FxDevice* device, PIRP irp) {
    NTSTATUS status = FxForwardAndWait(device, irp);
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(status) && caps != NULL) {
        // Read by the power transitions (the idle and sleep Dx).
        FxStateLock(device);
        device->BusDeviceWake = caps->DeviceWake;
        FxStateUnlock(device);
        if (device->HasCapabilities) {
            const WDF_DEVICE_PNP_CAPABILITIES& c = device->Capabilities;
            caps->LockSupported = TriState(c.LockSupported, caps->LockSupported);
            caps->EjectSupported = TriState(c.EjectSupported, caps->EjectSupported);
            caps->Removable = TriState(c.Removable, caps->Removable);
            caps->DockDevice = TriState(c.DockDevice, caps->DockDevice);
            caps->UniqueID = TriState(c.UniqueID, caps->UniqueID);
            caps->SilentInstall = TriState(c.SilentInstall, caps->SilentInstall);
            caps->SurpriseRemovalOK = TriState(c.SurpriseRemovalOK, caps->SurpriseRemovalOK);
            caps->HardwareDisabled = TriState(c.HardwareDisabled, caps->HardwareDisabled);
            caps->NoDisplayInUI = TriState(c.NoDisplayInUI, caps->NoDisplayInUI);
            if (c.Address != static_cast<ULONG>(-1))
                caps->Address = c.Address;
            if (c.UINumber != static_cast<ULONG>(-1))
                caps->UINumber = c.UINumber;
        }
    }
    return FxCompleteIrp(irp, status, irp->IoStatus.Information);
}

} // namespace

NTSTATUS FxPnpDispatch(FxDevice* device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(device, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return Query(device, irp, device->Callbacks.EvtDeviceQueryStop, "EvtDeviceQueryStop");
    case IRP_MN_STOP_DEVICE:
        return Stop(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return Query(device, irp, device->Callbacks.EvtDeviceQueryRemove, "EvtDeviceQueryRemove");
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return FxForward(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoval(device, irp);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(device, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(device, irp);
    default:
        return FxForward(device, irp);
    }
}
