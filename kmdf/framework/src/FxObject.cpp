// The handle table, object creation with contexts, parent/child deletion and the object calls
// (WdfObjectGetTypedContextWorker, WdfObjectDelete).
#include "FxObject.h"

#include "FxEntry.h"
#include "FxExports.h"

namespace {

// A handle is (generation << 32) | (slot + 1) << 3: a slot reused by a later object has another
// generation, so a stale handle never reaches the new object.
struct FxSlot {
    FxObject* Object;
    ULONG Generation;
    ULONG NextFree; // slot + 1 of the next free slot, 0 at the end
};

KSPIN_LOCK g_lock; // zero is the unlocked state; guards the table and every parent/child list
FxSlot* g_slots;
ULONG g_slotCount;
ULONG g_firstFree; // slot + 1, 0 when none is free
ULONG g_live;
ULONG g_nextGeneration; // across tables too, so a handle from before a table was freed stays dead
ULONG64 g_nextSerial = 1;

WDFOBJECT HandleOf(ULONG slot, ULONG generation) {
    return reinterpret_cast<WDFOBJECT>((static_cast<ULONG_PTR>(generation) << 32) |
                                       (static_cast<ULONG_PTR>(slot + 1) << 3));
}

// The slot a handle names, or NULL.
FxSlot* SlotOf(WDFOBJECT handle) {
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    if ((value & 7) != 0)
        return NULL;
    ULONG_PTR slot = ((value & 0xffffffffu) >> 3);
    if (slot == 0 || slot > g_slotCount)
        return NULL;
    FxSlot* s = &g_slots[slot - 1];
    if (s->Object == NULL || s->Generation != static_cast<ULONG>(value >> 32))
        return NULL;
    return s;
}

// Called with the lock held.
BOOLEAN Enter(FxObject* object) {
    if (g_firstFree == 0) {
        ULONG count = g_slotCount == 0 ? 64 : g_slotCount * 2;
        auto* slots = static_cast<FxSlot*>(
            ExAllocatePoolWithTag(NonPagedPool, count * sizeof(FxSlot), FX_TAG_TABLE));
        if (slots == NULL)
            return FALSE;
        RtlZeroMemory(slots, count * sizeof(FxSlot));
        if (g_slots != NULL) {
            RtlCopyMemory(slots, g_slots, g_slotCount * sizeof(FxSlot));
            ExFreePoolWithTag(g_slots, FX_TAG_TABLE);
        }
        for (ULONG i = count; i > g_slotCount; --i) {
            slots[i - 1].NextFree = g_firstFree;
            g_firstFree = i;
        }
        g_slots = slots;
        g_slotCount = count;
    }
    ULONG slot = g_firstFree - 1;
    FxSlot* s = &g_slots[slot];
    g_firstFree = s->NextFree;
    s->Object = object;
    s->Generation = ++g_nextGeneration;
    s->NextFree = 0;
    object->Handle = HandleOf(slot, s->Generation);
    g_live++;
    return TRUE;
}

// Called with the lock held. The table itself goes with its last object, so that an unloaded
// framework leaves no pool behind.
VOID Leave(FxObject* object) {
    FxSlot* s = SlotOf(object->Handle);
    if (s == NULL)
        return;
    s->Object = NULL;
    s->NextFree = g_firstFree;
    g_firstFree = static_cast<ULONG>(s - g_slots) + 1;
    if (--g_live == 0) {
        ExFreePoolWithTag(g_slots, FX_TAG_TABLE);
        g_slots = NULL;
        g_slotCount = 0;
        g_firstFree = 0;
    }
}

// The driver never deletes these; the framework ends them (unload, removal, completion, close).
BOOLEAN OwnedByFramework(FxType type) {
    return type == FxTypeDriver || type == FxTypeDevice || type == FxTypeRequest ||
           type == FxTypeFileObject;
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueOf(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
    return type != NULL && type->UniqueType != NULL ? type->UniqueType : type;
}

FxObject* Lookup(WDFOBJECT handle, BOOLEAN allowDisposed, PCSTR api) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    FxSlot* s = SlotOf(handle);
    FxObject* object = s != NULL ? s->Object : NULL;
    KeReleaseSpinLock(&g_lock, irql);
    if (object == NULL || (object->Disposed && !allowDisposed)) {
        FxViolation("%s: the handle %p names no live framework object (deleted, or never made)",
                    api, handle);
        return NULL;
    }
    return object;
}

VOID DeleteTree(FxObject* object) {
    // Children first, each taken off the list before it is deleted.
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        FxObject* child = NULL;
        while (!IsListEmpty(&object->Children)) {
            PLIST_ENTRY entry = RemoveHeadList(&object->Children);
            InitializeListHead(entry);
            FxObject* candidate = CONTAINING_RECORD(entry, FxObject, Sibling);
            if (!candidate->Deleting) {
                candidate->Deleting = TRUE;
                child = candidate;
                break;
            }
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (child == NULL)
            break;
        DeleteTree(child);
    }
    if (object->EvtCleanup != NULL) {
        FxCountDriverCall();
        object->EvtCleanup(object->Handle);
    }
    if (object->Dispose != NULL)
        object->Dispose(object);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    object->Disposed = TRUE;
    RemoveEntryList(&object->Sibling);
    InitializeListHead(&object->Sibling);
    KeReleaseSpinLock(&g_lock, irql);
    FxDereference(object);
}

} // namespace

PCSTR FxTypeName(FxType type) {
    static const PCSTR names[] = {
        "WDFDRIVER",   "WDFDEVICE",    "WDFQUEUE",        "WDFREQUEST", "WDFMEMORY",
        "WDFIOTARGET", "WDFUSBDEVICE", "WDFUSBINTERFACE", "WDFUSBPIPE", "WDFFILEOBJECT",
    };
    return type < sizeof names / sizeof names[0] ? names[type] : "WDFOBJECT";
}

NTSTATUS FxObjectCreate(SIZE_T size, FxType type, PWDF_OBJECT_ATTRIBUTES attributes,
                        FxObject* parent, FX_DISPOSE* dispose, PCSTR api, FxObject** created) {
    *created = NULL;
    SIZE_T contextSize = 0;
    if (attributes != NULL) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            FxViolation("%s: WDF_OBJECT_ATTRIBUTES.Size is %lu, not %lu", api,
                        static_cast<unsigned long>(attributes->Size),
                        static_cast<unsigned long>(sizeof(WDF_OBJECT_ATTRIBUTES)));
            return STATUS_INVALID_PARAMETER;
        }
        if (attributes->ContextTypeInfo != NULL) {
            contextSize = attributes->ContextTypeInfo->ContextSize;
            if (attributes->ContextSizeOverride > contextSize)
                contextSize = attributes->ContextSizeOverride;
        } else if (attributes->ContextSizeOverride != 0) {
            FxViolation("%s: a context size override without a context type", api);
            return STATUS_INVALID_PARAMETER;
        }
        if (attributes->ParentObject != NULL) {
            parent = Lookup(attributes->ParentObject, FALSE, api);
            if (parent == NULL)
                return STATUS_INVALID_PARAMETER;
        }
    }
    auto* object = static_cast<FxObject*>(ExAllocatePoolWithTag(NonPagedPool, size, FX_TAG_OBJECT));
    if (object == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(object, size);
    if (contextSize != 0) {
        // Contexts are nonpaged and zero-filled.
        object->Context = ExAllocatePoolWithTag(NonPagedPool, contextSize, FX_TAG_CONTEXT);
        if (object->Context == NULL) {
            ExFreePoolWithTag(object, FX_TAG_OBJECT);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(object->Context, contextSize);
        object->ContextType = UniqueOf(attributes->ContextTypeInfo);
    }
    // Set before the object is entered: the table's scans read it under the lock.
    object->Type = type;
    object->FrameworkOwned = OwnedByFramework(type);
    object->Parent = parent;
    InitializeListHead(&object->Children);
    InitializeListHead(&object->Sibling);
    object->References = 1;
    object->Dispose = dispose;
    if (attributes != NULL) {
        object->EvtCleanup = attributes->EvtCleanupCallback;
        object->EvtDestroy = attributes->EvtDestroyCallback;
    }
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (parent != NULL && parent->Deleting)
        status = STATUS_DELETE_PENDING;
    else if (!Enter(object))
        status = STATUS_INSUFFICIENT_RESOURCES;
    else if (parent != NULL)
        InsertTailList(&parent->Children, &object->Sibling);
    if (NT_SUCCESS(status))
        object->Serial = g_nextSerial++;
    KeReleaseSpinLock(&g_lock, irql);
    if (!NT_SUCCESS(status)) {
        if (object->Context != NULL)
            ExFreePoolWithTag(object->Context, FX_TAG_CONTEXT);
        ExFreePoolWithTag(object, FX_TAG_OBJECT);
        return status;
    }
    *created = object;
    return STATUS_SUCCESS;
}

FxObject* FxObjectResolveAny(WDFOBJECT handle, PCSTR api) {
    return Lookup(handle, FALSE, api);
}

FxObject* FxObjectResolve(WDFOBJECT handle, FxType type, PCSTR api) {
    FxObject* object = Lookup(handle, FALSE, api);
    if (object != NULL && object->Type != type) {
        FxViolation("%s: the handle names a %s, not a %s", api, FxTypeName(object->Type),
                    FxTypeName(type));
        return NULL;
    }
    return object;
}

VOID FxObjectDelete(FxObject* object) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    BOOLEAN already = object->Deleting;
    object->Deleting = TRUE;
    KeReleaseSpinLock(&g_lock, irql);
    if (!already)
        DeleteTree(object);
}

VOID FxReference(FxObject* object) {
    InterlockedIncrement(&object->References);
}

VOID FxDereference(FxObject* object) {
    if (InterlockedDecrement(&object->References) != 0)
        return;
    // The destroy callback may still read the context; the handle goes after it.
    if (object->EvtDestroy != NULL) {
        FxCountDriverCall();
        object->EvtDestroy(object->Handle);
    }
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Leave(object);
    KeReleaseSpinLock(&g_lock, irql);
    if (object->Context != NULL)
        ExFreePoolWithTag(object->Context, FX_TAG_CONTEXT);
    ExFreePoolWithTag(object, FX_TAG_OBJECT);
}

ULONG FxObjectsDeleteLeft(VOID) {
    ULONG found = 0;
    for (;;) {
        FxObject* victim = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        for (ULONG i = 0; i < g_slotCount && victim == NULL; ++i) {
            FxObject* object = g_slots[i].Object;
            if (object != NULL && !object->Deleting) {
                object->Deleting = TRUE;
                victim = object;
            }
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (victim == NULL)
            return found;
        FxViolation("framework object %s leaked at driver unload", FxTypeName(victim->Type));
        ++found;
        DeleteTree(victim);
    }
}

ULONG64 FxObjectsNextSerial(VOID) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ULONG64 serial = g_nextSerial;
    KeReleaseSpinLock(&g_lock, irql);
    return serial;
}

ULONG FxObjectsReportOutliving(ULONG64 from, ULONG64 to, PCSTR made, PCSTR undone) {
    ULONG found = 0;
    for (;;) {
        FxType type = FxTypeDriver;
        BOOLEAN seen = FALSE;
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        for (ULONG i = 0; i < g_slotCount && !seen; ++i) {
            FxObject* object = g_slots[i].Object;
            if (object != NULL && !object->Deleting && !object->FrameworkOwned &&
                object->Parent != NULL && object->Parent->Type == FxTypeDriver &&
                object->Serial >= from && object->Serial < to) {
                object->Serial = 0; // once
                type = object->Type;
                seen = TRUE;
            }
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (!seen)
            return found;
        // Made for a device but parented to the driver: it stays until the driver unloads.
        FxViolation("framework object %s made in %s under the driver outlives %s (leaked)",
                    FxTypeName(type), made, undone);
        ++found;
    }
}

ULONG FxObjectsLive(VOID) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ULONG live = g_live;
    KeReleaseSpinLock(&g_lock, irql);
    return live;
}

VOID FxObjectsLiveByType(ULONG (&counts)[FxTypes]) {
    RtlZeroMemory(counts, sizeof counts);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (ULONG i = 0; i < g_slotCount; ++i) {
        FxObject* object = g_slots[i].Object;
        if (object != NULL && object->Type < FxTypes)
            counts[object->Type]++;
    }
    KeReleaseSpinLock(&g_lock, irql);
}

// The object's context of that type; NULL, and a finding, when it has none of it. Its cleanup
// and destroy callbacks may still ask.
PVOID imp_WdfObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS globals, WDFOBJECT handle,
                                         PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return NULL;
    FxObject* object = Lookup(handle, TRUE, "WdfObjectGetTypedContext");
    if (object == NULL)
        return NULL;
    if (object->Context == NULL || object->ContextType != UniqueOf(typeInfo)) {
        FxViolation(
            "WdfObjectGetTypedContext: the %s has no context of type %s", FxTypeName(object->Type),
            typeInfo != NULL && typeInfo->ContextName != NULL ? typeInfo->ContextName : "?");
        return NULL;
    }
    return object->Context;
}

// Deletes a driver-created object and its children; what the framework owns is refused.
VOID imp_WdfObjectDelete(PWDF_DRIVER_GLOBALS globals, WDFOBJECT handle) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return;
    FxObject* object = FxObjectResolveAny(handle, FX_API);
    if (object == NULL)
        return;
    if (object->FrameworkOwned) {
        FxViolation("WdfObjectDelete: a %s the framework owns", FxTypeName(object->Type));
        return;
    }
    FxEvent("WdfObjectDelete %s", FxTypeName(object->Type));
    FxObjectDelete(object);
}
