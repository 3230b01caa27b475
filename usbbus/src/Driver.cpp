// Driver entry, AddDevice for the root-enumerated bus device, and dispatch by device kind.
#include "Bus.h"

namespace {

DRIVER_ADD_DEVICE BusAddDevice;
DRIVER_UNLOAD BusUnload;

bool IsBus(PDEVICE_OBJECT device) {
    return static_cast<ExtensionHeader*>(device->DeviceExtension)->isBus != FALSE;
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Bus), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Bus* bus = static_cast<Bus*>(fdo->DeviceExtension);
    bus->header.isBus = TRUE;
    bus->self = fdo;
    bus->pdo = pdo;
    KeInitializeSpinLock(&bus->lock);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    bus->logEpoch = now.QuadPart;
    bus->log = static_cast<PUSBBUS_LOG_ENTRY>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(USBBUS_LOG_ENTRY) * USBBUS_LOG_ENTRIES, USBBUS_TAG));
    if (bus->log == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    static const GUID controlGuid = USBBUS_CONTROL_INTERFACE_GUID_INIT;
    status = IoRegisterDeviceInterface(pdo, &controlGuid, NULL, &bus->controlInterface);
    if (NT_SUCCESS(status)) {
        bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        status = bus->lower != NULL ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
        if (!NT_SUCCESS(status))
            RtlFreeUnicodeString(&bus->controlInterface);
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(bus->log, USBBUS_TAG);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID BusUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

} // namespace

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IsBus(device))
        return FdoPnp(static_cast<Bus*>(device->DeviceExtension), irp);
    return PdoPnp(static_cast<Child*>(device->DeviceExtension), irp);
}

NTSTATUS BusDispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    if (IsBus(device))
        return FdoPower(static_cast<Bus*>(device->DeviceExtension), irp);
    return PdoPower(static_cast<Child*>(device->DeviceExtension), irp);
}

NTSTATUS BusDispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    if (IsBus(device))
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return PdoInternal(static_cast<Child*>(device->DeviceExtension), irp);
}

// Create, close, and device control of the bus's control interface.
NTSTATUS BusDispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP)
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    if (major == IRP_MJ_DEVICE_CONTROL && IsBus(device))
        return FdoControl(static_cast<Bus*>(device->DeviceExtension), irp);
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

EXTERN_C NTSTATUS UsbBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = BusDispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternal;
    driver->DriverExtension->AddDevice = BusAddDevice;
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}
