// The framework loader's side of binding (WdfVersionBind, WdfVersionUnbind) and the function
// table it copies into a client: the layer's entry for every call it implements, and for every
// other index an entry that reports the call as not modelled.
#include "Internal.h"

#include <wdfldr.h>

#include <array>
#include <cstring>
#include <utility>

#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)

namespace kmdf::sim {
namespace {

// Table sizes of the released versions (1.15 is the largest table the layer hands out).
constexpr ULONG kLargestTable = 444;
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

const char* NameOf(size_t index) {
    switch (index) {
#define KMDF_NAME_CASE(name)                                                                       \
    case name##TableIndex:                                                                         \
        return #name;
        KMDF_EXPORTS(KMDF_NAME_CASE)
#undef KMDF_NAME_CASE
    }
    return nullptr;
}

// Every entry checks that its caller passes the globals of the bound driver.
void CheckGlobals(PWDF_DRIVER_GLOBALS globals, size_t index) {
    World::Impl* w = W();
    if (globals != &w->binding.globals || !w->binding.bound.load())
        w->Violation(std::string(NameOf(index)) +
                     ": called with driver globals the framework did not hand out (no binding)");
}

template <size_t Index, typename F, F* Fn> struct Checked;
template <size_t Index, typename R, typename... A, R (*Fn)(PWDF_DRIVER_GLOBALS, A...)>
struct Checked<Index, R(PWDF_DRIVER_GLOBALS, A...), Fn> {
    static R Call(PWDF_DRIVER_GLOBALS globals, A... args) {
        CheckGlobals(globals, Index);
        return Fn(globals, args...);
    }
};

template <size_t Index> void NotModelled() {
    W()->Violation("function table entry " + std::to_string(Index) +
                   " is not modelled by this layer");
}

template <size_t... I> std::array<WDFFUNC, kLargestTable> MakeTable(std::index_sequence<I...>) {
    std::array<WDFFUNC, kLargestTable> table = {&NotModelled<I>...};
#define KMDF_TABLE_ENTRY(name)                                                                     \
    table[name##TableIndex] = reinterpret_cast<WDFFUNC>(                                           \
        &Checked<name##TableIndex, TableEntryOf<decltype(name)>::type, &imp_##name>::Call);
    KMDF_EXPORTS(KMDF_TABLE_ENTRY)
#undef KMDF_TABLE_ENTRY
    return table;
}

const std::array<WDFFUNC, kLargestTable>& Table() {
    static const std::array<WDFFUNC, kLargestTable> table =
        MakeTable(std::make_index_sequence<kLargestTable>());
    return table;
}

std::string VersionText(const WDF_VERSION& v) {
    return std::to_string(v.Major) + "." + std::to_string(v.Minor);
}

} // namespace

bool World::Impl::BoundAtLeast(ULONG major, ULONG minor) const {
    const WDF_VERSION& v = binding.version;
    return v.Major > major || (v.Major == major && v.Minor >= minor);
}

std::string World::Impl::BoundVersion() const {
    return "KmdfLibrary " + VersionText(binding.version);
}

} // namespace kmdf::sim

using namespace kmdf::sim;

// Documented: the loader checks the bind info (component, version, table size of that version),
// copies FuncCount entry points into the client's table and hands back the driver globals.
extern "C" NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                         PWDF_BIND_INFO BindInfo,
                                         PWDF_COMPONENT_GLOBALS* ComponentGlobals) {
    World::Impl* w = W();
    CheckIrql("WdfVersionBind", PASSIVE_LEVEL);
    std::unique_lock<std::mutex> lk(w->mu);
    auto refuse = [&](const std::string& why, NTSTATUS status) {
        lk.unlock();
        w->Violation("WdfVersionBind: " + why);
        return status;
    };
    if (DriverObject != &w->driverObject || !RegistryPath || !BindInfo || !ComponentGlobals ||
        BindInfo->Size != sizeof(WDF_BIND_INFO) || !BindInfo->FuncTable || !BindInfo->Component)
        return refuse("bad driver object or WDF_BIND_INFO", STATUS_INVALID_PARAMETER);
    if (w->binding.bound.load())
        return refuse("the driver is bound already", STATUS_INVALID_DEVICE_STATE);
    std::u16string component(reinterpret_cast<const char16_t*>(BindInfo->Component));
    if (component != u"KmdfLibrary")
        return refuse("no framework library of that name", STATUS_OBJECT_NAME_NOT_FOUND);
    const WDF_VERSION& v = BindInfo->Version;
    const ULONG size = TableSizeOf(v);
    if (size == 0)
        return refuse("KmdfLibrary " + VersionText(v) + " is no released version",
                      STATUS_NOT_SUPPORTED);
    if (BindInfo->FuncCount != size)
        return refuse("KmdfLibrary " + VersionText(v) + " has " + std::to_string(size) +
                          " functions; the bind info asks for " +
                          std::to_string(BindInfo->FuncCount),
                      STATUS_INVALID_PARAMETER);
    std::memcpy(BindInfo->FuncTable, Table().data(), size * sizeof(WDFFUNC));
    Binding& b = w->binding;
    b.version = v;
    b.info = BindInfo;
    b.registryPath.assign(reinterpret_cast<const char16_t*>(RegistryPath->Buffer),
                          RegistryPath->Length / sizeof(WCHAR));
    std::memset(&b.globals, 0, sizeof b.globals);
    // The service name (after the key path's last backslash) names the driver.
    size_t slash = b.registryPath.rfind(u'\\');
    std::u16string name = b.registryPath.substr(slash == std::u16string::npos ? 0 : slash + 1);
    for (size_t i = 0; i < name.size() && i + 1 < sizeof b.globals.DriverName; ++i)
        b.globals.DriverName[i] = static_cast<CHAR>(name[i]);
    b.globals.DisplaceDriverUnload = TRUE;
    b.bound.store(true);
    *ComponentGlobals = reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&b.globals);
    w->Event("WdfVersionBind " + w->BoundVersion() + " (" + std::to_string(size) + " functions)");
    return STATUS_SUCCESS;
}

// Documented: releases the binding; the framework's driver object goes with it when DriverEntry
// failed after creating it.
extern "C" NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                           PWDF_COMPONENT_GLOBALS ComponentGlobals) {
    World::Impl* w = W();
    CheckIrql("WdfVersionUnbind", PASSIVE_LEVEL);
    std::unique_lock<std::mutex> lk(w->mu);
    Binding& b = w->binding;
    std::u16string path;
    if (RegistryPath)
        path.assign(reinterpret_cast<const char16_t*>(RegistryPath->Buffer),
                    RegistryPath->Length / sizeof(WCHAR));
    if (!b.bound.load() || BindInfo != b.info ||
        ComponentGlobals != reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&b.globals) ||
        path != b.registryPath) {
        lk.unlock();
        w->Violation("WdfVersionUnbind: no such binding (bind info, globals or registry path "
                     "differ from the bind)");
        return STATUS_INVALID_PARAMETER;
    }
    if (w->driver)
        w->DeleteTree(w->driver, lk);
    w->driver = nullptr;
    b.bound.store(false);
    w->Event("WdfVersionUnbind " + w->BoundVersion());
    return STATUS_SUCCESS;
}
