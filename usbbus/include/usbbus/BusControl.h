/* The bus's control interface, as user mode sees it: its device interface class, its controls,
 * and the records they carry. Free of kernel-only headers: include <windows.h> or <wdm.h> first.
 *
 * IOCTL_USBBUS_PLUG      in: a device descriptor, then the whole configuration (wTotalLength
 *                        bytes), then string descriptors for indexes 0, 1, ... (optional)
 *                        out: ULONG, the port the device arrived on
 * IOCTL_USBBUS_UNPLUG    in: ULONG port
 * IOCTL_USBBUS_READ_LOG  in: ULONG, the first sequence number wanted
 *                        out: USBBUS_LOG_ENTRY records, as many as fit
 * IOCTL_USBBUS_FEED_IN   in: USBBUS_FEED_IN, then exactly its Length bytes: one IN transfer's data
 *                        on a bulk or interrupt endpoint of a plugged device (held until the host
 *                        asks, when nothing is pending)
 * IOCTL_USBBUS_SCRIPT    in: USBBUS_SCRIPT, then its Records USBBUS_SCRIPT_RECORDs, each followed
 *                        by its Length bytes: the answers of a device plugged here (by
 *                        IOCTL_USBBUS_PLUG) to vendor and class control transfers, replacing the
 *                        answers it had
 *
 * A script's records are used in order: a request takes the first record not yet used whose
 * match fits it. A record marked USBBUS_RECORD_REPEATS is never used up. A request no record is
 * left for stalls, as it does on a device with no script. Every length is checked against the
 * bytes sent; a malformed request changes nothing and fails with STATUS_INVALID_PARAMETER. */
#ifndef USBBUS_BUS_CONTROL_H
#define USBBUS_BUS_CONTROL_H

/* CTL_CODE(FILE_DEVICE_BUS_EXTENDER, function, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define USBBUS_CTL_CODE(function) ((0x0000002au << 16) | ((function) << 2))
#define IOCTL_USBBUS_PLUG USBBUS_CTL_CODE(0x800u)
#define IOCTL_USBBUS_UNPLUG USBBUS_CTL_CODE(0x801u)
#define IOCTL_USBBUS_READ_LOG USBBUS_CTL_CODE(0x802u)
#define IOCTL_USBBUS_FEED_IN USBBUS_CTL_CODE(0x803u)
#define IOCTL_USBBUS_SCRIPT USBBUS_CTL_CODE(0x804u)

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
    LONGLONG Time; /* 100-ns units since the bus started */
    ULONG Port;
    UCHAR Kind;
    UCHAR EndpointAddress; /* 0 for the default pipe */
    USB_SETUP_PACKET Setup;
    ULONG Length; /* bytes moved (Data), or the transfer's length (Status) */
    UCHAR Data[USBBUS_LOG_DATA_BYTES];
    LONG Status;     /* NTSTATUS */
    LONG UsbdStatus; /* USBD_STATUS */
} USBBUS_LOG_ENTRY, *PUSBBUS_LOG_ENTRY;

typedef struct _USBBUS_FEED_IN {
    ULONG Port;
    UCHAR EndpointAddress; /* an IN endpoint of the selected configuration */
    UCHAR Reserved[3];
    ULONG Length; /* bytes that follow */
} USBBUS_FEED_IN, *PUSBBUS_FEED_IN;

typedef enum _USBBUS_ANSWER {
    UsbBusAnswerData,    /* IN: the record's bytes (as many as the host asked for); OUT: accepted */
    UsbBusAnswerAck,     /* IN: no data; OUT: accepted */
    UsbBusAnswerStall,   /* the default pipe stalls the request */
    UsbBusAnswerError,   /* the transfer fails with UsbdStatus (a USBD error) */
    UsbBusAnswerNothing, /* never answered: pending until cancelled */
    UsbBusAnswerKinds
} USBBUS_ANSWER;

/* Record flags: what the match compares (neither: any request), and whether it is used up. */
#define USBBUS_MATCH_REQUEST_TYPE 0x01u /* bmRequestType equals the record's */
#define USBBUS_MATCH_REQUEST 0x02u      /* bRequest equals the record's */
#define USBBUS_RECORD_REPEATS 0x04u     /* answers every request it matches from now on */

#define USBBUS_SCRIPT_RECORDS 64u     /* at most, per script */
#define USBBUS_SCRIPT_DELAY_MS 60000u /* the longest delay of an answer */

typedef struct _USBBUS_SCRIPT_RECORD {
    UCHAR Flags;
    UCHAR bmRequestType;
    UCHAR bRequest;
    UCHAR Answer;    /* USBBUS_ANSWER */
    LONG UsbdStatus; /* UsbBusAnswerError only */
    ULONG DelayMs;   /* the answer comes this much later */
    ULONG Length;    /* bytes that follow the record: UsbBusAnswerData only */
} USBBUS_SCRIPT_RECORD, *PUSBBUS_SCRIPT_RECORD;

typedef struct _USBBUS_SCRIPT {
    ULONG Port;
    ULONG Records; /* 0: no script, every request stalls */
} USBBUS_SCRIPT, *PUSBBUS_SCRIPT;

#endif
