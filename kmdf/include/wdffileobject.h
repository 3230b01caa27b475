// The framework as the driver sees it: file objects.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

// What a driver sees of CreateFile and CloseHandle on its device. Without EvtDeviceFileCreate
// the framework completes the create itself (success); with it, the driver completes the create
// request and its status is the open's. EvtFileCleanup runs when the handle is closed,
// EvtFileClose once the handle's requests are all done.
typedef _Function_class_(EVT_WDF_DEVICE_FILE_CREATE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_FILE_CREATE(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                _In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef _Function_class_(EVT_WDF_FILE_CLOSE) _IRQL_requires_same_ _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_FILE_CLOSE(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef _Function_class_(EVT_WDF_FILE_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_FILE_CLEANUP(_In_ WDFFILEOBJECT FileObject);
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
