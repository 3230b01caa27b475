// The I/O side's framework calls: queues, requests, memory, I/O targets, USB target.
#pragma once

#define FX_IO_EXPORTS(X)

// The calls of this side a host may make fail (FxHostFaultableCalls), as strings.
#define FX_IO_FAULTABLE_CALLS                                                                      \
    "WdfDeviceEnqueueRequest", "WdfIoQueueCreate", "WdfIoTargetStart",                             \
        "WdfMemoryCreatePreallocated", "WdfRequestSend", "WdfRequestRetrieveOutputMemory",         \
        "WdfRequestRetrieveInputBuffer", "WdfRequestRetrieveOutputBuffer",                         \
        "WdfRequestProbeAndLockUserBufferForWrite", "WdfRequestForwardToIoQueue",                  \
        "WdfUsbTargetDeviceCreate", "WdfUsbTargetDeviceRetrieveInformation",                       \
        "WdfUsbTargetDeviceSelectConfig", "WdfUsbTargetDeviceFormatRequestForUrb",                 \
        "WdfUsbTargetPipeFormatRequestForRead", "WdfUsbInterfaceSelectSetting"
