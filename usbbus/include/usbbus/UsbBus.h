// The virtual USB bus driver: a root-enumerated WDM bus whose child PDOs carry USB hardware ids
// and serve URBs from virtual devices. What a test (or, later, the bus's control interface) does
// with it: plug and unplug devices, feed IN data, read the bus log. Call at PASSIVE_LEVEL, except
// UsbBusFeedIn and UsbBusReadLog (<= DISPATCH_LEVEL).
#pragma once

#include <usbbus/VirtualDevice.h>

EXTERN_C DRIVER_INITIALIZE UsbBusDriverEntry;

#define USBBUS_HARDWARE_ID "ROOT\\VIRTUALUSB"
#define USBBUS_MAX_PORTS 8

// A device arrives on a free port (1-based); the PnP manager learns of it by BusRelations.
EXTERN_C NTSTATUS UsbBusPlugIn(PDEVICE_OBJECT busFdo, UsbVirtualDevice* device, PULONG port);
// The device leaves at once: its transfers fail with USBD_STATUS_DEVICE_GONE, and the PnP manager
// removes its stack (surprise removal).
EXTERN_C NTSTATUS UsbBusUnplug(PDEVICE_OBJECT busFdo, ULONG port);
// Data the device has for the host on an IN endpoint: completes the oldest pending transfer, or
// waits for the next one.
EXTERN_C NTSTATUS UsbBusFeedIn(PDEVICE_OBJECT busFdo, ULONG port, UCHAR endpointAddress,
                               const VOID* data, ULONG length);

typedef enum _USBBUS_LOG_KIND {
    UsbBusLogSetup,  // a control transfer's setup packet
    UsbBusLogData,   // bytes moved (either direction)
    UsbBusLogStatus, // a transfer's end
    UsbBusLogCancel, // a transfer cancelled or aborted
} USBBUS_LOG_KIND;

#define USBBUS_LOG_DATA_BYTES 64
#define USBBUS_LOG_ENTRIES 512

typedef struct _USBBUS_LOG_ENTRY {
    ULONG Sequence;
    LONGLONG Time; // interrupt time, 100-ns units
    ULONG Port;
    UCHAR Kind;
    UCHAR EndpointAddress; // 0 for the default pipe
    USB_SETUP_PACKET Setup;
    ULONG Length; // bytes moved (Data), or the transfer's length (Status)
    UCHAR Data[USBBUS_LOG_DATA_BYTES];
    NTSTATUS Status;
    USBD_STATUS UsbdStatus;
} USBBUS_LOG_ENTRY, *PUSBBUS_LOG_ENTRY;

// Copies up to `count` entries with Sequence >= `first` (the log keeps its latest
// USBBUS_LOG_ENTRIES); returns how many.
EXTERN_C ULONG UsbBusReadLog(PDEVICE_OBJECT busFdo, ULONG first, PUSBBUS_LOG_ENTRY entries,
                             ULONG count);
