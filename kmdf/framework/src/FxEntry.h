// One entry step for every framework call: the caller's driver globals, the IRQL the call allows,
// the fault a host injects, and the call's name from __func__ ("imp_" dropped).
#pragma once

#include <ntddk.h>
#include <wdf.h>

// FALSE when the call must not go on: globals that are not the bound driver's, or an IRQL above
// `maxIrql` (each a verifier finding; the IRQL is checked for calls limited below DISPATCH_LEVEL).
BOOLEAN FxEnter(PWDF_DRIVER_GLOBALS globals, PCSTR api, KIRQL maxIrql);
// TRUE, with *status set, when the host makes this call fail.
BOOLEAN FxInjected(PCSTR api, NTSTATUS* status);

// The name of a framework call from its definition's __func__: "imp_WdfDeviceCreate" names
// "WdfDeviceCreate". FX_API is the name of the call being defined, for the steps after the entry
// (handle lookups, findings).
PCSTR FxCallName(PCSTR function);
#define FX_API FxCallName(__func__)

// A verifier finding and a framework event, formatted as printf formats them.
VOID FxViolation(PCSTR format, ...);
VOID FxEvent(PCSTR format, ...);
// What is live after `when` (e.g. a device's removal), by type, to the debugger: a kernel that
// runs the image without a host has no other way to see leaks while the driver stays loaded. A
// host reads FxHostGetCounters instead, so with hooks set nothing is printed.
VOID FxReportLive(PCSTR when);

// The binding the entry step checks against: the globals handed out by WdfVersionBind (NULL when
// no driver is bound) and whether the bound version is at least major.minor.
PWDF_DRIVER_GLOBALS FxBoundGlobals(VOID);
BOOLEAN FxBoundAtLeast(ULONG major, ULONG minor);

// Counters the host reads (FxHostGetCounters).
VOID FxCountDriverCall(VOID);
VOID FxCountRequestCompleted(VOID);

// The framework's own pool tags, one per area, so that a leak names what leaked.
#define FX_TAG_OBJECT 'jbOF'
#define FX_TAG_CONTEXT 'xtCF'
#define FX_TAG_TABLE 'baTF'
#define FX_TAG_DEVICE 'veDF'
