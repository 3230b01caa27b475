// The framework calls the layer implements, one per entry of the client's function table. Each
// is defined as imp_<name> with the type of the platform's table entry (the driver globals
// first), so a definition that differs from the header's wrapper does not compile.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#define KMDF_EXPORTS(X)                                                                            \
    X(WdfDeviceAssignS0IdleSettings)                                                               \
    X(WdfDeviceAssignSxWakeSettings)                                                               \
    X(WdfDeviceInitSetPnpPowerEventCallbacks)                                                      \
    X(WdfDeviceInitSetIoType)                                                                      \
    X(WdfDeviceInitSetFileObjectConfig)                                                            \
    X(WdfDeviceInitSetRequestAttributes)                                                           \
    X(WdfDeviceInitSetIoInCallerContextCallback)                                                   \
    X(WdfDeviceCreate)                                                                             \
    X(WdfDeviceCreateDeviceInterface)                                                              \
    X(WdfDeviceSetPnpCapabilities)                                                                 \
    X(WdfDeviceEnqueueRequest)                                                                     \
    X(WdfDriverCreate)                                                                             \
    X(WdfIoQueueCreate)                                                                            \
    X(WdfIoQueueGetDevice)                                                                         \
    X(WdfIoTargetStart)                                                                            \
    X(WdfIoTargetStop)                                                                             \
    X(WdfMemoryCreatePreallocated)                                                                 \
    X(WdfMemoryGetBuffer)                                                                          \
    X(WdfObjectGetTypedContextWorker)                                                              \
    X(WdfObjectDelete)                                                                             \
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

namespace kmdf::sim {
// The table entry's function type: the wrapper's, with the driver globals in front.
template <typename F> struct TableEntryOf;
template <typename R, typename... A> struct TableEntryOf<R(A...)> {
    using type = R(PWDF_DRIVER_GLOBALS, A...);
};
} // namespace kmdf::sim

#define KMDF_DECLARE_EXPORT(name)                                                                  \
    extern "C" kmdf::sim::TableEntryOf<decltype(name)>::type imp_##name;
KMDF_EXPORTS(KMDF_DECLARE_EXPORT)
#undef KMDF_DECLARE_EXPORT
