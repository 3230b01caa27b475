// The framework as the driver sees it: requests: parameters, buffers, completion, sending.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

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
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
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
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                                   PVOID* Buffer, size_t* Length) {
    return (
        (PFN_WDFREQUESTRETRIEVEINPUTBUFFER)WdfFunctions[WdfRequestRetrieveInputBufferTableIndex])(
        WdfDriverGlobals, Request, MinimumRequiredLength, Buffer, Length);
}
typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFREQUEST Request,
                                                       size_t MinimumRequiredSize, PVOID* Buffer,
                                                       size_t* Length);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                                    PVOID* Buffer, size_t* Length) {
    return (
        (PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER)WdfFunctions[WdfRequestRetrieveOutputBufferTableIndex])(
        WdfDriverGlobals, Request, MinimumRequiredSize, Buffer, Length);
}
typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEOUTPUTMEMORY)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFREQUEST Request, WDFMEMORY* Memory);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
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
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target,
                                   PWDF_REQUEST_SEND_OPTIONS Options) {
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
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
    return ((PFN_WDFREQUESTFORWARDTOIOQUEUE)WdfFunctions[WdfRequestForwardToIoQueueTableIndex])(
        WdfDriverGlobals, Request, DestinationQueue);
}
