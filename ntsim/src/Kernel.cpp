// The kernel object a test holds: brings the areas up and down, and reports at the end what is
// still allocated.
#include "Internal.h"

#include <cstdio>
#include <cstdlib>

namespace ntsim {
namespace {
std::atomic<Kernel::Impl*> g_kernel{nullptr};
std::atomic<std::uintptr_t> g_nextThreadId{1};
} // namespace

namespace detail {

Kernel::Impl& K() {
    Kernel::Impl* kernel = g_kernel.load();
    if (kernel == nullptr) {
        std::fprintf(stderr, "ntsim: a kernel service was called with no kernel running\n");
        std::abort();
    }
    return *kernel;
}

ThreadContext& Current() {
    thread_local ThreadContext context;
    if (context.id == 0)
        context.id = g_nextThreadId.fetch_add(1);
    return context;
}

void Violate(ViolationKind kind, const std::string& text) {
    K().verifier.Report(kind, text);
}

bool CheckIrql(const char* routine, KIRQL maximum) {
    KIRQL irql = Current().irql;
    if (irql <= maximum)
        return true;
    Violate(ViolationKind::Irql, std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                     " (maximum " + std::to_string(maximum) + ")");
    return false;
}

void CheckIrqlRestored(const char* what, KIRQL before) {
    KIRQL after = Current().irql;
    if (after == before)
        return;
    Violate(ViolationKind::Irql, std::string(what) + " returned at IRQL " + std::to_string(after) +
                                     ", entered at " + std::to_string(before));
    Current().irql = before;
}

} // namespace detail

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Narrow(const WCHAR* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length && text[i] != 0; ++i)
        out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return out;
}

std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

Kernel::Kernel(KernelOptions options) : impl_(new Impl(options)) {
    Impl* expected = nullptr;
    if (!g_kernel.compare_exchange_strong(expected, impl_.get())) {
        std::fprintf(stderr, "ntsim: only one kernel at a time\n");
        std::abort();
    }
    impl_->work.Start();
    impl_->pnpImpl = detail::NewPnp();
    impl_->pnp.reset(new PnpManager(impl_->pnpImpl));
    impl_->userImpl = detail::NewUserIo();
    impl_->user.reset(new UserIo(impl_->userImpl));
}

Kernel::~Kernel() {
    WaitIdle();
    detail::StopPnp(impl_->pnpImpl);
    impl_->work.Stop();
    detail::DeleteUserIo(impl_->userImpl);
    {
        std::lock_guard<std::mutex> lock(impl_->irps.mu);
        for (auto& [irp, record] : impl_->irps.records)
            impl_->verifier.Report(ViolationKind::Irp,
                                   "IRP " + Hex(reinterpret_cast<std::uintptr_t>(irp)) +
                                       " still allocated when the kernel stops");
    }
    {
        std::lock_guard<std::mutex> lock(impl_->memory.mu);
        for (PMDL mdl : impl_->memory.mdls)
            impl_->verifier.Report(ViolationKind::Mdl,
                                   "MDL " + Hex(reinterpret_cast<std::uintptr_t>(mdl)) +
                                       " still allocated when the kernel stops");
    }
    impl_->pool.ReportLeaks();
    detail::DeletePnp(impl_->pnpImpl);
    detail::ReleaseDeviceObjects();
    g_kernel.store(nullptr);
}

Verifier& Kernel::verifier() {
    return impl_->verifier;
}
PnpManager& Kernel::Pnp() {
    return *impl_->pnp;
}
UserIo& Kernel::User() {
    return *impl_->user;
}
std::int64_t Kernel::Now() const {
    return impl_->clock.Now();
}
void Kernel::AdvanceMs(std::int64_t ms) {
    Advance(ms * 10000);
}
void Kernel::Advance(std::int64_t ticks) {
    impl_->clock.AdvanceTo(impl_->clock.Now() + ticks);
}

void Kernel::WaitIdle() {
    // PnP actions queue work items and work items queue PnP actions: settle both.
    for (int round = 0; round < 4; ++round) {
        detail::WaitPnpIdle(impl_->pnpImpl);
        impl_->work.WaitIdle();
    }
}

std::vector<DebugLine> Kernel::DebugOutput() const {
    return impl_->debugLog.Lines();
}

void Kernel::TraceIrps(std::function<void(const IrpStep&)> callback) {
    impl_->irpTrace.Set(std::move(callback));
}

size_t Kernel::PoolOutstanding() const {
    return impl_->pool.Outstanding();
}
size_t Kernel::PoolOutstandingWithTag(ULONG tag) const {
    return impl_->pool.OutstandingWithTag(tag);
}
void Kernel::FailPoolAfter(long count) {
    impl_->pool.FailAfter(count);
}
void Kernel::FailPoolWithTag(ULONG tag, long count) {
    impl_->pool.FailWithTag(tag, count);
}
void Kernel::TracePool(std::function<void(const PoolStep&)> callback) {
    impl_->pool.Trace(std::move(callback));
}
std::uint64_t Kernel::PoolAllocationsWithTag(ULONG tag) const {
    return impl_->pool.AllocationsWithTag(tag);
}

size_t Kernel::CheckPoolLeaks() {
    return impl_->pool.ReportLeaks();
}

} // namespace ntsim
