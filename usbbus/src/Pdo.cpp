// A child PDO: its USB hardware and compatible ids, capabilities, start and removal, power.
#include "Bus.h"

namespace {

// Appends `text` then, for a hex field, `digits` hex digits of `value`.
struct IdWriter {
    WCHAR* out;
    ULONG used;
    ULONG capacity;
    VOID Text(const char* text) {
        for (; *text != 0; ++text)
            Char(static_cast<WCHAR>(*text));
    }
    VOID Hex(ULONG value, int digits) {
        static const char kDigits[] = "0123456789ABCDEF";
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            Char(static_cast<WCHAR>(kDigits[(value >> shift) & 0xF]));
    }
    VOID Decimal(ULONG value) {
        char digits[12];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0)
            Char(static_cast<WCHAR>(digits[--n]));
    }
    VOID End() { Char(0); }
    VOID Char(WCHAR c) {
        if (used < capacity)
            out[used++] = c;
    }
};

const USB_INTERFACE_DESCRIPTOR* FirstInterface(const USB_CONFIGURATION_DESCRIPTOR* config) {
    const UCHAR* p = reinterpret_cast<const UCHAR*>(config);
    const UCHAR* end = p + config->wTotalLength;
    for (p += config->bLength; p + 2 <= end && p[0] != 0; p += p[0])
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
    return NULL;
}

VOID VidPid(IdWriter* w, const USB_DEVICE_DESCRIPTOR* d) {
    w->Text("USB\\VID_");
    w->Hex(d->idVendor, 4);
    w->Text("&PID_");
    w->Hex(d->idProduct, 4);
}

// The ids Windows' hub driver reports: a device id, hardware ids with and without the revision,
// compatible ids from the class (of the device, or of its first interface).
NTSTATUS QueryId(Child* child, BUS_QUERY_ID_TYPE type, PWCH* result) {
    const ULONG capacity = 256;
    auto* buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, capacity * sizeof(WCHAR), USBBUS_TAG));
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IdWriter w = {buffer, 0, capacity - 2};
    const USB_DEVICE_DESCRIPTOR* d = child->device->DeviceDescriptor();
    switch (type) {
    case BusQueryDeviceID:
        VidPid(&w, d);
        break;
    case BusQueryInstanceID:
        w.Decimal(child->port);
        break;
    case BusQueryHardwareIDs:
        VidPid(&w, d);
        w.Text("&REV_");
        w.Hex(d->bcdDevice, 4);
        w.End();
        VidPid(&w, d);
        w.End();
        break;
    case BusQueryCompatibleIDs: {
        UCHAR cls = d->bDeviceClass, sub = d->bDeviceSubClass, prot = d->bDeviceProtocol;
        const USB_INTERFACE_DESCRIPTOR* first =
            FirstInterface(child->device->ConfigurationDescriptor());
        if (cls == 0 && first != NULL) {
            cls = first->bInterfaceClass;
            sub = first->bInterfaceSubClass;
            prot = first->bInterfaceProtocol;
        }
        w.Text("USB\\Class_");
        w.Hex(cls, 2);
        w.Text("&SubClass_");
        w.Hex(sub, 2);
        w.Text("&Prot_");
        w.Hex(prot, 2);
        w.End();
        w.Text("USB\\Class_");
        w.Hex(cls, 2);
        w.Text("&SubClass_");
        w.Hex(sub, 2);
        w.End();
        w.Text("USB\\Class_");
        w.Hex(cls, 2);
        w.End();
        break;
    }
    default:
        ExFreePoolWithTag(buffer, USBBUS_TAG);
        return STATUS_NOT_SUPPORTED;
    }
    buffer[w.used] = 0;
    buffer[w.used + 1] = 0;
    *result = buffer;
    return STATUS_SUCCESS;
}

VOID FillCapabilities(Child* child, PDEVICE_CAPABILITIES caps) {
    const USB_CONFIGURATION_DESCRIPTOR* config = child->device->ConfigurationDescriptor();
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->Address = child->port;
    caps->UINumber = child->port;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
        caps->DeviceState[s] = PowerDeviceD3;
    if (config->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) {
        caps->DeviceWake = PowerDeviceD2;
        caps->SystemWake = PowerSystemSleeping3;
        caps->WakeFromD2 = TRUE;
    }
}

VOID DeleteChild(Child* child) {
    Bus* bus = child->bus;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    if (bus->children[child->port - 1] == child)
        bus->children[child->port - 1] = NULL;
    child->deleting = TRUE;
    BOOLEAN fed = child->feeders > 0;
    KeReleaseSpinLock(&bus->lock, irql);
    if (fed) {
        // The last feeder signals holding the bus lock: once we hold it, it has let go.
        KeWaitForSingleObject(&child->feedersGone, Executive, KernelMode, FALSE, NULL);
        KeAcquireSpinLock(&bus->lock, &irql);
        KeReleaseSpinLock(&bus->lock, irql);
    }
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i)
        FreeInData(&child->pipes[i]);
    IoFreeWorkItem(child->idleWork);
    UsbVirtualDevice* owned = child->ownsDevice ? child->device : NULL;
    IoDeleteDevice(child->self);
    FreeDescribedDevice(owned);
}

} // namespace

Child* CreateChild(Bus* bus, UsbVirtualDevice* device, BOOLEAN owned, ULONG port) {
    PDEVICE_OBJECT pdo;
    if (!NT_SUCCESS(IoCreateDevice(bus->self->DriverObject, sizeof(Child), NULL, FILE_DEVICE_USB,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
        return NULL;
    Child* child = static_cast<Child*>(pdo->DeviceExtension);
    child->header.isBus = FALSE;
    child->self = pdo;
    child->bus = bus;
    child->port = port;
    child->device = device;
    child->ownsDevice = owned;
    SetPresent(child, TRUE);
    child->power = PowerDeviceD0;
    child->idleWork = IoAllocateWorkItem(pdo);
    KeInitializeEvent(&child->feedersGone, NotificationEvent, FALSE);
    InitializeTransfers(child);
    pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return child;
}

NTSTATUS PdoPnp(Child* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        child->started = TRUE;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID: {
        PWCH id = NULL;
        NTSTATUS query = QueryId(child, stack->Parameters.QueryId.IdType, &id);
        if (query != STATUS_NOT_SUPPORTED) {
            status = query;
            information = reinterpret_cast<ULONG_PTR>(id);
        }
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        FillCapabilities(child, stack->Parameters.DeviceCapabilities.Capabilities);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), USBBUS_TAG));
            if (relations == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(child->self);
            relations->Count = 1;
            relations->Objects[0] = child->self;
            information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        FailPending(child, NULL, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        // Gone from the bus: the PDO goes too. Still plugged in: it stays for the next start.
        FailPending(child, NULL, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        child->started = FALSE;
        child->configurationValue = 0;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (!IsPresent(child))
            DeleteChild(child);
        return STATUS_SUCCESS;
    default:
        break;
    }
    return CompleteIrp(irp, status, information);
}

NTSTATUS PdoPower(Child* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        if (stack->Parameters.Power.Type == DevicePowerState) {
            // Read by a remote wake-up on another thread, under the same lock.
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            child->power = stack->Parameters.Power.State.DeviceState;
            IoReleaseCancelSpinLock(irql);
        }
        status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    } else {
        status = irp->IoStatus.Status;
    }
    return CompleteIrp(irp, status, 0);
}
