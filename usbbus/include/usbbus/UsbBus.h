// The virtual USB bus driver: a root-enumerated WDM bus whose child PDOs carry USB hardware ids
// and serve URBs from virtual devices. What a test (or user mode, through the control interface of
// BusControl.h) does with it: plug and unplug devices, feed IN data, read the bus log. Call at
// PASSIVE_LEVEL, except UsbBusFeedIn and UsbBusReadLog (<= DISPATCH_LEVEL).
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

// The device signals resume while suspended (remote wake-up): the bus completes its idle
// notification with success, as the hub does for a selectively suspended device that wakes, so
// that its driver powers it up. STATUS_NOT_SUPPORTED for a device without remote wake-up in its
// configuration; STATUS_INVALID_DEVICE_STATE when it is not suspended with a notification pending.
EXTERN_C NTSTATUS UsbBusSignalWake(PDEVICE_OBJECT busFdo, ULONG port);

// Copies up to `count` entries with Sequence >= `first` (the log keeps its latest
// USBBUS_LOG_ENTRIES); returns how many.
EXTERN_C ULONG UsbBusReadLog(PDEVICE_OBJECT busFdo, ULONG first, PUSBBUS_LOG_ENTRY entries,
                             ULONG count);
