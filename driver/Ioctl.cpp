// The device-control interface: vendor control transfers and interrupt-pipe reads.
#include "Talvik.h"

static VOID TalvikInitSendOptions(PWDF_REQUEST_SEND_OPTIONS Options);

// URB function of dispatch keys 4 to 11: (RequestType * 4) | Recipient.
#define TALVIK_FIRST_KEY 4
static const USHORT TalvikUrbFunctions[] = {
    URB_FUNCTION_CLASS_DEVICE,    URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT,
    URB_FUNCTION_CLASS_OTHER,     URB_FUNCTION_VENDOR_DEVICE,   URB_FUNCTION_VENDOR_INTERFACE,
    URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER,
};

// METHOD_IN_DIRECT has the I/O manager check the output buffer for read access only, yet a
// device-to-host transfer writes into it: such a request gets its buffer probed and locked for
// write access here, in the caller's context, and is refused when the caller cannot write it.
VOID TalvikEvtIoInCallerContext(WDFDEVICE Device, WDFREQUEST Request) {
    WDF_REQUEST_PARAMETERS params;
    PVENDOR_OR_CLASS_REQUEST_CONTROL control;
    PREQUEST_CONTEXT requestContext;
    NTSTATUS status;
    size_t length;

    PAGED_CODE();

    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    length = params.Parameters.DeviceIoControl.OutputBufferLength;

    // A block that cannot be read here is refused by the device-control routine.
    if (params.Type == WdfRequestTypeDeviceControl &&
        params.Parameters.DeviceIoControl.IoControlCode == IOCTL_VENDOR_OR_CLASS_REQUEST &&
        length != 0 &&
        NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, sizeof(VENDOR_OR_CLASS_REQUEST_CONTROL),
                                                 (PVOID*)&control, NULL)) &&
        control->Direction != 0) {
        requestContext = GetRequestContext(Request);
        status = WdfRequestProbeAndLockUserBufferForWrite(Request,
                                                          WdfRequestWdmGetIrp(Request)->UserBuffer,
                                                          length, &requestContext->WritableOutput);
        if (!NT_SUCCESS(status)) {
            TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                        "WdfRequestProbeAndLockUserBufferForWrite failed %!STATUS!\n", status);
            WdfRequestComplete(Request, status);
            return;
        }
    }

    status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "WdfDeviceEnqueueRequest failed %!STATUS!\n",
                    status);
        WdfRequestComplete(Request, status);
    }
}

// The device's default queue (parallel, PASSIVE_LEVEL): reads are sent from here; vendor
// requests go on to the vendor-request queue, which hands them out one at a time.
VOID TalvikEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                              size_t InputBufferLength, ULONG IoControlCode) {
    PDEVICE_CONTEXT pDevContext;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    PAGED_CODE();

    TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_IOCTL, "--> TalvikEvtIoDeviceControl\n");

    pDevContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    status = STATUS_INVALID_DEVICE_REQUEST;

    switch (IoControlCode) {
    case IOCTL_READ_INTERRUPT_PIPE:
        status = TalvikStartInterruptRead(pDevContext, Request);
        break;

    case IOCTL_VENDOR_OR_CLASS_REQUEST:
        status = WdfRequestForwardToIoQueue(Request, pDevContext->VendorRequestQueue);
        if (!NT_SUCCESS(status)) {
            TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                        "WdfRequestForwardToIoQueue failed %!STATUS!\n", status);
        }
        break;

    default:
        break;
    }

    // Success means the request was passed on (or forwarded): it is no longer ours to touch.
    if (status != STATUS_SUCCESS) {
        WdfRequestCompleteWithInformation(Request, status, 0);
    }

    TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_IOCTL, "<-- TalvikEvtIoDeviceControl\n");
}

// The vendor-request queue (sequential): the framework delivers the next request as the
// previous one completes, in the completing thread and at its IRQL, up to DISPATCH_LEVEL (KMDF
// 1.1 has no passive-level queues). So this routine and what it calls are nonpaged.
VOID TalvikEvtIoVendorRequest(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                              size_t InputBufferLength, ULONG IoControlCode) {
    PVENDOR_OR_CLASS_REQUEST_CONTROL control;
    PDEVICE_CONTEXT pDevContext;
    WDFDEVICE device;
    NTSTATUS status;
    ULONG_PTR bytes;
    ULONG key;
    USHORT urbFunction;

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_IOCTL, "--> TalvikEvtIoVendorRequest\n");

    device = WdfIoQueueGetDevice(Queue);
    pDevContext = GetDeviceContext(device);
    bytes = 0;

    status = WdfRequestRetrieveInputBuffer(Request, sizeof(VENDOR_OR_CLASS_REQUEST_CONTROL),
                                           (PVOID*)&control, NULL);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "User's input buffer is too small for this IOCTL, expecting an "
                    "VENDOR_OR_CLASS_REQUEST_CONTROL\n");
    } else {
        // Both bytes unsigned and the key at full width: RequestType 0x42 is key 0x108.
        key = ((ULONG)control->RequestType * 4) | (ULONG)control->Recipient;
        urbFunction = 0;
        if (key >= TALVIK_FIRST_KEY &&
            key < TALVIK_FIRST_KEY + sizeof(TalvikUrbFunctions) / sizeof(TalvikUrbFunctions[0])) {
            urbFunction = TalvikUrbFunctions[key - TALVIK_FIRST_KEY];
        }
        TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_IOCTL, "Request control request 0x%x\n",
                    urbFunction != 0 ? (ULONG)urbFunction : (IoControlCode & 0xFFFF));

        if (urbFunction != URB_FUNCTION_VENDOR_DEVICE) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            status = SendVendorRequest(device, pDevContext, Request, urbFunction, control, &bytes);
        }
    }

    // Success means the request is with the USB stack; its completion routine completes it.
    if (status != STATUS_SUCCESS) {
        WdfRequestCompleteWithInformation(Request, status, bytes);
    }

    TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_IOCTL, "<-- TalvikEvtIoVendorRequest\n");
}

static VOID TalvikInitSendOptions(PWDF_REQUEST_SEND_OPTIONS Options) {
    WDF_REQUEST_SEND_OPTIONS_INIT(Options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(Options,
                                         WDF_REL_TIMEOUT_IN_SEC(TALVIK_SEND_TIMEOUT_SECONDS));
}

NTSTATUS TalvikStartInterruptRead(PDEVICE_CONTEXT DeviceContext, WDFREQUEST Request) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDFUSBPIPE pipe;
    WDFMEMORY memory;
    NTSTATUS status;

    PAGED_CODE();

    pipe = DeviceContext->InterruptPipe;

    status = WdfRequestRetrieveOutputMemory(Request, &memory);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ,
                    "WdfRequestRetrieveOutputMemory failed %!STATUS!\n", status);
        return status;
    }
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ, "WdfRequestRetrieveOutputMemory goes good\n");

    status = WdfUsbTargetPipeFormatRequestForRead(pipe, Request, memory, NULL);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ,
                    "WdfUsbTargetPipeFormatRequestForRead failed 0x%x\n", status);
        return status;
    }
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ, "WdfUsbTargetPipeFormatRequestForRead goes good\n");

    WdfRequestSetCompletionRoutine(Request, TalvikReadCompletionRoutine, DeviceContext);

    TalvikInitSendOptions(&options);
    if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(pipe), &options)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ, "WdfRequestSend failed\n");
        status = WdfRequestGetStatus(Request);
        WdfRequestSetCompletionRoutine(Request, NULL, NULL);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SendVendorRequest(WDFDEVICE Device, PDEVICE_CONTEXT DeviceContext, WDFREQUEST Request,
                           USHORT UrbFunction, PVENDOR_OR_CLASS_REQUEST_CONTROL Control,
                           PULONG_PTR Bytes) {
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_SEND_OPTIONS options;
    PURB urb;
    PVOID buffer;
    WDFMEMORY writable;
    ULONG length;
    ULONG transferFlags;
    NTSTATUS status;
    BOOLEAN sent;

    UNREFERENCED_PARAMETER(Device);

    *Bytes = 0;

    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    length = (ULONG)params.Parameters.DeviceIoControl.OutputBufferLength;

    urb = (PURB)DeviceContext->UrbBuffer;
    RtlZeroMemory(urb, TALVIK_URB_SIZE);

    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "input buffer size %d\n", length);

    DeviceContext->RequestDirectionIn = 0;
    transferFlags = USBD_SHORT_TRANSFER_OK;
    if (Control->Direction != 0) {
        DeviceContext->RequestDirectionIn = 1;
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "Request Direction IN\n");
        transferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    }

    // The output buffer is the data stage in either direction; none when its length is 0.
    buffer = NULL;
    if (length != 0) {
        status = WdfRequestRetrieveOutputBuffer(Request, length, &buffer, NULL);
        if (!NT_SUCCESS(status)) {
            TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                        "User's output buffer is too small for this IOCTL\n");
            return status;
        }
        // Data from the device goes only into the buffer locked for write access.
        if (Control->Direction != 0) {
            writable = GetRequestContext(Request)->WritableOutput;
            if (writable == NULL) {
                TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                            "User's output buffer is not locked for writing\n");
                return STATUS_INVALID_USER_BUFFER;
            }
            buffer = WdfMemoryGetBuffer(writable, NULL);
        }
    }

    UsbBuildVendorRequest(urb, UrbFunction,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          transferFlags, 0, Control->Request, Control->Value, Control->Index,
                          buffer, NULL, length, NULL);

    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "WDFSend request control: %x\n", Control->Request);
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "WDFSend request value: %x\n", Control->Value);
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "WDFSend request index: %x\n", Control->Index);

    status = WdfUsbTargetDeviceFormatRequestForUrb(DeviceContext->UsbDevice, Request,
                                                   DeviceContext->UrbMemory, NULL);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "WdfUsbTargetDeviceFormatRequestForUrb:failed %x\n", status);
        return status;
    }

    WdfRequestSetCompletionRoutine(Request, TalvikIoctlCompletionRoutine, DeviceContext);

    TalvikInitSendOptions(&options);
    sent =
        WdfRequestSend(Request, WdfUsbTargetDeviceGetIoTarget(DeviceContext->UsbDevice), &options);
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "WDFSend status %d\n", sent);
    if (!sent) {
        status = WdfRequestGetStatus(Request);
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "URB_FUNCTION_VENDOR_DEVICE:WDFSend status %d\n",
                    sent);
        WdfRequestSetCompletionRoutine(Request, NULL, NULL);
        return status;
    }
    return status;
}

// Nonpaged: may run at DISPATCH_LEVEL.
VOID TalvikIoctlCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target,
                                  PWDF_REQUEST_COMPLETION_PARAMS CompletionParams,
                                  WDFCONTEXT Context) {
    PWDF_USB_REQUEST_COMPLETION_PARAMS usbCompletionParams;
    NTSTATUS status;
    ULONG_PTR bytes;
    PURB urb;

    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Context);

    status = WdfRequestGetStatus(Request);
    usbCompletionParams = CompletionParams->Parameters.Usb.Completion;
    bytes = 0;

    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "TalvikIoctlCompletionRoutine:Request failed - %x\n", status);
    } else if (USBD_ERROR(usbCompletionParams->UsbdStatus)) {
        status = STATUS_UNSUCCESSFUL;
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ,
                    "TalvikIoctlCompletionRoutine:Read failed - request status 0x%x UsbdStatus "
                    "0x%x\n",
                    status, usbCompletionParams->UsbdStatus);
    } else {
        urb = (PURB)WdfMemoryGetBuffer(usbCompletionParams->Parameters.DeviceUrb.Buffer, NULL);
        bytes = urb->UrbControlVendorClassRequest.TransferBufferLength;
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL, "bytes  - %d \n", (ULONG)bytes);
    }

    WdfRequestCompleteWithInformation(Request, status, bytes);
}

// Nonpaged: may run at DISPATCH_LEVEL.
VOID TalvikReadCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target,
                                 PWDF_REQUEST_COMPLETION_PARAMS CompletionParams,
                                 WDFCONTEXT Context) {
    PWDF_USB_REQUEST_COMPLETION_PARAMS usbCompletionParams;
    NTSTATUS status;
    size_t bytesRead;

    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Context);

    status = CompletionParams->IoStatus.Status;
    usbCompletionParams = CompletionParams->Parameters.Usb.Completion;
    bytesRead = usbCompletionParams->Parameters.PipeRead.Length;

    if (NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_INFORMATION, DBG_READ, "Number of bytes read: %d\n",
                    (ULONG)bytesRead);
    } else {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_READ,
                    "Read failed - request status 0x%x UsbdStatus 0x%x\n", status,
                    usbCompletionParams->UsbdStatus);
    }

    WdfRequestCompleteWithInformation(Request, status, bytesRead);
}
