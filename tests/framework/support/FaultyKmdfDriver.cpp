// The verifier tests' faulty KMDF driver (see FaultyKmdfDriver.h): written as a client of the
// framework would be, kernel subset of C++, binding through the stub. Each fault is one place
// where it departs from what the framework asks.
#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>
#include <usbdlib.h>

#include "FaultyKmdfDriver.h"

EXTERN_C NTSTATUS FxStubDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING, PDRIVER_INITIALIZE);

// {8e4c2b17-6a3f-4d90-b1e5-2c7a9f03d461}
EXTERN_C const GUID FaultyInterfaceGuid = {
    0x8e4c2b17, 0x6a3f, 0x4d90, {0xb1, 0xe5, 0x2c, 0x7a, 0x9f, 0x03, 0xd4, 0x61}};

FAULTY_CONFIG FaultyConfig;

#define FAULTY_TAG 0x746C6146UL // "Falt" in memory
#define FAULTY_URB_SIZE sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)

typedef struct _FAULTY_DEVICE {
    WDFUSBDEVICE Usb;
    WDFUSBPIPE InterruptIn;
    WDFQUEUE Vendor;
    WDFQUEUE Second;
    PVOID UrbBlock;
    WDFMEMORY UrbMemory;
} FAULTY_DEVICE;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FAULTY_DEVICE, FaultyDeviceOf)

static UCHAR FaultyLeakedBuffer[16];
static WDFREQUEST FaultyKept;

static EVT_WDF_DRIVER_DEVICE_ADD FaultyDeviceAdd;
static EVT_WDF_DEVICE_PREPARE_HARDWARE FaultyPrepareHardware;
static EVT_WDF_DEVICE_RELEASE_HARDWARE FaultyReleaseHardware;
static EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL FaultyDeviceControl;
static EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL FaultyVendor;
static EVT_WDF_REQUEST_COMPLETION_ROUTINE FaultyReadDone;
static EVT_WDF_REQUEST_COMPLETION_ROUTINE FaultyVendorDone;

static NTSTATUS FaultyDriverInit(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FaultyDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

NTSTATUS FaultyDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    FaultyKept = NULL;
    return FxStubDriverEntry(DriverObject, RegistryPath, FaultyDriverInit);
}

static NTSTATUS FaultyDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = FaultyPrepareHardware;
    pnp.EvtDeviceReleaseHardware = FaultyReleaseHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FAULTY_DEVICE);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    FAULTY_DEVICE* context = FaultyDeviceOf(device);

    WDF_IO_QUEUE_CONFIG queue;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
    queue.EvtIoDeviceControl = FaultyDeviceControl;
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    if (FaultyConfig.QueueExecutionLevel != WdfExecutionLevelInvalid)
        queueAttributes.ExecutionLevel = FaultyConfig.QueueExecutionLevel;
    if (FaultyConfig.QueueSynchronizationScope != WdfSynchronizationScopeInvalid)
        queueAttributes.SynchronizationScope = FaultyConfig.QueueSynchronizationScope;
    status = WdfIoQueueCreate(device, &queue, &queueAttributes, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT(&queue, WdfIoQueueDispatchSequential);
    queue.EvtIoDeviceControl = FaultyVendor;
    status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, &context->Vendor);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT(&queue, WdfIoQueueDispatchSequential);
    queue.EvtIoDeviceControl = FaultyVendor;
    status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, &context->Second);
    if (!NT_SUCCESS(status))
        return status;
    return WdfDeviceCreateDeviceInterface(device, &FaultyInterfaceGuid, NULL);
}

static NTSTATUS FaultyPrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated) {
    UNREFERENCED_PARAMETER(Raw);
    UNREFERENCED_PARAMETER(Translated);
    FAULTY_DEVICE* context = FaultyDeviceOf(Device);
    NTSTATUS status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &context->Usb);
    if (!NT_SUCCESS(status))
        return status;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS select;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&select);
    status = WdfUsbTargetDeviceSelectConfig(context->Usb, WDF_NO_OBJECT_ATTRIBUTES, &select);
    if (!NT_SUCCESS(status))
        return status;
    WDFUSBINTERFACE usbInterface = select.Types.SingleInterface.ConfiguredUsbInterface;
    context->InterruptIn = WdfUsbInterfaceGetConfiguredPipe(usbInterface, 0, NULL);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(context->InterruptIn);
    context->UrbBlock =
        ExAllocatePoolWithTag(FaultyConfig.Fault == FaultyPagedPoolUrb ? PagedPool : NonPagedPool,
                              FAULTY_URB_SIZE, FAULTY_TAG);
    if (context->UrbBlock == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, context->UrbBlock,
                                         FAULTY_URB_SIZE, &context->UrbMemory);
    if (NT_SUCCESS(status) && FaultyConfig.Fault == FaultyObjectLeak) {
        WDFMEMORY leaked;
        status = WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, FaultyLeakedBuffer,
                                             sizeof FaultyLeakedBuffer, &leaked);
    }
    return status;
}

static NTSTATUS FaultyReleaseHardware(WDFDEVICE Device, WDFCMRESLIST Translated) {
    UNREFERENCED_PARAMETER(Translated);
    FAULTY_DEVICE* context = FaultyDeviceOf(Device);
    if (context->UrbMemory != NULL) {
        WdfObjectDelete(context->UrbMemory);
        context->UrbMemory = NULL;
    }
    if (context->UrbBlock != NULL) {
        ExFreePoolWithTag(context->UrbBlock, FAULTY_TAG);
        context->UrbBlock = NULL;
    }
    return STATUS_SUCCESS;
}

static VOID FaultyReadDone(WDFREQUEST Request, WDFIOTARGET Target,
                           PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    FAULTY_DEVICE* context = static_cast<FAULTY_DEVICE*>(Context);
    NTSTATUS status = Params->IoStatus.Status;
    switch (FaultyConfig.Fault) {
    case FaultyPagedCodeInCompletion:
        PAGED_CODE();
        break;
    case FaultyPassiveCallInCompletion:
        WdfIoTargetStop(Target, WdfIoTargetCancelSentIo);
        break;
    case FaultyForwardOnCancel:
        if (status == STATUS_CANCELLED) {
            status = WdfRequestForwardToIoQueue(Request, context->Second);
            if (NT_SUCCESS(status))
                return;
            WdfRequestComplete(Request, status);
            return;
        }
        break;
    default:
        break;
    }
    WdfRequestCompleteWithInformation(
        Request, status, Params->Parameters.Usb.Completion->Parameters.PipeRead.Length);
    if (FaultyConfig.Fault == FaultyTouchAfterComplete)
        (VOID) WdfRequestGetStatus(Request);
}

static VOID FaultyVendorDone(WDFREQUEST Request, WDFIOTARGET Target,
                             PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Context);
    PURB urb = static_cast<PURB>(
        WdfMemoryGetBuffer(Params->Parameters.Usb.Completion->Parameters.DeviceUrb.Buffer, NULL));
    WdfRequestCompleteWithInformation(Request, Params->IoStatus.Status,
                                      urb->UrbControlVendorClassRequest.TransferBufferLength);
}

static VOID FaultyInitSendOptions(PWDF_REQUEST_SEND_OPTIONS Options) {
    WDF_REQUEST_SEND_OPTIONS_INIT(Options, 0);
    if (FaultyConfig.ReadTimeout != 0)
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(Options, FaultyConfig.ReadTimeout);
}

// STATUS_PENDING when the read is with the pipe (or kept after a failed send).
static NTSTATUS FaultyRead(FAULTY_DEVICE* context, WDFREQUEST Request) {
    WDFMEMORY memory;
    NTSTATUS status = WdfRequestRetrieveOutputMemory(Request, &memory);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfUsbTargetPipeFormatRequestForRead(context->InterruptIn, Request, memory, NULL);
    if (!NT_SUCCESS(status))
        return status;
    WdfRequestSetCompletionRoutine(Request, FaultyReadDone, context);
    WDF_REQUEST_SEND_OPTIONS options;
    FaultyInitSendOptions(&options);
    if (WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(context->InterruptIn), &options))
        return STATUS_PENDING;
    WdfRequestSetCompletionRoutine(Request, NULL, NULL);
    if (FaultyConfig.Fault != FaultyFailedSendKept)
        return WdfRequestGetStatus(Request);
    FaultyKept = Request; // and nothing else: the queue's callback returns with it
    return STATUS_PENDING;
}

static VOID FaultyDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    FAULTY_DEVICE* context = FaultyDeviceOf(WdfIoQueueGetDevice(Queue));
    WDFIOTARGET pipe = WdfUsbTargetPipeGetIoTarget(context->InterruptIn);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    switch (IoControlCode) {
    case IOCTL_FAULTY_READ:
        status = FaultyRead(context, Request);
        if (status == STATUS_PENDING)
            return;
        break;
    case IOCTL_FAULTY_VENDOR:
        status = WdfRequestForwardToIoQueue(Request, context->Vendor);
        if (NT_SUCCESS(status))
            return;
        break;
    case IOCTL_FAULTY_STOP_PIPE: {
        WDF_IO_TARGET_SENT_IO_ACTION* action;
        status = WdfRequestRetrieveInputBuffer(Request, sizeof *action, (PVOID*)&action, NULL);
        if (NT_SUCCESS(status))
            WdfIoTargetStop(pipe, *action);
        break;
    }
    case IOCTL_FAULTY_START_PIPE:
        status = WdfIoTargetStart(pipe);
        break;
    case IOCTL_FAULTY_RELEASE:
        if (FaultyKept != NULL) {
            WdfRequestComplete(FaultyKept, WdfRequestGetStatus(FaultyKept));
            FaultyKept = NULL;
        }
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    WdfRequestComplete(Request, status);
}

// Vendor request 0x42, device to host, into the output buffer, from the device's URB block.
static VOID FaultyVendor(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                         size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    FAULTY_DEVICE* context = FaultyDeviceOf(WdfIoQueueGetDevice(Queue));
    PVOID out = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    if (OutputBufferLength != 0)
        status = WdfRequestRetrieveOutputBuffer(Request, 1, &out, NULL);
    if (NT_SUCCESS(status)) {
        PURB urb = static_cast<PURB>(context->UrbBlock);
        RtlZeroMemory(urb, FAULTY_URB_SIZE);
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)FAULTY_URB_SIZE,
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0x42, 0, 0,
                              out, NULL, (ULONG)OutputBufferLength, NULL);
        status =
            WdfUsbTargetDeviceFormatRequestForUrb(context->Usb, Request, context->UrbMemory, NULL);
    }
    if (NT_SUCCESS(status)) {
        WdfRequestSetCompletionRoutine(Request, FaultyVendorDone, context);
        if (WdfRequestSend(Request, WdfUsbTargetDeviceGetIoTarget(context->Usb),
                           WDF_NO_SEND_OPTIONS))
            return;
        WdfRequestSetCompletionRoutine(Request, NULL, NULL);
        status = WdfRequestGetStatus(Request);
    }
    WdfRequestComplete(Request, status);
}
