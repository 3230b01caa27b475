// The framework calls of the I/O side, one per entry of the client's function table, each
// defined as imp_<name> with the type of the platform's table entry (the driver globals first).
// FxExports.h combines this list with the device side's and declares them.
#pragma once

#define FX_IO_EXPORTS(X)                                                                           \
    X(WdfDeviceEnqueueRequest)                                                                     \
    X(WdfIoQueueCreate)                                                                            \
    X(WdfIoQueueGetDevice)                                                                         \
    X(WdfIoTargetStart)                                                                            \
    X(WdfIoTargetStop)                                                                             \
    X(WdfMemoryCreatePreallocated)                                                                 \
    X(WdfMemoryGetBuffer)                                                                          \
    X(WdfRequestSend)                                                                              \
    X(WdfRequestGetStatus)                                                                         \
    X(WdfRequestSetCompletionRoutine)                                                              \
    X(WdfRequestComplete)                                                                          \
    X(WdfRequestCompleteWithInformation)                                                           \
    X(WdfRequestGetParameters)                                                                     \
    X(WdfRequestRetrieveOutputMemory)                                                              \
    X(WdfRequestRetrieveInputBuffer)                                                               \
    X(WdfRequestRetrieveOutputBuffer)                                                              \
    X(WdfRequestProbeAndLockUserBufferForWrite)                                                    \
    X(WdfRequestForwardToIoQueue)                                                                  \
    X(WdfRequestWdmGetIrp)                                                                         \
    X(WdfUsbTargetDeviceCreate)                                                                    \
    X(WdfUsbTargetDeviceRetrieveInformation)                                                       \
    X(WdfUsbTargetDeviceSelectConfig)                                                              \
    X(WdfUsbTargetDeviceFormatRequestForUrb)                                                       \
    X(WdfUsbTargetPipeIsInEndpoint)                                                                \
    X(WdfUsbTargetPipeIsOutEndpoint)                                                               \
    X(WdfUsbTargetPipeSetNoMaximumPacketSizeCheck)                                                 \
    X(WdfUsbTargetPipeFormatRequestForRead)                                                        \
    X(WdfUsbInterfaceSelectSetting)                                                                \
    X(WdfUsbInterfaceGetNumConfiguredPipes)                                                        \
    X(WdfUsbInterfaceGetConfiguredPipe)

// The calls of this side a host may make fail (FxHostFaultableCalls), as strings.
#define FX_IO_FAULTABLE_CALLS                                                                      \
    "WdfDeviceEnqueueRequest", "WdfIoQueueCreate", "WdfIoTargetStart",                             \
        "WdfMemoryCreatePreallocated", "WdfRequestSend", "WdfRequestRetrieveOutputMemory",         \
        "WdfRequestRetrieveInputBuffer", "WdfRequestRetrieveOutputBuffer",                         \
        "WdfRequestProbeAndLockUserBufferForWrite", "WdfRequestForwardToIoQueue",                  \
        "WdfUsbTargetDeviceCreate", "WdfUsbTargetDeviceRetrieveInformation",                       \
        "WdfUsbTargetDeviceSelectConfig", "WdfUsbTargetDeviceFormatRequestForUrb",                 \
        "WdfUsbTargetPipeFormatRequestForRead", "WdfUsbInterfaceSelectSetting"
