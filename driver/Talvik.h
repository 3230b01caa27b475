// Talvik2, the KMDF function driver of the USB colorimeter: what its source files share.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>

#include "TalvikPublic.h"

// "OSRF" as the tag's bytes read in memory (pool tags are little-endian character codes).
#define TALVIK_POOL_TAG 0x4652534FUL

// The vendor request's URB: 136 bytes on 64-bit Windows.
#define TALVIK_URB_SIZE sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)

// Every request sent to the USB stack may take this long before the framework cancels it.
#define TALVIK_SEND_TIMEOUT_SECONDS 5

// Trace levels (the platform's error and information levels) and categories.
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_INFORMATION 4
#define DBG_INIT 0x00000001
#define DBG_PNP 0x00000002
#define DBG_IOCTL 0x00000020
#define DBG_READ 0x00000080
// In a debug build the categories take the debugger mask's bits above its four levels.
#define TALVIK_TRACE_CATEGORY_SHIFT 4

typedef struct _DEVICE_CONTEXT {
    WDFUSBDEVICE UsbDevice;
    WDFUSBINTERFACE UsbInterface;
    WDFUSBPIPE BulkInPipe;
    WDFUSBPIPE BulkOutPipe;
    WDFUSBPIPE InterruptPipe;
    WDFUSBPIPE ControlPipe;
    UCHAR RequestDirectionIn;
    PVOID UrbBuffer;
    WDFMEMORY UrbMemory;
    // Vendor requests are delivered from here one at a time: they share UrbBuffer.
    WDFQUEUE VendorRequestQueue;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

// Per request, zero-filled by the framework.
typedef struct _REQUEST_CONTEXT {
    // A device-to-host vendor request's output buffer, probed and locked for write access in the
    // caller's context: the only memory such a transfer is let to write.
    WDFMEMORY WritableOutput;
} REQUEST_CONTEXT, *PREQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_CONTEXT, GetRequestContext)

EXTERN_C DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD TalvikEvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP TalvikEvtDriverContextCleanup;
EVT_WDF_DEVICE_PREPARE_HARDWARE TalvikEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE TalvikEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY TalvikEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT TalvikEvtDeviceD0Exit;
EVT_WDF_IO_IN_CALLER_CONTEXT TalvikEvtIoInCallerContext;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TalvikEvtIoDeviceControl;
EVT_WDF_REQUEST_COMPLETION_ROUTINE TalvikIoctlCompletionRoutine;
EVT_WDF_REQUEST_COMPLETION_ROUTINE TalvikReadCompletionRoutine;

NTSTATUS SelectInterfaces(WDFDEVICE Device);
NTSTATUS TalvikSetPowerPolicy(WDFDEVICE Device);
NTSTATUS SendVendorRequest(WDFDEVICE Device, PDEVICE_CONTEXT DeviceContext, WDFREQUEST Request,
                           USHORT UrbFunction, PVENDOR_OR_CLASS_REQUEST_CONTROL Control,
                           PULONG_PTR Bytes);

// Level, category bits, printf format ("%!STATUS!" shows a status), values.
VOID TalvikTrace(ULONG Level, ULONG Flags, PCSTR Format, ...);
