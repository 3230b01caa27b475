// Probes for kernel code built without C++ exceptions: the platform's structured exception
// handler around a probe, done here, where the raised status is a C++ exception.
#pragma once

#include <wdm.h>

namespace ntsim {
// MmProbeAndLockPages; the raised status (STATUS_ACCESS_VIOLATION) instead of a raise.
NTSTATUS TryProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation);
} // namespace ntsim
