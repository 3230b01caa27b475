// The framework as the driver sees it: device initialisation, PnP and power callbacks, device
// interfaces.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE,
    *PWDF_POWER_DEVICE_STATE;

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE,
    *PWDF_DEVICE_IO_TYPE;

typedef _Function_class_(EVT_WDF_DEVICE_D0_ENTRY) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef _Function_class_(EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device,
                                                WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED*
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef _Function_class_(EVT_WDF_DEVICE_D0_EXIT) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef _Function_class_(EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device,
                                               WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED*
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef _Function_class_(EVT_WDF_DEVICE_PREPARE_HARDWARE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef _Function_class_(EVT_WDF_DEVICE_RELEASE_HARDWARE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef _Function_class_(EVT_WDF_DEVICE_SURPRISE_REMOVAL) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef _Function_class_(EVT_WDF_DEVICE_QUERY_REMOVE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef _Function_class_(EVT_WDF_DEVICE_QUERY_STOP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef _Function_class_(EVT_WDF_DEVICE_USAGE_NOTIFICATION) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device, ULONG NotificationType,
                                       BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef _Function_class_(EVT_WDF_DEVICE_RELATIONS_QUERY) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, ULONG RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

typedef VOID (*PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS)(
    PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
    PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
_IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE VOID
    WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                           PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    ((PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS)
         WdfFunctions[WdfDeviceInitSetPnpPowerEventCallbacksTableIndex])(
        WdfDriverGlobals, DeviceInit, PnpPowerEventCallbacks);
}
typedef VOID (*PFN_WDFDEVICEINITSETIOTYPE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                           PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
_IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE VOID
    WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    ((PFN_WDFDEVICEINITSETIOTYPE)WdfFunctions[WdfDeviceInitSetIoTypeTableIndex])(
        WdfDriverGlobals, DeviceInit, IoType);
}
typedef NTSTATUS (*PFN_WDFDEVICECREATE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                        PWDFDEVICE_INIT* DeviceInit,
                                        PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
FORCEINLINE NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                     PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device) {
    return ((PFN_WDFDEVICECREATE)WdfFunctions[WdfDeviceCreateTableIndex])(
        WdfDriverGlobals, DeviceInit, DeviceAttributes, Device);
}
typedef VOID (*PFN_WDFDEVICESETPNPCAPABILITIES)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    ((PFN_WDFDEVICESETPNPCAPABILITIES)WdfFunctions[WdfDeviceSetPnpCapabilitiesTableIndex])(
        WdfDriverGlobals, Device, PnpCapabilities);
}
typedef NTSTATUS (*PFN_WDFDEVICECREATEDEVICEINTERFACE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFDEVICE Device,
                                                       CONST GUID* InterfaceClassGUID,
                                                       PCUNICODE_STRING ReferenceString);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
FORCEINLINE NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device,
                                                    CONST GUID* InterfaceClassGUID,
                                                    PCUNICODE_STRING ReferenceString) {
    return (
        (PFN_WDFDEVICECREATEDEVICEINTERFACE)WdfFunctions[WdfDeviceCreateDeviceInterfaceTableIndex])(
        WdfDriverGlobals, Device, InterfaceClassGUID, ReferenceString);
}
