// IRP_MJ_CREATE, CLEANUP and CLOSE. With WdfDeviceInitSetFileObjectConfig each open gets a
// WDFFILEOBJECT (with the attributes' context): EvtDeviceFileCreate sees a create request the
// driver completes (its status is the open's; a refused open leaves no file object), or the
// framework completes the create itself. At cleanup the handle's queued requests are cancelled
// and EvtFileCleanup runs; EvtFileClose runs at close, when the I/O manager has no request of the
// handle left.
#include "FxDevice.h"
#include "FxEntry.h"

namespace {

struct FxFile {
    FxObject Object;
    FxDevice* Device;
    PFILE_OBJECT Wdm;
    LIST_ENTRY Link; // FxDevice::Files
    BOOLEAN CleanedUp;
};

VOID DisposeFile(FxObject* object) {
    FxFile* file = reinterpret_cast<FxFile*>(object);
    KIRQL irql;
    KeAcquireSpinLock(&file->Device->FilesLock, &irql);
    RemoveEntryList(&file->Link);
    InitializeListHead(&file->Link);
    KeReleaseSpinLock(&file->Device->FilesLock, irql);
}

FxFile* FindFile(FxDevice* device, PFILE_OBJECT fileObject) {
    FxFile* found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&device->FilesLock, &irql);
    for (PLIST_ENTRY e = device->Files.Flink; e != &device->Files; e = e->Flink) {
        FxFile* file = CONTAINING_RECORD(e, FxFile, Link);
        if (file->Wdm == fileObject) {
            found = file;
            break;
        }
    }
    KeReleaseSpinLock(&device->FilesLock, irql);
    return found;
}

WDFFILEOBJECT HandleOf(FxFile* file) {
    return reinterpret_cast<WDFFILEOBJECT>(file->Object.Handle);
}

NTSTATUS Create(FxDevice* device, PIRP irp) {
    // A snapshot: a removal beginning now purges whatever this open brings.
    if (FxDevicePnpState(device) != FxPnpStarted)
        return FxCompleteIrp(irp, STATUS_DELETE_PENDING, 0);
    if (!device->HasFileConfig)
        return FxCompleteIrp(irp, STATUS_SUCCESS, 0);
    FxObject* object;
    NTSTATUS status =
        FxObjectCreate(sizeof(FxFile), FxTypeFileObject,
                       device->HasFileAttributes ? &device->FileAttributes : NULL, &device->Object,
                       DisposeFile, "WdfDeviceInitSetFileObjectConfig", &object);
    if (!NT_SUCCESS(status))
        return FxCompleteIrp(irp, status, 0);
    FxFile* file = reinterpret_cast<FxFile*>(object);
    file->Device = device;
    file->Wdm = IoGetCurrentIrpStackLocation(irp)->FileObject;
    KIRQL irql;
    KeAcquireSpinLock(&device->FilesLock, &irql);
    InsertTailList(&device->Files, &file->Link);
    KeReleaseSpinLock(&device->FilesLock, irql);
    if (device->FileConfig.EvtDeviceFileCreate != NULL)
        return FxIoPresentCreate(device, irp, HandleOf(file),
                                 device->FileConfig.EvtDeviceFileCreate);
    return FxCompleteIrp(irp, STATUS_SUCCESS, 0);
}

VOID CleanUp(FxDevice* device, FxFile* file) {
    if (file->CleanedUp)
        return;
    file->CleanedUp = TRUE;
    FxIoCancelFileRequests(device, file->Wdm);
    if (PFN_WDF_FILE_CLEANUP cleanup = device->FileConfig.EvtFileCleanup) {
        FxCountDriverCall();
        cleanup(HandleOf(file));
    }
}

NTSTATUS Cleanup(FxDevice* device, PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    FxFile* file = FindFile(device, fileObject);
    if (file != NULL)
        CleanUp(device, file);
    else
        FxIoCancelFileRequests(device, fileObject); // without file objects too
    return FxCompleteIrp(irp, STATUS_SUCCESS, 0);
}

// Wine sends no IRP_MJ_CLEANUP: close does its work first when it has not been done.
NTSTATUS Close(FxDevice* device, PIRP irp) {
    FxFile* file = FindFile(device, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (file != NULL) {
        CleanUp(device, file);
        if (!FxIoFileIdle(device, file->Wdm))
            FxViolation("IRP_MJ_CLOSE: the file object still has requests in the framework");
        if (PFN_WDF_FILE_CLOSE close = device->FileConfig.EvtFileClose) {
            FxCountDriverCall();
            close(HandleOf(file));
        }
        FxObjectDelete(&file->Object);
    } else {
        FxIoCancelFileRequests(device, IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    return FxCompleteIrp(irp, STATUS_SUCCESS, 0);
}

} // namespace

WDFFILEOBJECT FxDeviceFileObject(FxDevice* device, PFILE_OBJECT fileObject) {
    FxFile* file = FindFile(device, fileObject);
    return file != NULL ? HandleOf(file) : NULL;
}

VOID FxDeviceFileCreateDone(FxDevice* device, PFILE_OBJECT fileObject, NTSTATUS status) {
    if (NT_SUCCESS(status))
        return;
    FxFile* file = FindFile(device, fileObject);
    if (file != NULL)
        FxObjectDelete(&file->Object);
}

NTSTATUS FxFileDispatch(FxDevice* device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        return Create(device, irp);
    case IRP_MJ_CLEANUP:
        return Cleanup(device, irp);
    default:
        return Close(device, irp);
    }
}
