// What the two processes of the load run share, in a named section: the controller's view of
// the devices (so that a worker knows whether an unplug could explain an outcome), the interrupt
// reads in flight (so that the controller feeds about as many packets), the stop flag, and each
// process's totals.
#pragma once

#include <windows.h>

#include <string>

namespace load {

struct ProcessTotals {
    volatile LONG64 ops, vendor, reads, refused, sync, parked, cancels, opens, closesInFlight;
    volatile LONG64 violations;
    volatile LONG64 stuck; // requests that did not end even after CancelIoEx
};

struct Shared {
    volatile LONG64 epoch;      // odd while the controller unplugs or plugs a colorimeter
    volatile LONG64 generation; // counts plugs and unplugs
    volatile LONG readsPending;
    volatile LONG stop;        // set by the controller: the workers finish
    volatile LONG64 opsTarget; // operations of both processes together
    ProcessTotals process[2];
};

// The section `name` (made by the parent, opened by the child); null on failure.
Shared* MapShared(const wchar_t* name, bool create, HANDLE& section);
// The named mutex a worker holds while it cancels requests and the controller while it unplugs.
HANDLE OpenCancelLock(const std::wstring& name);

inline LONG64 TotalOps(const Shared& s) {
    return s.process[0].ops + s.process[1].ops;
}

} // namespace load
