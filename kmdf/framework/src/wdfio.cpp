// Queues: requests arriving from the I/O manager go to the driver's default queue (through
// EvtIoInCallerContext when it has one); a parallel queue presents each as it comes, a
// sequential one the next as the previous completes; power-managed queues hold requests while
// the device is out of D0 and ask the device side to power up.
#include "FxIo.h"
#include "FxExports.h"

static DRIVER_CANCEL FxQueueCancelRoutine;

NTSTATUS FxIoDeviceInit(FxDevice* device) {
    FxDeviceIo* io = static_cast<FxDeviceIo*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FxDeviceIo), FX_IO_POOL_TAG));
    if (io == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(io, sizeof *io);
    io->Device = device;
    KeInitializeSpinLock(&io->Lock);
    InitializeListHead(&io->Queues);
    InitializeListHead(&io->Targets);
    InitializeListHead(&io->Requests);
    io->PowerStopped = TRUE; // until the first D0 entry
    KeInitializeEvent(&io->PowerManagedDrained, NotificationEvent, TRUE);
    device->Io = io;
    return STATUS_SUCCESS;
}

VOID FxIoDeviceFree(FxDevice* device) {
    FxDeviceIo* io = device->Io;
    if (io == NULL)
        return;
    // Objects still there (deleted later with the device) must not reach back into io.
    for (PLIST_ENTRY e = io->Queues.Flink; e != &io->Queues; e = e->Flink)
        CONTAINING_RECORD(e, FxQueue, DeviceEntry)->Io = NULL;
    for (PLIST_ENTRY e = io->Targets.Flink; e != &io->Targets; e = e->Flink)
        CONTAINING_RECORD(e, FxIoTarget, DeviceEntry)->Io = NULL;
    device->Io = NULL;
    ExFreePoolWithTag(io, FX_IO_POOL_TAG);
}

static VOID FxQueueDispose(FxObject* object) {
    FxQueue* queue = reinterpret_cast<FxQueue*>(object);
    FxDeviceIo* io = queue->Io;
    if (io == NULL)
        return;
    KIRQL irql;
    FxIoLock(io, &irql);
    RemoveEntryList(&queue->DeviceEntry);
    if (io->DefaultQueue == queue)
        io->DefaultQueue = NULL;
    FxIoUnlock(io, irql);
}

static BOOLEAN FxQueueCanPresent(FxQueue* queue) {
    FxDeviceIo* io = queue->Io;
    if (IsListEmpty(&queue->Waiting) || io->Purged)
        return FALSE;
    if (queue->PowerManaged && io->PowerStopped)
        return FALSE;
    return queue->Config.DispatchType == WdfIoQueueDispatchParallel || queue->Owned == 0;
}

// Whether the driver disposed of a request it was given at hand-off `handoffs`. Once it has
// enqueued or forwarded it, another thread may already present it again (which clears Handled).
static BOOLEAN FxRequestHandledSince(FxRequest* request, ULONG handoffs) {
    FxDeviceIo* io = request->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    BOOLEAN handled = request->Handoffs != handoffs || request->Handled;
    FxIoUnlock(io, irql);
    return handled;
}

// Runs the driver's callback for the request's type; one without a callback is refused.
static VOID FxQueuePresent(FxQueue* queue, FxRequest* request) {
    const ULONG handoffs = request->Handoffs; // set by the presenting thread
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp);
    WDFQUEUE q = FxHandle<WDFQUEUE>(queue);
    WDFREQUEST r = FxRequestHandle(request);
    const WDF_IO_QUEUE_CONFIG& c = queue->Config;
    BOOLEAN called = TRUE;
    FxCountDriverCall();
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL routine = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                                                         ? c.EvtIoDeviceControl
                                                         : c.EvtIoInternalDeviceControl;
        if (routine != NULL)
            routine(q, r, stack->Parameters.DeviceIoControl.OutputBufferLength,
                    stack->Parameters.DeviceIoControl.InputBufferLength,
                    stack->Parameters.DeviceIoControl.IoControlCode);
        else
            called = FALSE;
        break;
    }
    case IRP_MJ_READ:
        if (c.EvtIoRead != NULL)
            c.EvtIoRead(q, r, stack->Parameters.Read.Length);
        else
            called = FALSE;
        break;
    case IRP_MJ_WRITE:
        if (c.EvtIoWrite != NULL)
            c.EvtIoWrite(q, r, stack->Parameters.Write.Length);
        else
            called = FALSE;
        break;
    default:
        called = FALSE;
        break;
    }
    if (!called && c.EvtIoDefault != NULL) {
        c.EvtIoDefault(q, r);
        called = TRUE;
    }
    if (!called)
        FxRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST, 0);
    else if (!FxRequestHandledSince(request, handoffs))
        FxViolation("request 0x%p neither completed, forwarded nor sent when its queue's "
                    "callback returned%s",
                    r, request->SendFailed ? " (its send had failed)" : "");
}

// Presents what the queue can take now, in the calling thread. A request of a sequential queue
// completed while its callback still runs leaves the next one to this loop (FxRequestComplete),
// so synchronous completions do not nest.
VOID FxQueueDispatch(FxQueue* queue) {
    FxDeviceIo* io = queue->Io;
    if (io == NULL)
        return;
    KIRQL irql;
    FxIoLock(io, &irql);
    while (FxQueueCanPresent(queue)) {
        FxRequest* next = CONTAINING_RECORD(RemoveHeadList(&queue->Waiting), FxRequest, QueueEntry);
        if (IoSetCancelRoutine(next->Irp, NULL) == NULL) {
            // Its cancel routine is running and completes it; its unlink is harmless.
            InitializeListHead(&next->QueueEntry);
            continue;
        }
        next->State = FxRequestOwned;
        next->Handled = FALSE;
        next->Handoffs++;
        next->Presenting = TRUE;
        queue->Owned++;
        if (queue->PowerManaged && io->PowerManagedOwned++ == 0)
            KeClearEvent(&io->PowerManagedDrained);
        FxReference(&next->Object);
        FxIoUnlock(io, irql);
        FxQueuePresent(queue, next);
        FxIoLock(io, &irql);
        next->Presenting = FALSE;
        FxIoUnlock(io, irql);
        FxDereference(&next->Object);
        FxIoLock(io, &irql);
    }
    FxIoUnlock(io, irql);
}

VOID FxQueueReleaseOwned(FxRequest* request) {
    FxQueue* queue = request->Queue;
    FxDeviceIo* io = request->Io;
    queue->Owned--;
    if (queue->PowerManaged && --io->PowerManagedOwned == 0)
        KeSetEvent(&io->PowerManagedDrained, IO_NO_INCREMENT, FALSE);
}

// A request cancelled while it waited goes to the queue's EvtIoCanceledOnQueue, which owns it
// then; without one it is completed with `status`.
static VOID FxQueueCancelled(FxRequest* request, NTSTATUS status) {
    FxQueue* queue = request->Queue;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE routine = queue->Config.EvtIoCanceledOnQueue;
    if (routine == NULL) {
        FxRequestComplete(request, status, 0);
        return;
    }
    FxDeviceIo* io = request->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    request->State = FxRequestOwned;
    request->Handled = FALSE;
    const ULONG handoffs = ++request->Handoffs;
    queue->Owned++;
    if (queue->PowerManaged && io->PowerManagedOwned++ == 0)
        KeClearEvent(&io->PowerManagedDrained);
    FxIoUnlock(io, irql);
    FxReference(&request->Object);
    FxCountDriverCall();
    routine(FxHandle<WDFQUEUE>(queue), FxRequestHandle(request));
    if (!FxRequestHandledSince(request, handoffs))
        FxViolation("request 0x%p neither completed nor forwarded when EvtIoCanceledOnQueue "
                    "returned",
                    FxRequestHandle(request));
    FxDereference(&request->Object);
}

NTSTATUS FxQueueInsert(FxQueue* queue, FxRequest* request) {
    FxDeviceIo* io = queue->Io;
    if (io == NULL)
        return STATUS_WDF_BUSY;
    // The reference is taken before the request is on the queue: once there, another thread
    // may present and complete it, dropping the reference at once.
    const BOOLEAN powerUp = queue->PowerManaged && !request->PowerReferenced;
    if (powerUp)
        FxDevicePowerReference(io->Device);
    BOOLEAN cancelled = FALSE;
    KIRQL irql;
    FxIoLock(io, &irql);
    if (io->Purged) {
        FxIoUnlock(io, irql);
        if (powerUp)
            FxDevicePowerDereference(io->Device);
        return STATUS_WDF_BUSY;
    }
    if (powerUp)
        request->PowerReferenced = TRUE;
    request->Queue = queue;
    request->State = FxRequestWaiting;
    request->Irp->Tail.Overlay.DriverContext[0] = request;
    InsertTailList(&queue->Waiting, &request->QueueEntry);
    IoSetCancelRoutine(request->Irp, FxQueueCancelRoutine);
    if (FxIrpCancelled(request->Irp) && IoSetCancelRoutine(request->Irp, NULL) != NULL) {
        RemoveEntryList(&request->QueueEntry);
        cancelled = TRUE;
    }
    FxIoUnlock(io, irql);
    if (cancelled)
        FxQueueCancelled(request, STATUS_CANCELLED);
    else
        FxQueueDispatch(queue);
    return STATUS_SUCCESS;
}

// A waiting request's IRP was cancelled (CancelIoEx, cleanup): it leaves its queue cancelled.
static VOID FxQueueCancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FxRequest* request = static_cast<FxRequest*>(irp->Tail.Overlay.DriverContext[0]);
    FxDeviceIo* io = request->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    RemoveEntryList(&request->QueueEntry);
    InitializeListHead(&request->QueueEntry);
    FxIoUnlock(io, irql);
    FxEvent("request 0x%p cancelled on its queue", FxRequestHandle(request));
    FxQueueCancelled(request, STATUS_CANCELLED);
}

NTSTATUS FxIoDispatch(FxDevice* device, PIRP irp) {
    FxDeviceIo* io = device->Io;
    IoMarkIrpPending(irp);
    NTSTATUS status;
    FxRequest* request = FxRequestCreate(device, io, irp, &status);
    if (request == NULL) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    PFN_WDF_IO_IN_CALLER_CONTEXT inCaller = FxDeviceInCallerContext(device);
    if (inCaller != NULL) {
        FxReference(&request->Object);
        request->Handled = FALSE;
        const ULONG handoffs = request->Handoffs; // no other thread has it yet
        FxCountDriverCall();
        inCaller(FxDeviceHandle(device), FxRequestHandle(request));
        if (!FxRequestHandledSince(request, handoffs))
            FxViolation("request 0x%p neither completed nor enqueued when EvtIoInCallerContext "
                        "returned",
                        FxRequestHandle(request));
        FxDereference(&request->Object);
        return STATUS_PENDING;
    }
    FxQueue* queue = io->DefaultQueue;
    status = queue != NULL ? FxQueueInsert(queue, request) : STATUS_INVALID_DEVICE_REQUEST;
    if (status == STATUS_WDF_BUSY && io->Purged)
        status = io->PurgeStatus;
    if (!NT_SUCCESS(status))
        FxRequestComplete(request, status, 0);
    return STATUS_PENDING;
}

VOID FxIoPowerManagedStop(FxDevice* device) {
    FxDeviceIo* io = device->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    io->PowerStopped = TRUE;
    FxIoUnlock(io, irql);
    // Without EvtIoStop the framework waits for what the driver owns to be completed.
    KeWaitForSingleObject(&io->PowerManagedDrained, Executive, KernelMode, FALSE, NULL);
    FxEvent("power-managed queues stopped");
}

VOID FxIoPowerManagedStart(FxDevice* device) {
    FxDeviceIo* io = device->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    io->PowerStopped = FALSE;
    FxIoUnlock(io, irql);
    for (PLIST_ENTRY e = io->Queues.Flink; e != &io->Queues; e = e->Flink) {
        FxQueue* queue = CONTAINING_RECORD(e, FxQueue, DeviceEntry);
        if (queue->PowerManaged)
            FxQueueDispatch(queue);
    }
}

// Takes the waiting requests that `match` selects off every queue (cancel routines cleared).
static VOID FxIoTakeWaiting(FxDeviceIo* io, PFILE_OBJECT fileObject, PLIST_ENTRY taken) {
    for (PLIST_ENTRY q = io->Queues.Flink; q != &io->Queues; q = q->Flink) {
        FxQueue* queue = CONTAINING_RECORD(q, FxQueue, DeviceEntry);
        for (PLIST_ENTRY e = queue->Waiting.Flink; e != &queue->Waiting;) {
            FxRequest* r = CONTAINING_RECORD(e, FxRequest, QueueEntry);
            e = e->Flink;
            if (fileObject != NULL &&
                IoGetCurrentIrpStackLocation(r->Irp)->FileObject != fileObject)
                continue;
            RemoveEntryList(&r->QueueEntry);
            if (IoSetCancelRoutine(r->Irp, NULL) == NULL)
                InitializeListHead(&r->QueueEntry); // its cancel routine completes it
            else
                InsertTailList(taken, &r->QueueEntry);
        }
    }
}

static VOID FxIoCompleteTaken(PLIST_ENTRY taken, NTSTATUS status) {
    while (!IsListEmpty(taken)) {
        FxRequest* r = CONTAINING_RECORD(RemoveHeadList(taken), FxRequest, QueueEntry);
        FxRequestComplete(r, status, 0);
    }
}

VOID FxIoPurge(FxDevice* device, NTSTATUS status) {
    FxDeviceIo* io = device->Io;
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    FxIoLock(io, &irql);
    io->Purged = TRUE;
    io->PurgeStatus = status;
    FxIoTakeWaiting(io, NULL, &taken);
    FxIoUnlock(io, irql);
    FxIoCompleteTaken(&taken, status);
    FxEvent("queues purged (0x%08x)", (ULONG)status);
}

VOID FxIoCancelFileRequests(FxDevice* device, PFILE_OBJECT fileObject) {
    FxDeviceIo* io = device->Io;
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    FxIoLock(io, &irql);
    FxIoTakeWaiting(io, fileObject, &taken);
    FxIoUnlock(io, irql);
    while (!IsListEmpty(&taken))
        FxQueueCancelled(CONTAINING_RECORD(RemoveHeadList(&taken), FxRequest, QueueEntry),
                         STATUS_CANCELLED);
}

BOOLEAN FxIoFileIdle(FxDevice* device, PFILE_OBJECT fileObject) {
    FxDeviceIo* io = device->Io;
    BOOLEAN idle = TRUE;
    KIRQL irql;
    FxIoLock(io, &irql);
    for (PLIST_ENTRY e = io->Requests.Flink; e != &io->Requests && idle; e = e->Flink) {
        FxRequest* r = CONTAINING_RECORD(e, FxRequest, DeviceEntry);
        idle = IoGetCurrentIrpStackLocation(r->Irp)->FileObject != fileObject;
    }
    FxIoUnlock(io, irql);
    return idle;
}

BOOLEAN FxIoPowerManagedIdle(FxDevice* device) {
    FxDeviceIo* io = device->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    BOOLEAN idle = io->PowerManagedOwned == 0;
    for (PLIST_ENTRY e = io->Queues.Flink; e != &io->Queues && idle; e = e->Flink) {
        FxQueue* queue = CONTAINING_RECORD(e, FxQueue, DeviceEntry);
        idle = !queue->PowerManaged || IsListEmpty(&queue->Waiting);
    }
    FxIoUnlock(io, irql);
    return idle;
}

// ---------------------------------------------------------------------------- the calls
NTSTATUS imp_WdfIoQueueCreate(PWDF_DRIVER_GLOBALS globals, WDFDEVICE Device,
                              PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                              WDFQUEUE* Queue) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxDevice* device = FxResolve<FxDevice>(Device, FX_API);
    if (device == NULL || Config == NULL || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        FxViolation("WdfIoQueueCreate: bad device or WDF_IO_QUEUE_CONFIG");
        return STATUS_INVALID_PARAMETER;
    }
    FxDeviceIo* io = device->Io;
    if ((Config->DispatchType != WdfIoQueueDispatchSequential &&
         Config->DispatchType != WdfIoQueueDispatchParallel) ||
        (Config->DefaultQueue && io->DefaultQueue != NULL)) {
        FxViolation("WdfIoQueueCreate: a second default queue or a dispatch type without a "
                    "way to retrieve requests");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // 1.1 takes ExecutionLevel and SynchronizationScope on driver and device objects only.
    if (QueueAttributes != NULL &&
        (QueueAttributes->ExecutionLevel > WdfExecutionLevelInheritFromParent ||
         QueueAttributes->SynchronizationScope > WdfSynchronizationScopeInheritFromParent)) {
        FxViolation("WdfIoQueueCreate: ExecutionLevel and SynchronizationScope of a queue need "
                    "version 1.9");
        return STATUS_INVALID_PARAMETER;
    }
    FxObject* object;
    status = FxObjectCreate(sizeof(FxQueue), FxTypeQueue, QueueAttributes, FxDeviceObject(device),
                            FxQueueDispose, FX_API, &object);
    if (!NT_SUCCESS(status))
        return status;
    FxQueue* queue = reinterpret_cast<FxQueue*>(object);
    queue->Io = io;
    queue->Config = *Config;
    // The framework's device is the power policy owner: power-managed unless told otherwise.
    queue->PowerManaged = Config->PowerManaged != WdfFalse;
    InitializeListHead(&queue->Waiting);
    KIRQL irql;
    FxIoLock(io, &irql);
    InsertTailList(&io->Queues, &queue->DeviceEntry);
    if (Config->DefaultQueue)
        io->DefaultQueue = queue;
    FxIoUnlock(io, irql);
    FxEvent("WdfIoQueueCreate %s%s%s",
            Config->DispatchType == WdfIoQueueDispatchParallel ? "parallel" : "sequential",
            queue->PowerManaged ? " power-managed" : "", Config->DefaultQueue ? " default" : "");
    if (Queue != NULL)
        *Queue = FxHandle<WDFQUEUE>(queue);
    return STATUS_SUCCESS;
}

WDFDEVICE imp_WdfIoQueueGetDevice(PWDF_DRIVER_GLOBALS globals, WDFQUEUE Queue) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return NULL;
    FxQueue* queue = FxResolve<FxQueue>(Queue, FX_API);
    if (queue == NULL)
        return NULL;
    return reinterpret_cast<WDFDEVICE>(queue->Object.Parent->Handle);
}

NTSTATUS imp_WdfDeviceEnqueueRequest(PWDF_DRIVER_GLOBALS globals, WDFDEVICE Device,
                                     WDFREQUEST Request) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxDevice* device = FxResolve<FxDevice>(Device, FX_API);
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    if (device == NULL || request == NULL)
        return STATUS_INVALID_PARAMETER;
    if (request->State != FxRequestInCaller || request->Device != device) {
        FxViolation("WdfDeviceEnqueueRequest: the request is not in EvtIoInCallerContext of "
                    "this device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    FxQueue* queue = request->Io->DefaultQueue;
    if (queue == NULL)
        return STATUS_WDF_BUSY;
    // Marked before it is queued: once there, a power-up may present it at once.
    request->Handled = TRUE;
    status = FxQueueInsert(queue, request);
    if (!NT_SUCCESS(status))
        request->Handled = FALSE;
    return status;
}
