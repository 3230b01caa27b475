// A small WDM function driver for the bus tests, written as a driver for the platform would be
// (kernel services only): it configures the device at start, exposes a device interface, and
// turns device-control requests into URBs sent to the bus.
#pragma once

#include <wdm.h>

EXTERN_C DRIVER_INITIALIZE FnDriverEntry;
EXTERN_C const GUID FnInterfaceGuid;

#define FN_TAG 'tnFT'
#define FN_TIMEOUT_MS 5000

// Input: FN_VENDOR_REQUEST; output: the data stage (through an MDL).
#define IOCTL_FN_VENDOR_IN CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_READ_ACCESS)
// Input: FN_VENDOR_REQUEST followed by the data stage.
#define IOCTL_FN_VENDOR_OUT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS)
// Output: one interrupt-IN transfer.
#define IOCTL_FN_READ_INTERRUPT                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_READ_ACCESS)
// As IOCTL_FN_VENDOR_IN, buffered, sent on an IRP of the driver's own with a timeout.
#define IOCTL_FN_VENDOR_IN_TIMED                                                                   \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_READ_ACCESS)

typedef struct _FN_VENDOR_REQUEST {
    UCHAR Request;
    USHORT Value;
    USHORT Index;
} FN_VENDOR_REQUEST;
