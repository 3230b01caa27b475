// The kernel image runs on Wine's kernel host only (on Windows the platform's framework binds).
// There, MmProbeAndLockPages, MmUnlockPages, ProbeForWrite and KeInitializeDpc are stubs that
// print and return: the framework does their work itself, or does without it.
#include "FxKernel.h"

// The kernel's object type of a DPC, set as KeInitializeDpc sets it.
static const UCHAR FxDpcObject = 19;
// Highest address a user-mode buffer may end at (the platform's MM_USER_PROBE_ADDRESS on x64).
static const ULONG_PTR FxUserProbeAddress = 0x7FFFFFFF0000ull;

// The host hands a driver its own copy of the caller's buffer, valid until the request ends, so
// there is nothing to lock; what is left of the probe is its range check.
NTSTATUS FxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    UNREFERENCED_PARAMETER(operation);
    if (mode == KernelMode)
        return STATUS_SUCCESS;
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(mdl));
    ULONG_PTR length = MmGetMdlByteCount(mdl);
    if (start + length < start || start + length > FxUserProbeAddress)
        return STATUS_ACCESS_VIOLATION;
    return STATUS_SUCCESS;
}

VOID FxUnlockPages(PMDL mdl) {
    UNREFERENCED_PARAMETER(mdl);
}

// What KeInitializeDpc establishes; the host's KeSetTimer reads the routine and its context.
VOID FxInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
    RtlZeroMemory(dpc, sizeof(*dpc));
    dpc->Type = FxDpcObject;
    dpc->Importance = MediumImportance;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
}
