// A small KMDF driver of the verifier tests' own that commits, when told, one fault a driver can
// make, so that the tests see the framework (or the kernel) report it. For the test USB device
// (TestUsbDevice): a parallel default queue for reads from the interrupt-IN pipe, a sequential
// queue for vendor requests built in a URB block of the driver's, a second sequential queue
// that reads may be forwarded to. Include <wdm.h> (or ntsim/Kernel.h) first.
#pragma once

EXTERN_C DRIVER_INITIALIZE FaultyDriverEntry;
EXTERN_C const GUID FaultyInterfaceGuid;

// Output: one interrupt-IN transfer, completed by the driver's completion routine.
#define IOCTL_FAULTY_READ CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
// Output: the data stage of vendor request 0x42, device to host.
#define IOCTL_FAULTY_VENDOR CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: a WDF_IO_TARGET_SENT_IO_ACTION; the interrupt pipe's target is stopped with it.
#define IOCTL_FAULTY_STOP_PIPE                                                                     \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FAULTY_START_PIPE                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA03, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes the request the driver kept (FaultyFailedSendKept) with the status of its send.
#define IOCTL_FAULTY_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA04, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef enum _FAULTY_FAULT {
    FaultyNone,
    FaultyTouchAfterComplete,      // a read completed, then asked for its status
    FaultyFailedSendKept,          // a read whose send failed neither completed nor kept aside
    FaultyPagedCodeInCompletion,   // PAGED_CODE in the read's completion routine
    FaultyPassiveCallInCompletion, // WdfIoTargetStop from the read's completion routine
    FaultyPagedPoolUrb,            // the vendor requests' URB block in PagedPool
    FaultyObjectLeak,              // a memory object made in prepare, never deleted
    FaultyForwardOnCancel,         // a cancelled read forwarded to the second queue
} FAULTY_FAULT;

typedef struct _FAULTY_CONFIG {
    FAULTY_FAULT Fault;
    LONGLONG ReadTimeout; // WDF_REQUEST_SEND_OPTIONS.Timeout of reads; 0: none
    // The default queue's attributes (what KMDF 1.1 takes on driver and device objects only).
    WDF_EXECUTION_LEVEL QueueExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE QueueSynchronizationScope;
} FAULTY_CONFIG;

EXTERN_C FAULTY_CONFIG FaultyConfig;
