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

// The driver's routines have C linkage, as the platform's headers give every callback role, so
// that the placement below applies to them.
#ifdef __cplusplus
extern "C" {
#endif

DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD TalvikEvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP TalvikEvtDriverContextCleanup;
EVT_WDF_DEVICE_PREPARE_HARDWARE TalvikEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE TalvikEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY TalvikEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT TalvikEvtDeviceD0Exit;
EVT_WDF_IO_IN_CALLER_CONTEXT TalvikEvtIoInCallerContext;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TalvikEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TalvikEvtIoVendorRequest;
EVT_WDF_REQUEST_COMPLETION_ROUTINE TalvikIoctlCompletionRoutine;
EVT_WDF_REQUEST_COMPLETION_ROUTINE TalvikReadCompletionRoutine;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SelectInterfaces(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TalvikSetPowerPolicy(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    TalvikStartInterruptRead(_In_ PDEVICE_CONTEXT DeviceContext, _In_ WDFREQUEST Request);
// Runs from the vendor-request queue, at DISPATCH_LEVEL when the previous vendor request's
// completion delivers the next one.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SendVendorRequest(_In_ WDFDEVICE Device, _In_ PDEVICE_CONTEXT DeviceContext,
                      _In_ WDFREQUEST Request, _In_ USHORT UrbFunction,
                      _In_ PVENDOR_OR_CLASS_REQUEST_CONTROL Control, _Out_ PULONG_PTR Bytes);

// Level, category bits, printf format ("%!STATUS!" shows a status), values.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    TalvikTrace(_In_ ULONG Level, _In_ ULONG Flags, _In_ _Printf_format_string_ PCSTR Format, ...);

// Code placement, for the whole driver: initialisation code is discarded after load, routines
// that run at PASSIVE_LEVEL only are pageable; everything else (completion routines, the vendor
// queue's routine, hardware release, tracing) stays in nonpaged code.
#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, TalvikEvtDeviceAdd)
#pragma alloc_text(PAGE, TalvikEvtDriverContextCleanup)
#pragma alloc_text(PAGE, TalvikEvtDevicePrepareHardware)
#pragma alloc_text(PAGE, SelectInterfaces)
#pragma alloc_text(PAGE, TalvikSetPowerPolicy)
#pragma alloc_text(PAGE, TalvikEvtDeviceD0Entry)
#pragma alloc_text(PAGE, TalvikEvtDeviceD0Exit)
#pragma alloc_text(PAGE, TalvikEvtIoInCallerContext)
#pragma alloc_text(PAGE, TalvikEvtIoDeviceControl)
#pragma alloc_text(PAGE, TalvikStartInterruptRead)
#endif

#ifdef __cplusplus
}
#endif
