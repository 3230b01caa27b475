// The kernel core, pool and memory descriptors: IRQL rules, spin locks, timers and their DPCs on
// virtual time, waits, pool accounting, user-buffer probes, debug output.
#include "KernelFixture.h"

#include <ntddk.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using ntsim::PoolStep;
using ntsim::Protection;
using ntsim::RaisedStatus;
using ntsim::ViolationKind;

namespace {

using KernelTest = KernelFixture;

TEST_F(KernelTest, SpinLocksRaiseToDispatchAndReportMisuse) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Take(ViolationKind::SpinLock), 0u);

    KeReleaseSpinLock(&lock, PASSIVE_LEVEL); // not held
    EXPECT_EQ(Take(ViolationKind::SpinLock), 1u);
    KeAcquireSpinLockAtDpcLevel(&lock); // below DISPATCH_LEVEL
    EXPECT_EQ(Take(ViolationKind::Irql), 1u);
    KeReleaseSpinLockFromDpcLevel(&lock);
}

TEST_F(KernelTest, CallsAboveTheirIrqlAreReported) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* paged = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
    PAGED_CODE();
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -10;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    EXPECT_EQ(Take(ViolationKind::Irql), 3u);
    ExFreePoolWithTag(paged, 'tseT');
    KeLowerIrql(DISPATCH_LEVEL); // lowering to a higher level
    EXPECT_EQ(Take(ViolationKind::Irql), 1u);
    KeLowerIrql(PASSIVE_LEVEL);
}

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<int> irql{-1};
    std::atomic<long long> at{0};
};

VOID RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* log = static_cast<DpcLog*>(context);
    log->runs++;
    log->irql = KeGetCurrentIrql();
    log->at = static_cast<long long>(KeQueryInterruptTime());
}

TEST_F(KernelTest, TimersFireOnVirtualTimeAndRunTheirDpcAtDispatch) {
    DpcLog log;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &log);
    LARGE_INTEGER due;
    due.QuadPart = -50 * 10000LL;
    EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, due, &dpc)); // was set: moved
    kernel().AdvanceMs(49);
    EXPECT_EQ(log.runs, 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    kernel().AdvanceMs(1);
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_EQ(log.at, 50 * 10000LL);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));

    KeSetTimerEx(&timer, due, 10, &dpc); // periodic: 50 ms, then every 10 ms
    kernel().AdvanceMs(80);
    EXPECT_EQ(log.runs, 5);
    EXPECT_TRUE(KeCancelTimer(&timer));
    kernel().AdvanceMs(100);
    EXPECT_EQ(log.runs, 5);
}

// A timer another thread sets while the clock jumps counts from the moment it is set at, and the
// clock never runs back to it: every DPC sees a time no earlier than the one before.
struct ClockWatch {
    std::atomic<long long> last{0};
    std::atomic<int> back{0};
    std::atomic<int> runs{0};
};
VOID WatchClock(PKDPC, PVOID context, PVOID, PVOID) {
    auto* watch = static_cast<ClockWatch*>(context);
    const long long now = static_cast<long long>(KeQueryInterruptTime());
    if (now < watch->last.exchange(now))
        watch->back++;
    watch->runs++;
}

TEST_F(KernelTest, TheClockNeverRunsBackForTimersSetDuringAJump) {
    constexpr int kTimers = 8;
    ClockWatch watch;
    KTIMER timers[kTimers];
    KDPC dpcs[kTimers];
    for (int i = 0; i < kTimers; ++i) {
        KeInitializeTimer(&timers[i]);
        KeInitializeDpc(&dpcs[i], WatchClock, &watch);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> sets{0};
    std::thread setter([&] {
        LARGE_INTEGER due;
        due.QuadPart = -1 * 10000LL;
        for (int i = 0; !stop; ++i, ++sets)
            KeSetTimer(&timers[i % kTimers], due, &dpcs[i % kTimers]);
    });
    for (int round = 0; round < 2000 || sets < 20000; ++round)
        kernel().AdvanceMs(3);
    stop = true;
    setter.join();
    kernel().AdvanceMs(10);
    for (KTIMER& timer : timers)
        KeCancelTimer(&timer);
    EXPECT_GT(watch.runs, 0);
    EXPECT_EQ(watch.back, 0);
}

// A DPC that cancels its own timer (a completion it caused in the same thread) is one Wine's
// kernel never returns from; another timer's is fine.
struct SelfCancel {
    KTIMER own;
    KTIMER other;
};
VOID CancelFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* timers = static_cast<SelfCancel*>(context);
    KeCancelTimer(&timers->other);
    KeCancelTimer(&timers->own);
}
// The DPC's object freed and another made at its address (a request completed and the next one
// allocated there): the new timer is not the firing one.
VOID RemakeAndCancelFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* timers = static_cast<SelfCancel*>(context);
    KeInitializeTimer(&timers->own);
    KeCancelTimer(&timers->own);
}

TEST_F(KernelTest, CancellingATimerFromItsOwnDpcIsAWineGap) {
    SelfCancel timers;
    KDPC dpc;
    KeInitializeTimer(&timers.own);
    KeInitializeTimer(&timers.other);
    KeInitializeDpc(&dpc, CancelFromDpc, &timers);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000LL;
    KeSetTimer(&timers.own, due, &dpc);
    kernel().AdvanceMs(10);
    EXPECT_EQ(Take(ViolationKind::WineGap), 1u);
    EXPECT_FALSE(KeCancelTimer(&timers.own)); // outside the DPC: no finding
    EXPECT_EQ(Take(ViolationKind::WineGap), 0u);

    KeInitializeDpc(&dpc, RemakeAndCancelFromDpc, &timers);
    KeSetTimer(&timers.own, due, &dpc);
    kernel().AdvanceMs(10);
    EXPECT_EQ(Take(ViolationKind::WineGap), 0u);
}

TEST_F(KernelTest, AWaitWithATimeoutEndsWhenTheClockPassesIt) {
    KEVENT never, signalled;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&signalled, SynchronizationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -100 * 10000LL;
        result = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    });
    while (result == STATUS_PENDING) {
        kernel().AdvanceMs(200);
        std::this_thread::yield();
    }
    waiter.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);

    KeSetEvent(&signalled, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, &zero),
              STATUS_WAIT_0);
    // A synchronization event wakes one wait and resets.
    EXPECT_EQ(KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, &zero),
              STATUS_TIMEOUT);
}

TEST_F(KernelTest, PoolCountsTagsAndReportsLeaksWrongTagsAndDoubleFrees) {
    void* a = ExAllocatePoolWithTag(NonPagedPool, 32, 'AAAA');
    void* b = ExAllocatePoolWithTag(PagedPool, 8, 'BBBB');
    EXPECT_EQ(kernel().PoolOutstanding(), 2u);
    EXPECT_EQ(kernel().PoolOutstandingWithTag('AAAA'), 1u);
    ExFreePoolWithTag(a, 'XXXX');
    EXPECT_EQ(Take(ViolationKind::Pool), 1u);
    ExFreePoolWithTag(a, 'AAAA');
    EXPECT_EQ(Take(ViolationKind::Pool), 1u); // freed twice
    EXPECT_EQ(kernel().CheckPoolLeaks(), 1u);
    EXPECT_EQ(Take(ViolationKind::Pool), 1u);
    ExFreePool(b);

    kernel().FailPoolAfter(1);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 4, 'CCCC');
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, 'CCCC'), nullptr);
    kernel().FailPoolAfter(-1);
    ExFreePoolWithTag(c, 'CCCC');
    EXPECT_EQ(kernel().PoolOutstanding(), 0u);
    // Allocations by tag count every one made, freed or not; a refused one is none.
    EXPECT_EQ(kernel().PoolAllocationsWithTag('AAAA'), 1u);
    EXPECT_EQ(kernel().PoolAllocationsWithTag('CCCC'), 1u);
    EXPECT_EQ(kernel().PoolAllocationsWithTag('DDDD'), 0u);
}

// Low resources for one tag: the others' allocations go on, and the count covers that tag only.
TEST_F(KernelTest, PoolFailuresLimitedToATagAndThePoolsTrace) {
    std::vector<PoolStep> steps;
    kernel().TracePool([&](const PoolStep& step) { steps.push_back(step); });
    kernel().FailPoolWithTag('DDDD', 1);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 4, 'EEEE');
    void* first = ExAllocatePoolWithTag(NonPagedPool, 12, 'DDDD');
    void* again = ExAllocatePoolWithTag(PagedPool, 8, 'EEEE');
    EXPECT_NE(other, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 12, 'DDDD'), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 12, 'DDDD'), nullptr);
    kernel().FailPoolWithTag('DDDD', -1);
    void* later = ExAllocatePoolWithTag(NonPagedPool, 12, 'DDDD');
    EXPECT_NE(later, nullptr);
    // The whole pool failing wins over a tag's allowance.
    kernel().FailPoolWithTag('DDDD', 5);
    kernel().FailPoolAfter(0);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 12, 'DDDD'), nullptr);
    kernel().FailPoolAfter(-1);
    kernel().FailPoolWithTag('DDDD', -1);
    ExFreePoolWithTag(first, 'DDDD');
    ExFreePool(later); // no tag given: the trace names the block's
    kernel().TracePool(nullptr);
    ExFreePoolWithTag(other, 'EEEE');
    ExFreePoolWithTag(again, 'EEEE');

    using Kind = PoolStep::Kind;
    ASSERT_EQ(steps.size(), 9u);
    EXPECT_EQ(steps[0].kind, Kind::Allocate);
    EXPECT_EQ(steps[0].tag, ULONG('EEEE'));
    EXPECT_EQ(steps[0].address, other);
    EXPECT_EQ(steps[1].size, 12u);
    EXPECT_EQ(steps[3].kind, Kind::AllocateFailed);
    EXPECT_EQ(steps[3].address, nullptr);
    EXPECT_EQ(steps[3].tag, ULONG('DDDD'));
    EXPECT_EQ(steps[6].kind, Kind::AllocateFailed);
    EXPECT_EQ(steps[7].kind, Kind::Free);
    EXPECT_EQ(steps[7].address, first);
    EXPECT_EQ(steps[7].size, 12u);
    EXPECT_EQ(steps[8].kind, Kind::Free);
    EXPECT_EQ(steps[8].tag, ULONG('DDDD'));
    EXPECT_EQ(kernel().PoolOutstanding(), 0u);
}

TEST_F(KernelTest, UserProbesFollowPageProtectionAndRefuseKernelMemory) {
    alignas(4096) static UCHAR pages[3 * 4096];
    kernel().User().Protect(pages + 4096, 4096, Protection::ReadOnly);
    kernel().User().Protect(pages + 8192, 4096, Protection::NoAccess);
    PMDL mdl = IoAllocateMdl(pages + 4000, 200, FALSE, FALSE, nullptr); // spans two pages
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), 4000u);
    EXPECT_THROW(MmProbeAndLockPages(mdl, UserMode, IoWriteAccess), RaisedStatus);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    EXPECT_EQ(MmGetMdlPfnArray(mdl)[1], MmGetMdlPfnArray(mdl)[0] + 1);
    IoFreeMdl(mdl); // still locked
    EXPECT_EQ(Take(ViolationKind::Mdl), 1u);
    EXPECT_THROW(ProbeForRead(pages + 8192, 1, 1), RaisedStatus);

    void* pool = ExAllocatePoolWithTag(NonPagedPool, 64, 'looP');
    EXPECT_THROW(ProbeForRead(pool, 8, 1), RaisedStatus);
    PMDL own = IoAllocateMdl(pool, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(own);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(own, NormalPagePriority), pool);
    IoFreeMdl(own);

    // A driver mapping an MDL it locked itself gets no address on Wine.
    PMDL probed = IoAllocateMdl(pages, 16, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(probed, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(probed, NormalPagePriority), pages);
    EXPECT_EQ(Take(ViolationKind::WineGap), 1u);
    MmUnlockPages(probed);
    IoFreeMdl(probed);
    ExFreePoolWithTag(pool, 'looP');
}

// DbgPrintEx as a debugger shows it: printf conversions rendered, component and level kept; a
// trace-format extension ("%!STATUS!") is not the debugger's to render and is reported.
TEST_F(KernelTest, DebugOutputIsRenderedAndATraceFormatExtensionIsReported) {
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "value %d of %s\n", 5, "six");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "failed %!STATUS!\n", 5);
    std::string wide(600, 'w');
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x30, "%s", wide.c_str());
    std::vector<ntsim::DebugLine> lines = kernel().DebugOutput();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "value 5 of six\n");
    EXPECT_EQ(lines[0].component, static_cast<ULONG>(DPFLTR_IHVDRIVER_ID));
    EXPECT_EQ(lines[0].level, static_cast<ULONG>(DPFLTR_INFO_LEVEL));
    EXPECT_EQ(lines[1].text, "failed %!STATUS!\n");
    EXPECT_EQ(Take(ViolationKind::Debug), 1u);
    EXPECT_EQ(lines[2].text, wide); // no line length of its own
    EXPECT_EQ(lines[2].level, DPFLTR_MASK | 0x30u);
}

} // namespace
