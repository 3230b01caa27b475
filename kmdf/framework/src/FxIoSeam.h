// What the device side (PnP, power, file objects) and the I/O side (queues, requests, targets)
// ask of each other. The device side owns FxDevice; the I/O side owns queues, requests and
// targets and keeps its per-device state behind FxDeviceIo.
#pragma once

#include "FxObject.h"

struct FxDevice;
struct FxDeviceIo;

// --- the I/O side, called by the device side ------------------------------------------------
// Per-device I/O state, made in WdfDeviceCreate and freed with the device.
NTSTATUS FxIoDeviceInit(FxDevice* device);
VOID FxIoDeviceFree(FxDevice* device);
// IRP_MJ_DEVICE_CONTROL, INTERNAL_DEVICE_CONTROL, READ, WRITE for the device: presented to the
// driver's queues (EvtIoInCallerContext first, in the caller's thread). Returns the IRP's status
// or STATUS_PENDING.
NTSTATUS FxIoDispatch(FxDevice* device, PIRP irp);
// Power-managed queues stop taking requests to the driver and wait for the requests it owns
// (D0 exit), or start again (D0 entry).
VOID FxIoPowerManagedStop(FxDevice* device);
VOID FxIoPowerManagedStart(FxDevice* device);
// Every queue fails what it holds with `status` and takes no more (surprise removal, removal).
VOID FxIoPurge(FxDevice* device, NTSTATUS status);
// I/O targets of the device: sent I/O cancelled, then stopped for good (removal).
VOID FxIoTargetsRemove(FxDevice* device);
// Requests of a file object still queued are cancelled (cleanup); TRUE once none is left.
VOID FxIoCancelFileRequests(FxDevice* device, PFILE_OBJECT fileObject);
BOOLEAN FxIoFileIdle(FxDevice* device, PFILE_OBJECT fileObject);
// No request is queued or owned by the driver on a power-managed queue (idle timer may run).
BOOLEAN FxIoPowerManagedIdle(FxDevice* device);
// IRP_MJ_CREATE of a device with EvtDeviceFileCreate: the IRP as a create request
// (WdfRequestTypeCreate) presented to `callback` in the opening thread. When the driver completes
// it, FxDeviceFileCreateDone runs before the IRP completes. Returns the IRP's status or
// STATUS_PENDING.
NTSTATUS FxIoPresentCreate(FxDevice* device, PIRP irp, WDFFILEOBJECT fileObject,
                           PFN_WDF_DEVICE_FILE_CREATE callback);

// --- the device side, called by the I/O side ------------------------------------------------
// A request arrived on a power-managed queue while the device is idle or powering down: the
// device powers up (cancelling the idle notification) and the queue is started again.
VOID FxDevicePowerReference(FxDevice* device);
VOID FxDevicePowerDereference(FxDevice* device); // the last one starts the idle timer
PDEVICE_OBJECT FxDeviceLower(FxDevice* device);  // the next-lower device (the PDO's stack)
PDEVICE_OBJECT FxDeviceWdm(FxDevice* device);    // the framework's device object
WDF_DEVICE_IO_TYPE FxDeviceIoType(FxDevice* device);
// Request attributes from WdfDeviceInitSetRequestAttributes, and the in-caller callback.
PWDF_OBJECT_ATTRIBUTES FxDeviceRequestAttributes(FxDevice* device);
PFN_WDF_IO_IN_CALLER_CONTEXT FxDeviceInCallerContext(FxDevice* device);
// The WDFFILEOBJECT of an open, or NULL when the device has no file object config.
WDFFILEOBJECT FxDeviceFileObject(FxDevice* device, PFILE_OBJECT fileObject);
// The driver completed a create request: a failed open leaves no file object.
VOID FxDeviceFileCreateDone(FxDevice* device, PFILE_OBJECT fileObject, NTSTATUS status);
