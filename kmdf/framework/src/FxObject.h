// The object model every framework area builds on: handles, parents, contexts and deletion.
// A handle is a key into the handle table, not an address, so that a call on a deleted object is
// found and reported instead of touching freed memory. Kernel subset of C++.
#pragma once

#include <ntddk.h>
#include <wdf.h>

enum FxType : UCHAR {
    FxTypeDriver,
    FxTypeDevice,
    FxTypeQueue,
    FxTypeRequest,
    FxTypeMemory,
    FxTypeIoTarget,
    FxTypeUsbDevice,
    FxTypeUsbInterface,
    FxTypeUsbPipe,
    FxTypeFileObject,
};

struct FxObject;

// The type's own teardown: runs once, after the object's children are gone and its driver
// cleanup callback ran; it releases only what the object itself owns. The memory (and the
// context, which the destroy callback may still read) goes with the last reference.
typedef VOID FX_DISPOSE(FxObject* Object);

struct FxObject {
    FxType Type;
    WDFOBJECT Handle;
    FxObject* Parent;
    LIST_ENTRY Children; // FxObject::Sibling
    LIST_ENTRY Sibling;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanup;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroy;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextType;
    PVOID Context;          // zeroed, ContextSize(Override) bytes, or NULL
    LONG References;        // the table's one, plus each FxReference
    BOOLEAN Deleting;       // WdfObjectDelete or the parent's deletion has begun
    BOOLEAN Disposed;       // cleanup and disposal done: only its context may still be asked for
    BOOLEAN FrameworkOwned; // by type: the driver never WdfObjectDeletes it
    FX_DISPOSE* Dispose;
    ULONG64 Serial; // creation order, from 1
};

// Allocates an object of `size` bytes (a struct whose first member is FxObject) with the
// attributes' context, under `parent` (the attributes' ParentObject wins when set), and enters it
// in the handle table. STATUS_INSUFFICIENT_RESOURCES when pool runs out; a bad attributes
// structure is a verifier finding and STATUS_INVALID_PARAMETER.
NTSTATUS FxObjectCreate(SIZE_T size, FxType type, PWDF_OBJECT_ATTRIBUTES attributes,
                        FxObject* parent, FX_DISPOSE* dispose, PCSTR api, FxObject** object);

// The object a handle names, when it is live and of `type`; otherwise a verifier finding naming
// `api` and NULL. Resolving is the one step from a handle to an object.
FxObject* FxObjectResolve(WDFOBJECT handle, FxType type, PCSTR api);
// Any live object, whatever its type (WdfObjectDelete, contexts).
FxObject* FxObjectResolveAny(WDFOBJECT handle, PCSTR api);
template <typename T> T* FxResolve(WDFOBJECT handle, PCSTR api) {
    return reinterpret_cast<T*>(FxObjectResolve(handle, T::kType, api));
}

// Deletes the object and its children (children first): cleanup callbacks, disposal, removal
// from the table; the memory goes when the last reference does.
VOID FxObjectDelete(FxObject* object);
VOID FxReference(FxObject* object);
VOID FxDereference(FxObject* object);

// "WDFDEVICE", "WDFMEMORY", ...: how events and findings name a type.
PCSTR FxTypeName(FxType type);

// Objects in the table (for leak checks at device removal and driver unload).
ULONG FxObjectsLive(VOID);
// The serial the next object gets: objects made from here on have this one or a later one.
ULONG64 FxObjectsNextSerial(VOID);
// Each live object under the driver with a serial in [from, to) is a finding: `made` made it for a
// device and `undone` should have deleted it. Reported once. Returns how many were found.
ULONG FxObjectsReportOutliving(ULONG64 from, ULONG64 to, PCSTR made, PCSTR undone);
// The same, by type: counts[t] for each FxType t.
constexpr ULONG FxTypes = FxTypeFileObject + 1;
VOID FxObjectsLiveByType(ULONG (&counts)[FxTypes]);
// At unbind: each object still there is a finding and is deleted with its children. Returns how
// many were found (children not counted).
ULONG FxObjectsDeleteLeft(VOID);
