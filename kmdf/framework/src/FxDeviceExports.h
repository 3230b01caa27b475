// The device side's framework calls: objects, driver, device, PnP and power policy.
#pragma once

#define FX_DEVICE_EXPORTS(X)                                                                       \
    X(WdfObjectGetTypedContextWorker)                                                              \
    X(WdfObjectDelete)                                                                             \
    X(WdfDriverCreate)                                                                             \
    X(WdfDeviceInitSetPnpPowerEventCallbacks)                                                      \
    X(WdfDeviceInitSetIoType)                                                                      \
    X(WdfDeviceInitSetFileObjectConfig)                                                            \
    X(WdfDeviceInitSetRequestAttributes)                                                           \
    X(WdfDeviceInitSetIoInCallerContextCallback)                                                   \
    X(WdfDeviceCreate)                                                                             \
    X(WdfDeviceCreateDeviceInterface)                                                              \
    X(WdfDeviceSetPnpCapabilities)                                                                 \
    X(WdfDeviceAssignS0IdleSettings)                                                               \
    X(WdfDeviceAssignSxWakeSettings)
