// The framework as the driver sees it: I/O targets.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

typedef NTSTATUS (*PFN_WDFIOTARGETSTART)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
FORCEINLINE NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
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
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request) {
    return ((PFN_WDFDEVICEENQUEUEREQUEST)WdfFunctions[WdfDeviceEnqueueRequestTableIndex])(
        WdfDriverGlobals, Device, Request);
}
typedef NTSTATUS (*PFN_WDFREQUESTPROBEANDLOCKUSERBUFFERFORWRITE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                 WDFREQUEST Request, PVOID Buffer,
                                                                 size_t Length,
                                                                 WDFMEMORY* MemoryObject);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
FORCEINLINE NTSTATUS WdfRequestProbeAndLockUserBufferForWrite(WDFREQUEST Request, PVOID Buffer,
                                                              size_t Length,
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
