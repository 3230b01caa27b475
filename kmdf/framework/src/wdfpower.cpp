// IRP_MJ_POWER for the framework's device, and the D0 entry and exit every power transition
// runs: a device set to D0 is powered up on the way back up the stack, one set to Dx leaves D0
// before the IRP goes down. As its power policy owner the framework turns a system sleep into
// the device's own Dx (the wake Dx when armed for wake, else D3) and S0 back into D0.
#include "FxDevice.h"
#include "FxEntry.h"

namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Down the stack and back up to us, at PASSIVE_LEVEL.
NTSTATUS SendDownAndWait(FxDevice* device, PIRP irp) {
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
        NTSTATUS status = SendDownAndWait(device, irp);
        if (NT_SUCCESS(status)) {
            FxStateLock(device);
            if (!device->InD0 && FxDevicePnpState(device) == FxPnpStarted) {
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

// Under the state lock (the bus's DeviceWake).
DEVICE_POWER_STATE SleepDx(FxDevice* device) {
    const FxWakeSettings wake = FxIdleWakeSettings(device);
    if (!wake.Assigned || wake.Enabled == WdfFalse)
        return PowerDeviceD3;
    DEVICE_POWER_STATE dx = wake.Dx;
    if (dx >= PowerDeviceD1 && dx <= PowerDeviceD3)
        return dx;
    dx = device->BusDeviceWake;
    return dx >= PowerDeviceD1 && dx <= PowerDeviceD3 ? dx : PowerDeviceD2;
}

NTSTATUS SetSystemPower(FxDevice* device, PIRP irp, SYSTEM_POWER_STATE state) {
    if (state == PowerSystemWorking) {
        NTSTATUS status = SendDownAndWait(device, irp);
        if (NT_SUCCESS(status)) {
            FxStateLock(device);
            if (device->SystemAsleep && !device->InD0 && FxDevicePnpState(device) == FxPnpStarted) {
                FxSendDevicePower(device, PowerDeviceD0);
                if (NT_SUCCESS(FxPowerUp(device, device->LastDx)))
                    FxIdleStarted(device);
            }
            device->SystemAsleep = FALSE;
            FxStateUnlock(device);
        }
        PoStartNextPowerIrp(irp);
        return FxCompleteIrp(irp, status, 0);
    }
    FxStateLock(device);
    if (FxDevicePnpState(device) == FxPnpStarted && !device->SystemAsleep) {
        FxIdleStop(device);
        device->SystemAsleep = TRUE;
        if (device->InD0) {
            DEVICE_POWER_STATE dx = SleepDx(device);
            FxPowerDown(device, FxWdfPowerState(dx), FALSE);
            FxSendDevicePower(device, dx);
        }
    }
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
    const WDF_PNPPOWER_EVENT_CALLBACKS& c = device->Callbacks;
    WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(device->Object.Handle);
    NTSTATUS status = STATUS_SUCCESS;
    if (c.EvtDeviceD0Entry != NULL) {
        FxCountDriverCall();
        status = c.EvtDeviceD0Entry(handle, previous);
        FxEvent("EvtDeviceD0Entry(%s) -> 0x%08X", FxPowerName(previous),
                static_cast<unsigned>(status));
    }
    if (NT_SUCCESS(status) && c.EvtDeviceD0EntryPostInterruptsEnabled != NULL) {
        FxCountDriverCall();
        status = c.EvtDeviceD0EntryPostInterruptsEnabled(handle, previous);
    }
    if (!NT_SUCCESS(status))
        return status;
    device->InD0 = TRUE;
    FxIoPowerManagedStart(device);
    // Self-managed I/O starts with the first D0 and restarts with each later one.
    if (!device->SelfManagedIoStarted) {
        device->SelfManagedIoStarted = TRUE;
        if (c.EvtDeviceSelfManagedIoInit != NULL) {
            FxCountDriverCall();
            status = c.EvtDeviceSelfManagedIoInit(handle);
        }
    } else if (c.EvtDeviceSelfManagedIoRestart != NULL) {
        FxCountDriverCall();
        status = c.EvtDeviceSelfManagedIoRestart(handle);
    }
    return status;
}

// Before D0 exit the power-managed queues stop and the requests the driver owns are waited for;
// a surprise-removed device's queues are purged and its targets removed first.
NTSTATUS FxPowerDown(FxDevice* device, WDF_POWER_DEVICE_STATE target, BOOLEAN surprise) {
    const WDF_PNPPOWER_EVENT_CALLBACKS& c = device->Callbacks;
    WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(device->Object.Handle);
    if (surprise) {
        // Nothing new is presented, sent I/O is cancelled and later sends fail; then what the
        // driver still owns (a callback running on another thread) is waited for, so that D0
        // exit and the hardware's release never pull state from under it.
        FxIoPurge(device, STATUS_CANCELLED);
        FxIoTargetsRemove(device);
    }
    FxIoPowerManagedStop(device);
    if (device->SelfManagedIoStarted && c.EvtDeviceSelfManagedIoSuspend != NULL) {
        FxCountDriverCall();
        c.EvtDeviceSelfManagedIoSuspend(handle);
    }
    if (c.EvtDeviceD0ExitPreInterruptsDisabled != NULL) {
        FxCountDriverCall();
        c.EvtDeviceD0ExitPreInterruptsDisabled(handle, target);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (c.EvtDeviceD0Exit != NULL) {
        FxCountDriverCall();
        status = c.EvtDeviceD0Exit(handle, target);
        FxEvent("EvtDeviceD0Exit(%s) -> 0x%08X", FxPowerName(target),
                static_cast<unsigned>(status));
    }
    device->InD0 = FALSE;
    device->LastDx = target;
    return status;
}

VOID FxSelfManagedIoEnd(FxDevice* device) {
    if (!device->SelfManagedIoStarted)
        return;
    device->SelfManagedIoStarted = FALSE;
    const WDF_PNPPOWER_EVENT_CALLBACKS& c = device->Callbacks;
    WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(device->Object.Handle);
    if (c.EvtDeviceSelfManagedIoFlush != NULL) {
        FxCountDriverCall();
        c.EvtDeviceSelfManagedIoFlush(handle);
    }
    if (c.EvtDeviceSelfManagedIoCleanup != NULL) {
        FxCountDriverCall();
        c.EvtDeviceSelfManagedIoCleanup(handle);
    }
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
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == SystemPowerState)
        return SetSystemPower(device, irp, stack->Parameters.Power.State.SystemState);
    // Queries and wait-wake belong to the bus; the framework does not veto.
    return PassDown(device, irp);
}
