// Kernel core: the IRQL model, spin locks, dispatcher objects (events, timers), waits, and timers
// whose DPC runs at DISPATCH_LEVEL on the thread that advances the virtual clock.
#include "Internal.h"

#include <thread>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

constexpr UCHAR kEventNotification = 0;
constexpr UCHAR kEventSynchronization = 1;
constexpr UCHAR kTimerNotification = 8;
constexpr UCHAR kTimerSynchronization = 9;
// The system time at boot: 2026-01-01 as a FILETIME.
constexpr std::int64_t kBootSystemTime = 134116992000000000LL;

bool IsSynchronization(const DISPATCHER_HEADER* header) {
    return header->Type == kEventSynchronization || header->Type == kTimerSynchronization;
}

// A relative time counts from `now`; an absolute one already past is due at once.
std::int64_t DueFrom(std::int64_t now, LARGE_INTEGER dueTime) {
    if (dueTime.QuadPart < 0)
        return now - dueTime.QuadPart;
    std::int64_t tick = dueTime.QuadPart - kBootSystemTime;
    return tick < now ? now : tick;
}

std::int64_t DueTick(LARGE_INTEGER dueTime) {
    return DueFrom(K().clock.Now(), dueTime);
}

void Signal(DISPATCHER_HEADER* header) {
    Dispatcher& d = K().dispatcher;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        header->SignalState = 1;
    }
    d.changed.notify_all();
}

} // namespace

// ------------------------------------------------------------------------------------ IRQL
extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return Current().irql;
}

extern "C" VOID NTAPI KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    ThreadContext& t = Current();
    *oldIrql = t.irql;
    if (newIrql < t.irql)
        Violate(ViolationKind::Irql,
                "KeRaiseIrql to " + std::to_string(newIrql) + " from " + std::to_string(t.irql));
    t.irql = newIrql;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL newIrql) {
    ThreadContext& t = Current();
    if (newIrql > t.irql)
        Violate(ViolationKind::Irql,
                "KeLowerIrql to " + std::to_string(newIrql) + " from " + std::to_string(t.irql));
    t.irql = newIrql;
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ------------------------------------------------------------------------------ spin locks
// A lock holds its owner's thread id, so that recursion and foreign releases are seen.
namespace {

void Acquire(PKSPIN_LOCK lock, const char* routine) {
    ThreadContext& t = Current();
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == t.id) {
        Violate(ViolationKind::SpinLock, std::string(routine) + ": lock " +
                                             Hex(reinterpret_cast<std::uintptr_t>(lock)) +
                                             " already held by this thread");
        return;
    }
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, t.id, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        std::this_thread::yield();
    }
    ++t.spinLocksHeld;
}

void Release(PKSPIN_LOCK lock, const char* routine) {
    ThreadContext& t = Current();
    KSPIN_LOCK owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != t.id) {
        Violate(ViolationKind::SpinLock,
                std::string(routine) + ": lock " + Hex(reinterpret_cast<std::uintptr_t>(lock)) +
                    (owner == 0 ? " not held" : " held by another thread"));
        return;
    }
    --t.spinLocksHeld;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

} // namespace

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock) {
    *lock = 0;
}

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    CheckIrql("KeAcquireSpinLock", DISPATCH_LEVEL);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    Acquire(lock, "KeAcquireSpinLock");
    return old;
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    Release(lock, "KeReleaseSpinLock");
    KeLowerIrql(newIrql);
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    if (Current().irql < DISPATCH_LEVEL)
        Violate(ViolationKind::Irql, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    Acquire(lock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    Release(lock, "KeReleaseSpinLockFromDpcLevel");
}

extern "C" VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle) {
    handle->LockQueue.Next = nullptr;
    handle->LockQueue.Lock = lock;
    handle->OldIrql = KeAcquireSpinLockRaiseToDpc(lock);
}

extern "C" VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle) {
    KeReleaseSpinLock(handle->LockQueue.Lock, handle->OldIrql);
}

// ---------------------------------------------------------------------------------- events
extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type = type == NotificationEvent ? kEventNotification : kEventSynchronization;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    (void)increment;
    (void)wait;
    CheckIrql("KeSetEvent", DISPATCH_LEVEL);
    Dispatcher& d = K().dispatcher;
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    d.changed.notify_all();
    return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(K().dispatcher.mu);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT event) {
    KeResetEvent(event);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(K().dispatcher.mu);
    return event->Header.SignalState;
}

// ----------------------------------------------------------------------------------- waits
// A timeout counts in virtual time: the wait ends when the clock, advanced by another thread,
// passes it.
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON reason,
                                                KPROCESSOR_MODE mode, BOOLEAN alertable,
                                                PLARGE_INTEGER timeout) {
    (void)reason;
    (void)mode;
    (void)alertable;
    if (timeout == nullptr || timeout->QuadPart != 0)
        CheckIrql("KeWaitForSingleObject (with a timeout other than zero)", APC_LEVEL);
    else
        CheckIrql("KeWaitForSingleObject", DISPATCH_LEVEL);
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    std::int64_t deadline = timeout == nullptr ? -1 : DueTick(*timeout);
    Dispatcher& d = K().dispatcher;
    std::unique_lock<std::mutex> lock(d.mu);
    for (;;) {
        if (header->SignalState > 0) {
            if (IsSynchronization(header))
                header->SignalState = 0;
            return STATUS_WAIT_0;
        }
        if (deadline >= 0 && K().clock.Now() >= deadline)
            return STATUS_TIMEOUT;
        d.changed.wait(lock);
    }
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable,
                                                 PLARGE_INTEGER interval) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, mode, alertable, interval);
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------------------------ DPCs, timers
extern "C" VOID NTAPI KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
    memset(dpc, 0, sizeof *dpc);
    dpc->Type = 0x13; // DpcObject
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
}

extern "C" VOID NTAPI KeInitializeTimerEx(PKTIMER timer, ULONG type) {
    // Made anew where the firing one was (its memory freed and taken again within the DPC): it
    // is another timer, which the DPC may cancel.
    if (timer == Current().firingTimer)
        Current().firingTimer = nullptr;
    memset(timer, 0, sizeof *timer);
    timer->Header.Type = type == 0 ? kTimerNotification : kTimerSynchronization;
    timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    InitializeListHead(&timer->Header.WaitListHead);
    InitializeListHead(&timer->TimerListEntry);
}

extern "C" VOID NTAPI KeInitializeTimer(PKTIMER timer) {
    KeInitializeTimerEx(timer, 0);
}

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period,
                                      PKDPC dpc) {
    CheckIrql("KeSetTimer", DISPATCH_LEVEL);
    {
        std::lock_guard<std::mutex> lock(K().dispatcher.mu);
        timer->Header.SignalState = 0;
    }
    return K().clock.Set(timer, dueTime, period, dpc) ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
    return KeSetTimerEx(timer, dueTime, 0, dpc);
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER timer) {
    CheckIrql("KeCancelTimer", DISPATCH_LEVEL);
    // Wine's timer thread cancels by waiting for the timer's callback to end.
    if (timer == Current().firingTimer)
        Violate(ViolationKind::WineGap,
                "KeCancelTimer from within that timer's own DPC: never returns on Wine's kernel");
    return K().clock.Cancel(timer) ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER timer) {
    std::lock_guard<std::mutex> lock(K().dispatcher.mu);
    return timer->Header.SignalState > 0 ? TRUE : FALSE;
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER currentTime) {
    currentTime->QuadPart = kBootSystemTime + K().clock.Now();
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(K().clock.Now());
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID) {
    thread_local char marker; // one address per thread
    return static_cast<HANDLE>(&marker);
}

namespace ntsim::detail {

bool Clock::Set(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc) {
    std::lock_guard<std::mutex> lock(mu_);
    // From the time under the lock the clock moves under: a relative time read before another
    // thread's advance would otherwise count from a moment already gone.
    const std::int64_t due = DueFrom(now_.load(), dueTime);
    timer->Dpc = dpc;
    timer->Period = periodMs;
    bool wasSet = false;
    auto found = keys_.find(timer);
    if (found != keys_.end()) {
        byDue_.erase(found->second);
        keys_.erase(found);
        wasSet = true;
    }
    auto key = std::make_pair(due, ++sequence_);
    byDue_[key] = timer;
    keys_[timer] = key;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = 1;
    return wasSet;
}

bool Clock::Cancel(PKTIMER timer) {
    std::lock_guard<std::mutex> lock(mu_);
    auto found = keys_.find(timer);
    if (found == keys_.end())
        return false;
    byDue_.erase(found->second);
    keys_.erase(found);
    timer->Header.Inserted = 0;
    return true;
}

bool Clock::IsSet(PKTIMER timer) {
    std::lock_guard<std::mutex> lock(mu_);
    return keys_.count(timer) != 0;
}

size_t Clock::Pending() {
    std::lock_guard<std::mutex> lock(mu_);
    return byDue_.size();
}

// Expiry: the timer is signalled, a periodic one set again, and its DPC runs at DISPATCH_LEVEL
// with no lock of the kernel held, so that it may set timers and complete IRPs.
void Clock::AdvanceTo(std::int64_t until) {
    CheckIrql("advancing the clock", PASSIVE_LEVEL);
    std::lock_guard<std::mutex> serial(advance_);
    for (;;) {
        PKTIMER timer = nullptr;
        PKDPC dpc = nullptr;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto first = byDue_.begin();
            if (first == byDue_.end() || first->first.first > until) {
                if (until > now_.load())
                    now_.store(until);
                break;
            }
            timer = first->second;
            // The clock never runs back: a timer that came due meanwhile fires late.
            if (first->first.first > now_.load())
                now_.store(first->first.first);
            byDue_.erase(first);
            keys_.erase(timer);
            timer->Header.Inserted = 0;
            dpc = timer->Dpc;
            if (timer->Period > 0) {
                auto key = std::make_pair(now_.load() + timer->Period * 10000LL, ++sequence_);
                byDue_[key] = timer;
                keys_[timer] = key;
                timer->Header.Inserted = 1;
            }
        }
        Signal(&timer->Header);
        if (dpc != nullptr) {
            KIRQL old = KeRaiseIrqlToDpcLevel();
            PKTIMER outer = Current().firingTimer;
            Current().firingTimer = timer;
            dpc->DeferredRoutine(dpc, dpc->DeferredContext,
                                 reinterpret_cast<PVOID>(K().clock.Now()), nullptr);
            Current().firingTimer = outer;
            CheckIrqlRestored("a timer DPC", DISPATCH_LEVEL);
            KeLowerIrql(old);
        }
    }
    { std::lock_guard<std::mutex> lock(K().dispatcher.mu); }
    K().dispatcher.changed.notify_all();
}

} // namespace ntsim::detail
