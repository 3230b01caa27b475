// The bus's control interface: device-control requests to the bus FDO from user mode, which plug
// and unplug devices made from descriptors, feed their IN endpoints, script their answers and
// read the bus log (BusControl.h).
#include "AnswerScript.h"
#include "DescribedDevice.h"

namespace {

NTSTATUS Plug(Bus* bus, PIRP irp, ULONG inLength, ULONG outLength, ULONG_PTR* information) {
    if (outLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    NTSTATUS status;
    UsbVirtualDevice* device = CreateDescribedDevice(
        static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer), inLength, &status);
    if (device == NULL)
        return status;
    ULONG port = 0;
    status = PlugIn(bus, device, TRUE, &port);
    if (!NT_SUCCESS(status)) {
        FreeDescribedDevice(device);
        return status;
    }
    *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = port;
    *information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS Unplug(Bus* bus, PIRP irp, ULONG inLength) {
    if (inLength != sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    return UsbBusUnplug(bus->self, *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer));
}

NTSTATUS ReadLog(Bus* bus, PIRP irp, ULONG inLength, ULONG outLength, ULONG_PTR* information) {
    if (inLength != sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    ULONG first = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    ULONG count = UsbBusReadLog(bus->self, first,
                                static_cast<PUSBBUS_LOG_ENTRY>(irp->AssociatedIrp.SystemBuffer),
                                outLength / sizeof(USBBUS_LOG_ENTRY));
    *information = count * sizeof(USBBUS_LOG_ENTRY);
    return STATUS_SUCCESS;
}

NTSTATUS FeedInRequest(Bus* bus, PIRP irp, ULONG inLength) {
    const auto* in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    USBBUS_FEED_IN feed;
    if (inLength < sizeof feed)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&feed, in, sizeof feed);
    if (feed.Length != inLength - sizeof feed)
        return STATUS_INVALID_PARAMETER;
    return UsbBusFeedIn(bus->self, feed.Port, feed.EndpointAddress, in + sizeof feed, feed.Length);
}

NTSTATUS ScriptRequest(Bus* bus, PIRP irp, ULONG inLength) {
    const auto* in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    USBBUS_SCRIPT header;
    if (inLength < sizeof header)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&header, in, sizeof header);
    if (header.Port == 0 || header.Port > USBBUS_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    AnswerScript* script =
        CreateAnswerScript(in + sizeof header, inLength - sizeof header, header.Records, &status);
    if (script == NULL)
        return status;
    // Under the bus lock the child, and so the device, cannot be freed.
    AnswerScript* unused = script;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    Child* child = bus->children[header.Port - 1];
    if (child == NULL || !IsPresent(child)) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (!child->ownsDevice) { // a device of kernel code answers for itself
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        unused = ReplaceDescribedDeviceScript(child->device, script);
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    FreeAnswerScript(unused);
    return status;
}

} // namespace

NTSTATUS FdoControl(Bus* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_USBBUS_PLUG:
        status = Plug(bus, irp, inLength, outLength, &information);
        break;
    case IOCTL_USBBUS_UNPLUG:
        status = Unplug(bus, irp, inLength);
        break;
    case IOCTL_USBBUS_READ_LOG:
        status = ReadLog(bus, irp, inLength, outLength, &information);
        break;
    case IOCTL_USBBUS_FEED_IN:
        status = FeedInRequest(bus, irp, inLength);
        break;
    case IOCTL_USBBUS_SCRIPT:
        status = ScriptRequest(bus, irp, inLength);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return CompleteIrp(irp, status, information);
}
