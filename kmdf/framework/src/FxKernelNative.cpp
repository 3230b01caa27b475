// The native build runs on the simulated kernel, which has the routines the kernel image does
// without (FxKernelImage.cpp) and checks their use; a failed probe comes back as its status.
#include "FxKernel.h"
#include <ntsim/Probe.h>

NTSTATUS FxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    return ntsim::TryProbeAndLockPages(mdl, mode, operation);
}

VOID FxUnlockPages(PMDL mdl) {
    MmUnlockPages(mdl);
}

VOID FxInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
    KeInitializeDpc(dpc, routine, context);
}
