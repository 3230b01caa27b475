// The framework as the driver sees it: I/O queues.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEFAULT) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_READ) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_WRITE) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                        size_t OutputBufferLength, size_t InputBufferLength,
                                        ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                 size_t OutputBufferLength,
                                                 size_t InputBufferLength, ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_STOP) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_RESUME) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
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
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                      PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    return ((PFN_WDFIOQUEUECREATE)WdfFunctions[WdfIoQueueCreateTableIndex])(
        WdfDriverGlobals, Device, Config, QueueAttributes, Queue);
}
typedef WDFDEVICE (*PFN_WDFIOQUEUEGETDEVICE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    return ((PFN_WDFIOQUEUEGETDEVICE)WdfFunctions[WdfIoQueueGetDeviceTableIndex])(WdfDriverGlobals,
                                                                                  Queue);
}
