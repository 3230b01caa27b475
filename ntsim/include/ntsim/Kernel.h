// The simulated NT kernel a native test drives: one at a time per process, since the kernel's
// services are the plain C entry points of <wdm.h>. Time is virtual: timers fire, and their DPCs
// run at DISPATCH_LEVEL, only while a test advances the clock.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ntsim {

enum class ViolationKind {
    Irql,     // a call above its IRQL, or a routine that returned at another IRQL
    SpinLock, // released by another thread, acquired twice, held when it must not be
    Irp,      // completed twice, completed pending, freed in flight, out of stack locations
    Cancel,   // cancel routine left the cancel spin lock held, completed with one set
    Pool,     // freed twice or unknown, wrong tag, leaked, allocated above its IRQL
    Mdl,      // unlocked twice, freed locked, mapped unlocked
    Device,   // deleted while attached or called after deletion, AddDevice left it initialising
    Buffer,   // more bytes reported than the caller's buffer holds
    Dispatch, // returned a status other than the one the IRP completed with
    WineGap,  // works here and on the platform, but not on Wine's ntoskrnl
    Debug,    // debug output whose format the debugger's printf cannot render
};

struct Violation {
    ViolationKind kind;
    std::string text;
};

// What the kernel's verifier found. A handler sees each violation as it happens (a test fails
// there); all are kept for inspection.
class Verifier {
public:
    void SetHandler(std::function<void(const Violation&)> handler);
    std::vector<Violation> Violations() const;
    size_t Count(ViolationKind kind) const;
    void Clear();
    void Report(ViolationKind kind, const std::string& text);

    Verifier();
    ~Verifier();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The platform raises STATUS_ACCESS_VIOLATION from a failed probe; a C++ exception carries it
// here, where the platform's compiler would use structured exception handling.
struct RaisedStatus {
    NTSTATUS status;
};

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

// A device node's problem, as CM_Get_DevNode_Status reports it (0: none); the status behind it is
// the node's problem status (DEVPKEY_Device_ProblemStatus).
constexpr ULONG kProblemFailedStart = 10;       // CM_PROB_FAILED_START
constexpr ULONG kProblemFailedAdd = 31;         // CM_PROB_FAILED_ADD
constexpr ULONG kProblemFailedDriverEntry = 37; // CM_PROB_FAILED_DRIVER_ENTRY

// The plug-and-play manager: builds device stacks for root-enumerated devices and for the children
// a bus driver reports, matching function drivers by hardware id as an INF's models do. Each call
// runs on the PnP thread and returns when it is done.
class PnpManager {
public:
    // A function driver's package: loaded (DriverEntry) when a device with one of these hardware
    // or compatible ids first appears.
    void InstallDriver(const std::string& service, DriverEntryRoutine entry,
                       const std::vector<std::string>& ids);
    PDRIVER_OBJECT Driver(const std::string& service) const; // nullptr until loaded
    // A driver loaded at once, bound to no hardware (nullptr when DriverEntry fails).
    PDRIVER_OBJECT LoadDriver(const std::string& service, DriverEntryRoutine entry);
    // A root-enumerated device (ROOT\...): its PDO, after AddDevice and START_DEVICE.
    PDEVICE_OBJECT AddRootDevice(const std::string& hardwareId);
    // Orderly removal (QUERY_REMOVE, then REMOVE, or CANCEL_REMOVE when refused): children first.
    NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
    // SURPRISE_REMOVAL then REMOVE_DEVICE, children first, as Wine always removes.
    void SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
    // The first half of a rebalance: QUERY_STOP_DEVICE, then STOP_DEVICE (CANCEL_STOP_DEVICE when
    // the query is refused, whose status is returned). The device alone; it stays stopped, its
    // stack in place, until StartDevice.
    NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
    // START_DEVICE again for a stopped device; a failed start removes its stack, as at arrival.
    NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
    // IRP_MN_SET_POWER (device power) down the device's stack: IoAllocateIrp + PoCallDriver.
    NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
    // A system power transition: IRP_MN_QUERY_POWER (going to sleep), then IRP_MN_SET_POWER with
    // the system state, to every started device; children before their parents on the way down,
    // parents first on the way back to PowerSystemWorking. The first refused query's status (the
    // transition is then not made), else that of the first SET_POWER that failed.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
    // Devices the PnP manager knows, with their IDs and where they are in their life.
    struct DeviceInfo {
        PDEVICE_OBJECT pdo;
        std::string deviceId;
        std::string instanceId;
        std::vector<std::string> hardwareIds;
        std::vector<std::string> compatibleIds;
        std::string service; // the function driver, empty when none matched
        bool started;
        ULONG problem;          // kProblem*, 0 when none
        NTSTATUS problemStatus; // what failed: DriverEntry's, AddDevice's or the start's status
    };
    std::vector<DeviceInfo> Devices() const;
    // Waits until every queued PnP action (from IoInvalidateDeviceRelations) has run.
    void WaitIdle();

    struct Impl;
    explicit PnpManager(Impl* impl) : impl_(impl) {}

private:
    Impl* impl_;
};

enum class Protection { NoAccess, ReadOnly, ReadWrite };

// An overlapped request of a user-mode caller.
class Overlapped {
public:
    Overlapped();
    ~Overlapped();
    bool Done() const;
    NTSTATUS Status() const;       // STATUS_PENDING until done
    ULONG_PTR Information() const; // bytes returned
    NTSTATUS Wait();               // blocks until done (another thread must advance time)

    struct State;
    std::shared_ptr<State> state_;
};

// The I/O manager as a user-mode caller meets it. Statuses are NTSTATUS values.
class UserIo {
public:
    using Handle = std::uint64_t;
    static constexpr ULONG kGenericRead = 0x80000000u;
    static constexpr ULONG kGenericWrite = 0x40000000u;

    // SetupDiGetClassDevs(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE): paths of enabled interfaces.
    std::vector<std::string> FindInterfaces(const GUID& interfaceClass) const;
    NTSTATUS CreateFile(const std::string& path, ULONG access, Handle* handle);
    NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, ULONG_PTR* bytesReturned);
    // STATUS_PENDING, or the final status when the request completed at once.
    NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, Overlapped* overlapped);
    // CancelIoEx: one request, or all of the handle's (nullptr). STATUS_NOT_FOUND when none.
    NTSTATUS CancelIoEx(Handle handle, Overlapped* overlapped);
    NTSTATUS CloseHandle(Handle handle);
    // The caller's page protection (whole pages); pages never set are read-write.
    void Protect(const void* address, size_t length, Protection protection);

    struct Impl;
    explicit UserIo(Impl* impl) : impl_(impl) {}

private:
    Impl* impl_;
};

// One step of an IRP's path, as the IRP trace reports it: each IoCallDriver (the device called and
// the stack location it gets), each IoCompleteRequest (the location of the driver completing),
// the completion reaching the IRP's owner at the top of the stack, and each IoCancelIrp (before
// it takes effect; only `irp` is set, the IRP may be moving on another thread).
struct IrpStep {
    enum class Kind { Call, Complete, CompletedToTop, Cancel };
    Kind kind;
    PIRP irp;
    PDEVICE_OBJECT device; // CompletedToTop: the device the owner called first
    std::string driver;    // the device's driver (its service name)
    UCHAR major;
    UCHAR minor;
    ULONG controlCode;  // (internal) device control: the IOCTL
    USHORT urbFunction; // IOCTL_INTERNAL_USB_SUBMIT_URB: the URB's function
    NTSTATUS status;    // Complete, CompletedToTop
    ULONG_PTR information;
};
// "call MyDriver DEVICE_CONTROL 0x00222059", "complete VirtualUsb INTERNAL_DEVICE_CONTROL ... 0x0".
std::string IrpStepText(const IrpStep& step);

// One pool allocation or free, as the pool's trace reports it.
struct PoolStep {
    enum class Kind { Allocate, AllocateFailed, Free };
    Kind kind;
    ULONG tag;
    size_t size; // Free: the block's size
    const void* address;
};

// One DbgPrintEx/vDbgPrintEx call as the debugger shows it: the component and level (or mask) it
// was given and its text with the printf conversions rendered.
struct DebugLine {
    ULONG component;
    ULONG level;
    std::string text;
};

struct KernelOptions {
    // Wine never sends IRP_MJ_CLEANUP; the platform sends it when the last handle closes.
    bool sendCleanup = true;
};

class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel(); // pool, IRPs and MDLs still allocated are reported as leaks
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    Verifier& verifier();
    PnpManager& Pnp();
    UserIo& User();

    // Virtual time in 100-ns ticks since boot; timers due on the way fire in order.
    std::int64_t Now() const;
    void AdvanceMs(std::int64_t ms);
    void Advance(std::int64_t ticks);
    // Waits until queued work items and PnP actions have run.
    void WaitIdle();

    // The lines of debug output so far (the latest 65536), in order.
    std::vector<DebugLine> DebugOutput() const;

    // Reports every step of every IRP to `callback` (nullptr: off), on the thread taking the step,
    // with no kernel lock held; it may run on several threads at once.
    void TraceIrps(std::function<void(const IrpStep&)> callback);

    // Pool accounting.
    size_t PoolOutstanding() const;
    size_t PoolOutstandingWithTag(ULONG tag) const;
    // Allocations made with `tag` so far, freed or not (what a driver allocated, by its tag).
    std::uint64_t PoolAllocationsWithTag(ULONG tag) const;
    // Lets `count` more allocations succeed, then fails them (negative: never).
    void FailPoolAfter(long count);
    // The same for allocations with `tag` only, as the platform's low-resources simulation
    // limited to a driver's tags.
    void FailPoolWithTag(ULONG tag, long count);
    // Reports every allocation (failed ones too) and free to `callback` (nullptr: off), on the
    // calling thread, with no pool lock held; it must not call the kernel.
    void TracePool(std::function<void(const PoolStep&)> callback);
    // Reports every block still allocated as a leak; returns how many there were.
    size_t CheckPoolLeaks();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A tag as the platform writes it: 'abcd' is stored so that memory reads "dcba".
std::string TagText(ULONG tag);
std::string GuidText(const GUID& guid);

} // namespace ntsim
