// The probe for the kernel image: the platform raises a failed probe as a structured exception.
#include "FxIo.h"

NTSTATUS FxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    __try {
        MmProbeAndLockPages(mdl, mode, operation);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}
