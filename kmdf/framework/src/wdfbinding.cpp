// The framework loader's side of binding (WdfVersionBind, WdfVersionUnbind) and the function
// table it copies into a client: the framework's entry for every call it implements, and for
// every other index an entry that reports the call as not modelled.
#include "FxDriver.h"
#include "FxEntry.h"
#include "FxExports.h"
#include "FxObject.h"

#include <wdfldr.h>

namespace {

// 1.15's is the largest table handed out; the table only ever grows at its end.
const ULONG kLargestTable = 444;

ULONG TableSizeOf(const WDF_VERSION& v) {
    if (v.Major != 1)
        return 0;
    switch (v.Minor) {
    case 0:
        return 383;
    case 1:
        return 386;
    case 5:
    case 7:
        return 387;
    case 9:
        return 396;
    case 11:
        return 432;
    case 13:
        return 438;
    case 15:
        return kLargestTable;
    default:
        return 0;
    }
}

template <ULONG Index> VOID NotModelled() {
    FxViolation("function table entry %lu is not modelled by this framework",
                static_cast<unsigned long>(Index));
}

// Fills [Begin, End) with the not-modelled entries, halving the range to keep templates shallow.
template <ULONG Begin, ULONG End, bool Leaf = (End - Begin == 1)> struct FillNotModelled {
    static VOID Run(WDFFUNC* table) {
        FillNotModelled<Begin, (Begin + End) / 2>::Run(table);
        FillNotModelled<(Begin + End) / 2, End>::Run(table);
    }
};
template <ULONG Begin, ULONG End> struct FillNotModelled<Begin, End, true> {
    static VOID Run(WDFFUNC* table) {
        table[Begin] = reinterpret_cast<WDFFUNC>(&NotModelled<Begin>);
    }
};

// One binding at a time: the framework serves one client driver.
WDF_DRIVER_GLOBALS g_globals;
volatile LONG g_bound;
PWDF_BIND_INFO g_info;
WDF_VERSION g_version;
WDFFUNC g_table[kLargestTable];
WCHAR g_registryPath[320];
USHORT g_registryPathLength;

BOOLEAN IsKmdfLibrary(PCWSTR name) {
    static const char expected[] = "KmdfLibrary";
    for (ULONG i = 0; i < sizeof expected; ++i)
        if (name[i] != static_cast<WCHAR>(expected[i]))
            return FALSE;
    return TRUE;
}

BOOLEAN SamePath(PUNICODE_STRING path) {
    if (path == NULL || path->Buffer == NULL || path->Length != g_registryPathLength)
        return FALSE;
    for (USHORT i = 0; i < path->Length / sizeof(WCHAR); ++i)
        if (path->Buffer[i] != g_registryPath[i])
            return FALSE;
    return TRUE;
}

} // namespace

PWDF_DRIVER_GLOBALS FxBoundGlobals(VOID) {
    return g_bound ? &g_globals : NULL;
}

BOOLEAN FxBoundAtLeast(ULONG major, ULONG minor) {
    return g_version.Major > major || (g_version.Major == major && g_version.Minor >= minor);
}

// The loader checks the bind info (component, version, the table size of that version), copies
// FuncCount entry points into the client's table and hands back the driver globals.
extern "C" NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                                         PWDF_BIND_INFO bindInfo,
                                         PWDF_COMPONENT_GLOBALS* componentGlobals) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        FxViolation("WdfVersionBind called at IRQL %u (allowed up to 0)", KeGetCurrentIrql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (driverObject == NULL || registryPath == NULL || registryPath->Buffer == NULL ||
        bindInfo == NULL || componentGlobals == NULL || bindInfo->Size != sizeof(WDF_BIND_INFO) ||
        bindInfo->FuncTable == NULL || bindInfo->Component == NULL) {
        FxViolation("WdfVersionBind: bad driver object or WDF_BIND_INFO");
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsKmdfLibrary(bindInfo->Component)) {
        FxViolation("WdfVersionBind: no framework library of that name");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const WDF_VERSION& v = bindInfo->Version;
    const ULONG size = TableSizeOf(v);
    if (size == 0) {
        FxViolation("WdfVersionBind: KmdfLibrary %lu.%lu is no released version",
                    static_cast<unsigned long>(v.Major), static_cast<unsigned long>(v.Minor));
        return STATUS_NOT_SUPPORTED;
    }
    if (bindInfo->FuncCount != size) {
        FxViolation("WdfVersionBind: KmdfLibrary %lu.%lu has %lu functions; the bind info asks "
                    "for %lu",
                    static_cast<unsigned long>(v.Major), static_cast<unsigned long>(v.Minor),
                    static_cast<unsigned long>(size),
                    static_cast<unsigned long>(bindInfo->FuncCount));
        return STATUS_INVALID_PARAMETER;
    }
    if (registryPath->Length > sizeof g_registryPath) {
        FxViolation("WdfVersionBind: the registry path is too long");
        return STATUS_INVALID_PARAMETER;
    }
    if (InterlockedCompareExchange(&g_bound, 1, 0) != 0) {
        FxViolation("WdfVersionBind: a driver is bound already");
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Built whole, then only the client's FuncCount entries are copied: its array is no longer.
    FillNotModelled<0, kLargestTable>::Run(g_table);
#define FX_TABLE_ENTRY(name) g_table[name##TableIndex] = reinterpret_cast<WDFFUNC>(&imp_##name);
    FX_EXPORTS(FX_TABLE_ENTRY)
#undef FX_TABLE_ENTRY
    RtlCopyMemory(bindInfo->FuncTable, g_table, size * sizeof(WDFFUNC));
    g_info = bindInfo;
    g_version = v;
    RtlCopyMemory(g_registryPath, registryPath->Buffer, registryPath->Length);
    g_registryPathLength = registryPath->Length;
    RtlZeroMemory(&g_globals, sizeof g_globals);
    // The service name (after the key path's last backslash) names the driver.
    USHORT chars = registryPath->Length / sizeof(WCHAR);
    USHORT start = 0;
    for (USHORT i = 0; i < chars; ++i)
        if (g_registryPath[i] == '\\')
            start = i + 1;
    for (USHORT i = start, o = 0; i < chars && o + 1u < sizeof g_globals.DriverName; ++i, ++o)
        g_globals.DriverName[o] = static_cast<CHAR>(g_registryPath[i]);
    g_globals.DisplaceDriverUnload = TRUE;
    *componentGlobals = reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&g_globals);
    FxEvent("WdfVersionBind KmdfLibrary %lu.%lu (%lu functions)",
            static_cast<unsigned long>(v.Major), static_cast<unsigned long>(v.Minor),
            static_cast<unsigned long>(size));
    return STATUS_SUCCESS;
}

// Releases the binding; the framework's driver object goes with it when DriverEntry failed after
// creating it. Objects still there then are the driver's leaks.
extern "C" NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING registryPath, PWDF_BIND_INFO bindInfo,
                                           PWDF_COMPONENT_GLOBALS componentGlobals) {
    if (!g_bound || bindInfo != g_info ||
        componentGlobals != reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&g_globals) ||
        !SamePath(registryPath)) {
        FxViolation("WdfVersionUnbind: no such binding (bind info, globals or registry path "
                    "differ from the bind)");
        return STATUS_INVALID_PARAMETER;
    }
    FxDriverDeleteAtUnbind();
    FxObjectsDeleteLeft();
    FxEvent("WdfVersionUnbind KmdfLibrary %lu.%lu", static_cast<unsigned long>(g_version.Major),
            static_cast<unsigned long>(g_version.Minor));
    g_info = NULL;
    InterlockedExchange(&g_bound, 0);
    return STATUS_SUCCESS;
}
