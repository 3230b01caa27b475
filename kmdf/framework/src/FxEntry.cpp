// The entry step of every framework call, the host hooks, the counters and the formatting of
// events and verifier findings.
#include "FxEntry.h"

#include "FxExports.h"
#include "FxHost.h"
#include "FxObject.h"

// The kernel exports it; the platform's kernel headers leave its declaration to <stdio.h>.
EXTERN_C int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);

namespace {

// Constant-initialised (a kernel image runs no constructors). The hooks are set before a driver
// binds and read without a lock afterwards.
FX_HOST_HOOKS g_hooks;
volatile LONGLONG g_driverRoutineCalls;
volatile LONGLONG g_requestsCompleted;

// The calls a host may make fail: every status-returning call a driver can see fail.
const PCSTR g_faultable[] = {
    "WdfDriverCreate",
    "WdfDeviceCreate",
    "WdfDeviceCreateDeviceInterface",
    "WdfDeviceAssignS0IdleSettings",
    "WdfDeviceAssignSxWakeSettings",
    FX_IO_FAULTABLE_CALLS,
    NULL,
};

FX_HOST_HOOKS Hooks() {
    return g_hooks;
}

#define FX_TEXT_CHARS 320

VOID Format(char* text, PCSTR format, va_list arguments) {
    if (_vsnprintf(text, FX_TEXT_CHARS - 1, format, arguments) < 0) {
        // Cut short; the mark says so.
        text[FX_TEXT_CHARS - 4] = '.';
        text[FX_TEXT_CHARS - 3] = '.';
        text[FX_TEXT_CHARS - 2] = '.';
    }
    text[FX_TEXT_CHARS - 1] = 0;
}

// Appends to `text` (of FX_TEXT_CHARS) at `used`, as far as it fits.
VOID Append(char* text, size_t& used, PCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int n = _vsnprintf(text + used, FX_TEXT_CHARS - 1 - used, format, arguments);
    va_end(arguments);
    if (n > 0 && used + static_cast<size_t>(n) < FX_TEXT_CHARS - 1)
        used += static_cast<size_t>(n);
    text[used] = 0;
}

} // namespace

PCSTR FxCallName(PCSTR api) {
    if (api[0] == 'i' && api[1] == 'm' && api[2] == 'p' && api[3] == '_')
        return api + 4;
    return api;
}

EXTERN_C VOID FxHostSetHooks(const FX_HOST_HOOKS* hooks) {
    if (hooks != NULL)
        g_hooks = *hooks;
    else
        RtlZeroMemory(&g_hooks, sizeof g_hooks);
}

EXTERN_C VOID FxHostGetCounters(FX_HOST_COUNTERS* counters) {
    counters->LiveObjects = FxObjectsLive();
    counters->DriverRoutineCalls = static_cast<ULONG64>(g_driverRoutineCalls);
    counters->RequestsCompleted = static_cast<ULONG64>(g_requestsCompleted);
}

EXTERN_C const PCSTR* FxHostFaultableCalls(VOID) {
    return g_faultable;
}

VOID FxCountDriverCall(VOID) {
    InterlockedIncrement64(&g_driverRoutineCalls);
}

VOID FxCountRequestCompleted(VOID) {
    InterlockedIncrement64(&g_requestsCompleted);
}

VOID FxViolation(PCSTR format, ...) {
    char text[FX_TEXT_CHARS];
    va_list arguments;
    va_start(arguments, format);
    Format(text, format, arguments);
    va_end(arguments);
    FX_HOST_HOOKS hooks = Hooks();
    if (hooks.Violation != NULL)
        hooks.Violation(hooks.Context, text);
    else
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "WDF verifier: %s\n", text);
}

VOID FxEvent(PCSTR format, ...) {
    FX_HOST_HOOKS hooks = Hooks();
    if (hooks.Event == NULL)
        return;
    char text[FX_TEXT_CHARS];
    va_list arguments;
    va_start(arguments, format);
    Format(text, format, arguments);
    va_end(arguments);
    hooks.Event(hooks.Context, text);
}

VOID FxReportLive(PCSTR when) {
    FX_HOST_HOOKS hooks = Hooks();
    if (hooks.Event != NULL || hooks.Violation != NULL)
        return;
    ULONG counts[FxTypes];
    FxObjectsLiveByType(counts);
    char text[FX_TEXT_CHARS];
    size_t used = 0;
    ULONG total = 0;
    text[0] = 0;
    for (ULONG t = 0; t < FxTypes; ++t) {
        total += counts[t];
        if (counts[t] != 0)
            Append(text, used, " %s %lu", FxTypeName(FxType(t)),
                   static_cast<unsigned long>(counts[t]));
    }
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "WDF live after %s: %lu objects:%s\n", when,
               static_cast<unsigned long>(total), text);
}

BOOLEAN FxEnter(PWDF_DRIVER_GLOBALS globals, PCSTR api, KIRQL maxIrql) {
    PWDF_DRIVER_GLOBALS bound = FxBoundGlobals();
    if (bound == NULL || globals != bound) {
        FxViolation("%s: called with driver globals the framework did not hand out (no binding)",
                    FxCallName(api));
        return FALSE;
    }
    // A call allowed at DISPATCH_LEVEL could only be made too high from an interrupt routine,
    // and no object of this framework runs one; the IRQL is read for the calls limited below it.
    // (On the platform's x64 headers the read is a CR8 access, which a kernel host in user space
    // traps and emulates at a cost that dwarfs the call.)
    if (maxIrql >= DISPATCH_LEVEL)
        return TRUE;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > maxIrql) {
        FxViolation("%s called at IRQL %u (allowed up to %u)", FxCallName(api), irql, maxIrql);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN FxInjected(PCSTR api, NTSTATUS* status) {
    FX_HOST_HOOKS hooks = Hooks();
    if (hooks.InjectFault == NULL)
        return FALSE;
    NTSTATUS injected = STATUS_UNSUCCESSFUL;
    if (!hooks.InjectFault(hooks.Context, FxCallName(api), &injected))
        return FALSE;
    *status = injected;
    return TRUE;
}
