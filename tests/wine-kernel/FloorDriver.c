/* KldrFloor.sys: the smallest WDM function driver of a root-enumerated device. It opens, closes
 * and answers a null device-control request, so that a round trip through the I/O manager can be
 * measured and the installation path (INF, service, AddDevice, start, device interface) checked
 * on a kernel host without anything of ours in between.
 *
 * Only calls the kernel host implements are made (no power IRP requests, no DPCs): the image's
 * imports are checked against the host's exports. */
#include <ntddk.h>

#include "FloorIoctl.h"

typedef struct FLOOR_DEVICE {
    PDEVICE_OBJECT Lower;
    UNICODE_STRING InterfaceName;
} FLOOR_DEVICE;

static const GUID FloorInterfaceGuid = FLOOR_INTERFACE_GUID_INIT;

DRIVER_INITIALIZE DriverEntry;
static DRIVER_ADD_DEVICE FloorAddDevice;
static DRIVER_UNLOAD FloorUnload;
static DRIVER_DISPATCH FloorCreateClose;
static DRIVER_DISPATCH FloorDeviceControl;
static DRIVER_DISPATCH FloorPnp;
static DRIVER_DISPATCH FloorPower;
static IO_COMPLETION_ROUTINE FloorSignalCompletion;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS FloorCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS FloorDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_FLOOR_NULL:
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_FLOOR_IDENTIFY:
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        *(ULONG*)irp->AssociatedIrp.SystemBuffer = FLOOR_MAGIC;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS FloorSignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Start runs on the way up: the lower driver starts first. */
static NTSTATUS ForwardAndWait(FLOOR_DEVICE* floor, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FloorSignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(floor->Lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static NTSTATUS PassDown(FLOOR_DEVICE* floor, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(floor->Lower, irp);
}

static NTSTATUS FloorPnp(PDEVICE_OBJECT device, PIRP irp) {
    FLOOR_DEVICE* floor = (FLOOR_DEVICE*)device->DeviceExtension;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(floor, irp);
        if (NT_SUCCESS(status))
            status = IoSetDeviceInterfaceState(&floor->InterfaceName, TRUE);
        return Complete(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&floor->InterfaceName, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(floor, irp);
    case IRP_MN_REMOVE_DEVICE:
        IoSetDeviceInterfaceState(&floor->InterfaceName, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(floor, irp);
        IoDetachDevice(floor->Lower);
        RtlFreeUnicodeString(&floor->InterfaceName);
        IoDeleteDevice(device);
        return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(floor, irp);
    default:
        return PassDown(floor, irp);
    }
}

static NTSTATUS FloorPower(PDEVICE_OBJECT device, PIRP irp) {
    FLOOR_DEVICE* floor = (FLOOR_DEVICE*)device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(floor->Lower, irp);
}

static NTSTATUS FloorAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FLOOR_DEVICE), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FLOOR_DEVICE* floor = (FLOOR_DEVICE*)device->DeviceExtension;
    RtlZeroMemory(floor, sizeof(*floor));
    status = IoRegisterDeviceInterface(pdo, &FloorInterfaceGuid, NULL, &floor->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    floor->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!floor->Lower) {
        RtlFreeUnicodeString(&floor->InterfaceName);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void FloorUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    UNREFERENCED_PARAMETER(registry_path);
    driver->MajorFunction[IRP_MJ_CREATE] = FloorCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FloorCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FloorDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = FloorPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FloorPower;
    driver->DriverExtension->AddDevice = FloorAddDevice;
    driver->DriverUnload = FloorUnload;
    return STATUS_SUCCESS;
}
