// The kernel-mode driver framework as the driver sees it (the platform's wdf.h, interface version
// 1.1): handle types, the structures with their *_INIT helpers, callback role types and the
// framework operations the driver calls, with the platform's names, layouts and argument lists.
//
// As on the platform, every operation is an inline wrapper that calls through the function table
// the framework filled when the driver bound to it (WdfFunctions, see the bind stub in
// kmdf/stub), with the driver's globals first. kmdf/framework supplies the entries.
#pragma once

#include <ntddk.h>
#include <wdffuncenum.h>

// Statuses of the framework's own facility (wdfstatus.h).
#define STATUS_WDF_BUSY ((NTSTATUS)0xC0200203L)

#define WDF_EXTERN_C EXTERN_C

#ifdef __cplusplus
extern "C" {
#endif

#define WDF_DECLARE_HANDLE(name)                                                                   \
    struct name##__ {                                                                              \
        int unused;                                                                                \
    };                                                                                             \
    typedef struct name##__* name
typedef HANDLE WDFOBJECT, *PWDFOBJECT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
typedef WDFMEMORY* PWDFMEMORY;
typedef PVOID WDFCONTEXT;
typedef struct WDFDEVICE_INIT WDFDEVICE_INIT, *PWDFDEVICE_INIT;

// ---------------------------------------------------------------------------- binding
// What a client image carries for its binding: the bind info, the table and the globals.
// "void (*)(void)": the type the compilers accept a cast from to any function type.
typedef void (*WDFFUNC)(void);

typedef struct _WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} WDF_VERSION, *PWDF_VERSION;

typedef struct _WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;
    PVOID Module;
} WDF_BIND_INFO, *PWDF_BIND_INFO;

typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[32];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

extern WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;
extern WDF_BIND_INFO WdfBindInfo;

#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL
#define WDF_NO_SEND_OPTIONS NULL
#define WDF_NO_EVENT_CALLBACK NULL

#define WDF_ALIGN_SIZE_UP(Length, AlignTo) (((Length) + ((AlignTo)-1)) & ~((AlignTo)-1))

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE,
    *PWDF_TRI_STATE;

// ---------------------------------------------------------------------------- objects
typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_DESTROY) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO,
    *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    LPCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_##_contexttype##_TYPE_INFO##_POINTER
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                          \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                         \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                       \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

typedef PVOID (*PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    WDFOBJECT Handle,
                                                    PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE PVOID
    WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    return (
        (PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)WdfFunctions[WdfObjectGetTypedContextWorkerTableIndex])(
        WdfDriverGlobals, Handle, TypeInfo);
}

// The type record is constant-initialised data with one copy per image (selectany on the
// platform's compiler, a weak definition here): no code runs to build it.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                         \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                \
    WDF_EXTERN_C const WDF_OBJECT_CONTEXT_TYPE_INFO DECLSPEC_SELECTANY WDF_TYPE_NAME_TO_TYPE_INFO( \
        _contexttype) = {                                                                          \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO),      #_contexttype, sizeof(_contexttype),            \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL,                                           \
    };                                                                                             \
    FORCEINLINE WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(WDFOBJECT Handle) {      \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(           \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                          \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                     \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

typedef VOID (*PFN_WDFOBJECTDELETE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Object);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID WdfObjectDelete(WDFOBJECT Object) {
    ((PFN_WDFOBJECTDELETE)WdfFunctions[WdfObjectDeleteTableIndex])(WdfDriverGlobals, Object);
}

// ---------------------------------------------------------------------------- driver
typedef _Function_class_(EVT_WDF_DRIVER_DEVICE_ADD) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef _Function_class_(EVT_WDF_DRIVER_UNLOAD) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config,
                                        PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

typedef NTSTATUS (*PFN_WDFDRIVERCREATE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                        PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                        PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                        PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                    PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                    WDFDRIVER* Driver) {
    return ((PFN_WDFDRIVERCREATE)WdfFunctions[WdfDriverCreateTableIndex])(
        WdfDriverGlobals, DriverObject, RegistryPath, DriverAttributes, DriverConfig, Driver);
}

// ---------------------------------------------------------------------------- device
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
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef _Function_class_(EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device,
                                                    WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED*
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef _Function_class_(EVT_WDF_DEVICE_D0_EXIT) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef _Function_class_(EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device,
                                                   WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED*
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef _Function_class_(EVT_WDF_DEVICE_PREPARE_HARDWARE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                    WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef _Function_class_(EVT_WDF_DEVICE_RELEASE_HARDWARE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID
    EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef _Function_class_(EVT_WDF_DEVICE_SURPRISE_REMOVAL) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef _Function_class_(EVT_WDF_DEVICE_QUERY_REMOVE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef _Function_class_(EVT_WDF_DEVICE_QUERY_STOP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef _Function_class_(EVT_WDF_DEVICE_USAGE_NOTIFICATION) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID
    EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device, ULONG NotificationType,
                                      BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef _Function_class_(EVT_WDF_DEVICE_RELATIONS_QUERY) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID
    EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, ULONG RelationType);
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
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                    WDFDEVICE* Device) {
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
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfDeviceCreateDeviceInterface(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                   PCUNICODE_STRING ReferenceString) {
    return (
        (PFN_WDFDEVICECREATEDEVICEINTERFACE)WdfFunctions[WdfDeviceCreateDeviceInterfaceTableIndex])(
        WdfDriverGlobals, Device, InterfaceClassGUID, ReferenceString);
}

// ---------------------------------------------------------------------------- power policy
typedef enum _WDF_POWER_POLICY_S0_IDLE_CAPABILITIES {
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0,
    IdleCanWakeFromS0,
    IdleUsbSelectiveSuspend,
} WDF_POWER_POLICY_S0_IDLE_CAPABILITIES;

typedef enum _WDF_POWER_POLICY_S0_IDLE_USER_CONTROL {
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl,
    IdleAllowUserControl,
} WDF_POWER_POLICY_S0_IDLE_USER_CONTROL;

typedef enum _WDF_POWER_POLICY_SX_WAKE_USER_CONTROL {
    WakeUserControlInvalid = 0,
    WakeDoNotAllowUserControl,
    WakeAllowUserControl,
} WDF_POWER_POLICY_SX_WAKE_USER_CONTROL;

#define IdleTimeoutDefaultValue ((ULONG)0)

typedef struct _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
} WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS;

FORCEINLINE VOID
WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings,
                                           WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps) {
    RtlZeroMemory(Settings, sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
    Settings->IdleTimeout = IdleTimeoutDefaultValue;
    Settings->UserControlOfIdleSettings = IdleAllowUserControl;
    Settings->Enabled = WdfUseDefault;
    Settings->IdleCaps = IdleCaps;
    Settings->DxState = PowerDeviceMaximum;
}

typedef struct _WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS {
    ULONG Size;
    DEVICE_POWER_STATE DxState;
    WDF_POWER_POLICY_SX_WAKE_USER_CONTROL UserControlOfWakeSettings;
    WDF_TRI_STATE Enabled;
} WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS;

FORCEINLINE VOID
WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings) {
    RtlZeroMemory(Settings, sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS);
    Settings->Enabled = WdfUseDefault;
    Settings->DxState = PowerDeviceMaximum;
    Settings->UserControlOfWakeSettings = WakeAllowUserControl;
}

typedef NTSTATUS (*PFN_WDFDEVICEASSIGNS0IDLESETTINGS)(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
    PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfDeviceAssignS0IdleSettings(WDFDEVICE Device,
                                  PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings) {
    return (
        (PFN_WDFDEVICEASSIGNS0IDLESETTINGS)WdfFunctions[WdfDeviceAssignS0IdleSettingsTableIndex])(
        WdfDriverGlobals, Device, Settings);
}
typedef NTSTATUS (*PFN_WDFDEVICEASSIGNSXWAKESETTINGS)(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
    PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfDeviceAssignSxWakeSettings(WDFDEVICE Device,
                                  PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings) {
    return (
        (PFN_WDFDEVICEASSIGNSXWAKESETTINGS)WdfFunctions[WdfDeviceAssignSxWakeSettingsTableIndex])(
        WdfDriverGlobals, Device, Settings);
}

// ---------------------------------------------------------------------------- memory
typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef NTSTATUS (*PFN_WDFMEMORYCREATEPREALLOCATED)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                                    size_t BufferSize, WDFMEMORY* Memory);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                WDFMEMORY* Memory) {
    return ((PFN_WDFMEMORYCREATEPREALLOCATED)WdfFunctions[WdfMemoryCreatePreallocatedTableIndex])(
        WdfDriverGlobals, Attributes, Buffer, BufferSize, Memory);
}
typedef PVOID (*PFN_WDFMEMORYGETBUFFER)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY Memory,
                                        size_t* BufferSize);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE PVOID
    WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    return ((PFN_WDFMEMORYGETBUFFER)WdfFunctions[WdfMemoryGetBufferTableIndex])(WdfDriverGlobals,
                                                                                Memory, BufferSize);
}

// ---------------------------------------------------------------------------- requests
typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeDeviceControlInternal = 0xF,
    WdfRequestTypeOther = 0x1C,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

FORCEINLINE VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS* PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1, Argument2, Argument3, Argument4;
        } Others;
        struct {
            PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

typedef _Function_class_(EVT_WDF_REQUEST_COMPLETION_ROUTINE) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                       PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options,
                                                      LONGLONG Timeout) {
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_SEC;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_MS;
}

typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEINPUTBUFFER)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                      WDFREQUEST Request,
                                                      size_t MinimumRequiredLength, PVOID* Buffer,
                                                      size_t* Length);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                  size_t* Length) {
    return (
        (PFN_WDFREQUESTRETRIEVEINPUTBUFFER)WdfFunctions[WdfRequestRetrieveInputBufferTableIndex])(
        WdfDriverGlobals, Request, MinimumRequiredLength, Buffer, Length);
}
typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFREQUEST Request,
                                                       size_t MinimumRequiredSize, PVOID* Buffer,
                                                       size_t* Length);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                   size_t* Length) {
    return (
        (PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER)WdfFunctions[WdfRequestRetrieveOutputBufferTableIndex])(
        WdfDriverGlobals, Request, MinimumRequiredSize, Buffer, Length);
}
typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEOUTPUTMEMORY)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFREQUEST Request, WDFMEMORY* Memory);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    return (
        (PFN_WDFREQUESTRETRIEVEOUTPUTMEMORY)WdfFunctions[WdfRequestRetrieveOutputMemoryTableIndex])(
        WdfDriverGlobals, Request, Memory);
}
typedef VOID (*PFN_WDFREQUESTGETPARAMETERS)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                            PWDF_REQUEST_PARAMETERS Parameters);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    ((PFN_WDFREQUESTGETPARAMETERS)WdfFunctions[WdfRequestGetParametersTableIndex])(
        WdfDriverGlobals, Request, Parameters);
}
typedef VOID (*PFN_WDFREQUESTSETCOMPLETIONROUTINE)(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine, WDFCONTEXT CompletionContext);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                   PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                   WDFCONTEXT CompletionContext) {
    ((PFN_WDFREQUESTSETCOMPLETIONROUTINE)WdfFunctions[WdfRequestSetCompletionRoutineTableIndex])(
        WdfDriverGlobals, Request, CompletionRoutine, CompletionContext);
}
typedef BOOLEAN (*PFN_WDFREQUESTSEND)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                      WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE BOOLEAN
    WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    return ((PFN_WDFREQUESTSEND)WdfFunctions[WdfRequestSendTableIndex])(WdfDriverGlobals, Request,
                                                                        Target, Options);
}
typedef NTSTATUS (*PFN_WDFREQUESTGETSTATUS)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    return ((PFN_WDFREQUESTGETSTATUS)WdfFunctions[WdfRequestGetStatusTableIndex])(WdfDriverGlobals,
                                                                                  Request);
}
typedef VOID (*PFN_WDFREQUESTCOMPLETE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                       NTSTATUS Status);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    ((PFN_WDFREQUESTCOMPLETE)WdfFunctions[WdfRequestCompleteTableIndex])(WdfDriverGlobals, Request,
                                                                         Status);
}
typedef VOID (*PFN_WDFREQUESTCOMPLETEWITHINFORMATION)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                      WDFREQUEST Request, NTSTATUS Status,
                                                      ULONG_PTR Information);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    ((PFN_WDFREQUESTCOMPLETEWITHINFORMATION)
         WdfFunctions[WdfRequestCompleteWithInformationTableIndex])(WdfDriverGlobals, Request,
                                                                    Status, Information);
}
typedef NTSTATUS (*PFN_WDFREQUESTFORWARDTOIOQUEUE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                   WDFREQUEST Request, WDFQUEUE DestinationQueue);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
    return ((PFN_WDFREQUESTFORWARDTOIOQUEUE)WdfFunctions[WdfRequestForwardToIoQueueTableIndex])(
        WdfDriverGlobals, Request, DestinationQueue);
}

// ---------------------------------------------------------------------------- queues
typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEFAULT) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_READ) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_WRITE) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                       size_t OutputBufferLength, size_t InputBufferLength,
                                       ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                size_t OutputBufferLength, size_t InputBufferLength,
                                                ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_STOP) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_RESUME) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL) VOID
    EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config,
                                          WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
}

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                        WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

typedef NTSTATUS (*PFN_WDFIOQUEUECREATE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                         PWDF_IO_QUEUE_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    return ((PFN_WDFIOQUEUECREATE)WdfFunctions[WdfIoQueueCreateTableIndex])(
        WdfDriverGlobals, Device, Config, QueueAttributes, Queue);
}
typedef WDFDEVICE (*PFN_WDFIOQUEUEGETDEVICE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    return ((PFN_WDFIOQUEUEGETDEVICE)WdfFunctions[WdfIoQueueGetDeviceTableIndex])(WdfDriverGlobals,
                                                                                  Queue);
}

// ---------------------------------------------------------------------------- I/O targets
typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

typedef NTSTATUS (*PFN_WDFIOTARGETSTART)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfIoTargetStart(WDFIOTARGET IoTarget) {
    return ((PFN_WDFIOTARGETSTART)WdfFunctions[WdfIoTargetStartTableIndex])(WdfDriverGlobals,
                                                                            IoTarget);
}
typedef VOID (*PFN_WDFIOTARGETSTOP)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget,
                                    WDF_IO_TARGET_SENT_IO_ACTION Action);
_IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE VOID
    WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    ((PFN_WDFIOTARGETSTOP)WdfFunctions[WdfIoTargetStopTableIndex])(WdfDriverGlobals, IoTarget,
                                                                   Action);
}

// Requests in the caller's context: EvtIoInCallerContext runs in the sending thread, at
// PASSIVE_LEVEL, before the request reaches a queue; the driver hands it on with
// WdfDeviceEnqueueRequest or completes it.
typedef _Function_class_(EVT_WDF_IO_IN_CALLER_CONTEXT) _IRQL_requires_same_ VOID
    EVT_WDF_IO_IN_CALLER_CONTEXT(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_IN_CALLER_CONTEXT* PFN_WDF_IO_IN_CALLER_CONTEXT;

typedef VOID (*PFN_WDFDEVICEINITSETIOINCALLERCONTEXTCALLBACK)(
    PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
    PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT DeviceInit,
                                              PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext) {
    ((PFN_WDFDEVICEINITSETIOINCALLERCONTEXTCALLBACK)
         WdfFunctions[WdfDeviceInitSetIoInCallerContextCallbackTableIndex])(
        WdfDriverGlobals, DeviceInit, EvtIoInCallerContext);
}
typedef VOID (*PFN_WDFDEVICEINITSETREQUESTATTRIBUTES)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                      PWDFDEVICE_INIT DeviceInit,
                                                      PWDF_OBJECT_ATTRIBUTES RequestAttributes);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
    ((PFN_WDFDEVICEINITSETREQUESTATTRIBUTES)
         WdfFunctions[WdfDeviceInitSetRequestAttributesTableIndex])(WdfDriverGlobals, DeviceInit,
                                                                    RequestAttributes);
}
typedef NTSTATUS (*PFN_WDFDEVICEENQUEUEREQUEST)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                WDFREQUEST Request);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request) {
    return ((PFN_WDFDEVICEENQUEUEREQUEST)WdfFunctions[WdfDeviceEnqueueRequestTableIndex])(
        WdfDriverGlobals, Device, Request);
}
typedef NTSTATUS (*PFN_WDFREQUESTPROBEANDLOCKUSERBUFFERFORWRITE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                 WDFREQUEST Request, PVOID Buffer,
                                                                 size_t Length,
                                                                 WDFMEMORY* MemoryObject);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfRequestProbeAndLockUserBufferForWrite(WDFREQUEST Request, PVOID Buffer, size_t Length,
                                             WDFMEMORY* MemoryObject) {
    return ((PFN_WDFREQUESTPROBEANDLOCKUSERBUFFERFORWRITE)
                WdfFunctions[WdfRequestProbeAndLockUserBufferForWriteTableIndex])(
        WdfDriverGlobals, Request, Buffer, Length, MemoryObject);
}
typedef PIRP (*PFN_WDFREQUESTWDMGETIRP)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
    return ((PFN_WDFREQUESTWDMGETIRP)WdfFunctions[WdfRequestWdmGetIrpTableIndex])(WdfDriverGlobals,
                                                                                  Request);
}

// ---------------------------------------------------------------------------- file objects
// What a driver sees of CreateFile and CloseHandle on its device. Without EvtDeviceFileCreate
// the framework completes the create itself (success); with it, the driver completes the create
// request and its status is the open's. EvtFileCleanup runs when the handle is closed,
// EvtFileClose once the handle's requests are all done.
typedef _Function_class_(EVT_WDF_DEVICE_FILE_CREATE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID
    EVT_WDF_DEVICE_FILE_CREATE(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                               _In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef _Function_class_(EVT_WDF_FILE_CLOSE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID EVT_WDF_FILE_CLOSE(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef _Function_class_(EVT_WDF_FILE_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL) VOID EVT_WDF_FILE_CLEANUP(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS,
    *PWDF_FILEOBJECT_CLASS;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            PFN_WDF_FILE_CLOSE EvtFileClose,
                                            PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

typedef VOID (*PFN_WDFDEVICEINITSETFILEOBJECTCONFIG)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                     PWDFDEVICE_INIT DeviceInit,
                                                     PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                     PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                     PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                     PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    ((PFN_WDFDEVICEINITSETFILEOBJECTCONFIG)
         WdfFunctions[WdfDeviceInitSetFileObjectConfigTableIndex])(
        WdfDriverGlobals, DeviceInit, FileObjectConfig, FileObjectAttributes);
}

#ifdef __cplusplus
}
#endif
