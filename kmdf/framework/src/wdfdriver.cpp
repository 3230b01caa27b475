// WdfDriverCreate: the framework's driver object, its dispatch table for every major function,
// AddDevice and the framework's unload routine (which the bind stub displaces and runs first).
#include "FxDevice.h"
#include "FxEntry.h"
#include "FxExports.h"

namespace {

FxDriver* g_driver;

DRIVER_DISPATCH FxDispatch;
DRIVER_ADD_DEVICE FxAddDevice;
DRIVER_UNLOAD FxDriverUnload;

NTSTATUS FxDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    switch (major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        // A handle may outlive the stack: a caller still inside must not see it freed, and one
        // that comes after the removal finds nothing (a close of a removed device succeeds).
        FxDeviceExtension* extension =
            static_cast<FxDeviceExtension*>(deviceObject->DeviceExtension);
        FxDevice* device = NULL;
        if (InterlockedIncrement(&extension->Dispatching) != 1)
            device = FxDeviceOf(deviceObject);
        if (device == NULL) {
            FxExtensionRemoveLockRelease(extension);
            const BOOLEAN closing = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
            return FxCompleteIrp(irp, closing ? STATUS_SUCCESS : STATUS_DELETE_PENDING, 0);
        }
        NTSTATUS status = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE
                              ? FxFileDispatch(device, irp)
                              : FxIoDispatch(device, irp);
        FxExtensionRemoveLockRelease(extension);
        return status;
    }
    default:
        break;
    }
    FxDevice* device = FxDeviceOf(deviceObject);
    if (device == NULL)
        return FxCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (major) {
    case IRP_MJ_PNP:
        return FxPnpDispatch(device, irp);
    case IRP_MJ_POWER:
        return FxPowerDispatch(device, irp);
    default:
        // A function driver passes on what it does not handle.
        return FxForward(device, irp);
    }
}

NTSTATUS FxAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    if (g_driver == NULL || g_driver->Wdm != driverObject)
        return STATUS_NO_SUCH_DEVICE;
    return FxDeviceAdd(g_driver, pdo);
}

VOID DeleteDriver() {
    FxDriver* driver = g_driver;
    if (driver == NULL)
        return;
    FxObjectDelete(&driver->Object);
    g_driver = NULL;
    PWDF_DRIVER_GLOBALS globals = FxBoundGlobals();
    if (globals != NULL)
        globals->Driver = NULL;
}

// EvtDriverUnload, then the driver object and its children go.
VOID FxDriverUnload(PDRIVER_OBJECT driverObject) {
    FxDriver* driver = g_driver;
    if (driver == NULL || driver->Wdm != driverObject)
        return;
    if (driver->Config.EvtDriverUnload != NULL) {
        FxCountDriverCall();
        driver->Config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(driver->Object.Handle));
    }
    DeleteDriver();
    FxEvent("driver unloaded");
}

} // namespace

FxDriver* FxTheDriver(VOID) {
    return g_driver;
}

VOID FxDriverDeleteAtUnbind(VOID) {
    DeleteDriver();
}

NTSTATUS imp_WdfDriverCreate(PWDF_DRIVER_GLOBALS globals, PDRIVER_OBJECT driverObject,
                             PCUNICODE_STRING registryPath, PWDF_OBJECT_ATTRIBUTES attributes,
                             PWDF_DRIVER_CONFIG config, WDFDRIVER* created) {
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    if (FxInjected(__func__, &status))
        return status;
    if (driverObject == NULL || registryPath == NULL || config == NULL ||
        config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        FxViolation("WdfDriverCreate: bad arguments (driver object, registry path or "
                    "WDF_DRIVER_CONFIG.Size)");
        return STATUS_INVALID_PARAMETER;
    }
    if (g_driver != NULL) {
        FxViolation("WdfDriverCreate: the driver has a framework driver object already");
        return STATUS_INVALID_DEVICE_STATE;
    }
    FxObject* object;
    status =
        FxObjectCreate(sizeof(FxDriver), FxTypeDriver, attributes, NULL, NULL, FX_API, &object);
    if (!NT_SUCCESS(status))
        return status;
    FxDriver* driver = reinterpret_cast<FxDriver*>(object);
    driver->Wdm = driverObject;
    driver->Config = *config;
    g_driver = driver;
    globals->Driver = reinterpret_cast<WDFDRIVER>(object->Handle);
    if ((config->DriverInitFlags & WdfDriverInitNoDispatchOverride) == 0)
        for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
            driverObject->MajorFunction[i] = FxDispatch;
    if ((config->DriverInitFlags & WdfDriverInitNonPnpDriver) == 0)
        driverObject->DriverExtension->AddDevice = FxAddDevice;
    driverObject->DriverUnload = FxDriverUnload;
    FxEvent(FX_API);
    if (created != NULL)
        *created = reinterpret_cast<WDFDRIVER>(object->Handle);
    return STATUS_SUCCESS;
}
