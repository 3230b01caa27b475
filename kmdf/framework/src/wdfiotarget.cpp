// I/O targets: a request the driver owns goes down to the lower device in its own IRP, on the
// next stack location, with the framework's completion routine; the driver's routine runs from
// there at DISPATCH_LEVEL. A send with a timeout arms a KTIMER whose DPC cancels the IRP. A
// stopped target holds what it is sent until it starts again.
#include "FxIo.h"
#include "FxExports.h"

static IO_COMPLETION_ROUTINE FxSendCompletion;
static KDEFERRED_ROUTINE FxSendTimeout;
static DRIVER_CANCEL FxHeldCancel;

VOID FxTargetUnlink(FxIoTarget* target) {
    FxDeviceIo* io = target->Io;
    if (io == NULL)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&io->Lock, &irql);
    RemoveEntryList(&target->DeviceEntry);
    KeReleaseSpinLock(&io->Lock, irql);
}

NTSTATUS FxTargetInit(FxIoTarget* target, FxTargetKind kind, FxDevice* device) {
    FxDeviceIo* io = device->Io;
    target->Kind = kind;
    target->Device = device;
    target->Io = io;
    KeInitializeSpinLock(&target->Lock);
    target->State = FxTargetStarted;
    InitializeListHead(&target->Sent);
    InitializeListHead(&target->Held);
    KeInitializeEvent(&target->SentDrained, NotificationEvent, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&io->Lock, &irql);
    InsertTailList(&io->Targets, &target->DeviceEntry);
    KeReleaseSpinLock(&io->Lock, irql);
    return STATUS_SUCCESS;
}

FxIoTarget* FxTargetResolve(WDFIOTARGET handle, FxTargetKind kind, BOOLEAN anyKind, PCSTR api) {
    FxIoTarget* target = FxResolve<FxIoTarget>(handle, api);
    if (target != NULL && !anyKind && target->Kind != kind) {
        FxViolation("%s: handle 0x%p is another kind of I/O target", api, handle);
        return NULL;
    }
    return target;
}

// A canceller's or the timer's hold on a sent request, taken only while the send is not done.
static BOOLEAN FxSendAddReference(FxRequest* request) {
    LONG value = InterlockedCompareExchange(&request->SendReferences, 0, 0); // a read
    while (value > 0) {
        LONG seen = InterlockedCompareExchange(&request->SendReferences, value + 1, value);
        if (seen == value)
            return TRUE;
        value = seen;
    }
    return FALSE;
}

static VOID FxSendFillParams(FxRequest* request) {
    PWDF_REQUEST_COMPLETION_PARAMS params = &request->CompletionParams;
    RtlZeroMemory(params, sizeof *params);
    params->Size = sizeof *params;
    params->Type = WdfRequestTypeOther;
    params->IoStatus = request->Irp->IoStatus;
    if (request->Format != FxFormatUsbUrb && request->Format != FxFormatUsbPipeRead)
        return;
    PWDF_USB_REQUEST_COMPLETION_PARAMS usb = &request->UsbCompletionParams;
    RtlZeroMemory(usb, sizeof *usb);
    usb->UsbdStatus = request->Urb->UrbHeader.Status;
    if (request->Format == FxFormatUsbUrb) {
        usb->Type = WdfUsbRequestTypeDeviceUrb;
        usb->Parameters.DeviceUrb.Buffer = request->Memory;
    } else {
        usb->Type = WdfUsbRequestTypePipeRead;
        usb->Parameters.PipeRead.Buffer = request->Memory;
        usb->Parameters.PipeRead.Length =
            reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(request->Urb)->TransferBufferLength;
        usb->Parameters.PipeRead.Offset = request->Offset;
    }
    params->Type = WdfRequestTypeUsb;
    params->Parameters.Usb.Completion = usb;
}

// The send is over (the IRP is back, the timer done): the request is the driver's again.
static VOID FxSendFinish(FxRequest* request) {
    FxIoTarget* target = request->SentTo;
    PIRP irp = request->Irp;
    if (InterlockedCompareExchange(&request->TimedOut, 0, 0) &&
        irp->IoStatus.Status == STATUS_CANCELLED)
        irp->IoStatus.Status = STATUS_IO_TIMEOUT;
    request->Status = irp->IoStatus.Status;
    KIRQL irql;
    KeAcquireSpinLock(&target->Lock, &irql);
    if (request->OnTarget) {
        RemoveEntryList(&request->TargetEntry);
        request->OnTarget = FALSE;
        if (!request->Held && --target->SentCount == 0)
            KeSetEvent(&target->SentDrained, IO_NO_INCREMENT, FALSE);
        request->Held = FALSE;
    }
    KeReleaseSpinLock(&target->Lock, irql);
    if (request->Synchronous) {
        KeSetEvent(&request->SendDone, IO_NO_INCREMENT, FALSE);
        return;
    }
    FxSendFillParams(request);
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = request->CompletionRoutine;
    if (routine == NULL) {
        // Nobody asked to see it: the framework completes it with the target's result.
        FxRequestComplete(request, irp->IoStatus.Status, irp->IoStatus.Information);
        return;
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    FxCountDriverCall();
    routine(FxRequestHandle(request), FxHandle<WDFIOTARGET>(target), &request->CompletionParams,
            request->CompletionContext);
    KeLowerIrql(old);
}

static VOID FxSendRelease(FxRequest* request) {
    if (InterlockedDecrement(&request->SendReferences) == 0)
        FxSendFinish(request);
}

// A held request leaves the target's hold list (under the target's lock).
static VOID FxHeldRemove(FxRequest* request) {
    RemoveEntryList(&request->TargetEntry);
    request->OnTarget = FALSE;
    request->Held = FALSE;
}

// A held request never went down: it ends with `status`, its timer stopped if it can be.
static VOID FxHeldEnd(FxRequest* request, NTSTATUS status) {
    request->Irp->IoStatus.Status = status;
    request->Irp->IoStatus.Information = 0;
    // Nothing moved: the read's completion parameters must not report the length it asked for.
    if (request->Format == FxFormatUsbPipeRead)
        reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(request->Urb)->TransferBufferLength = 0;
    if (request->TimerSet && KeCancelTimer(&request->Timer))
        InterlockedDecrement(&request->SendReferences);
    FxSendRelease(request);
}

// The user cancelled a request a stopped target holds.
static VOID FxHeldCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FxRequest* request = static_cast<FxRequest*>(irp->Tail.Overlay.DriverContext[0]);
    FxIoTarget* target = request->SentTo;
    KIRQL irql;
    KeAcquireSpinLock(&target->Lock, &irql);
    BOOLEAN take = request->OnTarget && request->Held;
    if (take)
        FxHeldRemove(request);
    KeReleaseSpinLock(&target->Lock, irql);
    if (take)
        FxHeldEnd(request, STATUS_CANCELLED);
}

static NTSTATUS FxSendCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    FxRequest* request = static_cast<FxRequest*>(context);
    // A fired timer cannot be cancelled, and inside its own DPC (the bus completing the IRP the
    // timeout cancelled) Wine's KeCancelTimer never returns.
    if (request->TimerSet && !InterlockedCompareExchange(&request->TimedOut, 0, 0) &&
        KeCancelTimer(&request->Timer))
        InterlockedDecrement(&request->SendReferences); // the timer's; ours is still held
    FxSendRelease(request);
    // The IRP stays the framework's until the driver completes the request.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static VOID FxSendTimeout(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    FxRequest* request = static_cast<FxRequest*>(context);
    FxIoTarget* target = request->SentTo;
    InterlockedExchange(&request->TimedOut, TRUE);
    BOOLEAN wasHeld = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&target->Lock, &irql);
    if (request->OnTarget && request->Held) {
        // Its cancel routine may be taking it already; then it is left to that routine.
        if (IoSetCancelRoutine(request->Irp, NULL) != NULL) {
            FxHeldRemove(request);
            wasHeld = TRUE;
        } else {
            KeReleaseSpinLock(&target->Lock, irql);
            FxSendRelease(request);
            return;
        }
    }
    KeReleaseSpinLock(&target->Lock, irql);
    FxEvent("request 0x%p timed out", FxRequestHandle(request));
    if (wasHeld) {
        // Never sent: the IRP's share goes with the timer's.
        request->Irp->IoStatus.Status = STATUS_IO_TIMEOUT;
        request->Irp->IoStatus.Information = 0;
        InterlockedDecrement(&request->SendReferences);
    } else {
        IoCancelIrp(request->Irp);
    }
    FxSendRelease(request);
}

// The next stack location as the request was formatted, the completion routine, the call.
static VOID FxSendSubmit(FxRequest* request) {
    PIRP irp = request->Irp;
    IoCopyCurrentIrpStackLocationToNext(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(&next->Parameters, sizeof next->Parameters);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = request->Urb;
    IoSetCompletionRoutine(irp, FxSendCompletion, request, TRUE, TRUE, TRUE);
    IoCallDriver(FxDeviceLower(request->Device), irp);
}

// The send does not go: the request stays the driver's with `status`.
static BOOLEAN FxSendRefused(FxRequest* request, NTSTATUS status) {
    request->Status = status;
    request->SendFailed = TRUE;
    return FALSE;
}

BOOLEAN imp_WdfRequestSend(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request, WDFIOTARGET Target,
                           PWDF_REQUEST_SEND_OPTIONS Options) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return FALSE;
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    if (request == NULL)
        return FALSE;
    if (request->OnTarget) {
        FxViolation("WdfRequestSend: request 0x%p is already with a target", Request);
        return FALSE;
    }
    NTSTATUS status;
    if (FxInjected(__func__, &status))
        return FxSendRefused(request, status);
    FxIoTarget* target = FxTargetResolve(Target, FxTargetLower, TRUE, FX_API);
    if (target == NULL)
        return FxSendRefused(request, STATUS_INVALID_PARAMETER);
    if (request->Format == FxFormatNone || request->FormatTarget != target) {
        FxViolation("WdfRequestSend: the request was not formatted for this target");
        return FxSendRefused(request, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (Options != NULL && Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        FxViolation("WdfRequestSend: WDF_REQUEST_SEND_OPTIONS.Size is wrong");
        return FxSendRefused(request, STATUS_INVALID_PARAMETER);
    }
    ULONG flags = Options != NULL ? Options->Flags : 0;
    BOOLEAN synchronous = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) ||
        (synchronous && KeGetCurrentIrql() != PASSIVE_LEVEL)) {
        FxViolation("WdfRequestSend: send-and-forget, or a synchronous send above PASSIVE_LEVEL");
        return FxSendRefused(request, STATUS_INVALID_DEVICE_REQUEST);
    }
    BOOLEAN timed = (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && Options->Timeout != 0;
    KIRQL irql;
    KeAcquireSpinLock(&target->Lock, &irql);
    if (target->State == FxTargetRemoved) {
        KeReleaseSpinLock(&target->Lock, irql);
        return FxSendRefused(request, STATUS_INVALID_DEVICE_STATE);
    }
    BOOLEAN hold =
        target->State == FxTargetStopped && !(flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    request->SentTo = target;
    request->Status = STATUS_SUCCESS;
    request->SendFailed = FALSE;
    request->TimedOut = 0;
    request->Synchronous = synchronous;
    request->SendReferences = timed ? 2 : 1;
    request->TimerSet = timed;
    request->OnTarget = TRUE;
    request->Held = hold;
    request->Handled = TRUE;
    InsertTailList(hold ? &target->Held : &target->Sent, &request->TargetEntry);
    if (!hold && target->SentCount++ == 0)
        KeClearEvent(&target->SentDrained);
    KeClearEvent(&request->SendDone);
    BOOLEAN cancelled = FALSE;
    if (hold) {
        request->Irp->Tail.Overlay.DriverContext[0] = request;
        IoSetCancelRoutine(request->Irp, FxHeldCancel);
        if (FxIrpCancelled(request->Irp) && IoSetCancelRoutine(request->Irp, NULL) != NULL) {
            FxHeldRemove(request);
            cancelled = TRUE;
        }
    }
    KeReleaseSpinLock(&target->Lock, irql);
    if (timed) {
        // Negative: relative to now; positive: an absolute system time (both as KeSetTimer).
        LARGE_INTEGER due;
        due.QuadPart = Options->Timeout;
        FxInitializeDpc(&request->TimerDpc, FxSendTimeout, request);
        KeSetTimer(&request->Timer, due, &request->TimerDpc);
    }
    if (cancelled)
        FxHeldEnd(request, STATUS_CANCELLED);
    else if (hold)
        FxEvent("request 0x%p held by a stopped target", Request);
    else
        FxSendSubmit(request);
    if (synchronous)
        KeWaitForSingleObject(&request->SendDone, Executive, KernelMode, FALSE, NULL);
    return TRUE;
}

VOID FxTargetStop(FxIoTarget* target, WDF_IO_TARGET_SENT_IO_ACTION action, BOOLEAN remove) {
    LIST_ENTRY cancel;
    LIST_ENTRY held;
    InitializeListHead(&cancel);
    InitializeListHead(&held);
    KIRQL irql;
    KeAcquireSpinLock(&target->Lock, &irql);
    target->State = remove ? FxTargetRemoved : FxTargetStopped;
    if (remove || action == WdfIoTargetCancelSentIo) {
        for (PLIST_ENTRY e = target->Sent.Flink; e != &target->Sent; e = e->Flink) {
            FxRequest* r = CONTAINING_RECORD(e, FxRequest, TargetEntry);
            if (FxSendAddReference(r))
                InsertTailList(&cancel, &r->CancelEntry);
        }
    }
    for (PLIST_ENTRY e = target->Held.Flink; remove && e != &target->Held;) {
        FxRequest* r = CONTAINING_RECORD(e, FxRequest, TargetEntry);
        e = e->Flink;
        if (IoSetCancelRoutine(r->Irp, NULL) == NULL)
            continue; // its cancel routine takes it
        FxHeldRemove(r);
        InsertTailList(&held, &r->CancelEntry);
    }
    KeReleaseSpinLock(&target->Lock, irql);
    while (!IsListEmpty(&cancel)) {
        FxRequest* r = CONTAINING_RECORD(RemoveHeadList(&cancel), FxRequest, CancelEntry);
        IoCancelIrp(r->Irp);
        FxSendRelease(r);
    }
    while (!IsListEmpty(&held))
        FxHeldEnd(CONTAINING_RECORD(RemoveHeadList(&held), FxRequest, CancelEntry),
                  STATUS_NO_SUCH_DEVICE);
    if (action != WdfIoTargetLeaveSentIoPending)
        KeWaitForSingleObject(&target->SentDrained, Executive, KernelMode, FALSE, NULL);
}

VOID FxIoTargetsRemove(FxDevice* device) {
    FxDeviceIo* io = device->Io;
    for (PLIST_ENTRY e = io->Targets.Flink; e != &io->Targets; e = e->Flink)
        FxTargetStop(CONTAINING_RECORD(e, FxIoTarget, DeviceEntry), WdfIoTargetCancelSentIo, TRUE);
}

NTSTATUS imp_WdfIoTargetStart(PWDF_DRIVER_GLOBALS globals, WDFIOTARGET IoTarget) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxIoTarget* target = FxTargetResolve(IoTarget, FxTargetLower, TRUE, FX_API);
    if (target == NULL)
        return STATUS_INVALID_PARAMETER;
    LIST_ENTRY release;
    InitializeListHead(&release);
    KIRQL irql;
    KeAcquireSpinLock(&target->Lock, &irql);
    if (target->State == FxTargetRemoved) {
        KeReleaseSpinLock(&target->Lock, irql);
        return STATUS_INVALID_DEVICE_STATE;
    }
    target->State = FxTargetStarted;
    for (PLIST_ENTRY e = target->Held.Flink; e != &target->Held;) {
        FxRequest* r = CONTAINING_RECORD(e, FxRequest, TargetEntry);
        e = e->Flink;
        if (IoSetCancelRoutine(r->Irp, NULL) == NULL)
            continue; // its cancel routine takes it
        RemoveEntryList(&r->TargetEntry);
        r->Held = FALSE;
        InsertTailList(&target->Sent, &r->TargetEntry);
        if (target->SentCount++ == 0)
            KeClearEvent(&target->SentDrained);
        InsertTailList(&release, &r->CancelEntry);
    }
    KeReleaseSpinLock(&target->Lock, irql);
    while (!IsListEmpty(&release))
        FxSendSubmit(CONTAINING_RECORD(RemoveHeadList(&release), FxRequest, CancelEntry));
    FxEvent(FX_API);
    return STATUS_SUCCESS;
}

VOID imp_WdfIoTargetStop(PWDF_DRIVER_GLOBALS globals, WDFIOTARGET IoTarget,
                         WDF_IO_TARGET_SENT_IO_ACTION Action) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return;
    FxIoTarget* target = FxTargetResolve(IoTarget, FxTargetLower, TRUE, FX_API);
    if (target == NULL)
        return;
    if (target->State != FxTargetRemoved)
        FxTargetStop(target, Action, FALSE);
    FxEvent(FX_API);
}

NTSTATUS FxSubmitUrbSync(FxDevice* device, PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT lower = FxDeviceLower(device);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, NULL, 0, NULL, 0,
                                             TRUE, &done, &iosb);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}
