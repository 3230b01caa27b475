// State shared by the kernel's areas. Each area keeps its own lock; none is held while a driver
// routine runs, except the spin locks the platform itself holds (the cancel spin lock around a
// cancel routine).
#pragma once

#include "ntsim/Kernel.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ntsim {

std::string Hex(std::uint64_t value);
std::string Narrow(const WCHAR* text, size_t length);
std::u16string Widen(const std::string& text);

namespace detail {

struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    std::uintptr_t id = 0;
    PKTIMER firingTimer = nullptr; // the timer whose DPC this thread runs
};
ThreadContext& Current();

// Reports a violation to the running kernel's verifier.
void Violate(ViolationKind kind, const std::string& text);
// Reports a call above `maximum`.
bool CheckIrql(const char* routine, KIRQL maximum);
// Runs a driver routine that must return at the IRQL it was called at.
void CheckIrqlRestored(const char* what, KIRQL before);
// Memory the kernel is about to touch for a driver: pageable pool at DISPATCH_LEVEL or above is
// a page fault the platform cannot take (its verifier pages such memory out to find it).
void CheckResident(const void* p, const char* what);

// ke: dispatcher objects and the virtual clock.
class Dispatcher {
public:
    std::mutex mu;
    std::condition_variable changed;
};

class Clock {
public:
    std::int64_t Now() const { return now_.load(); }
    // Inserts (or moves) a timer due at `dueTime` as KeSetTimerEx takes it; true when it was
    // already set.
    bool Set(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
    bool Cancel(PKTIMER timer);
    bool IsSet(PKTIMER timer);
    // Fires timers due up to `until`, then moves the time there.
    void AdvanceTo(std::int64_t until);
    size_t Pending();

private:
    std::mutex mu_;
    std::mutex advance_;
    std::atomic<std::int64_t> now_{0};
    std::uint64_t sequence_ = 0;
    std::map<std::pair<std::int64_t, std::uint64_t>, PKTIMER> byDue_;
    std::unordered_map<PKTIMER, std::pair<std::int64_t, std::uint64_t>> keys_;
};

// ex: pool blocks by address, so that an address can be told kernel or user.
struct PoolBlock {
    size_t size;
    ULONG tag;
    int type;
    std::uint64_t sequence;
};
class Pool {
public:
    void* Allocate(int type, size_t size, ULONG tag);
    void Free(void* p, ULONG tag, bool checkTag);
    bool Contains(const void* p, size_t length);
    // TRUE, with its tag, when `p` lies in a block of a pageable pool type.
    bool Pageable(const void* p, ULONG* tag);
    size_t Outstanding();
    size_t OutstandingWithTag(ULONG tag);
    std::uint64_t AllocationsWithTag(ULONG tag);
    void FailAfter(long count);
    void FailWithTag(ULONG tag, long count);
    void Trace(std::function<void(const PoolStep&)> callback);
    size_t ReportLeaks();

private:
    // Under mu_: whether this allocation is to fail (and the counts it uses up).
    bool Refused(ULONG tag);
    void Report(const PoolStep& step);
    std::mutex mu_;
    std::map<std::uintptr_t, PoolBlock> blocks_;
    std::map<ULONG, std::uint64_t> allocationsByTag_; // every allocation made, freed or not
    std::uint64_t sequence_ = 0;
    long failAfter_ = -1;
    std::map<ULONG, long> failWithTag_;
    std::shared_ptr<std::function<void(const PoolStep&)>> trace_;
};

// rtl: the debugger's view of DbgPrintEx, its latest lines (a long run stays bounded).
class DebugLog {
public:
    static constexpr size_t kKept = 65536;
    void Add(DebugLine line);
    std::vector<DebugLine> Lines() const;

private:
    mutable std::mutex mu_;
    std::deque<DebugLine> lines_;
};

// mm: the caller's page protections and the MDLs the kernel gave out.
class Memory {
public:
    void Protect(const void* address, size_t length, Protection protection);
    // Raises STATUS_ACCESS_VIOLATION unless the user-mode range allows the access.
    void ProbeUser(const void* address, size_t length, bool write);
    std::mutex mu;
    std::set<PMDL> mdls;

private:
    std::map<std::uintptr_t, Protection> pages_;
};

// io: what the kernel knows of each IRP it handed out.
enum class IrpPhase { Allocated, Dispatched, Completing, Completed };
struct IrpRecord {
    IrpPhase phase = IrpPhase::Allocated;
    // Set for IRPs the I/O manager or IoBuildDeviceIoControlRequest owns: runs when the IRP
    // has completed to its top.
    std::function<void(PIRP)> finish;
};
class IrpTable {
public:
    std::mutex mu;
    std::unordered_map<PIRP, IrpRecord> records;
};

// io: device objects stay allocated until the kernel goes, so that a call on a deleted one is
// reported instead of touching freed memory.
struct DeviceRecord {
    bool deleted = false;
    PDEVICE_OBJECT attachedTo = nullptr;
    std::string name;
};
class Devices {
public:
    std::mutex mu;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> records;
    std::vector<PDEVICE_OBJECT> all;
    std::vector<PDRIVER_OBJECT> drivers;
};

// io: system worker thread for work items (and the I/O manager's deferred closes).
class WorkQueue {
public:
    void Start();
    void Stop();
    void Post(std::function<void()> work);
    void WaitIdle();

private:
    void Run();
    std::mutex mu_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool running_ = false;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// io: device interfaces by symbolic link.
struct InterfaceRecord {
    PDEVICE_OBJECT pdo;
    GUID guid;
    bool enabled;
};
class Interfaces {
public:
    std::mutex mu;
    std::map<std::string, InterfaceRecord> byLink; // kernel link, \??\...
};

// irptrace: the test's view of IRPs passing through IoCallDriver and IoCompleteRequest.
class IrpTrace {
public:
    void Set(std::function<void(const IrpStep&)> callback);
    bool On() const { return on_.load(std::memory_order_acquire); }
    void Report(const IrpStep& step);

private:
    std::mutex mu_;
    std::shared_ptr<std::function<void(const IrpStep&)>> callback_;
    std::atomic<bool> on_{false};
};
// The step of a location just given to `device`, or of the completing driver's location.
void TraceCall(PDEVICE_OBJECT device, PIRP irp);
void TraceComplete(PIRP irp);
// Taken before the completion walk clears the locations; reported once the owner has the IRP.
IrpStep TopStepOf(PIRP irp);
void TraceCompletedToTop(IrpStep top, PIRP irp);
// IoCancelIrp on `irp` (which may be stale): the step names the IRP alone.
void TraceCancel(PIRP irp);

} // namespace detail

struct Kernel::Impl {
    explicit Impl(KernelOptions options) : options(options) {}
    KernelOptions options;
    Verifier verifier;
    detail::Dispatcher dispatcher;
    detail::Clock clock;
    detail::Pool pool;
    detail::Memory memory;
    detail::IrpTable irps;
    detail::Devices devices;
    detail::WorkQueue work;
    detail::Interfaces interfaces;
    detail::IrpTrace irpTrace;
    detail::DebugLog debugLog;
    KSPIN_LOCK cancelLock = 0;
    PnpManager::Impl* pnpImpl = nullptr;
    std::unique_ptr<PnpManager> pnp;
    UserIo::Impl* userImpl = nullptr;
    std::unique_ptr<UserIo> user;
};

namespace detail {
Kernel::Impl& K();
// io: the owner's routine run when an IRP completes to its top, and its release.
void SetIrpFinish(PIRP irp, std::function<void(PIRP)> finish);
// IoCallDriver for the I/O manager's own IRPs: a device deleted under an open handle (checked
// under the devices' lock, so a removal racing the call is seen) gets the IRP completed with
// `*refusal` instead of a violation. nullptr: as IoCallDriver.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const NTSTATUS* refusal);
void ReleaseIrp(PIRP irp);
// io: a driver object the kernel made (DriverEntry not yet called).
PDRIVER_OBJECT CreateDriverObject(const std::string& service);
// io: device interfaces.
PDEVICE_OBJECT FindEnabledInterface(const std::string& path);
void DisableInterfacesOf(PDEVICE_OBJECT pdo);
std::vector<std::string> EnabledInterfaces(const GUID& guid);
void UnloadDriverObject(PDRIVER_OBJECT driver);
bool IsDeleted(PDEVICE_OBJECT device);
// PnP and I/O-manager hooks the other areas call.
bool IsPdo(PDEVICE_OBJECT device, std::string* deviceId, std::string* instanceId);
void PostDeviceRelationsChanged(PDEVICE_OBJECT device);
PnpManager::Impl* NewPnp();
void DeletePnp(PnpManager::Impl* impl);
void StopPnp(PnpManager::Impl* impl);
void WaitPnpIdle(PnpManager::Impl* impl);
UserIo::Impl* NewUserIo();
void DeleteUserIo(UserIo::Impl* impl);
void ReleaseDeviceObjects(); // at kernel teardown
} // namespace detail
} // namespace ntsim
