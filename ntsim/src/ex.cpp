// Executive pool: every block recorded with its size, tag and pool type, so that frees with the
// wrong tag, double frees, leaks and pageable blocks touched at DISPATCH_LEVEL are reported;
// allocations can be made to fail.
#include "Internal.h"

#include <cstdlib>

using namespace ntsim;
using namespace ntsim::detail;

namespace {
constexpr unsigned char kFreshFill = 0xA5; // new pool is not zeroed on the platform either
constexpr unsigned char kFreedFill = 0xDD;
} // namespace

namespace ntsim::detail {

bool Pool::Refused(ULONG tag) {
    if (failAfter_ == 0)
        return true;
    auto limited = failWithTag_.find(tag);
    if (limited != failWithTag_.end() && limited->second == 0)
        return true;
    if (failAfter_ > 0)
        --failAfter_;
    if (limited != failWithTag_.end() && limited->second > 0)
        --limited->second;
    return false;
}

void Pool::Report(const PoolStep& step) {
    std::shared_ptr<std::function<void(const PoolStep&)>> trace;
    {
        std::lock_guard<std::mutex> lock(mu_);
        trace = trace_;
    }
    if (trace)
        (*trace)(step);
}

void* Pool::Allocate(int type, size_t size, ULONG tag) {
    bool refused;
    {
        std::lock_guard<std::mutex> lock(mu_);
        refused = Refused(tag);
    }
    void* p = refused ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        Report(PoolStep{PoolStep::Kind::AllocateFailed, tag, size, nullptr});
        return nullptr;
    }
    memset(p, kFreshFill, size);
    {
        std::lock_guard<std::mutex> lock(mu_);
        blocks_[reinterpret_cast<std::uintptr_t>(p)] = PoolBlock{size, tag, type, ++sequence_};
        ++allocationsByTag_[tag];
    }
    Report(PoolStep{PoolStep::Kind::Allocate, tag, size, p});
    return p;
}

void Pool::Free(void* p, ULONG tag, bool checkTag) {
    PoolBlock block;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto found = blocks_.find(reinterpret_cast<std::uintptr_t>(p));
        if (found == blocks_.end()) {
            Violate(ViolationKind::Pool, "pool block " + Hex(reinterpret_cast<std::uintptr_t>(p)) +
                                             " freed but not allocated (freed twice?)");
            return;
        }
        block = found->second;
        blocks_.erase(found);
    }
    if (checkTag && tag != block.tag)
        Violate(ViolationKind::Pool, "pool block of tag '" + TagText(block.tag) +
                                         "' freed with tag '" + TagText(tag) + "'");
    // Reported before the memory goes, so that a trace never names a block reused meanwhile.
    Report(PoolStep{PoolStep::Kind::Free, block.tag, block.size, p});
    memset(p, kFreedFill, block.size);
    std::free(p);
}

bool Pool::Contains(const void* p, size_t length) {
    auto start = reinterpret_cast<std::uintptr_t>(p);
    std::lock_guard<std::mutex> lock(mu_);
    auto after = blocks_.upper_bound(start + (length == 0 ? 0 : length - 1));
    if (after == blocks_.begin())
        return false;
    --after;
    return after->first + after->second.size > start;
}

bool Pool::Pageable(const void* p, ULONG* tag) {
    auto address = reinterpret_cast<std::uintptr_t>(p);
    std::lock_guard<std::mutex> lock(mu_);
    auto after = blocks_.upper_bound(address);
    if (after == blocks_.begin())
        return false;
    --after;
    if (after->first + after->second.size <= address || (after->second.type & 1) == 0)
        return false;
    *tag = after->second.tag;
    return true;
}

void CheckResident(const void* p, const char* what) {
    KIRQL irql = Current().irql;
    ULONG tag;
    if (irql < DISPATCH_LEVEL || p == nullptr || !K().pool.Pageable(p, &tag))
        return;
    Violate(ViolationKind::Irql, std::string(what) + " lies in pageable pool (tag '" +
                                     TagText(tag) + "') and is touched at IRQL " +
                                     std::to_string(irql));
}

size_t Pool::Outstanding() {
    std::lock_guard<std::mutex> lock(mu_);
    return blocks_.size();
}

size_t Pool::OutstandingWithTag(ULONG tag) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t count = 0;
    for (auto& [address, block] : blocks_)
        count += block.tag == tag ? 1 : 0;
    return count;
}

std::uint64_t Pool::AllocationsWithTag(ULONG tag) {
    std::lock_guard<std::mutex> lock(mu_);
    auto found = allocationsByTag_.find(tag);
    return found != allocationsByTag_.end() ? found->second : 0;
}

void Pool::FailAfter(long count) {
    std::lock_guard<std::mutex> lock(mu_);
    failAfter_ = count;
}

void Pool::FailWithTag(ULONG tag, long count) {
    std::lock_guard<std::mutex> lock(mu_);
    if (count < 0)
        failWithTag_.erase(tag);
    else
        failWithTag_[tag] = count;
}

void Pool::Trace(std::function<void(const PoolStep&)> callback) {
    std::lock_guard<std::mutex> lock(mu_);
    if (callback)
        trace_ = std::make_shared<std::function<void(const PoolStep&)>>(std::move(callback));
    else
        trace_.reset();
}

size_t Pool::ReportLeaks() {
    std::map<std::uintptr_t, PoolBlock> leaked;
    {
        std::lock_guard<std::mutex> lock(mu_);
        leaked = blocks_;
    }
    for (auto& [address, block] : leaked)
        Violate(ViolationKind::Pool, "pool leak: " + std::to_string(block.size) +
                                         " bytes of tag '" + TagText(block.tag) + "' at " +
                                         Hex(address));
    return leaked.size();
}

} // namespace ntsim::detail

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    bool paged = (static_cast<int>(type) & 1) != 0;
    CheckIrql(paged ? "ExAllocatePoolWithTag(PagedPool)" : "ExAllocatePoolWithTag",
              paged ? APC_LEVEL : DISPATCH_LEVEL);
    return K().pool.Allocate(static_cast<int>(type), size, tag);
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) {
    CheckIrql("ExFreePoolWithTag", DISPATCH_LEVEL);
    K().pool.Free(p, tag, true);
}

extern "C" VOID NTAPI ExFreePool(PVOID p) {
    CheckIrql("ExFreePool", DISPATCH_LEVEL);
    K().pool.Free(p, 0, false);
}
