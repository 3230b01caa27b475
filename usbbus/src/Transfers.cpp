// Pending transfers: the default pipe's queue (one transfer at a time, answered now, later on a
// timer, or never), IN transfers waiting for data, the idle notification; their cancellation and
// their failure when the device goes. Lists are guarded by the cancel spin lock.
#include "Bus.h"

namespace {

DRIVER_CANCEL CancelTransfer;
KDEFERRED_ROUTINE ControlAnswered;
IO_WORKITEM_ROUTINE IdleWork;

VOID SetKind(PIRP irp, IrpKind kind, BusPipe* pipe) {
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kind));
    irp->Tail.Overlay.DriverContext[1] = pipe;
}
IrpKind KindOf(PIRP irp) {
    return static_cast<IrpKind>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]));
}
BusPipe* PipeOf(PIRP irp) {
    return static_cast<BusPipe*>(irp->Tail.Overlay.DriverContext[1]);
}
UCHAR EndpointOf(PIRP irp) {
    BusPipe* pipe = KindOf(irp) == KindPipe ? PipeOf(irp) : NULL;
    return pipe != NULL ? pipe->endpoint.bEndpointAddress : 0;
}

// Cancel spin lock held. FALSE when the IRP is cancelled already.
BOOLEAN QueueLocked(PIRP irp, PLIST_ENTRY list, IrpKind kind, BusPipe* pipe) {
    if (irp->Cancel)
        return FALSE;
    SetKind(irp, kind, pipe);
    IoSetCancelRoutine(irp, CancelTransfer);
    if (list != NULL)
        InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    return TRUE;
}

// Cancel spin lock held: the active transfer ends with `status` once the device has answered.
VOID MarkControlCancelled(Child* child, NTSTATUS status, USBD_STATUS usbd) {
    child->controlCancelled = TRUE;
    child->controlCancelStatus = status;
    child->controlCancelUsbd = usbd;
}

VOID CompleteCancelled(Child* child, PIRP irp, NTSTATUS status, USBD_STATUS usbd) {
    UCHAR endpoint = EndpointOf(irp);
    LogCancel(child, endpoint, status);
    if (KindOf(irp) == KindIdle)
        CompleteIrp(irp, status, 0);
    else
        CompleteUrb(child, irp, endpoint, status, usbd, 0);
}

USB_SETUP_PACKET SetupOf(PURB urb) {
    USB_SETUP_PACKET setup;
    if (urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER) {
        RtlCopyMemory(&setup, reinterpret_cast<_URB_CONTROL_TRANSFER*>(urb)->SetupPacket, 8);
        // The data stage is the buffer's: a longer wLength would let the device write (or the
        // log read) past it.
        ULONG buffer = TransferOf(urb)->TransferBufferLength;
        if (setup.wLength > buffer)
            setup.wLength = static_cast<USHORT>(buffer);
        return setup;
    }
    const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    UCHAR type = 0x40, recipient = 0;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CLASS_DEVICE:
        type = 0x20;
        break;
    case URB_FUNCTION_CLASS_INTERFACE:
        type = 0x20;
        recipient = 1;
        break;
    case URB_FUNCTION_CLASS_ENDPOINT:
        type = 0x20;
        recipient = 2;
        break;
    case URB_FUNCTION_CLASS_OTHER:
        type = 0x20;
        recipient = 3;
        break;
    case URB_FUNCTION_VENDOR_INTERFACE:
        recipient = 1;
        break;
    case URB_FUNCTION_VENDOR_ENDPOINT:
        recipient = 2;
        break;
    case URB_FUNCTION_VENDOR_OTHER:
        recipient = 3;
        break;
    default:
        break;
    }
    setup.bmRequestType =
        static_cast<UCHAR>(((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) | type |
                           recipient | r.RequestTypeReservedBits);
    setup.bRequest = r.Request;
    setup.wValue = r.Value;
    setup.wIndex = r.Index;
    setup.wLength = static_cast<USHORT>(r.TransferBufferLength);
    return setup;
}

// An IN transfer that ends short is an error unless the client said it may.
BOOLEAN ShortRefused(const UrbTransfer* t, ULONG length) {
    return length < t->TransferBufferLength && !(t->TransferFlags & USBD_SHORT_TRANSFER_OK);
}

VOID FinishControl(Child* child, PIRP irp, const UsbReply& reply) {
    PURB urb = UrbOf(irp);
    UrbTransfer* t = TransferOf(urb);
    if (reply.kind == UsbReplyStall) {
        CompleteUrb(child, irp, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        return;
    }
    if (reply.kind == UsbReplyError) {
        CompleteUrb(child, irp, 0, STATUS_UNSUCCESSFUL, reply.usbdStatus, 0);
        return;
    }
    ULONG length = reply.length < t->TransferBufferLength ? reply.length : t->TransferBufferLength;
    BOOLEAN in = (SetupOf(urb).bmRequestType & 0x80) != 0;
    if (in && length > 0)
        LogData(child, 0, TransferBuffer(urb), length);
    if (in && ShortRefused(t, length))
        CompleteUrb(child, irp, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, length);
    else
        CompleteUrb(child, irp, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS, length);
}

// Starts queued control transfers one at a time, until one has to wait.
VOID ProcessControl(Child* child) {
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (child->controlBusy || child->controlActive != NULL ||
            IsListEmpty(&child->controlQueue)) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        PIRP irp =
            CONTAINING_RECORD(RemoveHeadList(&child->controlQueue), IRP, Tail.Overlay.ListEntry);
        SetKind(irp, KindControlActive, NULL);
        child->controlActive = irp;
        child->controlBusy = TRUE;
        IoReleaseCancelSpinLock(irql);

        PURB urb = UrbOf(irp);
        USB_SETUP_PACKET setup = SetupOf(urb);
        PUCHAR data = TransferBuffer(urb);
        LogSetup(child, 0, &setup);
        if (!(setup.bmRequestType & 0x80) && setup.wLength > 0)
            LogData(child, 0, data, setup.wLength);
        UsbReply reply = child->device->Control(setup, data);
        // Only the thread that started the active transfer arms a timer: the one the last answer
        // did not use, unless this thread runs that one's DPC.
        ULONG next = child->controlTimerArmed ^ 1;
        if (InterlockedCompareExchangePointer(&child->controlTimers[next].dpcThread, NULL, NULL) ==
            PsGetCurrentThreadId())
            next ^= 1;
        if (reply.delayMs > 0)
            KeCancelTimer(&child->controlTimers[next].timer);

        IoAcquireCancelSpinLock(&irql);
        child->controlBusy = FALSE;
        if (child->controlCancelled) {
            // Failed by an unplug while the device answered, it still has its cancel routine: a
            // cancel arriving after the lock is dropped would complete it a second time.
            IoSetCancelRoutine(irp, NULL);
            child->controlCancelled = FALSE;
            child->controlActive = NULL;
            NTSTATUS status = child->controlCancelStatus;
            USBD_STATUS usbd = child->controlCancelUsbd;
            IoReleaseCancelSpinLock(irql);
            CompleteCancelled(child, irp, status, usbd);
            continue;
        }
        if (reply.kind == UsbReplyNoAnswer) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        if (reply.delayMs > 0) {
            child->controlReply = reply;
            child->controlTimerIrp = irp;
            LARGE_INTEGER due;
            due.QuadPart = -static_cast<LONGLONG>(reply.delayMs) * 10000;
            child->controlTimerArmed = next;
            KeSetTimer(&child->controlTimers[next].timer, due, &child->controlTimers[next].dpc);
            IoReleaseCancelSpinLock(irql);
            return;
        }
        IoSetCancelRoutine(irp, NULL);
        child->controlActive = NULL;
        IoReleaseCancelSpinLock(irql);
        FinishControl(child, irp, reply);
    }
}

// The timer of a delayed answer fired: the answer, unless its transfer went meanwhile.
VOID Answered(Child* child, ControlTimer* timer) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = child->controlActive;
    // Cancelled first; the next transfer may be active by now, and not this answer's.
    if (irp == NULL || irp != child->controlTimerIrp ||
        timer != &child->controlTimers[child->controlTimerArmed]) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    child->controlTimerIrp = NULL;
    IoSetCancelRoutine(irp, NULL);
    child->controlActive = NULL;
    UsbReply reply = child->controlReply;
    IoReleaseCancelSpinLock(irql);
    FinishControl(child, irp, reply);
    ProcessControl(child);
}

// Whose DPC this thread runs is noted, for ProcessControl.
VOID ControlAnswered(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    ControlTimer* timer = static_cast<ControlTimer*>(context);
    Child* child = timer->child;
    InterlockedExchangePointer(&timer->dpcThread, PsGetCurrentThreadId());
    Answered(child, timer);
    InterlockedExchangePointer(&timer->dpcThread, NULL);
}

VOID CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    Child* child = static_cast<Child*>(device->DeviceExtension);
    switch (KindOf(irp)) {
    case KindControlActive:
        if (child->controlBusy) { // completed once the device has answered
            MarkControlCancelled(child, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            IoReleaseCancelSpinLock(irp->CancelIrql);
            return;
        }
        // Its timer may have fired and its DPC wait for this lock: the DPC finds no transfer of
        // its own and leaves; the timer is reset before it is used again.
        child->controlActive = NULL;
        child->controlTimerIrp = NULL;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        CompleteCancelled(child, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        ProcessControl(child);
        return;
    case KindIdle:
        child->idleIrp = NULL;
        break;
    default:
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        break;
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteCancelled(child, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

VOID DeliverIn(Child* child, PIRP irp, BusPipe* pipe, const UCHAR* bytes, ULONG length) {
    PURB urb = UrbOf(irp);
    UrbTransfer* t = TransferOf(urb);
    UCHAR endpoint = pipe->endpoint.bEndpointAddress;
    if (length > t->TransferBufferLength) {
        // The device sent more than was asked for: the buffer is filled, the rest overruns it.
        ULONG taken = t->TransferBufferLength;
        RtlCopyMemory(TransferBuffer(urb), bytes, taken);
        LogData(child, endpoint, bytes, taken);
        CompleteUrb(child, irp, endpoint, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, taken);
        return;
    }
    RtlCopyMemory(TransferBuffer(urb), bytes, length);
    LogData(child, endpoint, bytes, length);
    if (ShortRefused(t, length))
        CompleteUrb(child, irp, endpoint, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER,
                    length);
    else
        CompleteUrb(child, irp, endpoint, STATUS_SUCCESS, USBD_STATUS_SUCCESS, length);
}

VOID IdleWork(PDEVICE_OBJECT device, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    Child* child = static_cast<Child*>(context);
    USB_IDLE_CALLBACK_INFO info = {NULL, NULL};
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    child->idleWorkQueued = FALSE;
    if (child->idleIrp != NULL)
        info = *static_cast<PUSB_IDLE_CALLBACK_INFO>(
            IoGetCurrentIrpStackLocation(child->idleIrp)
                ->Parameters.DeviceIoControl.Type3InputBuffer);
    IoReleaseCancelSpinLock(irql);
    if (info.IdleCallback != NULL)
        info.IdleCallback(info.IdleContext);
}

} // namespace

VOID InitializeTransfers(Child* child) {
    InitializeListHead(&child->controlQueue);
    for (ControlTimer& t : child->controlTimers) {
        t.child = child;
        KeInitializeTimer(&t.timer);
        KeInitializeDpc(&t.dpc, ControlAnswered, &t);
    }
    child->controlTimerArmed = 0;
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i) {
        InitializeListHead(&child->pipes[i].pending);
        InitializeListHead(&child->pipes[i].data);
    }
}

NTSTATUS CompleteUrb(Child* child, PIRP irp, UCHAR endpoint, NTSTATUS status, USBD_STATUS usbd,
                     ULONG length) {
    PURB urb = UrbOf(irp);
    urb->UrbHeader.Status = usbd;
    TransferOf(urb)->TransferBufferLength = length;
    LogStatus(child, endpoint, length, status, usbd);
    return CompleteIrp(irp, status, 0);
}

NTSTATUS SubmitControl(Child* child, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN queued =
        IsPresent(child) && QueueLocked(irp, &child->controlQueue, KindControlQueued, NULL);
    BOOLEAN present = IsPresent(child);
    IoReleaseCancelSpinLock(irql);
    if (!queued)
        CompleteUrb(child, irp, 0, present ? STATUS_CANCELLED : STATUS_NO_SUCH_DEVICE,
                    present ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE, 0);
    else
        ProcessControl(child);
    return STATUS_PENDING;
}

NTSTATUS SubmitPipeIn(Child* child, BusPipe* pipe, PIRP irp) {
    IoMarkIrpPending(irp);
    UCHAR endpoint = pipe->endpoint.bEndpointAddress;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!IsPresent(child) || pipe->halted) {
        BOOLEAN gone = !IsPresent(child);
        IoReleaseCancelSpinLock(irql);
        CompleteUrb(child, irp, endpoint, gone ? STATUS_NO_SUCH_DEVICE : STATUS_UNSUCCESSFUL,
                    gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_ENDPOINT_HALTED, 0);
        return STATUS_PENDING;
    }
    if (!IsListEmpty(&pipe->data)) {
        InPacket* packet = CONTAINING_RECORD(RemoveHeadList(&pipe->data), InPacket, link);
        IoReleaseCancelSpinLock(irql);
        DeliverIn(child, irp, pipe, packet->bytes, packet->length);
        ExFreePoolWithTag(packet, USBBUS_TAG);
        return STATUS_PENDING;
    }
    BOOLEAN queued = QueueLocked(irp, &pipe->pending, KindPipe, pipe);
    IoReleaseCancelSpinLock(irql);
    if (!queued)
        CompleteUrb(child, irp, endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
    return STATUS_PENDING;
}

NTSTATUS FeedIn(Child* child, UCHAR endpointAddress, const VOID* data, ULONG length) {
    BusPipe* pipe = NULL;
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i)
        if (child->pipes[i].valid && child->pipes[i].endpoint.bEndpointAddress == endpointAddress)
            pipe = &child->pipes[i];
    if (pipe == NULL || !USB_ENDPOINT_DIRECTION_IN(endpointAddress))
        return STATUS_INVALID_PARAMETER;
    auto* packet = static_cast<InPacket*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(InPacket) + length, USBBUS_TAG));
    if (packet == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    packet->length = length;
    RtlCopyMemory(packet->bytes, data, length);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(&pipe->pending)) {
        InsertTailList(&pipe->data, &packet->link);
        IoReleaseCancelSpinLock(irql);
        return STATUS_SUCCESS;
    }
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&pipe->pending), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(irql);
    DeliverIn(child, irp, pipe, packet->bytes, packet->length);
    ExFreePoolWithTag(packet, USBBUS_TAG);
    return STATUS_SUCCESS;
}

VOID FailPending(Child* child, BusPipe* only, NTSTATUS status, USBD_STATUS usbd) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    BOOLEAN stopTimer = FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i) {
        BusPipe* pipe = &child->pipes[i];
        if (only != NULL && pipe != only)
            continue;
        while (!IsListEmpty(&pipe->pending)) {
            PIRP irp =
                CONTAINING_RECORD(RemoveHeadList(&pipe->pending), IRP, Tail.Overlay.ListEntry);
            IoSetCancelRoutine(irp, NULL);
            InsertTailList(&taken, &irp->Tail.Overlay.ListEntry);
        }
    }
    if (only == NULL) {
        while (!IsListEmpty(&child->controlQueue)) {
            PIRP irp = CONTAINING_RECORD(RemoveHeadList(&child->controlQueue), IRP,
                                         Tail.Overlay.ListEntry);
            IoSetCancelRoutine(irp, NULL);
            InsertTailList(&taken, &irp->Tail.Overlay.ListEntry);
        }
        if (child->controlActive != NULL && child->controlBusy) {
            MarkControlCancelled(child, status, usbd);
        } else if (child->controlActive != NULL) {
            IoSetCancelRoutine(child->controlActive, NULL);
            InsertTailList(&taken, &child->controlActive->Tail.Overlay.ListEntry);
            child->controlActive = NULL;
            child->controlTimerIrp = NULL;
            stopTimer = TRUE;
        }
        if (child->idleIrp != NULL) {
            IoSetCancelRoutine(child->idleIrp, NULL);
            InsertTailList(&taken, &child->idleIrp->Tail.Overlay.ListEntry);
            child->idleIrp = NULL;
        }
    }
    IoReleaseCancelSpinLock(irql);
    if (stopTimer)
        for (ControlTimer& t : child->controlTimers)
            KeCancelTimer(&t.timer);
    while (!IsListEmpty(&taken)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
        CompleteCancelled(child, irp, status, usbd);
    }
}

VOID FreeInData(BusPipe* pipe) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    while (!IsListEmpty(&pipe->data))
        InsertTailList(&taken, RemoveHeadList(&pipe->data));
    IoReleaseCancelSpinLock(irql);
    while (!IsListEmpty(&taken))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&taken), InPacket, link), USBBUS_TAG);
}

NTSTATUS CompleteIdleOnWake(Child* child) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = child->idleIrp;
    // Not suspended, or its notification is being cancelled already.
    if (irp == NULL || child->power == PowerDeviceD0 || IoSetCancelRoutine(irp, NULL) == NULL) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_INVALID_DEVICE_STATE;
    }
    child->idleIrp = NULL;
    IoReleaseCancelSpinLock(irql);
    CompleteIrp(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

NTSTATUS SubmitIdle(Child* child, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer == NULL)
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    NTSTATUS refused = !IsPresent(child)        ? STATUS_NO_SUCH_DEVICE
                       : child->idleIrp != NULL ? STATUS_DEVICE_BUSY
                                                : STATUS_SUCCESS;
    if (NT_SUCCESS(refused) && !QueueLocked(irp, NULL, KindIdle, NULL))
        refused = STATUS_CANCELLED;
    BOOLEAN queueWork = FALSE;
    if (NT_SUCCESS(refused)) {
        child->idleIrp = irp;
        queueWork = !child->idleWorkQueued;
        child->idleWorkQueued = TRUE;
    }
    IoReleaseCancelSpinLock(irql);
    if (!NT_SUCCESS(refused))
        CompleteIrp(irp, refused, 0);
    else if (queueWork) // the hub is idle at once here: the callback runs soon, at PASSIVE_LEVEL
        IoQueueWorkItem(child->idleWork, IdleWork, DelayedWorkQueue, child);
    return STATUS_PENDING;
}
