// The bus's FDO: start and removal on the root PDO, BusRelations for its children, power passed
// down, and the plug and unplug of virtual devices.
#include "Bus.h"

namespace {

IO_COMPLETION_ROUTINE SignalStarted;

NTSTATUS SignalStarted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Bus* bus, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalStarted, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(bus->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(Bus* bus, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

NTSTATUS ReportChildren(Bus* bus, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    ULONG count = 0;
    for (ULONG i = 0; i < USBBUS_MAX_PORTS; ++i)
        count += bus->children[i] != NULL && IsPresent(bus->children[i]) ? 1 : 0;
    KeReleaseSpinLock(&bus->lock, irql);
    ULONG size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    // Paged pool: the PnP manager frees it at PASSIVE_LEVEL.
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, USBBUS_TAG));
    if (relations == NULL)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    relations->Count = 0;
    KeAcquireSpinLock(&bus->lock, &irql);
    for (ULONG i = 0; i < USBBUS_MAX_PORTS && relations->Count < count; ++i) {
        Child* child = bus->children[i];
        if (child != NULL && IsPresent(child)) {
            ObReferenceObject(child->self);
            relations->Objects[relations->Count++] = child->self;
        }
    }
    KeReleaseSpinLock(&bus->lock, irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return PassDown(bus, irp);
}

// The children left when the bus goes: the PnP manager has removed their stacks already.
VOID DeleteChildren(Bus* bus) {
    for (ULONG i = 0; i < USBBUS_MAX_PORTS; ++i) {
        Child* child = bus->children[i];
        if (child == NULL)
            continue;
        bus->children[i] = NULL;
        FailPending(child, NULL, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        for (ULONG p = 0; p < USBBUS_MAX_PIPES; ++p)
            FreeInData(&child->pipes[p]);
        IoFreeWorkItem(child->idleWork);
        UsbVirtualDevice* owned = child->ownsDevice ? child->device : NULL;
        IoDeleteDevice(child->self);
        FreeDescribedDevice(owned);
    }
}

} // namespace

Bus* BusOf(PDEVICE_OBJECT fdo) {
    return static_cast<Bus*>(fdo->DeviceExtension);
}

NTSTATUS FdoPnp(Bus* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(bus, irp);
        if (NT_SUCCESS(status))
            IoSetDeviceInterfaceState(&bus->controlInterface, TRUE);
        return CompleteIrp(irp, status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
            return ReportChildren(bus, irp);
        return PassDown(bus, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&bus->controlInterface, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&bus->controlInterface, FALSE);
        RtlFreeUnicodeString(&bus->controlInterface);
        DeleteChildren(bus);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(bus, irp);
        PDEVICE_OBJECT lower = bus->lower;
        ExFreePoolWithTag(bus->log, USBBUS_TAG);
        IoDetachDevice(lower);
        IoDeleteDevice(bus->self);
        return status;
    }
    default:
        return PassDown(bus, irp);
    }
}

NTSTATUS FdoPower(Bus* bus, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(bus->lower, irp);
}

EXTERN_C NTSTATUS UsbBusPlugIn(PDEVICE_OBJECT busFdo, UsbVirtualDevice* device, PULONG port) {
    return PlugIn(BusOf(busFdo), device, FALSE, port);
}

NTSTATUS PlugIn(Bus* bus, UsbVirtualDevice* device, BOOLEAN owned, PULONG port) {
    KIRQL irql;
    ULONG free = 0;
    KeAcquireSpinLock(&bus->lock, &irql);
    for (ULONG i = USBBUS_MAX_PORTS; i > 0; --i)
        free = bus->children[i - 1] == NULL ? i : free;
    KeReleaseSpinLock(&bus->lock, irql);
    if (free == 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    Child* child = CreateChild(bus, device, owned, free);
    if (child == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeAcquireSpinLock(&bus->lock, &irql);
    bus->children[free - 1] = child;
    KeReleaseSpinLock(&bus->lock, irql);
    *port = free;
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS UsbBusUnplug(PDEVICE_OBJECT busFdo, ULONG port) {
    Bus* bus = BusOf(busFdo);
    if (port == 0 || port > USBBUS_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    Child* child = bus->children[port - 1];
    BOOLEAN wasPresent = child != NULL && IsPresent(child);
    if (wasPresent)
        SetPresent(child, FALSE);
    KeReleaseSpinLock(&bus->lock, irql);
    if (!wasPresent)
        return STATUS_NO_SUCH_DEVICE;
    FailPending(child, NULL, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
    return STATUS_SUCCESS;
}

namespace {

// The present child on `port`, counted, so that a removal running meanwhile keeps it until
// ReleaseChild; NULL when none.
Child* UseChild(Bus* bus, ULONG port) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    Child* child = bus->children[port - 1];
    BOOLEAN present = child != NULL && IsPresent(child);
    if (present)
        ++child->feeders;
    KeReleaseSpinLock(&bus->lock, irql);
    return present ? child : NULL;
}

VOID ReleaseChild(Bus* bus, Child* child) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    if (--child->feeders == 0 && child->deleting)
        KeSetEvent(&child->feedersGone, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&bus->lock, irql);
}

} // namespace

EXTERN_C NTSTATUS UsbBusFeedIn(PDEVICE_OBJECT busFdo, ULONG port, UCHAR endpointAddress,
                               const VOID* data, ULONG length) {
    Bus* bus = BusOf(busFdo);
    if (port == 0 || port > USBBUS_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    Child* child = UseChild(bus, port);
    if (child == NULL)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = FeedIn(child, endpointAddress, data, length);
    ReleaseChild(bus, child);
    return status;
}

EXTERN_C NTSTATUS UsbBusSignalWake(PDEVICE_OBJECT busFdo, ULONG port) {
    Bus* bus = BusOf(busFdo);
    if (port == 0 || port > USBBUS_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    Child* child = UseChild(bus, port);
    if (child == NULL)
        return STATUS_NO_SUCH_DEVICE;
    const UCHAR attributes = child->device->ConfigurationDescriptor()->bmAttributes;
    NTSTATUS status =
        (attributes & USB_CONFIG_REMOTE_WAKEUP) ? CompleteIdleOnWake(child) : STATUS_NOT_SUPPORTED;
    ReleaseChild(bus, child);
    return status;
}
