// IRP_MJ_POWER for the framework's device, and the D0 entry and exit every power transition
// runs: a device set to D0 is powered up on the way back up the stack, one set to Dx leaves D0
// before the IRP goes down.
#include "FxDevice.h"
#include "FxEntry.h"

namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Down the stack and back up to us, at PASSIVE_LEVEL.
NTSTATUS PowerDownAndWait(FxDevice* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = PoCallDriver(device->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(FxDevice* device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->Lower, irp);
}

NTSTATUS SetDevicePower(FxDevice* device, PIRP irp, DEVICE_POWER_STATE state) {
    if (state == PowerDeviceD0) {
        NTSTATUS status = PowerDownAndWait(device, irp);
        if (NT_SUCCESS(status)) {
            FxStateLock(device);
            if (!device->InD0 && device->PnpState == FxPnpStarted) {
                FxIdleStop(device); // idle in Dx: the notification goes, the system's D0 wins
                status = FxPowerUp(device, device->LastDx);
                if (NT_SUCCESS(status))
                    FxIdleStarted(device);
            }
            FxStateUnlock(device);
        }
        PoStartNextPowerIrp(irp);
        return FxCompleteIrp(irp, status, 0);
    }
    FxStateLock(device);
    FxIdleStop(device); // a device idle in Dx gives up its idle notification too
    if (device->InD0)
        FxPowerDown(device, FxWdfPowerState(state), FALSE);
    FxStateUnlock(device);
    return PassDown(device, irp);
}

} // namespace

WDF_POWER_DEVICE_STATE FxWdfPowerState(DEVICE_POWER_STATE state) {
    switch (state) {
    case PowerDeviceD0:
        return WdfPowerDeviceD0;
    case PowerDeviceD1:
        return WdfPowerDeviceD1;
    case PowerDeviceD2:
        return WdfPowerDeviceD2;
    default:
        return WdfPowerDeviceD3;
    }
}

PCSTR FxPowerName(WDF_POWER_DEVICE_STATE state) {
    static const PCSTR names[] = {
        "Invalid", "D0", "D1", "D2", "D3", "D3Final", "PrepareForHibernation"};
    return state < sizeof names / sizeof names[0] ? names[state] : "?";
}

NTSTATUS FxPowerUp(FxDevice* device, WDF_POWER_DEVICE_STATE previous) {
    NTSTATUS status = STATUS_SUCCESS;
    if (PFN_WDF_DEVICE_D0_ENTRY entry = device->Callbacks.EvtDeviceD0Entry) {
        FxCountDriverCall();
        status = entry(reinterpret_cast<WDFDEVICE>(device->Object.Handle), previous);
        FxEvent("EvtDeviceD0Entry(%s) -> 0x%08X", FxPowerName(previous),
                static_cast<unsigned>(status));
    }
    if (!NT_SUCCESS(status))
        return status;
    device->InD0 = TRUE;
    FxIoPowerManagedStart(device);
    return STATUS_SUCCESS;
}

// Before D0 exit the power-managed queues stop and the requests the driver owns are waited for;
// a surprise-removed device's queues are purged instead and its targets removed after the exit.
NTSTATUS FxPowerDown(FxDevice* device, WDF_POWER_DEVICE_STATE target, BOOLEAN surprise) {
    if (surprise)
        FxIoPurge(device, STATUS_CANCELLED);
    else
        FxIoPowerManagedStop(device);
    NTSTATUS status = STATUS_SUCCESS;
    if (PFN_WDF_DEVICE_D0_EXIT exit = device->Callbacks.EvtDeviceD0Exit) {
        FxCountDriverCall();
        status = exit(reinterpret_cast<WDFDEVICE>(device->Object.Handle), target);
        FxEvent("EvtDeviceD0Exit(%s) -> 0x%08X", FxPowerName(target),
                static_cast<unsigned>(status));
    }
    if (surprise)
        FxIoTargetsRemove(device);
    device->InD0 = FALSE;
    device->LastDx = target;
    return status;
}

NTSTATUS FxSendDevicePower(FxDevice* device, DEVICE_POWER_STATE state) {
    PIRP irp = IoAllocateIrp(device->Lower->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = state;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = PoCallDriver(device->Lower, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS FxPowerDispatch(FxDevice* device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState)
        return SetDevicePower(device, irp, stack->Parameters.Power.State.DeviceState);
    // System states, queries and wait-wake belong to the bus; the framework does not veto.
    return PassDown(device, irp);
}
