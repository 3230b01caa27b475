// The I/O tests' KMDF driver (see IoTestDriver.h): written as a client of the framework would
// be, kernel subset of C++, binding through the stub.
#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>
#include <usbdlib.h>

#include "IoTestDriver.h"

EXTERN_C NTSTATUS FxStubDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING, PDRIVER_INITIALIZE);

// {5b0f3c8e-2a1d-4f7e-9c3b-71d2e4a6b809}
EXTERN_C const GUID IoTestInterfaceGuid = {
    0x5b0f3c8e, 0x2a1d, 0x4f7e, {0x9c, 0x3b, 0x71, 0xd2, 0xe4, 0xa6, 0xb8, 0x09}};

IOTEST_CONFIG IoTestConfig;
IOTEST_OBSERVED IoTestObserved;
static WDFREQUEST IoTestKept;

typedef struct _IOTEST_DEVICE {
    WDFUSBDEVICE Usb;
    WDFUSBINTERFACE Interface;
    WDFUSBPIPE InterruptIn;
    WDFQUEUE Sequential;
    WDFMEMORY UrbMemory;
    UCHAR Urb[sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)];
} IOTEST_DEVICE;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(IOTEST_DEVICE, IoTestDeviceOf)

typedef struct _IOTEST_REQUEST {
    WDFMEMORY Writable;
} IOTEST_REQUEST;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(IOTEST_REQUEST, IoTestRequestOf)

static EVT_WDF_DRIVER_DEVICE_ADD IoTestDeviceAdd;
static EVT_WDF_DEVICE_PREPARE_HARDWARE IoTestPrepareHardware;
static EVT_WDF_DEVICE_D0_ENTRY IoTestD0Entry;
static EVT_WDF_DEVICE_D0_EXIT IoTestD0Exit;
static EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL IoTestDeviceControl;
static EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL IoTestSequential;
static EVT_WDF_IO_IN_CALLER_CONTEXT IoTestInCaller;
static EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE IoTestCanceledOnQueue;
static EVT_WDF_REQUEST_COMPLETION_ROUTINE IoTestCompletion;
static EVT_WDF_OBJECT_CONTEXT_CLEANUP IoTestRequestCleanup;

static NTSTATUS IoTestDriverInit(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, IoTestDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

NTSTATUS IoTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    RtlZeroMemory(&IoTestObserved, sizeof IoTestObserved);
    IoTestKept = NULL;
    return FxStubDriverEntry(DriverObject, RegistryPath, IoTestDriverInit);
}

static NTSTATUS IoTestDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = IoTestPrepareHardware;
    pnp.EvtDeviceD0Entry = IoTestD0Entry;
    pnp.EvtDeviceD0Exit = IoTestD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, IOTEST_REQUEST);
    requestAttributes.EvtCleanupCallback = IoTestRequestCleanup;
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);
    if (IoTestConfig.InCallerContext)
        WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, IoTestInCaller);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, IOTEST_DEVICE);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    IOTEST_DEVICE* context = IoTestDeviceOf(device);
    status = WdfDeviceCreateDeviceInterface(device, &IoTestInterfaceGuid, NULL);
    if (!NT_SUCCESS(status))
        return status;

    WDF_IO_QUEUE_CONFIG queue;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
    queue.EvtIoDeviceControl = IoTestDeviceControl;
    status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT(&queue, WdfIoQueueDispatchSequential);
    queue.EvtIoDeviceControl = IoTestSequential;
    queue.EvtIoCanceledOnQueue = IoTestCanceledOnQueue;
    status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, &context->Sequential);
    if (!NT_SUCCESS(status))
        return status;
    return WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, context->Urb, sizeof context->Urb,
                                       &context->UrbMemory);
}

static NTSTATUS IoTestPrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated) {
    UNREFERENCED_PARAMETER(Raw);
    UNREFERENCED_PARAMETER(Translated);
    IOTEST_DEVICE* context = IoTestDeviceOf(Device);
    NTSTATUS status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &context->Usb);
    if (!NT_SUCCESS(status))
        return status;
    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    status = WdfUsbTargetDeviceRetrieveInformation(context->Usb, &info);
    if (!NT_SUCCESS(status))
        return status;
    IoTestObserved.SelfPowered = (info.Traits & WDF_USB_DEVICE_TRAIT_SELF_POWERED) != 0;
    IoTestObserved.RemoteWake = (info.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) != 0;

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS select;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&select);
    status = WdfUsbTargetDeviceSelectConfig(context->Usb, WDF_NO_OBJECT_ATTRIBUTES, &select);
    if (!NT_SUCCESS(status))
        return status;
    context->Interface = select.Types.SingleInterface.ConfiguredUsbInterface;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 0);
    status = WdfUsbInterfaceSelectSetting(context->Interface, WDF_NO_OBJECT_ATTRIBUTES, &setting);
    if (!NT_SUCCESS(status))
        return status;
    IoTestObserved.InterfaceSettingPipes = WdfUsbInterfaceGetNumConfiguredPipes(context->Interface);
    for (UCHAR i = 0; i < IoTestObserved.InterfaceSettingPipes; ++i) {
        WDF_USB_PIPE_INFORMATION pipeInfo;
        WDF_USB_PIPE_INFORMATION_INIT(&pipeInfo);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(context->Interface, i, &pipeInfo);
        if (i == 0)
            IoTestObserved.InterruptPipeType = (UCHAR)pipeInfo.PipeType;
        if (pipeInfo.PipeType == WdfUsbPipeTypeInterrupt && WdfUsbTargetPipeIsInEndpoint(pipe))
            context->InterruptIn = pipe;
    }
    if (context->InterruptIn == NULL)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (IoTestConfig.NoMaximumPacketSizeCheck)
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(context->InterruptIn);
    if (IoTestConfig.IdleTimeoutMs != 0) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleUsbSelectiveSuspend);
        idle.IdleTimeout = IoTestConfig.IdleTimeoutMs;
        status = WdfDeviceAssignS0IdleSettings(Device, &idle);
    }
    return status;
}

static NTSTATUS IoTestD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(PreviousState);
    InterlockedIncrement(&IoTestObserved.D0Entries);
    return STATUS_SUCCESS;
}

static NTSTATUS IoTestD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(TargetState);
    InterlockedIncrement(&IoTestObserved.D0Exits);
    return STATUS_SUCCESS;
}

static VOID IoTestCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request) {
    UNREFERENCED_PARAMETER(Queue);
    InterlockedIncrement(&IoTestObserved.CanceledOnQueue);
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

static VOID IoTestRequestCleanup(WDFOBJECT Object) {
    UNREFERENCED_PARAMETER(Object);
    InterlockedIncrement(&IoTestObserved.RequestCleanups);
}

static VOID IoTestInCaller(WDFDEVICE Device, WDFREQUEST Request) {
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    InterlockedIncrement(&IoTestObserved.InCallerCalls);
    if (params.Parameters.DeviceIoControl.IoControlCode == IOCTL_IOTEST_PROBE) {
        NTSTATUS status = WdfRequestProbeAndLockUserBufferForWrite(
            Request, WdfRequestWdmGetIrp(Request)->UserBuffer,
            params.Parameters.DeviceIoControl.OutputBufferLength,
            &IoTestRequestOf(Request)->Writable);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
            return;
        }
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status))
        WdfRequestComplete(Request, status);
}

static VOID IoTestCompletion(WDFREQUEST Request, WDFIOTARGET Target,
                             PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Context);
    InterlockedIncrement(&IoTestObserved.CompletionRoutines);
    IoTestObserved.CompletionIrql = KeGetCurrentIrql();
    IoTestObserved.CompletionStatus = Params->IoStatus.Status;
    PWDF_USB_REQUEST_COMPLETION_PARAMS usb = Params->Parameters.Usb.Completion;
    IoTestObserved.UsbdStatus = usb->UsbdStatus;
    ULONG_PTR bytes = 0;
    if (usb->Type == WdfUsbRequestTypePipeRead) {
        bytes = usb->Parameters.PipeRead.Length;
    } else {
        PURB urb = (PURB)WdfMemoryGetBuffer(usb->Parameters.DeviceUrb.Buffer, NULL);
        bytes = urb->UrbControlVendorClassRequest.TransferBufferLength;
        InterlockedDecrement(&IoTestObserved.SequentialActive);
    }
    IoTestObserved.CompletionBytes = static_cast<LONG>(bytes);
    WdfRequestCompleteWithInformation(Request, Params->IoStatus.Status, bytes);
}

// A device-to-host vendor request into the output buffer, formatted with the device's URB.
static BOOLEAN IoTestSendVendor(IOTEST_DEVICE* context, WDFREQUEST Request, BOOLEAN synchronous,
                                NTSTATUS* status) {
    IOTEST_VENDOR* vendor;
    PVOID out = NULL;
    size_t outLength = 0;
    *status = WdfRequestRetrieveInputBuffer(Request, sizeof *vendor, (PVOID*)&vendor, NULL);
    if (!NT_SUCCESS(*status))
        return FALSE;
    (VOID) WdfRequestRetrieveOutputBuffer(Request, 1, &out, &outLength);
    PURB urb = (PURB)context->Urb;
    RtlZeroMemory(urb, sizeof context->Urb);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, vendor->Request,
                          vendor->Value, 0, out, NULL, (ULONG)outLength, NULL);
    *status =
        WdfUsbTargetDeviceFormatRequestForUrb(context->Usb, Request, context->UrbMemory, NULL);
    if (!NT_SUCCESS(*status))
        return FALSE;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, synchronous ? WDF_REQUEST_SEND_OPTION_SYNCHRONOUS : 0);
    if (vendor->Timeout != 0)
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, vendor->Timeout);
    WdfRequestSetCompletionRoutine(Request, synchronous ? NULL : IoTestCompletion, context);
    if (!WdfRequestSend(Request, WdfUsbTargetDeviceGetIoTarget(context->Usb), &options)) {
        *status = WdfRequestGetStatus(Request);
        return FALSE;
    }
    // Sent asynchronously, the request may be completed already: only a synchronous send's
    // request is still the driver's here.
    *status = synchronous ? WdfRequestGetStatus(Request) : STATUS_SUCCESS;
    return TRUE;
}

static VOID IoTestSequential(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                             size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    LONG active = InterlockedIncrement(&IoTestObserved.SequentialActive);
    if (active > IoTestObserved.SequentialMostActive)
        IoTestObserved.SequentialMostActive = active;
    NTSTATUS status;
    if (!IoTestSendVendor(IoTestDeviceOf(WdfIoQueueGetDevice(Queue)), Request, FALSE, &status)) {
        InterlockedDecrement(&IoTestObserved.SequentialActive);
        WdfRequestComplete(Request, status);
    }
}

static NTSTATUS IoTestRead(IOTEST_DEVICE* context, WDFREQUEST Request) {
    WDFMEMORY memory;
    NTSTATUS status = WdfRequestRetrieveOutputMemory(Request, &memory);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfUsbTargetPipeFormatRequestForRead(context->InterruptIn, Request, memory, NULL);
    if (!NT_SUCCESS(status))
        return status;
    WdfRequestSetCompletionRoutine(Request, IoTestCompletion, context);
    if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(context->InterruptIn),
                        WDF_NO_SEND_OPTIONS))
        return WdfRequestGetStatus(Request);
    return STATUS_PENDING;
}

static VOID IoTestDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(InputBufferLength);
    IOTEST_DEVICE* context = IoTestDeviceOf(WdfIoQueueGetDevice(Queue));
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR bytes = 0;
    PVOID in;
    PVOID out;
    size_t inLength;
    size_t outLength;
    switch (IoControlCode) {
    case IOCTL_IOTEST_ECHO:
    case IOCTL_IOTEST_ECHO_DIRECT:
        status = WdfRequestRetrieveInputBuffer(Request, 1, &in, &inLength);
        if (NT_SUCCESS(status))
            status = WdfRequestRetrieveOutputBuffer(Request, 1, &out, &outLength);
        if (NT_SUCCESS(status)) {
            bytes = inLength < outLength ? inLength : outLength;
            RtlCopyMemory(out, in, bytes);
        }
        break;
    case IOCTL_IOTEST_VENDOR:
        status = WdfRequestForwardToIoQueue(Request, context->Sequential);
        if (NT_SUCCESS(status))
            return;
        break;
    case IOCTL_IOTEST_VENDOR_SYNC:
        if (IoTestSendVendor(context, Request, TRUE, &status))
            bytes = ((PURB)context->Urb)->UrbControlVendorClassRequest.TransferBufferLength;
        break;
    case IOCTL_IOTEST_READ:
        status = IoTestRead(context, Request);
        if (status == STATUS_PENDING)
            return;
        break;
    case IOCTL_IOTEST_STOP_PIPE:
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(context->InterruptIn), WdfIoTargetCancelSentIo);
        status = STATUS_SUCCESS;
        break;
    case IOCTL_IOTEST_START_PIPE:
        status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(context->InterruptIn));
        break;
    case IOCTL_IOTEST_PROBE: {
        WDFMEMORY writable = IoTestRequestOf(Request)->Writable;
        status = STATUS_INVALID_USER_BUFFER;
        if (writable != NULL) {
            out = WdfMemoryGetBuffer(writable, &outLength);
            memset(out, 0xA5, outLength);
            bytes = outLength;
            status = STATUS_SUCCESS;
        }
        break;
    }
    case IOCTL_IOTEST_PROBE_LATE: {
        WDFMEMORY writable;
        status = WdfRequestProbeAndLockUserBufferForWrite(
            Request, WdfRequestWdmGetIrp(Request)->UserBuffer, OutputBufferLength, &writable);
        break;
    }
    case IOCTL_IOTEST_SEND_UNFORMATTED:
        if (!WdfRequestSend(Request, WdfUsbTargetDeviceGetIoTarget(context->Usb),
                            WDF_NO_SEND_OPTIONS))
            status = WdfRequestGetStatus(Request);
        break;
    case IOCTL_IOTEST_OVERREPORT:
        status = STATUS_SUCCESS;
        bytes = OutputBufferLength + 100;
        break;
    case IOCTL_IOTEST_KEEP:
        IoTestKept = Request;
        return;
    case IOCTL_IOTEST_RELEASE:
        if (IoTestKept != NULL) {
            WdfRequestComplete(IoTestKept, STATUS_SUCCESS);
            IoTestKept = NULL;
        }
        status = STATUS_SUCCESS;
        break;
    case IOCTL_IOTEST_COMPLETE_TWICE:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    WdfRequestCompleteWithInformation(Request, status, bytes);
}
