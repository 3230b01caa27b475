// The bus log: what crossed the wire, in order, in a ring of the latest entries.
#include "Bus.h"

namespace {

PUSBBUS_LOG_ENTRY Append(Bus* bus, KIRQL* irql) {
    KeAcquireSpinLock(&bus->lock, irql);
    ULONG sequence = bus->logNext++;
    PUSBBUS_LOG_ENTRY entry = &bus->log[sequence % USBBUS_LOG_ENTRIES];
    RtlZeroMemory(entry, sizeof *entry);
    entry->Sequence = sequence;
    // The system clock, not the interrupt time: Wine's KeQueryInterruptTime counts milliseconds.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    entry->Time = now.QuadPart - bus->logEpoch;
    return entry;
}

} // namespace

VOID LogSetup(Child* child, UCHAR endpoint, const USB_SETUP_PACKET* setup) {
    KIRQL irql;
    PUSBBUS_LOG_ENTRY entry = Append(child->bus, &irql);
    entry->Port = child->port;
    entry->Kind = UsbBusLogSetup;
    entry->EndpointAddress = endpoint;
    entry->Setup = *setup;
    KeReleaseSpinLock(&child->bus->lock, irql);
}

VOID LogData(Child* child, UCHAR endpoint, const VOID* data, ULONG length) {
    KIRQL irql;
    PUSBBUS_LOG_ENTRY entry = Append(child->bus, &irql);
    entry->Port = child->port;
    entry->Kind = UsbBusLogData;
    entry->EndpointAddress = endpoint;
    entry->Length = length;
    RtlCopyMemory(entry->Data, data,
                  length < USBBUS_LOG_DATA_BYTES ? length : USBBUS_LOG_DATA_BYTES);
    KeReleaseSpinLock(&child->bus->lock, irql);
}

VOID LogStatus(Child* child, UCHAR endpoint, ULONG length, NTSTATUS status, USBD_STATUS usbd) {
    KIRQL irql;
    PUSBBUS_LOG_ENTRY entry = Append(child->bus, &irql);
    entry->Port = child->port;
    entry->Kind = UsbBusLogStatus;
    entry->EndpointAddress = endpoint;
    entry->Length = length;
    entry->Status = status;
    entry->UsbdStatus = usbd;
    KeReleaseSpinLock(&child->bus->lock, irql);
}

VOID LogCancel(Child* child, UCHAR endpoint, NTSTATUS status) {
    KIRQL irql;
    PUSBBUS_LOG_ENTRY entry = Append(child->bus, &irql);
    entry->Port = child->port;
    entry->Kind = UsbBusLogCancel;
    entry->EndpointAddress = endpoint;
    entry->Status = status;
    entry->UsbdStatus = USBD_STATUS_CANCELED;
    KeReleaseSpinLock(&child->bus->lock, irql);
}

EXTERN_C ULONG UsbBusReadLog(PDEVICE_OBJECT busFdo, ULONG first, PUSBBUS_LOG_ENTRY entries,
                             ULONG count) {
    Bus* bus = BusOf(busFdo);
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    ULONG oldest = bus->logNext > USBBUS_LOG_ENTRIES ? bus->logNext - USBBUS_LOG_ENTRIES : 0;
    ULONG copied = 0;
    for (ULONG s = first > oldest ? first : oldest; s < bus->logNext && copied < count; ++s)
        entries[copied++] = bus->log[s % USBBUS_LOG_ENTRIES];
    KeReleaseSpinLock(&bus->lock, irql);
    return copied;
}
