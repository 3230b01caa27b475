// Pipes of the selected setting, as the bus configured them: each is an I/O target of its own.
// A read is formatted as a bulk or interrupt transfer URB of the framework's, into the driver's
// memory object.
#include "FxIo.h"
#include "FxExports.h"

static VOID FxUsbPipeDispose(FxObject* object) {
    FxUsbPipe* pipe = reinterpret_cast<FxUsbPipe*>(object);
    FxTargetUnlink(&pipe->Target);
    FxUsbInterface* usbInterface = pipe->Interface;
    for (UCHAR i = 0; i < usbInterface->PipeCount; ++i)
        if (usbInterface->Pipes[i] == pipe)
            usbInterface->Pipes[i] = NULL;
}

VOID FxUsbDeletePipes(FxUsbInterface* usbInterface) {
    for (UCHAR i = 0; i < usbInterface->PipeCount; ++i)
        if (usbInterface->Pipes[i] != NULL)
            FxObjectDelete(&usbInterface->Pipes[i]->Target.Object);
    usbInterface->PipeCount = 0;
}

NTSTATUS FxUsbMakePipes(FxUsbInterface* usbInterface, PUSBD_INTERFACE_INFORMATION info,
                        PWDF_OBJECT_ATTRIBUTES attributes) {
    FxUsbDeletePipes(usbInterface);
    ULONG count = info->NumberOfPipes < FX_USB_MAX_PIPES ? info->NumberOfPipes : FX_USB_MAX_PIPES;
    for (ULONG i = 0; i < count; ++i) {
        FxObject* object;
        NTSTATUS status =
            FxObjectCreate(sizeof(FxUsbPipe), FxTypeIoTarget, attributes, &usbInterface->Object,
                           FxUsbPipeDispose, "a USB pipe", &object);
        if (!NT_SUCCESS(status)) {
            FxUsbDeletePipes(usbInterface);
            return status;
        }
        FxUsbPipe* pipe = reinterpret_cast<FxUsbPipe*>(object);
        FxTargetInit(&pipe->Target, FxTargetUsbPipe, usbInterface->UsbDevice->Target.Device);
        pipe->Interface = usbInterface;
        pipe->Info = info->Pipes[i];
        pipe->SettingIndex = usbInterface->Setting;
        usbInterface->Pipes[usbInterface->PipeCount++] = pipe;
    }
    return STATUS_SUCCESS;
}

static FxUsbPipe* FxUsbPipeResolve(WDFUSBPIPE handle, PCSTR api) {
    return reinterpret_cast<FxUsbPipe*>(
        FxTargetResolve(reinterpret_cast<WDFIOTARGET>(handle), FxTargetUsbPipe, FALSE, api));
}

UCHAR imp_WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS globals,
                                               WDFUSBINTERFACE UsbInterface) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return 0;
    FxUsbInterface* usbInterface = FxResolve<FxUsbInterface>(UsbInterface, FX_API);
    return usbInterface != NULL ? usbInterface->PipeCount : 0;
}

WDFUSBPIPE imp_WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS globals,
                                                WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                                PWDF_USB_PIPE_INFORMATION PipeInfo) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return NULL;
    FxUsbInterface* usbInterface = FxResolve<FxUsbInterface>(UsbInterface, FX_API);
    if (usbInterface == NULL || PipeIndex >= usbInterface->PipeCount)
        return NULL;
    FxUsbPipe* pipe = usbInterface->Pipes[PipeIndex];
    if (PipeInfo != NULL) {
        if (PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
            FxViolation("WdfUsbInterfaceGetConfiguredPipe: Size is wrong");
            return NULL;
        }
        PipeInfo->MaximumPacketSize = pipe->Info.MaximumPacketSize;
        PipeInfo->EndpointAddress = pipe->Info.EndpointAddress;
        PipeInfo->Interval = pipe->Info.Interval;
        PipeInfo->SettingIndex = pipe->SettingIndex;
        // USBD's pipe types count from control = 0; the framework's from invalid = 0.
        PipeInfo->PipeType = static_cast<WDF_USB_PIPE_TYPE>(pipe->Info.PipeType + 1);
        PipeInfo->MaximumTransferSize = pipe->Info.MaximumTransferSize;
    }
    return FxHandle<WDFUSBPIPE>(pipe);
}

BOOLEAN imp_WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE Pipe) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return FALSE;
    FxUsbPipe* pipe = FxUsbPipeResolve(Pipe, FX_API);
    return pipe != NULL && USB_ENDPOINT_DIRECTION_IN(pipe->Info.EndpointAddress);
}

BOOLEAN imp_WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE Pipe) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return FALSE;
    FxUsbPipe* pipe = FxUsbPipeResolve(Pipe, FX_API);
    return pipe != NULL && USB_ENDPOINT_DIRECTION_OUT(pipe->Info.EndpointAddress);
}

VOID imp_WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE Pipe) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxUsbPipe* pipe = FxUsbPipeResolve(Pipe, FX_API);
    if (pipe != NULL)
        pipe->NoMaximumPacketSizeCheck = TRUE;
}

NTSTATUS imp_WdfUsbTargetPipeFormatRequestForRead(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE Pipe,
                                                  WDFREQUEST Request, WDFMEMORY ReadMemory,
                                                  PWDFMEMORY_OFFSET ReadOffset) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxUsbPipe* pipe = FxUsbPipeResolve(Pipe, FX_API);
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    FxMemory* memory = FxResolve<FxMemory>(ReadMemory, FX_API);
    if (pipe == NULL || request == NULL || memory == NULL)
        return STATUS_INVALID_PARAMETER;
    if (request->OnTarget)
        return STATUS_INVALID_DEVICE_STATE;
    if (!USB_ENDPOINT_DIRECTION_IN(pipe->Info.EndpointAddress) ||
        (pipe->Info.PipeType != UsbdPipeTypeBulk && pipe->Info.PipeType != UsbdPipeTypeInterrupt))
        return STATUS_INVALID_DEVICE_REQUEST;
    size_t offset = ReadOffset != NULL ? ReadOffset->BufferOffset : 0;
    size_t length = ReadOffset != NULL && ReadOffset->BufferLength != 0
                        ? ReadOffset->BufferLength
                        : memory->Size - (offset < memory->Size ? offset : memory->Size);
    if (offset > memory->Size || length > memory->Size - offset || length > 0xFFFFFFFFull)
        return STATUS_INVALID_BUFFER_SIZE;
    if (!pipe->NoMaximumPacketSizeCheck && pipe->Info.MaximumPacketSize != 0 &&
        length % pipe->Info.MaximumPacketSize != 0)
        return STATUS_INVALID_BUFFER_SIZE;
    if (request->OwnUrb == NULL) {
        request->OwnUrb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), FX_URB_POOL_TAG));
        if (request->OwnUrb == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* urb = reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(request->OwnUrb);
    RtlZeroMemory(urb, sizeof *urb);
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = pipe->Info.PipeHandle;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBuffer = static_cast<PUCHAR>(memory->Buffer) + offset;
    urb->TransferBufferLength = static_cast<ULONG>(length);
    request->Urb = request->OwnUrb;
    request->Format = FxFormatUsbPipeRead;
    request->FormatTarget = &pipe->Target;
    request->Memory = ReadMemory;
    request->Offset = offset;
    return STATUS_SUCCESS;
}
