// Memory descriptor lists and probes of user buffers against the caller's page protections.
// Kernel memory (pool) is never accessible to a user-mode probe.
#include "Internal.h"

#include <cstdlib>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

std::uintptr_t PageOf(std::uintptr_t address) {
    return address & ~std::uintptr_t(PAGE_SIZE - 1);
}

ULONG SpanPages(const void* va, size_t length) {
    auto start = reinterpret_cast<std::uintptr_t>(va);
    if (length == 0)
        return 1;
    return static_cast<ULONG>((PageOf(start + length - 1) - PageOf(start)) / PAGE_SIZE + 1);
}

void FillPfns(PMDL mdl) {
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    ULONG pages = SpanPages(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    for (ULONG i = 0; i < pages; ++i)
        pfn[i] = static_cast<PFN_NUMBER>(
            (reinterpret_cast<std::uintptr_t>(mdl->StartVa) >> PAGE_SHIFT) + i);
}

bool Known(PMDL mdl, const char* routine) {
    std::lock_guard<std::mutex> lock(K().memory.mu);
    if (K().memory.mdls.count(mdl) != 0)
        return true;
    Violate(ViolationKind::Mdl, std::string(routine) + " on MDL " +
                                    Hex(reinterpret_cast<std::uintptr_t>(mdl)) +
                                    " that the kernel did not allocate (freed?)");
    return false;
}

} // namespace

namespace ntsim::detail {

void Memory::Protect(const void* address, size_t length, Protection protection) {
    auto start = reinterpret_cast<std::uintptr_t>(address);
    std::lock_guard<std::mutex> lock(mu);
    for (std::uintptr_t page = PageOf(start); page < start + length; page += PAGE_SIZE)
        pages_[page] = protection;
}

void Memory::ProbeUser(const void* address, size_t length, bool write) {
    if (length == 0)
        return;
    auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start + length < start || K().pool.Contains(address, length))
        throw RaisedStatus{STATUS_ACCESS_VIOLATION};
    std::lock_guard<std::mutex> lock(mu);
    for (std::uintptr_t page = PageOf(start); page < start + length; page += PAGE_SIZE) {
        auto found = pages_.find(page);
        Protection p = found == pages_.end() ? Protection::ReadWrite : found->second;
        if (p == Protection::NoAccess || (write && p == Protection::ReadOnly))
            throw RaisedStatus{STATUS_ACCESS_VIOLATION};
    }
}

} // namespace ntsim::detail

extern "C" PMDL NTAPI IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN chargeQuota,
                                    PIRP irp) {
    (void)chargeQuota;
    CheckIrql("IoAllocateMdl", DISPATCH_LEVEL);
    ULONG pages = SpanPages(va, length);
    size_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    auto* mdl = static_cast<PMDL>(std::calloc(1, size));
    if (mdl == nullptr)
        return nullptr;
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = reinterpret_cast<PVOID>(PageOf(reinterpret_cast<std::uintptr_t>(va)));
    mdl->ByteOffset = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(va) & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    {
        std::lock_guard<std::mutex> lock(K().memory.mu);
        K().memory.mdls.insert(mdl);
    }
    if (irp != nullptr) {
        if (!secondary || irp->MdlAddress == nullptr) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last->Next != nullptr)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL mdl) {
    CheckIrql("IoFreeMdl", DISPATCH_LEVEL);
    if (!Known(mdl, "IoFreeMdl"))
        return;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED)
        Violate(ViolationKind::Mdl, "IoFreeMdl on an MDL whose pages are still locked");
    {
        std::lock_guard<std::mutex> lock(K().memory.mu);
        K().memory.mdls.erase(mdl);
    }
    std::free(mdl);
}

// Raises STATUS_ACCESS_VIOLATION (RaisedStatus) when a user-mode range does not allow the access.
extern "C" VOID NTAPI MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION op) {
    CheckIrql("MmProbeAndLockPages", DISPATCH_LEVEL);
    if (!Known(mdl, "MmProbeAndLockPages"))
        return;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
        Violate(ViolationKind::Mdl, "MmProbeAndLockPages on an MDL already locked");
        return;
    }
    if (mode == UserMode)
        K().memory.ProbeUser(MmGetMdlVirtualAddress(mdl), mdl->ByteCount, op != IoReadAccess);
    FillPfns(mdl);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL mdl) {
    CheckIrql("MmUnlockPages", DISPATCH_LEVEL);
    if (!Known(mdl, "MmUnlockPages"))
        return;
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        Violate(ViolationKind::Mdl, "MmUnlockPages on an MDL that is not locked");
        return;
    }
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MappedSystemVa = nullptr;
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl) {
    if (!Known(mdl, "MmBuildMdlForNonPagedPool"))
        return;
    if (!K().pool.Contains(MmGetMdlVirtualAddress(mdl), mdl->ByteCount))
        Violate(ViolationKind::Mdl, "MmBuildMdlForNonPagedPool on memory that is not pool");
    FillPfns(mdl);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// Maps as the platform does; Wine gives no system address to an MDL a driver built itself, so
// the call is reported as a Wine gap (the I/O manager's MDLs arrive mapped and never get here).
extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode,
                                                    MEMORY_CACHING_TYPE cache, PVOID requested,
                                                    ULONG bugCheck, ULONG priority) {
    (void)cache;
    (void)requested;
    (void)bugCheck;
    (void)priority;
    CheckIrql("MmMapLockedPagesSpecifyCache", DISPATCH_LEVEL);
    if (!Known(mdl, "MmMapLockedPagesSpecifyCache"))
        return nullptr;
    if (mode != KernelMode || !(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        Violate(ViolationKind::Mdl, "MmMapLockedPagesSpecifyCache on an MDL not locked");
        return nullptr;
    }
    Violate(ViolationKind::WineGap,
            "MmGetSystemAddressForMdlSafe on a driver-built MDL: no system address on Wine");
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" VOID NTAPI ProbeForRead(const volatile VOID* address, SIZE_T length, ULONG alignment) {
    if (length == 0)
        return;
    if (alignment > 1 && (reinterpret_cast<std::uintptr_t>(address) & (alignment - 1)) != 0)
        throw RaisedStatus{(NTSTATUS)0x80000002L}; // STATUS_DATATYPE_MISALIGNMENT
    K().memory.ProbeUser(const_cast<const void*>(address), length, false);
}

extern "C" VOID NTAPI ProbeForWrite(volatile VOID* address, SIZE_T length, ULONG alignment) {
    if (length == 0)
        return;
    if (alignment > 1 && (reinterpret_cast<std::uintptr_t>(address) & (alignment - 1)) != 0)
        throw RaisedStatus{(NTSTATUS)0x80000002L};
    K().memory.ProbeUser(const_cast<void*>(address), length, true);
}
