// The catch around a probe for callers built without exceptions (see ntsim/Probe.h).
#include <ntsim/Kernel.h>
#include <ntsim/Probe.h>

namespace ntsim {

NTSTATUS TryProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    try {
        MmProbeAndLockPages(mdl, mode, operation);
    } catch (const RaisedStatus& raised) {
        return raised.status;
    }
    return STATUS_SUCCESS;
}

} // namespace ntsim
