// The bus tests' function driver. Requests reuse the caller's IRP down to the bus (so that
// CancelIoEx reaches the bus's pending transfer), except the timed one, which goes on an IRP the
// driver allocates and cancels from a timer DPC.
#include "FunctionDriver.h"

#include <usbdlib.h>
#include <usbioctl.h>
#include <usburb.h>

EXTERN_C const GUID FnInterfaceGuid = {
    0x6a1b7d3e, 0x41c2, 0x4f0e, {0x9b, 0x5d, 0x21, 0x7c, 0x88, 0x10, 0x3a, 0x64}};

namespace {

struct FnDevice {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    USBD_PIPE_HANDLE interruptIn;
    BOOLEAN interfaceEnabled;
};

struct TimedRequest {
    PIRP user;
    PIRP lower;
    PURB urb;
    KTIMER timer;
    KDPC dpc;
    volatile LONG refs; // the completion routine's and the timer's
    volatile LONG timedOut;
};

DRIVER_ADD_DEVICE FnAddDevice;
DRIVER_DISPATCH FnPnp;
DRIVER_DISPATCH FnPower;
DRIVER_DISPATCH FnDeviceControl;
DRIVER_DISPATCH FnCreateClose;
IO_COMPLETION_ROUTINE FnSignal;
IO_COMPLETION_ROUTINE FnUrbDone;
IO_COMPLETION_ROUTINE FnTimedDone;
KDEFERRED_ROUTINE FnTimeout;

FnDevice* Fn(PDEVICE_OBJECT device) {
    return static_cast<FnDevice*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FnSignal(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendUrbSync(FnDevice* fn, PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fn->lower, NULL, 0,
                                             NULL, 0, TRUE, &done, &iosb);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(fn->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS GetConfiguration(FnDevice* fn, PUCHAR buffer, ULONG length) {
    auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), FN_TAG));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof *urb);
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    urb->TransferBuffer = buffer;
    urb->TransferBufferLength = length;
    NTSTATUS status = SendUrbSync(fn, reinterpret_cast<PURB>(urb));
    ExFreePoolWithTag(urb, FN_TAG);
    return status;
}

// The first configuration, its first interface, all of its pipes.
NTSTATUS Configure(FnDevice* fn) {
    USB_CONFIGURATION_DESCRIPTOR header;
    NTSTATUS status = GetConfiguration(fn, reinterpret_cast<PUCHAR>(&header), sizeof header);
    if (!NT_SUCCESS(status))
        return status;
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, header.wTotalLength, FN_TAG));
    if (config == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = GetConfiguration(fn, reinterpret_cast<PUCHAR>(config), header.wTotalLength);
    auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(reinterpret_cast<PUCHAR>(config) +
                                                              config->bLength);
    ULONG pipes = iface->bNumEndpoints;
    ULONG size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                 USBD_INTERFACE_INFORMATION_SIZE(pipes);
    auto* select =
        static_cast<_URB_SELECT_CONFIGURATION*>(ExAllocatePoolWithTag(NonPagedPool, size, FN_TAG));
    if (NT_SUCCESS(status) && select != NULL) {
        RtlZeroMemory(select, size);
        select->Hdr.Length = static_cast<USHORT>(size);
        select->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        select->ConfigurationDescriptor = config;
        select->Interface.Length = static_cast<USHORT>(USBD_INTERFACE_INFORMATION_SIZE(pipes));
        status = SendUrbSync(fn, reinterpret_cast<PURB>(select));
        for (ULONG i = 0; NT_SUCCESS(status) && i < select->Interface.NumberOfPipes; ++i)
            if (select->Interface.Pipes[i].PipeType == UsbdPipeTypeInterrupt &&
                USB_ENDPOINT_DIRECTION_IN(select->Interface.Pipes[i].EndpointAddress))
                fn->interruptIn = select->Interface.Pipes[i].PipeHandle;
    } else if (select == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (select != NULL)
        ExFreePoolWithTag(select, FN_TAG);
    ExFreePoolWithTag(config, FN_TAG);
    return status;
}

NTSTATUS FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FnDevice), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FnDevice* fn = Fn(device);
    fn->self = device;
    status = IoRegisterDeviceInterface(pdo, &FnInterfaceGuid, NULL, &fn->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    fn->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID DisableInterface(FnDevice* fn) {
    if (fn->interfaceEnabled)
        IoSetDeviceInterfaceState(&fn->link, FALSE);
    fn->interfaceEnabled = FALSE;
}

NTSTATUS FnPnp(PDEVICE_OBJECT device, PIRP irp) {
    FnDevice* fn = Fn(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT started;
        KeInitializeEvent(&started, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FnSignal, &started, TRUE, TRUE, TRUE);
        if (IoCallDriver(fn->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, NULL);
        NTSTATUS status = irp->IoStatus.Status;
        if (NT_SUCCESS(status))
            status = Configure(fn);
        if (NT_SUCCESS(status))
            fn->interfaceEnabled = NT_SUCCESS(IoSetDeviceInterfaceState(&fn->link, TRUE));
        return Complete(irp, status, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        DisableInterface(fn);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        DisableInterface(fn);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(fn->lower, irp);
        IoDetachDevice(fn->lower);
        RtlFreeUnicodeString(&fn->link);
        IoDeleteDevice(device);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(fn->lower, irp);
}

NTSTATUS FnPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Fn(device)->lower, irp);
}

NTSTATUS FnCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The transfer URBs keep their length at one offset (usb.h).
ULONG Transferred(PURB urb) {
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->TransferBufferLength;
    return urb->UrbControlVendorClassRequest.TransferBufferLength;
}

NTSTATUS FnUrbDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    auto* urb = static_cast<PURB>(context);
    bool in = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode !=
              IOCTL_FN_VENDOR_OUT;
    irp->IoStatus.Information = NT_SUCCESS(irp->IoStatus.Status) && in ? Transferred(urb) : 0;
    ExFreePoolWithTag(urb, FN_TAG);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS SendDown(FnDevice* fn, PIRP irp, PURB urb) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return IoCallDriver(fn->lower, irp);
}

VOID ReleaseTimed(TimedRequest* t) {
    if (InterlockedDecrement(&t->refs) != 0)
        return;
    IoFreeIrp(t->lower);
    ExFreePoolWithTag(t->urb, FN_TAG);
    ExFreePoolWithTag(t, FN_TAG);
}

VOID FnTimeout(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* t = static_cast<TimedRequest*>(context);
    InterlockedExchange(&t->timedOut, 1);
    IoCancelIrp(t->lower);
    ReleaseTimed(t);
}

NTSTATUS FnTimedDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    auto* t = static_cast<TimedRequest*>(context);
    // A fired timer cannot be cancelled; inside its DPC (the bus completing what the timeout
    // cancelled) Wine's KeCancelTimer would never return.
    if (InterlockedCompareExchange(&t->timedOut, 1, 1) == 0 && KeCancelTimer(&t->timer))
        ReleaseTimed(t); // the timer's share: its DPC will not run
    NTSTATUS status = irp->IoStatus.Status;
    if (status == STATUS_CANCELLED && InterlockedCompareExchange(&t->timedOut, 1, 1) == 1)
        status = STATUS_IO_TIMEOUT;
    Complete(t->user, status, NT_SUCCESS(status) ? Transferred(t->urb) : 0);
    ReleaseTimed(t);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendTimed(FnDevice* fn, PIRP user, const FN_VENDOR_REQUEST* request, ULONG outLength) {
    auto* t = static_cast<TimedRequest*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TimedRequest), FN_TAG));
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), FN_TAG));
    PIRP lower = IoAllocateIrp(fn->lower->StackSize, FALSE);
    if (t == NULL || urb == NULL || lower == NULL) {
        if (t != NULL)
            ExFreePoolWithTag(t, FN_TAG);
        if (urb != NULL)
            ExFreePoolWithTag(urb, FN_TAG);
        if (lower != NULL)
            IoFreeIrp(lower);
        return Complete(user, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(urb, sizeof(URB));
    UsbBuildVendorRequest(
        urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request->Request, request->Value,
        request->Index, user->AssociatedIrp.SystemBuffer, NULL, outLength, NULL);
    t->user = user;
    t->lower = lower;
    t->urb = urb;
    t->refs = 2;
    t->timedOut = 0;
    KeInitializeTimer(&t->timer);
    KeInitializeDpc(&t->dpc, FnTimeout, t);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(lower);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(lower, FnTimedDone, t, TRUE, TRUE, TRUE);
    IoMarkIrpPending(user);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(FN_TIMEOUT_MS) * 10000;
    KeSetTimer(&t->timer, due, &t->dpc);
    IoCallDriver(fn->lower, lower);
    return STATUS_PENDING;
}

NTSTATUS FnDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    FnDevice* fn = Fn(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* request = static_cast<const FN_VENDOR_REQUEST*>(irp->AssociatedIrp.SystemBuffer);
    bool vendor = code == IOCTL_FN_VENDOR_IN || code == IOCTL_FN_VENDOR_OUT ||
                  code == IOCTL_FN_VENDOR_IN_TIMED;
    if (vendor && inLength < sizeof(FN_VENDOR_REQUEST))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (code == IOCTL_FN_VENDOR_IN_TIMED)
        return SendTimed(fn, irp, request, outLength);
    if (code != IOCTL_FN_VENDOR_IN && code != IOCTL_FN_VENDOR_OUT &&
        code != IOCTL_FN_READ_INTERRUPT)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), FN_TAG));
    if (urb == NULL)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(urb, sizeof(URB));
    if (code == IOCTL_FN_READ_INTERRUPT) {
        auto* bulk = reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(urb);
        bulk->Hdr.Length = sizeof *bulk;
        bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        bulk->PipeHandle = fn->interruptIn;
        bulk->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        bulk->TransferBufferMDL = irp->MdlAddress;
        bulk->TransferBufferLength = outLength;
    } else if (code == IOCTL_FN_VENDOR_IN) {
        UsbBuildVendorRequest(
            urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request->Request,
            request->Value, request->Index, NULL, irp->MdlAddress, outLength, NULL);
    } else {
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, request->Request, request->Value,
                              request->Index, const_cast<FN_VENDOR_REQUEST*>(request) + 1, NULL,
                              inLength - static_cast<ULONG>(sizeof(FN_VENDOR_REQUEST)), NULL);
    }
    IoSetCompletionRoutine(irp, FnUrbDone, urb, TRUE, TRUE, TRUE);
    return SendDown(fn, irp, urb);
}

} // namespace

EXTERN_C NTSTATUS FnDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    driver->MajorFunction[IRP_MJ_CREATE] = FnCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FnCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = FnCreateClose;
    driver->MajorFunction[IRP_MJ_PNP] = FnPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FnPower;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FnDeviceControl;
    driver->DriverExtension->AddDevice = FnAddDevice;
    return STATUS_SUCCESS;
}
