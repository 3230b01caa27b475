// The bus driver's device extensions and the routines its files share. Every list of pending
// IRPs is guarded by the cancel spin lock, so that a cancel routine (which runs holding it) and
// the completing side agree on who owns an IRP.
#pragma once

#include <usbbus/UsbBus.h>
#include <usbioctl.h>

#define USBBUS_TAG 'BsuV'
#define USBBUS_MAX_PIPES 16

enum IrpKind { KindControlQueued = 1, KindControlActive, KindPipe, KindIdle };

struct Bus;

struct BusPipe {
    BOOLEAN valid;
    BOOLEAN halted;
    UCHAR interfaceNumber;
    USB_ENDPOINT_DESCRIPTOR endpoint;
    LIST_ENTRY pending; // IN transfers waiting for data
    LIST_ENTRY data;    // IN data waiting for a transfer (InPacket)
};

struct InPacket {
    LIST_ENTRY link;
    ULONG length;
    UCHAR bytes[1];
};

struct ExtensionHeader {
    BOOLEAN isBus;
};

struct Child;

// A delayed answer's timer. Wine's kernel, setting a timer that has fired, first waits for the
// timer's DPC to end, holding its dispatcher lock, which the end of every DPC takes: a timer set
// from inside its own DPC (where the next transfer may start) never returns, and so does one set
// while its DPC runs elsewhere. So the answers use two timers in turn, never the one whose DPC
// the thread is in, and one is reset (KeCancelTimer, which waits without that lock) outside every
// lock its DPC takes before it is set again.
struct ControlTimer {
    KTIMER timer;
    KDPC dpc;
    Child* child;
    volatile PVOID dpcThread; // the thread running its DPC, or NULL
};

struct Child {
    ExtensionHeader header;
    PDEVICE_OBJECT self;
    Bus* bus;
    ULONG port;
    UsbVirtualDevice* device;
    BOOLEAN ownsDevice;    // plugged through the control interface: freed with the PDO
    volatile LONG present; // read and set through IsPresent and SetPresent, from any thread
    BOOLEAN started;
    UCHAR configurationValue;
    UCHAR alternate[USBBUS_MAX_PIPES]; // by interface number
    BusPipe pipes[USBBUS_MAX_PIPES];
    DEVICE_POWER_STATE power;
    // The default pipe: one transfer at a time, the others queued in order.
    LIST_ENTRY controlQueue;
    PIRP controlActive;
    UsbReply controlReply;
    ControlTimer controlTimers[2]; // used in turn (see ControlTimer)
    ULONG controlTimerArmed;       // the one of the last delayed answer
    PIRP controlTimerIrp; // the transfer the timer answers (a cancelled one's DPC may still run)
    BOOLEAN controlBusy;  // the device is answering the active transfer
    BOOLEAN controlCancelled; // ...which was cancelled or failed meanwhile, with these:
    NTSTATUS controlCancelStatus;
    USBD_STATUS controlCancelUsbd;
    PIRP idleIrp;
    BOOLEAN idleWorkQueued;
    PIO_WORKITEM idleWork;
    // UsbBusFeedIn calls still using the child (bus lock): its deletion waits for them.
    LONG feeders;
    BOOLEAN deleting;
    KEVENT feedersGone;
};

// Unplugging clears it while transfers are being submitted on other threads.
inline BOOLEAN IsPresent(Child* child) {
    return InterlockedCompareExchange(&child->present, 0, 0) != 0;
}
inline VOID SetPresent(Child* child, BOOLEAN present) {
    InterlockedExchange(&child->present, present ? 1 : 0);
}

struct Bus {
    ExtensionHeader header;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    KSPIN_LOCK lock; // children and the log
    Child* children[USBBUS_MAX_PORTS];
    PUSBBUS_LOG_ENTRY log;
    ULONG logNext;
    LONGLONG logEpoch;               // the system time the log's times count from
    UNICODE_STRING controlInterface; // the control interface's link, enabled while started
};

// Driver.cpp
DRIVER_DISPATCH BusDispatchPnp;
DRIVER_DISPATCH BusDispatchPower;
DRIVER_DISPATCH BusDispatchInternal;
DRIVER_DISPATCH BusDispatchOther;
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

// Fdo.cpp
NTSTATUS FdoPnp(Bus* bus, PIRP irp);
NTSTATUS FdoPower(Bus* bus, PIRP irp);
Bus* BusOf(PDEVICE_OBJECT fdo);
NTSTATUS PlugIn(Bus* bus, UsbVirtualDevice* device, BOOLEAN owned, PULONG port);

// Control.cpp
NTSTATUS FdoControl(Bus* bus, PIRP irp);

// Pdo.cpp
NTSTATUS PdoPnp(Child* child, PIRP irp);
NTSTATUS PdoPower(Child* child, PIRP irp);
Child* CreateChild(Bus* bus, UsbVirtualDevice* device, BOOLEAN owned, ULONG port);

// DescribedDevice.cpp: devices the bus owns (NULL: nothing to free).
VOID FreeDescribedDevice(UsbVirtualDevice* device);

// Urb.cpp
NTSTATUS PdoInternal(Child* child, PIRP irp);
PUCHAR TransferBuffer(PURB urb);

// UrbCheck.cpp: the URB functions the stack knows. USBD_STATUS_SUCCESS when the host stack takes
// the URB as it is; MovesData: the function has the transfer layout (UrbTransfer).
USBD_STATUS CheckUrb(PURB urb);
BOOLEAN MovesData(USHORT function);

// Transfers.cpp: pending transfers and their completion.
VOID InitializeTransfers(Child* child);
NTSTATUS SubmitControl(Child* child, PIRP irp);
NTSTATUS SubmitPipeIn(Child* child, BusPipe* pipe, PIRP irp);
NTSTATUS CompleteUrb(Child* child, PIRP irp, UCHAR endpoint, NTSTATUS status, USBD_STATUS usbd,
                     ULONG length);
// Fails everything pending on the device (or on one pipe) with `status`.
VOID FailPending(Child* child, BusPipe* pipe, NTSTATUS status, USBD_STATUS usbd);
VOID FreeInData(BusPipe* pipe);
NTSTATUS FeedIn(Child* child, UCHAR endpointAddress, const VOID* data, ULONG length);
NTSTATUS SubmitIdle(Child* child, PIRP irp);
// The suspended device woke itself: its idle notification completes with success.
NTSTATUS CompleteIdleOnWake(Child* child);

// BusLog.cpp
VOID LogSetup(Child* child, UCHAR endpoint, const USB_SETUP_PACKET* setup);
VOID LogData(Child* child, UCHAR endpoint, const VOID* data, ULONG length);
VOID LogStatus(Child* child, UCHAR endpoint, ULONG length, NTSTATUS status, USBD_STATUS usbd);
VOID LogCancel(Child* child, UCHAR endpoint, NTSTATUS status);

// The URB's transfer fields, which every transfer URB keeps at the same offsets.
struct UrbTransfer {
    struct _URB_HEADER Hdr;
    PVOID Handle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
};
inline UrbTransfer* TransferOf(PURB urb) {
    return reinterpret_cast<UrbTransfer*>(urb);
}
inline PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}
