// Inner state of the framework layer. One mutex (World::Impl::mu) guards all of it; the layer
// never holds it while it calls the driver, a test handler or the virtual device.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#include "Exports.h"
#include "kmdf/sim/World.h"
#include "kmdf/usermode/DeviceIo.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)

namespace kmdf::sim {

struct DeviceNode;
struct Request;
struct Queue;
struct IoTarget;
struct UsbPipeObj;
struct ColorimeterImpl;
struct Transfer;

std::string Hex(uint64_t value);
std::string StatusText(NTSTATUS status);

// ------------------------------------------------------------------------ thread state
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int depth = 0;                // driver callbacks on this thread's stack
    DeviceNode* device = nullptr; // device on whose behalf the thread runs (leak attribution)
    std::vector<std::function<void()>> deferred; // work to run when depth returns to 0
    int activeNest = 0;                          // nested Activity guards of this thread
};
ThreadState& Thread();

// ------------------------------------------------------------------------ clock
class Clock {
public:
    int64_t Now() const; // 100-ns ticks
    uint64_t Schedule(int64_t at, std::function<void()> fn);
    bool Cancel(uint64_t id);
    // Fires the earliest timer due at or before `limit`, moving the time to it.
    bool FireNext(int64_t limit);
    void AdvanceTo(int64_t at);
    bool Empty() const;

private:
    mutable std::mutex mu_;
    int64_t now_ = 0;
    uint64_t next_ = 1;
    std::multimap<int64_t, uint64_t> byTime_;
    std::unordered_map<uint64_t, std::pair<int64_t, std::function<void()>>> timers_;
};

constexpr int64_t kTicksPerMs = 10000;
// Logs (bus traffic, events, debug output) keep their latest entries only, so long runs stay
// bounded.
constexpr size_t kLogLimit = 65536;

// ------------------------------------------------------------------------ objects
enum class ObjKind {
    Driver,
    Device,
    Queue,
    Request,
    Memory,
    UsbDevice,
    UsbInterface,
    UsbPipe,
    FileObject,
};
const char* KindName(ObjKind kind);

struct Object {
    explicit Object(ObjKind k) : kind(k) {}
    virtual ~Object() = default;
    ObjKind kind;
    uintptr_t handle = 0;
    Object* parent = nullptr;
    std::vector<Object*> children;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
    std::unique_ptr<std::max_align_t[]> context;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent;
    DeviceNode* owner = nullptr;
};

struct DriverObj : Object {
    DriverObj() : Object(ObjKind::Driver) {}
    WDF_DRIVER_CONFIG config{};
};

struct DeviceObj : Object {
    DeviceObj() : Object(ObjKind::Device) {}
    DeviceNode* node = nullptr;
};

struct MemoryObj : Object {
    MemoryObj() : Object(ObjKind::Memory) {}
    void* buffer = nullptr;
    size_t size = 0;
    Request* ownerRequest = nullptr; // the output memory of a request: lives until completion
};

struct Queue : Object {
    Queue() : Object(ObjKind::Queue) {}
    DeviceNode* node = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    bool powerManaged = true;
    WDF_EXECUTION_LEVEL effectiveLevel = WdfExecutionLevelDispatch;
    std::deque<Request*> waiting;
    int delivered = 0;       // requests the driver owns that this queue delivered
    bool loopActive = false; // a thread runs this sequential queue's delivery loop
    bool rerun = false;
};

struct FileState;

// The user-mode side of a request (the IRP's I/O status as the application sees it).
struct IrpState {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    uint64_t info = 0;
    Request* req = nullptr; // while the request is live
    FileState* file = nullptr;
};

struct FileState {
    DeviceNode* node = nullptr;
    uint32_t access = 0;
    bool closed = false;
    std::set<IrpState*> outstanding;
    uintptr_t fileObject = 0; // the framework's WDFFILEOBJECT, until EvtFileClose has run
    bool closeWaits = false;  // closed with requests outstanding: EvtFileClose after the last
};

struct Request : Object {
    Request() : Object(ObjKind::Request) {}
    enum class St { Queued, Driver, Sent, Completed } st = St::Queued;
    std::shared_ptr<IrpState> irp;
    std::shared_ptr<FileState> file;
    DeviceNode* node = nullptr;
    WDF_REQUEST_TYPE type = WdfRequestTypeDeviceControl;
    ULONG code = 0;
    ULONG method = 0;
    size_t inLen = 0, outLen = 0;
    std::vector<uint8_t> systemBuffer;
    const void* userIn = nullptr;
    void* userOut = nullptr;
    Queue* queue = nullptr;
    bool inDispatch = false;
    bool inCallerContext = false; // delivered to EvtIoInCallerContext, not yet enqueued
    IRP wdmIrp{};
    uint64_t deliveries = 0;     // times a queue delivered it to the driver
    uint64_t sentInDelivery = 0; // the delivery in which it was last sent on
    // formatting
    enum class Fmt { None, Urb, PipeRead } fmt = Fmt::None;
    IoTarget* formatTarget = nullptr;
    MemoryObj* fmtMemory = nullptr;
    size_t fmtOffset = 0, fmtLength = 0;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = nullptr;
    WDFCONTEXT routineContext = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    MemoryObj* outMemory = nullptr;
    // sending
    IoTarget* sentTo = nullptr;
    bool onBus = false;
    uint64_t timer = 0;
    bool timedOut = false;
    bool cancelRequested = false;
    bool sendFailed = false;
    uint64_t sendSeq = 0;
    std::shared_ptr<Transfer> transfer;
    WDF_REQUEST_COMPLETION_PARAMS cparams{};
    WDF_USB_REQUEST_COMPLETION_PARAMS uparams{};
};

struct IoTarget : Object {
    explicit IoTarget(ObjKind k) : Object(k) {}
    enum class TS { Started, Stopped, Removed } ts = TS::Started;
    DeviceNode* node = nullptr;
    std::vector<Request*> sent; // sent and not completed (on the bus or held)
    std::deque<Request*> held;  // sent while stopped
};

struct UsbInterfaceObj;

struct UsbDeviceObj : IoTarget {
    UsbDeviceObj() : IoTarget(ObjKind::UsbDevice) {}
    UsbInterfaceObj* iface = nullptr;
};

struct UsbInterfaceObj : Object {
    UsbInterfaceObj() : Object(ObjKind::UsbInterface) {}
    UsbDeviceObj* usb = nullptr;
    uint8_t number = 0;
    uint8_t setting = 0;
    std::vector<UsbPipeObj*> pipes;
};

struct UsbPipeObj : IoTarget {
    UsbPipeObj() : IoTarget(ObjKind::UsbPipe) {}
    USB_ENDPOINT_DESCRIPTOR ep{};
    WDF_USB_PIPE_TYPE type = WdfUsbPipeTypeInvalid;
    bool noMaxPacketCheck = false;
};

// ------------------------------------------------------------------------ the virtual bus
struct Transfer {
    uint64_t id = 0;
    Request* req = nullptr;
    ColorimeterImpl* device = nullptr;
    size_t record = 0; // index in the device's traffic log
    bool done = false;
    bool isControl = true;
    bool in = false; // data stage or pipe from device to host
    uint8_t endpoint = 0;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint64_t delayTimer = 0;
    URB* urb = nullptr;
};

struct ColorimeterImpl : Colorimeter {
    explicit ColorimeterImpl(const ColorimeterConfig& cfg);
    void SetVendorHandler(VendorHandler handler) override;
    void PushInterrupt(std::vector<uint8_t> bytes) override;
    size_t PendingInterruptReads() const override;
    std::vector<TransferRecord> Traffic() const override;
    void ClearTraffic() override;
    void SignalRemoteWake() override;
    const ColorimeterConfig& Config() const override { return config; }

    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> ConfigurationDescriptor() const;
    size_t LogStandard(uint8_t bm, uint8_t req, uint16_t value, uint16_t index, uint16_t length);

    ColorimeterConfig config;
    DeviceNode* node = nullptr;
    VendorHandler handler;
    std::deque<std::vector<uint8_t>> interruptData;
    std::deque<std::shared_ptr<Transfer>> pendingReads;
    std::vector<std::shared_ptr<Transfer>> pendingControl;
    std::deque<TransferRecord> traffic;
    size_t trafficBase = 0;          // records dropped or cleared before this index
    void Record(TransferRecord rec); // keeps the latest kLogLimit records
    bool detached = false;
};

// ------------------------------------------------------------------------ a device node
struct DeviceNode : PnpDevice {
    DeviceNode(struct World::Impl* w, const ColorimeterConfig& cfg, int index);
    Status AddStatus() const override;
    Status Start() override;
    Status Stop() override;
    Status Sleep() override;
    Status Resume() override;
    void SurpriseRemove() override;
    void Remove() override;
    PnpState State() const override;
    PowerState Power() const override;
    void* Handle() const override;
    Colorimeter& Usb() override { return usb; }
    IdlePolicy Idle() const override;
    WakePolicy Wake() const override;
    std::vector<std::string> Interfaces() const override;
    int D0Entries() const override;
    int D0Exits() const override;
    std::string Name() const override { return name; }

    World::Impl* w;
    int index;
    std::string name;
    ColorimeterImpl usb;
    NTSTATUS addStatus = STATUS_SUCCESS;
    PnpState state = PnpState::Added;
    PowerState power = PowerState::Dx;
    bool idleDx = false;    // out of D0 by idle power-down (a request brings it back)
    bool sleeping = false;  // out of D0 by system sleep
    bool queuesHeld = true; // power-managed queues deliver nothing
    bool removing = false;
    bool removePending = false;
    bool busy = false; // a PnP/power operation runs
    std::atomic<int> inCallback{0};
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    WDF_OBJECT_ATTRIBUTES requestAttributes{}; // Size 0: none set
    WDF_FILEOBJECT_CONFIG fileConfig{};        // Size 0: no file-object callbacks
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_PNP_CAPABILITIES caps{};
    DeviceObj* device = nullptr;
    Queue* defaultQueue = nullptr;
    std::vector<Queue*> queues;
    IdlePolicy idle;
    WakePolicy wake;
    std::vector<std::pair<GUID, std::string>> interfaces;
    bool interfacesEnabled = false;
    int openHandles = 0;
    uint64_t idleTimer = 0;
    uint64_t idleGen = 0;
    int d0Entries = 0, d0Exits = 0;
    std::vector<UsbDeviceObj*> usbTargets;
};

struct WDFDEVICE_INIT_IMPL {
    DeviceNode* node = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    WDF_OBJECT_ATTRIBUTES requestAttributes{};
    WDF_FILEOBJECT_CONFIG fileConfig{};
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    bool consumed = false;
};

// ------------------------------------------------------------------------ verifier, faults
class VerifierImpl : public Verifier {
public:
    std::vector<std::string> Violations() const override;
    void Clear() override;
    void SetHandler(std::function<void(const std::string&)> handler) override;
    void Report(const std::string& text);

private:
    mutable std::mutex mu_;
    std::vector<std::string> violations_;
    std::function<void(const std::string&)> handler_;
};

class FaultsImpl : public Faults {
public:
    FaultsImpl();
    void Fail(const std::string& api, Status status, unsigned skip, unsigned times) override;
    void FailPoolAfter(unsigned n) override;
    void Clear() override;
    unsigned Calls(const std::string& api) const override;
    std::vector<std::string> KnownCalls() const override;
    // Counts the call; true (and *status) when it is to fail.
    bool Check(const char* api, NTSTATUS* status);
    bool PoolShouldFail();

    VerifierImpl* verifier = nullptr;

private:
    struct Rule {
        NTSTATUS status;
        unsigned skip;
        unsigned times;
        unsigned seen = 0;
        unsigned failed = 0;
    };
    mutable std::mutex mu_;
    std::set<std::string> known_;
    std::map<std::string, Rule> rules_;
    std::map<std::string, unsigned> calls_;
    long poolBudget_ = -1; // allocations still allowed; -1: no limit
};

// ------------------------------------------------------------------------ the binding
// The client bound to the framework (the world hosts one driver): its version, bind info and
// the globals handed to it, which every table entry checks.
struct Binding {
    std::atomic<bool> bound{false};
    WDF_VERSION version{};
    PWDF_BIND_INFO info = nullptr;
    WDF_DRIVER_GLOBALS globals{};
    std::u16string registryPath;
};

// ------------------------------------------------------------------------ the world
struct PoolBlock {
    ULONG tag;
    size_t size;
    DeviceNode* owner;
    POOL_TYPE type;
};

struct World::Impl {
    Impl();
    ~Impl();

    std::mutex mu;
    std::condition_variable cv;
    Clock clock;
    VerifierImpl verifier;
    FaultsImpl faults;

    // objects
    std::unordered_map<uintptr_t, std::unique_ptr<Object>> objects;
    uintptr_t nextHandle = 0x10000;
    DriverObj* driver = nullptr;
    bool driverLoaded = false;
    Binding binding;
    bool BoundAtLeast(ULONG major, ULONG minor) const; // the bound version has what that one has
    std::string BoundVersion() const;                  // "KmdfLibrary 1.1"
    _DRIVER_OBJECT driverObject{};
    std::vector<std::unique_ptr<DeviceNode>> nodes;

    // pool
    std::unordered_map<void*, PoolBlock> pool;
    uint64_t poolAllocations = 0;

    std::vector<std::string> events;
    std::vector<DebugLine> debugLog;
    std::atomic<uint64_t> driverCalls{0}; // driver routines the layer has called
    // Ranges of the caller's memory it may read but not write (as VirtualProtect leaves them).
    std::vector<std::pair<uintptr_t, size_t>> readOnly;
    uint64_t requestsCompleted = 0;
    uint64_t nextTransfer = 1;
    // Threads working inside the world (not waiting). Virtual time moves on only while no
    // other thread works, so a waiting thread never times out a request another is finishing.
    int active = 0;

    // ---- helpers (lock held unless noted)
    void Violation(const std::string& text); // any lock state
    bool ReadOnly(const void* address, size_t length) const;
    // The pool type of the block that holds [address, address + length), if any.
    bool PoolTypeOf(const void* address, size_t length, POOL_TYPE* type) const;
    // A violation (reported unlocked by the caller) when paged pool is touched at DISPATCH_LEVEL.
    std::string PagedAtDispatch(const void* address, size_t length, KIRQL irql, const char* what);
    void Event(const std::string& text);
    uintptr_t Register(Object* obj, Object* parent);
    Object* Find(uintptr_t handle);
    Object* Lookup(const void* handle, ObjKind kind, const char* api);
    Object* LookupAny(const void* handle, const char* api);
    void Stale(const void* handle, const char* api);
    bool AttachContext(Object* obj, PWDF_OBJECT_ATTRIBUTES attributes, const char* api);
    WDF_EXECUTION_LEVEL EffectiveLevel(Object* obj);
    // Deletes obj and its children (children first); cleanup callbacks run unlocked.
    void DeleteTree(Object* obj, std::unique_lock<std::mutex>& lk);
    void EraseObject(Object* obj);

    // I/O (lock held on entry; may drop it)
    size_t PowerManagedCount(DeviceNode* node);
    size_t DriverOwnedCount(DeviceNode* node);
    bool CanDeliver(Queue* q);
    void CompleteRequest(Request* req, NTSTATUS status, ULONG_PTR info); // framework or driver
    // EvtFileClose, then the file object goes (unlocked; nothing when the device took it).
    void CloseFileObject(DeviceNode* node, uintptr_t fileObject);
    void RunQueue(uintptr_t queue);  // unlocked
    void KickQueue(uintptr_t queue); // unlocked
    void KickAll(DeviceNode* node);
    void UpdateIdle(DeviceNode* node);              // unlocked
    void IdleFired(DeviceNode* node, uint64_t gen); // unlocked
    void PowerUp(DeviceNode* node);                 // unlocked
    void FinishBusy(DeviceNode* node);              // unlocked
    void AcquireBusy(DeviceNode* node, std::unique_lock<std::mutex>& lk);
    NTSTATUS PowerDown(DeviceNode* node, WDF_POWER_DEVICE_STATE target, bool surprise);
    void ReleaseHardware(DeviceNode* node);
    void TearDown(DeviceNode* node, PnpState finalState); // unlocked
    void PurgeQueues(DeviceNode* node, NTSTATUS status, std::unique_lock<std::mutex>& lk);
    void RemoveTargets(DeviceNode* node); // unlocked: cancels sent I/O of every USB target
    void CheckGone(DeviceNode* node, std::unique_lock<std::mutex>& lk);
    NTSTATUS CallPnp(DeviceNode* node, const char* name, const std::function<NTSTATUS()>& fn);
    // Runs the world (fires timers) until pred holds; pred runs with the lock held.
    void RunUntil(const std::function<bool()>& pred, const char* what);

    // bus (unlocked)
    void Submit(uintptr_t req);
    void DeliverInterrupt(const std::shared_ptr<Transfer>& tr, const std::vector<uint8_t>& data);
    void CompleteTransfer(const std::shared_ptr<Transfer>& tr, NTSTATUS nt, USBD_STATUS usbd,
                          uint32_t bytes, const std::vector<uint8_t>* dataIn);
    void CancelTransfer(const std::shared_ptr<Transfer>& tr);
    void FinishSent(Request* req, NTSTATUS nt, USBD_STATUS usbd, uint32_t bytes); // unlocked
    void ApplyReply(const std::shared_ptr<Transfer>& tr, const ControlReply& reply);
    void TimeoutFired(uintptr_t req, uint64_t seq);
    // The transfer that ends a sent request: its bus transfer, or for a request a stopped
    // target holds, one made to give it back. Every end of a sent request goes through a
    // transfer, so exactly one of them finishes it.
    std::shared_ptr<Transfer> EndingTransfer(Request* r);
};

// Marks the calling thread as working inside the world for its lifetime.
class Activity {
public:
    explicit Activity(World::Impl* w);
    ~Activity();
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

private:
    World::Impl* w_;
};

World::Impl* W();                           // the current world
bool CheckIrql(const char* api, KIRQL max); // a violation when the thread runs above max
// Entry of a framework call the tests may make fail: the IRQL check, then the injected status,
// if any. True when the call is to fail with *status.
bool InjectFailure(World::Impl* w, const char* api, KIRQL max, NTSTATUS* status);

// Runs a driver callback at the given IRQL on behalf of a device; deferred work runs when the
// outermost callback returns.
void CallDriver(KIRQL irql, DeviceNode* node, const std::function<void()>& fn);
void RunDeferred();

} // namespace kmdf::sim
