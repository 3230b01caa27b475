// A KMDF test driver of the I/O tests' own, for the test USB device (TestUsbDevice): a parallel
// default queue, a sequential queue for vendor requests, the interrupt-IN pipe for reads. What it
// saw is kept in IoTestObserved for the tests; IoTestConfig changes its behaviour. Include
// <wdm.h> (or ntsim/Kernel.h) first.
#pragma once

EXTERN_C DRIVER_INITIALIZE IoTestDriverEntry;
EXTERN_C const GUID IoTestInterfaceGuid;

// Copies the input into the output; output: as many bytes as fit.
#define IOCTL_IOTEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_IOTEST_ECHO_DIRECT                                                                   \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
// Input: IOTEST_VENDOR; output: the data stage of a device-to-host vendor request, sent from the
// sequential queue with WdfUsbTargetDeviceFormatRequestForUrb.
#define IOTEST_VENDOR_CODE(n, method) CTL_CODE(FILE_DEVICE_UNKNOWN, n, method, FILE_ANY_ACCESS)
#define IOCTL_IOTEST_VENDOR IOTEST_VENDOR_CODE(0x902, METHOD_BUFFERED)
// The same, sent synchronously from the default queue.
#define IOCTL_IOTEST_VENDOR_SYNC IOTEST_VENDOR_CODE(0x903, METHOD_BUFFERED)
// Output: one interrupt-IN transfer (WdfUsbTargetPipeFormatRequestForRead).
#define IOCTL_IOTEST_READ CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
// The interrupt pipe's target stopped (cancelling what it has sent) or started again.
#define IOCTL_IOTEST_STOP_PIPE                                                                     \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_IOTEST_START_PIPE                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The output buffer probed and locked for write in EvtIoInCallerContext, then filled with 0xA5.
#define IOCTL_IOTEST_PROBE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x907, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
// Faults of a driver: a send without formatting; a completion with more bytes than the buffer.
#define IOCTL_IOTEST_SEND_UNFORMATTED                                                              \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x908, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_IOTEST_OVERREPORT                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x909, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes the request twice.
#define IOCTL_IOTEST_COMPLETE_TWICE                                                                \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90A, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The driver keeps the request without completing, forwarding or sending it (a finding of the
// framework's verifier), and completes it when the next IOCTL_IOTEST_RELEASE comes.
#define IOCTL_IOTEST_KEEP CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90B, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_IOTEST_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90C, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The probe for write from the default queue, outside EvtIoInCallerContext (a finding).
#define IOCTL_IOTEST_PROBE_LATE                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90D, METHOD_IN_DIRECT, FILE_ANY_ACCESS)

typedef struct _IOTEST_VENDOR {
    UCHAR Request;
    USHORT Value;
    LONGLONG Timeout; // WDF_REQUEST_SEND_OPTIONS.Timeout: < 0 relative, > 0 absolute, 0 none
} IOTEST_VENDOR;

typedef struct _IOTEST_CONFIG {
    BOOLEAN InCallerContext;          // register EvtIoInCallerContext
    BOOLEAN NoMaximumPacketSizeCheck; // on the interrupt pipe
    ULONG IdleTimeoutMs;              // S0 idle with selective suspend when not 0
} IOTEST_CONFIG;

typedef struct _IOTEST_OBSERVED {
    volatile LONG CompletionRoutines; // the driver's completion routines run
    volatile LONG CompletionIrql;     // the IRQL the last one ran at
    volatile LONG CompletionStatus;   // WDF_REQUEST_COMPLETION_PARAMS.IoStatus.Status
    volatile LONG UsbdStatus;         // and the USB status
    volatile LONG CompletionBytes;    // and the bytes it completed the request with
    volatile LONG SequentialActive;   // requests of the sequential queue the driver has
    volatile LONG SequentialMostActive;
    volatile LONG InCallerCalls;
    volatile LONG CanceledOnQueue; // the sequential queue's EvtIoCanceledOnQueue
    volatile LONG RequestCleanups; // request context cleanups
    volatile LONG D0Entries;
    volatile LONG D0Exits;
    UCHAR InterfaceSettingPipes; // pipes after WdfUsbInterfaceSelectSetting
    UCHAR InterruptPipeType;     // WDF_USB_PIPE_TYPE of pipe 0
    BOOLEAN SelfPowered;
    BOOLEAN RemoteWake;
} IOTEST_OBSERVED;

EXTERN_C IOTEST_CONFIG IoTestConfig;
EXTERN_C IOTEST_OBSERVED IoTestObserved;
