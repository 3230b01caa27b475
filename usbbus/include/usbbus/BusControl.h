/* The bus's control interface, as user mode sees it: its device interface class, its controls,
 * and the records they carry. Free of kernel-only headers: include <windows.h> or <wdm.h> first.
 *
 * IOCTL_USBBUS_PLUG      in: a device descriptor, then the whole configuration (wTotalLength
 *                        bytes), then string descriptors for indexes 0, 1, ... (optional)
 *                        out: ULONG, the port the device arrived on
 * IOCTL_USBBUS_UNPLUG    in: ULONG port
 * IOCTL_USBBUS_READ_LOG  in: ULONG, the first sequence number wanted
 *                        out: USBBUS_LOG_ENTRY records, as many as fit */
#ifndef USBBUS_BUS_CONTROL_H
#define USBBUS_BUS_CONTROL_H

/* CTL_CODE(FILE_DEVICE_BUS_EXTENDER, function, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define USBBUS_CTL_CODE(function) ((0x0000002au << 16) | ((function) << 2))
#define IOCTL_USBBUS_PLUG USBBUS_CTL_CODE(0x800u)
#define IOCTL_USBBUS_UNPLUG USBBUS_CTL_CODE(0x801u)
#define IOCTL_USBBUS_READ_LOG USBBUS_CTL_CODE(0x802u)

/* {b1d0e3a2-7c44-4f1e-8a36-5d2c9e7f0b18} */
#define USBBUS_CONTROL_INTERFACE_GUID_INIT                                                         \
    {                                                                                              \
        0xb1d0e3a2, 0x7c44, 0x4f1e, {                                                              \
            0x8a, 0x36, 0x5d, 0x2c, 0x9e, 0x7f, 0x0b, 0x18                                         \
        }                                                                                          \
    }

#include <pshpack1.h>
typedef struct _USB_SETUP_PACKET {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} USB_SETUP_PACKET, *PUSB_SETUP_PACKET;
#include <poppack.h>

typedef enum _USBBUS_LOG_KIND {
    UsbBusLogSetup,  /* a control transfer's setup packet */
    UsbBusLogData,   /* bytes moved (either direction) */
    UsbBusLogStatus, /* a transfer's end */
    UsbBusLogCancel, /* a transfer cancelled or aborted */
} USBBUS_LOG_KIND;

#define USBBUS_LOG_DATA_BYTES 64
#define USBBUS_LOG_ENTRIES 512

typedef struct _USBBUS_LOG_ENTRY {
    ULONG Sequence;
    LONGLONG Time; /* interrupt time, 100-ns units */
    ULONG Port;
    UCHAR Kind;
    UCHAR EndpointAddress; /* 0 for the default pipe */
    USB_SETUP_PACKET Setup;
    ULONG Length; /* bytes moved (Data), or the transfer's length (Status) */
    UCHAR Data[USBBUS_LOG_DATA_BYTES];
    LONG Status;     /* NTSTATUS */
    LONG UsbdStatus; /* USBD_STATUS */
} USBBUS_LOG_ENTRY, *PUSBBUS_LOG_ENTRY;

#endif
