// A request's buffers, by the transfer method the I/O manager used: the system buffer for
// METHOD_BUFFERED (and the input of the direct methods), the MDL's system address for the
// output of METHOD_IN_DIRECT / METHOD_OUT_DIRECT and for direct reads and writes.
#include "FxIo.h"
#include "FxExports.h"

static PVOID FxMdlAddress(PMDL mdl) {
    return mdl != NULL ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : NULL;
}

// The buffer and its length; STATUS_INVALID_DEVICE_REQUEST when the request has no such buffer
// (METHOD_NEITHER, the input of a read).
static NTSTATUS FxRequestBuffer(FxRequest* request, BOOLEAN output, PVOID* buffer, size_t* length) {
    PIO_STACK_LOCATION stack = FxRequestStack(request);
    PIRP irp = request->Irp;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG method = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode);
        if (method == METHOD_NEITHER)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (!output) {
            *length = stack->Parameters.DeviceIoControl.InputBufferLength;
            *buffer = irp->AssociatedIrp.SystemBuffer;
        } else {
            *length = stack->Parameters.DeviceIoControl.OutputBufferLength;
            *buffer = method == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer
                                                : FxMdlAddress(irp->MdlAddress);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        if (output != (stack->MajorFunction == IRP_MJ_READ))
            return STATUS_INVALID_DEVICE_REQUEST;
        *length = stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length
                                                      : stack->Parameters.Write.Length;
        switch (FxDeviceIoType(request->Device)) {
        case WdfDeviceIoDirect:
            *buffer = FxMdlAddress(irp->MdlAddress);
            return STATUS_SUCCESS;
        case WdfDeviceIoNeither:
            return STATUS_INVALID_DEVICE_REQUEST;
        default:
            *buffer = irp->AssociatedIrp.SystemBuffer;
            return STATUS_SUCCESS;
        }
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Both retrieve calls: a zero-length buffer, or one shorter than the minimum, is too small.
static NTSTATUS FxRetrieveBuffer(PWDF_DRIVER_GLOBALS globals, WDFREQUEST handle, BOOLEAN output,
                                 size_t minimum, PVOID* buffer, size_t* length, PCSTR api) {
    FxRequest* request = FxRequestOwnedByDriver(handle, api);
    if (request == NULL || buffer == NULL)
        return STATUS_INVALID_PARAMETER;
    UNREFERENCED_PARAMETER(globals);
    PVOID found = NULL;
    size_t size = 0;
    NTSTATUS status = FxRequestBuffer(request, output, &found, &size);
    if (!NT_SUCCESS(status))
        return status;
    if (size == 0 || found == NULL || size < minimum)
        return STATUS_BUFFER_TOO_SMALL;
    *buffer = found;
    if (length != NULL)
        *length = size;
    return STATUS_SUCCESS;
}

NTSTATUS imp_WdfRequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                           size_t MinimumRequiredLength, PVOID* Buffer,
                                           size_t* Length) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    return FxRetrieveBuffer(globals, Request, FALSE, MinimumRequiredLength, Buffer, Length, FX_API);
}

NTSTATUS imp_WdfRequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                            size_t MinimumRequiredSize, PVOID* Buffer,
                                            size_t* Length) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    return FxRetrieveBuffer(globals, Request, TRUE, MinimumRequiredSize, Buffer, Length, FX_API);
}

// The output buffer as a memory object of the request's: it dies with the request.
NTSTATUS imp_WdfRequestRetrieveOutputMemory(PWDF_DRIVER_GLOBALS globals, WDFREQUEST Request,
                                            WDFMEMORY* Memory) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    PVOID buffer;
    size_t length;
    status = FxRetrieveBuffer(globals, Request, TRUE, 0, &buffer, &length, FX_API);
    if (!NT_SUCCESS(status) || Memory == NULL)
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    FxRequest* request = FxResolve<FxRequest>(Request, FX_API);
    if (request->OutputMemory == NULL) {
        status =
            FxMemoryCreate(NULL, &request->Object, buffer, length, FX_API, &request->OutputMemory);
        if (!NT_SUCCESS(status))
            return status;
    }
    *Memory = FxHandle<WDFMEMORY>(request->OutputMemory);
    return STATUS_SUCCESS;
}

// In EvtIoInCallerContext only, where the buffer's address is the caller's: an MDL probed and
// locked for write access, unlocked when the request completes. A failed probe is the caller's
// fault and comes back as its status.
NTSTATUS imp_WdfRequestProbeAndLockUserBufferForWrite(PWDF_DRIVER_GLOBALS globals,
                                                      WDFREQUEST Request, PVOID Buffer,
                                                      size_t Length, WDFMEMORY* MemoryObject) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    if (request == NULL || MemoryObject == NULL)
        return STATUS_INVALID_PARAMETER;
    if (request->State != FxRequestInCaller) {
        FxViolation("WdfRequestProbeAndLockUserBufferForWrite: request 0x%p is not in "
                    "EvtIoInCallerContext",
                    Request);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Length == 0 || Length > 0xFFFFFFFFull || request->LockedMdl != NULL)
        return STATUS_INVALID_PARAMETER;
    PMDL mdl = IoAllocateMdl(Buffer, static_cast<ULONG>(Length), FALSE, FALSE, NULL);
    if (mdl == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = FxProbeAndLockPages(mdl, request->Irp->RequestorMode, IoWriteAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    // The locked pages keep the caller's address valid for the request's life; Wine maps no
    // MDL a driver built itself, so the buffer is used at that address.
    FxMemory* memory;
    status = FxMemoryCreate(NULL, &request->Object, MmGetMdlVirtualAddress(mdl), Length, FX_API,
                            &memory);
    if (!NT_SUCCESS(status)) {
        FxUnlockPages(mdl);
        IoFreeMdl(mdl);
        return status;
    }
    request->LockedMdl = mdl;
    *MemoryObject = FxHandle<WDFMEMORY>(memory);
    return STATUS_SUCCESS;
}
