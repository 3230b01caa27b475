// What the framework tells the machine it runs in, and what that machine may ask of it. A test
// bed registers hooks to see the framework's events and verifier findings and to inject faults;
// without hooks, findings go to the debugger (DbgPrintEx) and nothing is injected, as in an image
// loaded by a kernel that knows nothing of us. Kernel subset: plain C types only.
#pragma once

#include <wdm.h>

typedef struct _FX_HOST_HOOKS {
    // A framework event, in order: pool, objects, PnP and power callbacks, target states,
    // e.g. "WdfIoQueueCreate parallel power-managed default" or
    // "EvtDeviceD0Exit(D2) -> 0x00000000".
    VOID (*Event)(PVOID Context, PCSTR Text);
    // A verifier finding: the driver broke a rule of the framework.
    VOID (*Violation)(PVOID Context, PCSTR Text);
    // Asked on entry to each status-returning framework call the driver can see fail: TRUE, with
    // *Status set, makes that call fail.
    BOOLEAN (*InjectFault)(PVOID Context, PCSTR Api, NTSTATUS* Status);
    PVOID Context;
} FX_HOST_HOOKS;

// NULL removes the hooks. Set before a driver binds; the hooks must not call the framework.
EXTERN_C VOID FxHostSetHooks(const FX_HOST_HOOKS* Hooks);

// Counters for leak checks and benches.
typedef struct _FX_HOST_COUNTERS {
    ULONG LiveObjects;          // framework objects, driver objects included
    ULONG64 DriverRoutineCalls; // callbacks and completion routines of the driver run so far
    ULONG64 RequestsCompleted;
} FX_HOST_COUNTERS;

EXTERN_C VOID FxHostGetCounters(FX_HOST_COUNTERS* Counters);

// The names of the calls InjectFault may be asked about (NULL-terminated).
EXTERN_C const PCSTR* FxHostFaultableCalls(VOID);

// The WDFDEVICE (as a pointer) whose WDM device object `DeviceObject` is, as
// WdfWdmDeviceGetWdfDeviceHandle gives it to the driver; NULL for a device object of another
// driver or one whose framework device is gone. For a host to reach the driver's device context
// through the driver's own calls.
EXTERN_C PVOID FxHostDeviceHandle(PDEVICE_OBJECT DeviceObject);
