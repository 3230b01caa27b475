// The framework's device object and what the device side's areas (device, PnP, power, idle,
// file objects) share about it. Transitions of PnP and power state run one at a time under
// StateLock, at PASSIVE_LEVEL; which lock guards what is written down in ../README.md.
#pragma once

#include "FxDriver.h"
#include "FxIoSeam.h"

#include <usbioctl.h>

enum FxPnpState : UCHAR {
    FxPnpAdded,
    FxPnpStarted,
    FxPnpStopped, // after IRP_MN_STOP_DEVICE; START brings it back
    FxPnpSurpriseRemoved,
    FxPnpRemoved,
};

struct FxIdleSettings {
    BOOLEAN Assigned;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES Caps;
    DEVICE_POWER_STATE Dx;
    ULONG TimeoutMs;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControl;
    WDF_TRI_STATE Enabled;
};

struct FxWakeSettings {
    BOOLEAN Assigned;
    DEVICE_POWER_STATE Dx;
    WDF_POWER_POLICY_SX_WAKE_USER_CONTROL UserControl;
    WDF_TRI_STATE Enabled;
};

// The WDM device's extension. It lives as long as the device object (which an open handle keeps),
// so a caller arriving during or after the removal finds the remove lock still there.
struct FxDeviceExtension {
    FxDevice* Device; // NULL once the framework's device is gone
    // The remove lock: 1 (the device's own) plus each I/O dispatch in progress and each request
    // not yet completed; removal drops its own and waits for the rest.
    volatile LONG Dispatching;
    KEVENT DispatchDrained;
};

struct FxDevice {
    FxObject Object;
    static const FxType kType = FxTypeDevice;
    FxDriver* Driver;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    FxDeviceIo* Io;
    FxDeviceExtension* Extension;

    // From the WDFDEVICE_INIT.
    WDF_PNPPOWER_EVENT_CALLBACKS Callbacks;
    WDF_DEVICE_IO_TYPE IoType;
    PFN_WDF_IO_IN_CALLER_CONTEXT InCallerContext;
    WDF_OBJECT_ATTRIBUTES RequestAttributes;
    BOOLEAN HasRequestAttributes;
    WDF_FILEOBJECT_CONFIG FileConfig;
    WDF_OBJECT_ATTRIBUTES FileAttributes;
    BOOLEAN HasFileConfig;
    BOOLEAN HasFileAttributes;

    WDF_DEVICE_PNP_CAPABILITIES Capabilities;
    BOOLEAN HasCapabilities;
    DEVICE_POWER_STATE BusDeviceWake; // from the bus's QUERY_CAPABILITIES answer (StateLock)
    LIST_ENTRY Interfaces;            // FxInterface::Link

    // Under StateLock (a synchronization event): the transitions, and what they change here.
    KEVENT StateLock;
    UCHAR PnpState; // FxPnpState, through FxDevicePnpState and FxDeviceSetPnpState
    BOOLEAN HardwarePrepared;
    ULONG64 PreparedFrom, PreparedTo; // serials of objects EvtDevicePrepareHardware made
    BOOLEAN SelfManagedIoStarted;     // EvtDeviceSelfManagedIoInit ran: later D0s restart it
    BOOLEAN InD0;
    WDF_POWER_DEVICE_STATE LastDx; // the state the last D0 exit went to
    BOOLEAN SystemAsleep;          // the framework took the device out of D0 for an Sx

    FxIdleSettings Idle;      // the power policy, under the idle state's lock: the driver may
    FxWakeSettings Wake;      // assign it from a PnP callback, inside a transition
    struct FxIdle* IdleState; // wdfidle.cpp's, made at WdfDeviceCreate
    LIST_ENTRY Files;         // FxFile::Link, under FilesLock
    KSPIN_LOCK FilesLock;
};

FxDevice* FxDeviceOf(PDEVICE_OBJECT device);
// AddDevice: EvtDriverDeviceAdd with a WDFDEVICE_INIT for the PDO.
NTSTATUS FxDeviceAdd(FxDriver* driver, PDEVICE_OBJECT pdo);

// IRP helpers of a function driver.
NTSTATUS FxCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS FxForward(FxDevice* device, PIRP irp);        // skip the stack location, pass down
NTSTATUS FxForwardAndWait(FxDevice* device, PIRP irp); // down, and back up to us (PASSIVE)

VOID FxStateLock(FxDevice* device);
VOID FxStateUnlock(FxDevice* device);

// The PnP state changes only inside a transition; the I/O side and the driver's calls read it
// without waiting for one, as a snapshot that a transition may overtake at once.
inline FxPnpState FxDevicePnpState(FxDevice* device) {
    return static_cast<FxPnpState>(__atomic_load_n(&device->PnpState, __ATOMIC_ACQUIRE));
}
inline VOID FxDeviceSetPnpState(FxDevice* device, FxPnpState state) {
    __atomic_store_n(&device->PnpState, static_cast<UCHAR>(state), __ATOMIC_RELEASE);
}

// Device interfaces on or off (start, removal).
VOID FxInterfacesSetState(FxDevice* device, BOOLEAN enable);

// The areas' dispatch routines.
NTSTATUS FxPnpDispatch(FxDevice* device, PIRP irp);
NTSTATUS FxPowerDispatch(FxDevice* device, PIRP irp);
NTSTATUS FxFileDispatch(FxDevice* device, PIRP irp);

// Power transitions with the driver's callbacks, under StateLock. FxPowerUp runs D0 entry
// (from `previous`) and starts the power-managed queues; FxPowerDown stops them (waiting for
// the requests the driver owns, or purging them when `surprise`) and runs D0 exit.
NTSTATUS FxPowerUp(FxDevice* device, WDF_POWER_DEVICE_STATE previous);
NTSTATUS FxPowerDown(FxDevice* device, WDF_POWER_DEVICE_STATE target, BOOLEAN surprise);
// At removal: EvtDeviceSelfManagedIoFlush and EvtDeviceSelfManagedIoCleanup, once.
VOID FxSelfManagedIoEnd(FxDevice* device);
// A SET_POWER device-state IRP of the framework's own down the stack (the bus learns the state).
NTSTATUS FxSendDevicePower(FxDevice* device, DEVICE_POWER_STATE state);
WDF_POWER_DEVICE_STATE FxWdfPowerState(DEVICE_POWER_STATE state);
PCSTR FxPowerName(WDF_POWER_DEVICE_STATE state);

// S0 idle (wdfidle.cpp).
NTSTATUS FxIdleCreate(FxDevice* device);
VOID FxIdleFree(FxDevice* device);
VOID FxIdleStarted(FxDevice* device); // in D0 and started: the timer may run
VOID FxIdleStop(FxDevice* device);    // stop, removal: no timer, no idle IRP (PASSIVE)
BOOLEAN FxIdleIsDown(FxDevice* device);
// The Sx wake settings as assigned (under the idle state's lock).
FxWakeSettings FxIdleWakeSettings(FxDevice* device);

// The remove lock (FxDeviceExtension::Dispatching): taken by each I/O dispatch and by each request
// until it is completed, so that removal frees nothing a cancel routine or a completion still uses.
inline VOID FxDeviceRemoveLockAcquire(FxDevice* device) {
    InterlockedIncrement(&device->Extension->Dispatching);
}
inline VOID FxExtensionRemoveLockRelease(FxDeviceExtension* extension) {
    if (InterlockedDecrement(&extension->Dispatching) == 0)
        KeSetEvent(&extension->DispatchDrained, IO_NO_INCREMENT, FALSE);
}
inline VOID FxDeviceRemoveLockRelease(FxDevice* device) {
    FxExtensionRemoveLockRelease(device->Extension);
}
