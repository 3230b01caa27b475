// What the colorimeter driver and user-mode software agree on: the device-interface class, the
// two device-control codes and the vendor-request block. Include after the platform header
// (ntddk.h in the driver, windows.h + winioctl.h in user mode), which supplies CTL_CODE,
// DEFINE_GUID and the integer types.
#pragma once

// {2D7A4C19-85E3-4B6F-9A02-C41E7B5D38F6}
DEFINE_GUID(GUID_DEVINTERFACE_TALVIK, 0x2d7a4c19, 0x85e3, 0x4b6f, 0x9a, 0x02, 0xc4, 0x1e, 0x7b,
            0x5d, 0x38, 0xf6);

#define TALVIK_IOCTL_INDEX 0x0800

// 0x0022204E: reads one transfer of the interrupt IN pipe into the output buffer.
#define IOCTL_READ_INTERRUPT_PIPE                                                                  \
    CTL_CODE(FILE_DEVICE_UNKNOWN, TALVIK_IOCTL_INDEX + 0x13, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)

// 0x00222059: a vendor control transfer described by VENDOR_OR_CLASS_REQUEST_CONTROL; the output
// buffer is the data stage in either direction and its length is wLength.
#define IOCTL_VENDOR_OR_CLASS_REQUEST                                                              \
    CTL_CODE(FILE_DEVICE_UNKNOWN, TALVIK_IOCTL_INDEX + 0x16, METHOD_IN_DIRECT, FILE_ANY_ACCESS)

#include <pshpack1.h>
typedef struct _VENDOR_OR_CLASS_REQUEST_CONTROL {
    UCHAR Direction;   // 0: host to device (or no data stage); otherwise device to host
    UCHAR RequestType; // 1 class, 2 vendor
    UCHAR Recipient;   // 0 device, 1 interface, 2 endpoint, 3 other
    UCHAR Pad;
    UCHAR Request;
    UCHAR Pad2;
    USHORT Value;
    USHORT Index;
} VENDOR_OR_CLASS_REQUEST_CONTROL, *PVENDOR_OR_CLASS_REQUEST_CONTROL;
#include <poppack.h>

#ifdef __cplusplus
static_assert(sizeof(VENDOR_OR_CLASS_REQUEST_CONTROL) == 10, "the block is 10 bytes on the wire");
static_assert(IOCTL_READ_INTERRUPT_PIPE == 0x0022204E, "control code of interrupt reads");
static_assert(IOCTL_VENDOR_OR_CLASS_REQUEST == 0x00222059, "control code of vendor requests");
#endif
