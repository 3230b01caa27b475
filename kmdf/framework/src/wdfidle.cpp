// S0 idle and Sx wake settings. IdleTimeout ms after the power-managed queues last held
// anything, a timer DPC queues the power-down as work: for USB selective suspend the idle
// notification IRP goes to the bus, whose callback is where the device leaves D0 for the idle
// Dx; otherwise it leaves D0 at once. A request arriving (FxDevicePowerReference) or the bus
// completing the notification (remote wake) brings it back.
#include "FxDevice.h"
#include "FxEntry.h"
#include "FxExports.h"
#include "FxKernel.h"

struct FxIdle {
    FxDevice* Device;
    KSPIN_LOCK Lock; // everything below, and the device's Idle and Wake settings
    KTIMER Timer;
    KDPC Dpc;
    PIO_WORKITEM Work;
    BOOLEAN WorkQueued;
    BOOLEAN WantDown;
    BOOLEAN WantUp;
    BOOLEAN Running; // started and in D0 (or idle in Dx): the timer may run
    BOOLEAN Down;    // in the idle Dx
    LONG Busy;       // power references of the I/O side
    PIRP Irp;        // the idle notification at the bus
    LONG IrpHolds;   // its completion's and each canceller's: the last one frees it
    KEVENT IrpGone;  // set while no notification is out
    KEVENT WorkGone; // set while no work is queued
    USB_IDLE_CALLBACK_INFO Info;
};

namespace {

BOOLEAN IdleEnabled(FxDevice* device) {
    return device->Idle.Assigned && device->Idle.Enabled != WdfFalse;
}

// Under the state lock (the bus's DeviceWake); the settings are the idle lock's.
DEVICE_POWER_STATE IdleDx(FxIdle* idle) {
    FxDevice* device = idle->Device;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    DEVICE_POWER_STATE dx = device->Idle.Dx;
    const WDF_POWER_POLICY_S0_IDLE_CAPABILITIES caps = device->Idle.Caps;
    KeReleaseSpinLock(&idle->Lock, irql);
    if (dx >= PowerDeviceD1 && dx <= PowerDeviceD3)
        return dx;
    if (caps == IdleCannotWakeFromS0)
        return PowerDeviceD3;
    dx = device->BusDeviceWake;
    return dx >= PowerDeviceD1 && dx <= PowerDeviceD3 ? dx : PowerDeviceD2;
}

// The timer is decided under the lock and set after it: Wine's KeSetTimer and KeCancelTimer wait
// for a running timer DPC, and this one takes the lock. A timer left set is harmless, its DPC
// decides again; so a request arriving does not cancel it, the next arm resets it.
// With the lock held: the due time to arm for, or 0.
LONGLONG ArmDueLocked(FxIdle* idle) {
    FxDevice* device = idle->Device;
    if (!idle->Running || idle->Down || idle->Busy != 0 || !IdleEnabled(device))
        return 0;
    return -static_cast<LONGLONG>(device->Idle.TimeoutMs) * 10000;
}

// With the lock released.
VOID Arm(FxIdle* idle, LONGLONG due) {
    if (due == 0)
        return;
    LARGE_INTEGER time;
    time.QuadPart = due;
    KeSetTimer(&idle->Timer, time, &idle->Dpc);
}

IO_WORKITEM_ROUTINE IdleWork;

VOID QueueLocked(FxIdle* idle) {
    if (idle->WorkQueued)
        return;
    idle->WorkQueued = TRUE;
    KeClearEvent(&idle->WorkGone);
    IoQueueWorkItem(idle->Work, IdleWork, DelayedWorkQueue, idle);
}

VOID IdleTimerFired(PKDPC, PVOID context, PVOID, PVOID) {
    FxIdle* idle = static_cast<FxIdle*>(context);
    KeAcquireSpinLockAtDpcLevel(&idle->Lock);
    if (idle->Running && !idle->Down && idle->Busy == 0 && IdleEnabled(idle->Device)) {
        idle->WantDown = TRUE;
        QueueLocked(idle);
    }
    KeReleaseSpinLockFromDpcLevel(&idle->Lock);
}

// Under the state lock: still nothing to do for the device?
BOOLEAN StillIdle(FxIdle* idle) {
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    BOOLEAN idleNow = idle->Running && !idle->Down && idle->Busy == 0;
    KeReleaseSpinLock(&idle->Lock, irql);
    FxDevice* device = idle->Device;
    return idleNow && device->InD0 && FxDevicePnpState(device) == FxPnpStarted &&
           FxIoPowerManagedIdle(device);
}

// Under the state lock.
VOID EnterIdleDx(FxIdle* idle) {
    FxDevice* device = idle->Device;
    DEVICE_POWER_STATE dx = IdleDx(idle);
    FxPowerDown(device, FxWdfPowerState(dx), FALSE);
    FxSendDevicePower(device, dx);
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Down = TRUE;
    // A request that came while the queues stopped wants the device back.
    if (idle->Busy != 0) {
        idle->WantUp = TRUE;
        QueueLocked(idle);
    }
    KeReleaseSpinLock(&idle->Lock, irql);
}

// The bus's selective-suspend callback, at PASSIVE_LEVEL: the device may suspend now.
VOID IdleCallback(PVOID context) {
    FxIdle* idle = static_cast<FxIdle*>(context);
    FxDevice* device = idle->Device;
    FxStateLock(device);
    if (StillIdle(idle))
        EnterIdleDx(idle);
    FxStateUnlock(device);
}

// A hold on the notification ends; the last frees it. Nothing touches `idle` after the event:
// FxIdleFree may free it as soon as it is set.
VOID IdleIrpRelease(FxIdle* idle, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    BOOLEAN last = --idle->IrpHolds == 0;
    KeReleaseSpinLock(&idle->Lock, irql);
    if (!last)
        return;
    IoFreeIrp(irp);
    KeSetEvent(&idle->IrpGone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS IdleIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    FxIdle* idle = static_cast<FxIdle*>(context);
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Irp = NULL;
    // Completed by the bus, not cancelled by us: the device woke (remote wake).
    if (NT_SUCCESS(irp->IoStatus.Status) && idle->Down && idle->Running) {
        idle->WantUp = TRUE;
        QueueLocked(idle);
    }
    KeReleaseSpinLock(&idle->Lock, irql);
    // A canceller that took the IRP before this ran still calls IoCancelIrp on it.
    IdleIrpRelease(idle, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Under the state lock.
VOID SendIdleNotification(FxIdle* idle) {
    FxDevice* device = idle->Device;
    PIRP irp = IoAllocateIrp(device->Lower->StackSize, FALSE);
    if (irp == NULL)
        return; // stays in D0; the next I/O re-arms the timer
    idle->Info.IdleCallback = IdleCallback;
    idle->Info.IdleContext = idle;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    next->Parameters.DeviceIoControl.Type3InputBuffer = &idle->Info;
    IoSetCompletionRoutine(irp, IdleIrpDone, idle, TRUE, TRUE, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Irp = irp;
    idle->IrpHolds = 1;
    KeClearEvent(&idle->IrpGone);
    KeReleaseSpinLock(&idle->Lock, irql);
    IoCallDriver(device->Lower, irp);
}

// Under the state lock: the notification cancelled and waited for. The bus may complete it on
// another thread meanwhile; the hold keeps it allocated until IoCancelIrp has returned.
VOID CancelIdleNotification(FxIdle* idle) {
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    PIRP irp = idle->Irp;
    if (irp != NULL)
        idle->IrpHolds++;
    KeReleaseSpinLock(&idle->Lock, irql);
    if (irp != NULL) {
        IoCancelIrp(irp);
        IdleIrpRelease(idle, irp);
    }
    KeWaitForSingleObject(&idle->IrpGone, Executive, KernelMode, FALSE, NULL);
}

// Under the state lock.
VOID LeaveIdleDx(FxIdle* idle) {
    FxDevice* device = idle->Device;
    CancelIdleNotification(idle);
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    BOOLEAN down = idle->Down;
    idle->Down = FALSE;
    KeReleaseSpinLock(&idle->Lock, irql);
    if (down && FxDevicePnpState(device) == FxPnpStarted) {
        FxSendDevicePower(device, PowerDeviceD0);
        FxPowerUp(device, device->LastDx);
    }
}

VOID IdleWork(PDEVICE_OBJECT, PVOID context) {
    FxIdle* idle = static_cast<FxIdle*>(context);
    FxDevice* device = idle->Device;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&idle->Lock, &irql);
        BOOLEAN up = idle->WantUp;
        BOOLEAN down = idle->WantDown && !up;
        const BOOLEAN selective = device->Idle.Caps == IdleUsbSelectiveSuspend;
        idle->WantUp = idle->WantDown = FALSE;
        if (!up && !down) {
            idle->WorkQueued = FALSE;
            KeReleaseSpinLock(&idle->Lock, irql);
            // Last: FxIdleFree frees the lock as soon as this is set.
            KeSetEvent(&idle->WorkGone, IO_NO_INCREMENT, FALSE);
            return;
        }
        KeReleaseSpinLock(&idle->Lock, irql);
        FxStateLock(device);
        if (up) {
            LeaveIdleDx(idle);
            KeAcquireSpinLock(&idle->Lock, &irql);
            const LONGLONG due = ArmDueLocked(idle);
            KeReleaseSpinLock(&idle->Lock, irql);
            Arm(idle, due);
        } else if (StillIdle(idle)) {
            if (selective)
                SendIdleNotification(idle);
            else
                EnterIdleDx(idle);
        }
        FxStateUnlock(device);
    }
}

} // namespace

NTSTATUS FxIdleCreate(FxDevice* device) {
    auto* idle =
        static_cast<FxIdle*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FxIdle), FX_TAG_DEVICE));
    if (idle == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(idle, sizeof *idle);
    idle->Work = IoAllocateWorkItem(device->Self);
    if (idle->Work == NULL) {
        ExFreePoolWithTag(idle, FX_TAG_DEVICE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    idle->Device = device;
    KeInitializeSpinLock(&idle->Lock);
    KeInitializeTimer(&idle->Timer);
    FxInitializeDpc(&idle->Dpc, IdleTimerFired, idle);
    KeInitializeEvent(&idle->IrpGone, NotificationEvent, TRUE);
    KeInitializeEvent(&idle->WorkGone, NotificationEvent, TRUE);
    device->IdleState = idle;
    return STATUS_SUCCESS;
}

VOID FxIdleFree(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    if (idle == NULL)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Running = FALSE;
    KeReleaseSpinLock(&idle->Lock, irql);
    KeCancelTimer(&idle->Timer);
    KeWaitForSingleObject(&idle->WorkGone, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(&idle->IrpGone, Executive, KernelMode, FALSE, NULL);
    IoFreeWorkItem(idle->Work);
    ExFreePoolWithTag(idle, FX_TAG_DEVICE);
    device->IdleState = NULL;
}

VOID FxIdleStarted(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Running = TRUE;
    idle->Down = FALSE;
    const LONGLONG due = ArmDueLocked(idle);
    KeReleaseSpinLock(&idle->Lock, irql);
    Arm(idle, due);
}

VOID FxIdleStop(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Running = FALSE;
    idle->WantDown = FALSE;
    KeReleaseSpinLock(&idle->Lock, irql);
    KeCancelTimer(&idle->Timer);
    CancelIdleNotification(idle);
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Down = FALSE;
    KeReleaseSpinLock(&idle->Lock, irql);
}

BOOLEAN FxIdleIsDown(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    BOOLEAN down = idle->Down;
    KeReleaseSpinLock(&idle->Lock, irql);
    return down;
}

FxWakeSettings FxIdleWakeSettings(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    FxWakeSettings wake = device->Wake;
    KeReleaseSpinLock(&idle->Lock, irql);
    return wake;
}

VOID FxDevicePowerReference(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    idle->Busy++;
    if (idle->Running && (idle->Down || idle->Irp != NULL)) {
        idle->WantUp = TRUE;
        QueueLocked(idle);
    }
    KeReleaseSpinLock(&idle->Lock, irql);
}

VOID FxDevicePowerDereference(FxDevice* device) {
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    const LONGLONG due = idle->Busy > 0 && --idle->Busy == 0 ? ArmDueLocked(idle) : 0;
    KeReleaseSpinLock(&idle->Lock, irql);
    Arm(idle, due);
}

// A device that owns its power policy may go to Dx after IdleTimeout ms without I/O (0: the
// framework's default of 5 s); Enabled WdfUseDefault means enabled.
NTSTATUS imp_WdfDeviceAssignS0IdleSettings(PWDF_DRIVER_GLOBALS globals, WDFDEVICE handle,
                                           PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    if (FxInjected(__func__, &status))
        return status;
    FxDevice* device = FxResolve<FxDevice>(handle, FX_API);
    if (device == NULL || settings == NULL)
        return STATUS_INVALID_PARAMETER;
    if (settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS)) {
        FxViolation("WdfDeviceAssignS0IdleSettings: Size is wrong");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    const ULONG timeoutMs = settings->IdleTimeout != 0 ? settings->IdleTimeout : 5000;
    device->Idle.Assigned = TRUE;
    device->Idle.Caps = settings->IdleCaps;
    device->Idle.Dx = settings->DxState;
    device->Idle.TimeoutMs = timeoutMs;
    device->Idle.UserControl = settings->UserControlOfIdleSettings;
    device->Idle.Enabled = settings->Enabled;
    const BOOLEAN enabled = IdleEnabled(device);
    const LONGLONG due = ArmDueLocked(idle);
    KeReleaseSpinLock(&idle->Lock, irql);
    if (enabled)
        Arm(idle, due);
    else
        KeCancelTimer(&idle->Timer);
    FxEvent("WdfDeviceAssignS0IdleSettings %lu ms", static_cast<unsigned long>(timeoutMs));
    return STATUS_SUCCESS;
}

// Recorded: whether, and from which Dx, the device may wake the system.
NTSTATUS imp_WdfDeviceAssignSxWakeSettings(PWDF_DRIVER_GLOBALS globals, WDFDEVICE handle,
                                           PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS settings) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    if (FxInjected(__func__, &status))
        return status;
    FxDevice* device = FxResolve<FxDevice>(handle, FX_API);
    if (device == NULL || settings == NULL)
        return STATUS_INVALID_PARAMETER;
    if (settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS)) {
        FxViolation("WdfDeviceAssignSxWakeSettings: Size is wrong");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    FxIdle* idle = device->IdleState;
    KIRQL irql;
    KeAcquireSpinLock(&idle->Lock, &irql);
    device->Wake.Assigned = TRUE;
    device->Wake.Dx = settings->DxState;
    device->Wake.UserControl = settings->UserControlOfWakeSettings;
    device->Wake.Enabled = settings->Enabled;
    KeReleaseSpinLock(&idle->Lock, irql);
    FxEvent(FX_API);
    return STATUS_SUCCESS;
}
