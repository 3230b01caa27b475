// The probe for the kernel image: the kernel raises on a buffer the caller may not touch, which
// becomes the request's failure status instead of a fault in the caller's thread.
#include "FxIo.h"

NTSTATUS FxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(mdl, mode, operation);
    } __except (1 /* EXCEPTION_EXECUTE_HANDLER */) {
        status = _exception_code();
    }
    return status;
}
