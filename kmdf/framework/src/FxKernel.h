// The kernel's routines that Wine's kernel host only stubs, one definition per build:
// FxKernelNative.cpp calls the simulated kernel's, FxKernelImage.cpp does their work itself.
#pragma once

#include <wdm.h>

// MmProbeAndLockPages, a failed probe returned as its status.
NTSTATUS FxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation);
VOID FxUnlockPages(PMDL mdl);
VOID FxInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
