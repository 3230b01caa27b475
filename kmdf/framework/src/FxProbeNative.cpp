// The probe for the native build: the simulated kernel turns the raised status into a return
// value (the kernel image's build has its own file with __try/__except).
#include "FxIo.h"
#include <ntsim/Probe.h>

NTSTATUS FxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    return ntsim::TryProbeAndLockPages(mdl, mode, operation);
}
