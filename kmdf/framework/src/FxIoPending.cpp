// Stand-ins for the I/O side's half of the seam until its queues, requests and targets land:
// no queues, so requests fail and the device counts as idle.
#include "FxDevice.h"

NTSTATUS FxIoDeviceInit(FxDevice* device) {
    device->Io = NULL;
    return STATUS_SUCCESS;
}

VOID FxIoDeviceFree(FxDevice* device) {
    device->Io = NULL;
}

NTSTATUS FxIoDispatch(FxDevice* device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    return FxCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID FxIoPowerManagedStop(FxDevice* device) {
    UNREFERENCED_PARAMETER(device);
}

VOID FxIoPowerManagedStart(FxDevice* device) {
    UNREFERENCED_PARAMETER(device);
}

VOID FxIoPurge(FxDevice* device, NTSTATUS status) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(status);
}

VOID FxIoTargetsRemove(FxDevice* device) {
    UNREFERENCED_PARAMETER(device);
}

VOID FxIoCancelFileRequests(FxDevice* device, PFILE_OBJECT fileObject) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(fileObject);
}

BOOLEAN FxIoFileIdle(FxDevice* device, PFILE_OBJECT fileObject) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(fileObject);
    return TRUE;
}

BOOLEAN FxIoPowerManagedIdle(FxDevice* device) {
    UNREFERENCED_PARAMETER(device);
    return TRUE;
}

// Without requests there is nothing to present the open in: it fails, leaving no file object.
NTSTATUS FxIoPresentCreate(FxDevice* device, PIRP irp, WDFFILEOBJECT fileObject,
                           PFN_WDF_DEVICE_FILE_CREATE callback) {
    UNREFERENCED_PARAMETER(fileObject);
    UNREFERENCED_PARAMETER(callback);
    FxDeviceFileCreateDone(device, IoGetCurrentIrpStackLocation(irp)->FileObject,
                           STATUS_NOT_IMPLEMENTED);
    return FxCompleteIrp(irp, STATUS_NOT_IMPLEMENTED, 0);
}
