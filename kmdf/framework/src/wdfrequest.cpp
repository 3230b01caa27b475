// Requests: a request wraps an IRP from the I/O manager for as long as the driver has it. The
// framework marks the IRP pending when it arrives and completes it with IoCompleteRequest when
// the driver completes the request; the handle dies then, so a later call on it is a finding.
#include "FxIo.h"
#include "FxExports.h"

static VOID FxRequestDispose(FxObject* object) {
    FxRequest* request = reinterpret_cast<FxRequest*>(object);
    if (request->OwnUrb != NULL) {
        ExFreePoolWithTag(request->OwnUrb, FX_URB_POOL_TAG);
        request->OwnUrb = NULL;
    }
}

FxRequest* FxRequestCreate(FxDevice* device, FxDeviceIo* io, PIRP irp, NTSTATUS* status) {
    FxObject* object;
    *status = FxObjectCreate(sizeof(FxRequest), FxTypeRequest, FxDeviceRequestAttributes(device),
                             FxDeviceObject(device), FxRequestDispose, "a request", &object);
    if (!NT_SUCCESS(*status))
        return NULL;
    FxRequest* request = reinterpret_cast<FxRequest*>(object);
    request->Irp = irp;
    request->Device = device;
    request->Io = io;
    request->State = FxRequestInCaller;
    InitializeListHead(&request->QueueEntry);
    InitializeListHead(&request->TargetEntry);
    InitializeListHead(&request->CancelEntry);
    KeInitializeTimer(&request->Timer);
    KeInitializeEvent(&request->SendDone, NotificationEvent, FALSE);
    KIRQL irql;
    KeAcquireSpinLock(&io->Lock, &irql);
    InsertTailList(&io->Requests, &request->DeviceEntry);
    KeReleaseSpinLock(&io->Lock, irql);
    FxDeviceRemoveLockAcquire(device); // within a dispatch, which holds it already
    return request;
}

// The create request goes to EvtDeviceFileCreate in the opening thread; it is the driver's
// (on no queue) until it completes it.
NTSTATUS FxIoPresentCreate(FxDevice* device, PIRP irp, WDFFILEOBJECT fileObject,
                           PFN_WDF_DEVICE_FILE_CREATE callback) {
    IoMarkIrpPending(irp);
    NTSTATUS status;
    FxRequest* request = FxRequestCreate(device, device->Io, irp, &status);
    if (request == NULL) {
        FxDeviceFileCreateDone(device, IoGetCurrentIrpStackLocation(irp)->FileObject, status);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    request->Create = TRUE;
    request->State = FxRequestOwned;
    FxReference(&request->Object);
    FxCountDriverCall();
    callback(FxDeviceHandle(device), FxRequestHandle(request), fileObject);
    if (!request->Handled)
        FxViolation("create request 0x%p neither completed nor sent when EvtDeviceFileCreate "
                    "returned",
                    FxRequestHandle(request));
    FxDereference(&request->Object);
    return STATUS_PENDING;
}

WDFREQUEST FxRequestHandle(FxRequest* request) {
    return FxHandle<WDFREQUEST>(request);
}

PIO_STACK_LOCATION FxRequestStack(FxRequest* request) {
    return IoGetCurrentIrpStackLocation(request->Irp);
}

FxRequest* FxRequestOwnedByDriver(WDFREQUEST handle, PCSTR api) {
    FxRequest* request = FxResolve<FxRequest>(handle, api);
    if (request == NULL)
        return NULL;
    if (request->State == FxRequestWaiting) {
        FxViolation("%s: request 0x%p is on a queue, not the driver's", api, handle);
        return NULL;
    }
    return request;
}

// The most bytes a completion may report: what the caller's buffer holds.
static BOOLEAN FxRequestInformationLimit(FxRequest* request, ULONG_PTR* limit) {
    PIO_STACK_LOCATION stack = FxRequestStack(request);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        *limit = stack->Parameters.DeviceIoControl.OutputBufferLength;
        return TRUE;
    case IRP_MJ_READ:
        *limit = stack->Parameters.Read.Length;
        return TRUE;
    case IRP_MJ_WRITE:
        *limit = stack->Parameters.Write.Length;
        return TRUE;
    default:
        return FALSE;
    }
}

VOID FxRequestComplete(FxRequest* request, NTSTATUS status, ULONG_PTR information) {
    FxDeviceIo* io = request->Io;
    FxQueue* next = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&io->Lock, &irql);
    if (request->State == FxRequestOwned && request->Queue != NULL) {
        FxQueueReleaseOwned(request);
        // Within its callback, the presenting loop goes on to the next request.
        if (request->Queue->Config.DispatchType == WdfIoQueueDispatchSequential &&
            !request->Presenting)
            next = request->Queue;
    }
    request->State = FxRequestDone;
    request->Handled = TRUE; // under the lock: the presenting thread reads it there
    RemoveEntryList(&request->DeviceEntry);
    KeReleaseSpinLock(&io->Lock, irql);
    BOOLEAN powerReferenced = request->PowerReferenced;
    FxDevice* device = request->Device;
    if (request->LockedMdl != NULL) {
        FxUnlockPages(request->LockedMdl);
        IoFreeMdl(request->LockedMdl);
        request->LockedMdl = NULL;
    }
    PIRP irp = request->Irp;
    if (request->Create)
        FxDeviceFileCreateDone(device, IoGetCurrentIrpStackLocation(irp)->FileObject, status);
    // Before the caller can see the completion: the idle timeout runs from there.
    if (powerReferenced)
        FxDevicePowerDereference(device);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FxCountRequestCompleted();
    FxObjectDelete(&request->Object);
    if (next != NULL)
        FxQueueDispatch(next);
    FxDeviceRemoveLockRelease(device);
}

// Both completion calls: the request must be the driver's and back from any target.
static VOID FxRequestCompleteCall(WDFREQUEST handle, NTSTATUS status, ULONG_PTR information,
                                  PCSTR api) {
    FxRequest* request = FxRequestOwnedByDriver(handle, api);
    if (request == NULL)
        return;
    if (request->OnTarget) {
        FxViolation("%s: request 0x%p is still with its I/O target", api, handle);
        return;
    }
    ULONG_PTR limit;
    if (FxRequestInformationLimit(request, &limit) && information > limit) {
        FxViolation("%s: %llu bytes reported, the buffer holds %llu", api, (ULONGLONG)information,
                    (ULONGLONG)limit);
        information = limit;
    }
    // Not a rule of the framework's, but a routine left behind would run if the request were
    // sent again: the host sees it.
    if (request->SendFailed && request->CompletionRoutine != NULL)
        FxEvent("request 0x%p completed after a failed send with its completion routine set",
                handle);
    FxRequestComplete(request, status, information);
}

VOID imp_WdfRequestCompleteWithInformation(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                           NTSTATUS Status, ULONG_PTR Information) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxRequestCompleteCall(Request, Status, Information, FX_API);
}

VOID imp_WdfRequestComplete(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request, NTSTATUS Status) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxRequestCompleteCall(Request, Status, 0, FX_API);
}

VOID imp_WdfRequestGetParameters(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                 PWDF_REQUEST_PARAMETERS Parameters) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    if (request == NULL || Parameters == NULL)
        return;
    if (Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        FxViolation("WdfRequestGetParameters: Size is wrong (not initialised?)");
        return;
    }
    PIO_STACK_LOCATION stack = FxRequestStack(request);
    RtlZeroMemory(&Parameters->Parameters, sizeof Parameters->Parameters);
    Parameters->MinorFunction = stack->MinorFunction;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        Parameters->Type = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                               ? WdfRequestTypeDeviceControl
                               : WdfRequestTypeDeviceControlInternal;
        Parameters->Parameters.DeviceIoControl.OutputBufferLength =
            stack->Parameters.DeviceIoControl.OutputBufferLength;
        Parameters->Parameters.DeviceIoControl.InputBufferLength =
            stack->Parameters.DeviceIoControl.InputBufferLength;
        Parameters->Parameters.DeviceIoControl.IoControlCode =
            stack->Parameters.DeviceIoControl.IoControlCode;
        Parameters->Parameters.DeviceIoControl.Type3InputBuffer =
            stack->Parameters.DeviceIoControl.Type3InputBuffer;
        break;
    case IRP_MJ_READ:
        Parameters->Type = WdfRequestTypeRead;
        Parameters->Parameters.Read.Length = stack->Parameters.Read.Length;
        Parameters->Parameters.Read.Key = stack->Parameters.Read.Key;
        Parameters->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset.QuadPart;
        break;
    case IRP_MJ_WRITE:
        Parameters->Type = WdfRequestTypeWrite;
        Parameters->Parameters.Write.Length = stack->Parameters.Write.Length;
        Parameters->Parameters.Write.Key = stack->Parameters.Write.Key;
        Parameters->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset.QuadPart;
        break;
    default:
        Parameters->Type = static_cast<WDF_REQUEST_TYPE>(stack->MajorFunction);
        break;
    }
}

NTSTATUS imp_WdfRequestGetStatus(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    FxRequest* request = FxResolve<FxRequest>(Request, FX_API);
    return request != NULL ? request->Status : STATUS_INVALID_PARAMETER;
}

VOID imp_WdfRequestSetCompletionRoutine(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                        PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                        WDFCONTEXT CompletionContext) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    if (request == NULL)
        return;
    request->CompletionRoutine = CompletionRoutine;
    request->CompletionContext = CompletionContext;
}

PIRP imp_WdfRequestWdmGetIrp(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return NULL;
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    return request != NULL ? request->Irp : NULL;
}

// Between queues of the device: the source gives the request up, the destination takes it.
NTSTATUS imp_WdfRequestForwardToIoQueue(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                        WDFQUEUE DestinationQueue) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    FxQueue* queue = FxResolve<FxQueue>(DestinationQueue, FX_API);
    if (request == NULL || queue == NULL)
        return STATUS_INVALID_PARAMETER;
    FxQueue* source = request->Queue;
    if (request->State != FxRequestOwned || source == queue || queue->Io != request->Io)
        return STATUS_INVALID_DEVICE_REQUEST;
    FxDeviceIo* io = request->Io;
    KIRQL irql;
    FxIoLock(io, &irql);
    if (io->Purged) {
        FxIoUnlock(io, irql);
        return STATUS_WDF_BUSY;
    }
    FxQueueReleaseOwned(request);
    request->State = FxRequestInCaller; // in between queues for a moment
    // Within the source's callback, its presenting loop goes on to the next request.
    BOOLEAN nextOfSource =
        source->Config.DispatchType == WdfIoQueueDispatchSequential && !request->Presenting;
    FxIoUnlock(io, irql);
    request->Handled = TRUE;
    status = FxQueueInsert(queue, request);
    if (!NT_SUCCESS(status)) {
        // Purged meanwhile: the request is the driver's again, owned by no queue.
        request->Queue = NULL;
        request->State = FxRequestOwned;
        request->Handled = FALSE;
    }
    if (nextOfSource)
        FxQueueDispatch(source);
    return status;
}
