// The I/O side's objects: queues, requests, memory, I/O targets and the USB target, and what the
// I/O areas ask of each other. Kernel subset of C++.
#pragma once

#include "FxDevice.h"
#include "FxEntry.h"
#include "FxKernel.h"
#include <wdfusb.h>
#include <usbdi.h>
#include <usbioctl.h>

#define FX_IO_POOL_TAG 'oIxF'
#define FX_URB_POOL_TAG 'bUxF'

struct FxQueue;
struct FxIoTarget;
struct FxMemory;

// What the device's queues and targets share; one lock for all its queues, so that a request
// moves between them under one lock.
struct FxDeviceIo {
    FxDevice* Device;
    KSPIN_LOCK Lock;
    LIST_ENTRY Queues;   // FxQueue::DeviceEntry
    LIST_ENTRY Targets;  // FxIoTarget::DeviceEntry
    LIST_ENTRY Requests; // FxRequest::DeviceEntry, every live request of the device
    FxQueue* DefaultQueue;
    BOOLEAN PowerStopped; // power-managed queues hold their requests (not in D0)
    BOOLEAN Purged;       // the device is being removed: no queue takes a request
    NTSTATUS PurgeStatus;
    LONG PowerManagedOwned; // requests of power-managed queues the driver owns
    KEVENT PowerManagedDrained;
};

struct FxQueue {
    FxObject Object;
    static constexpr FxType kType = FxTypeQueue;
    FxDeviceIo* Io; // NULL once the device's I/O state is gone
    LIST_ENTRY DeviceEntry;
    WDF_IO_QUEUE_CONFIG Config;
    BOOLEAN PowerManaged;
    LIST_ENTRY Waiting; // FxRequest::QueueEntry, not yet presented
    LONG Owned;         // presented, not yet completed or forwarded
};

enum FxRequestState : UCHAR {
    FxRequestInCaller, // in EvtIoInCallerContext
    FxRequestWaiting,  // on a queue, cancelable
    FxRequestOwned,    // presented to the driver
    FxRequestDone,
};

enum FxFormat : UCHAR {
    FxFormatNone,
    FxFormatUsbUrb,      // WdfUsbTargetDeviceFormatRequestForUrb
    FxFormatUsbPipeRead, // WdfUsbTargetPipeFormatRequestForRead
};

struct FxRequest {
    FxObject Object;
    static constexpr FxType kType = FxTypeRequest;
    PIRP Irp;
    FxDevice* Device;
    FxDeviceIo* Io;
    FxQueue* Queue; // the queue it is on or was presented by
    LIST_ENTRY QueueEntry;
    LIST_ENTRY DeviceEntry;
    FxRequestState State;
    BOOLEAN PowerReferenced; // it entered a power-managed queue: the device stays in D0
    BOOLEAN Handled;         // completed, forwarded, enqueued or sent since presented
    ULONG Handoffs;          // presentations to a driver callback (under FxDeviceIo::Lock)
    BOOLEAN Create;          // IRP_MJ_CREATE presented to EvtDeviceFileCreate
    BOOLEAN Presenting;      // its queue's callback is running (under FxDeviceIo::Lock)
    NTSTATUS Status;         // of the last send
    // Buffers as memory objects, made on demand, children of the request.
    FxMemory* OutputMemory;
    PMDL LockedMdl; // WdfRequestProbeAndLockUserBufferForWrite
    // Formatting for a target.
    FxFormat Format;
    FxIoTarget* FormatTarget;
    PURB Urb;         // the URB going down: the driver's (UrbMemory) or OwnUrb
    PURB OwnUrb;      // allocated for a pipe transfer, freed with the request
    WDFMEMORY Memory; // the URB's (device URB) or the transfer buffer's (pipe read)
    size_t Offset;
    // Sending.
    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine;
    WDFCONTEXT CompletionContext;
    BOOLEAN SendFailed; // WdfRequestSend returned FALSE; cleared when a send goes
    FxIoTarget* SentTo;
    LIST_ENTRY TargetEntry; // FxIoTarget::Sent or ::Held
    BOOLEAN OnTarget;       // in the target's Sent or Held list
    BOOLEAN Held;
    BOOLEAN Synchronous;
    LONG TimedOut;       // set by the timer's DPC as it begins; read from other threads
    LONG SendReferences; // the IRP's completion, the timer, cancellers at work
    KTIMER Timer;
    KDPC TimerDpc;
    BOOLEAN TimerSet;
    KEVENT SendDone;
    LIST_ENTRY CancelEntry; // a stopping target's list of requests to cancel
    WDF_REQUEST_COMPLETION_PARAMS CompletionParams;
    WDF_USB_REQUEST_COMPLETION_PARAMS UsbCompletionParams;
};

struct FxMemory {
    FxObject Object;
    static constexpr FxType kType = FxTypeMemory;
    PVOID Buffer;
    size_t Size;
};

enum FxTargetKind : UCHAR { FxTargetLower, FxTargetUsbDevice, FxTargetUsbPipe };
enum FxTargetState : UCHAR { FxTargetStarted, FxTargetStopped, FxTargetRemoved };

// Every target sends to the device's lower device; a USB device and each of its pipes are
// targets (their handles convert to WDFIOTARGET), so all are FxTypeIoTarget objects.
struct FxIoTarget {
    FxObject Object;
    static constexpr FxType kType = FxTypeIoTarget;
    FxTargetKind Kind;
    FxDevice* Device;
    FxDeviceIo* Io; // NULL once the device's I/O state is gone
    LIST_ENTRY DeviceEntry;
    KSPIN_LOCK Lock;
    FxTargetState State;
    LIST_ENTRY Sent; // FxRequest::TargetEntry, at the lower device
    LIST_ENTRY Held; // sent while the target was stopped
    LONG SentCount;
    KEVENT SentDrained;
};

struct FxUsbInterface;

struct FxUsbDevice {
    FxIoTarget Target;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR Config; // nonpaged copy
    USBD_CONFIGURATION_HANDLE ConfigHandle;
    FxUsbInterface* Interface;
};

struct FxUsbPipe {
    FxIoTarget Target;
    FxUsbInterface* Interface;
    USBD_PIPE_INFORMATION Info;
    UCHAR SettingIndex;
    BOOLEAN NoMaximumPacketSizeCheck;
};

#define FX_USB_MAX_PIPES 16
struct FxUsbInterface {
    FxObject Object;
    static constexpr FxType kType = FxTypeUsbInterface;
    FxUsbDevice* UsbDevice;
    UCHAR Number;
    UCHAR Setting;
    UCHAR PipeCount;
    FxUsbPipe* Pipes[FX_USB_MAX_PIPES];
};

// --- wdfio.cpp
// Puts a request on a queue (EvtIoInCallerContext done): STATUS_WDF_BUSY once the device is
// being removed. Presents what the queue can take.
NTSTATUS FxQueueInsert(FxQueue* queue, FxRequest* request);
VOID FxQueueDispatch(FxQueue* queue);
// The request leaves the driver (completed or forwarded): the queue's counts follow. Under
// io->Lock.
VOID FxQueueReleaseOwned(FxRequest* request);

// --- wdfrequest.cpp
FxRequest* FxRequestCreate(FxDevice* device, FxDeviceIo* io, PIRP irp, NTSTATUS* status);
// Completes the IRP and deletes the request; the next request of a sequential queue follows.
VOID FxRequestComplete(FxRequest* request, NTSTATUS status, ULONG_PTR information);
// The request as the driver may use it: live and owned by it (not waiting on a queue).
FxRequest* FxRequestOwnedByDriver(WDFREQUEST handle, PCSTR api);
WDFREQUEST FxRequestHandle(FxRequest* request);
// The IRP stack location the driver's request was sent with, and its transfer method.
PIO_STACK_LOCATION FxRequestStack(FxRequest* request);

// --- wdfmemory.cpp
NTSTATUS FxMemoryCreate(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* parent, PVOID buffer,
                        size_t size, PCSTR api, FxMemory** memory);

// --- wdfiotarget.cpp
// A target object just made (started); its disposal calls FxTargetUnlink.
NTSTATUS FxTargetInit(FxIoTarget* target, FxTargetKind kind, FxDevice* device);
VOID FxTargetUnlink(FxIoTarget* target);
// Any target the handle names (a lower target, a USB device or a pipe); NULL with a finding.
FxIoTarget* FxTargetResolve(WDFIOTARGET handle, FxTargetKind kind, BOOLEAN anyKind, PCSTR api);
// Stops a target, cancelling what it has sent and waiting for it (PASSIVE_LEVEL).
VOID FxTargetStop(FxIoTarget* target, WDF_IO_TARGET_SENT_IO_ACTION action, BOOLEAN remove);
// Sends an URB of the framework's own synchronously to the device's lower device (PASSIVE_LEVEL).
NTSTATUS FxSubmitUrbSync(FxDevice* device, PURB urb);

// --- wdfusbpipe.cpp
// The pipes of a selected setting, from the bus's answer; the old ones are deleted first.
NTSTATUS FxUsbMakePipes(FxUsbInterface* usbInterface, PUSBD_INTERFACE_INFORMATION info,
                        PWDF_OBJECT_ATTRIBUTES attributes);
VOID FxUsbDeletePipes(FxUsbInterface* usbInterface);

// IoCancelIrp sets Cancel on another thread (interlocked, as it then swaps the cancel routine).
inline BOOLEAN FxIrpCancelled(PIRP irp) {
    return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST);
}

inline VOID FxIoLock(FxDeviceIo* io, KIRQL* irql) {
    KeAcquireSpinLock(&io->Lock, irql);
}
inline VOID FxIoUnlock(FxDeviceIo* io, KIRQL irql) {
    KeReleaseSpinLock(&io->Lock, irql);
}

// A USBD_INTERFACE_INFORMATION with room for `pipes` pipes.
inline ULONG FxInterfaceInfoSize(ULONG pipes) {
    return static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION) +
                              (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}

// The object's handle as a typed handle.
template <typename H, typename T> H FxHandle(T* object) {
    return reinterpret_cast<H>(reinterpret_cast<FxObject*>(object)->Handle);
}
inline FxObject* FxDeviceObject(FxDevice* device) {
    return &device->Object;
}
inline WDFDEVICE FxDeviceHandle(FxDevice* device) {
    return reinterpret_cast<WDFDEVICE>(device->Object.Handle);
}
