// The simulated machine the driver runs in: the framework's state, a virtual clock, the verifier,
// fault injection, the pool, and the PnP manager that the test (or a demo) drives. One World
// exists at a time; the framework calls of the driver and the user-mode API act on it.
//
// Self-contained (fixed-width types only), like kmdf/usermode/DeviceIo.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace kmdf::sim {

using Status = std::int32_t; // NTSTATUS
using DriverEntryFn = Status (*)(_DRIVER_OBJECT*, _UNICODE_STRING*);

// ------------------------------------------------------------------------ the virtual device
enum class PipeKind { Control, Isochronous, Bulk, Interrupt };

struct PipeConfig {
    PipeKind kind = PipeKind::Interrupt;
    bool in = true;
    std::uint16_t maxPacketSize = 64;
    std::uint8_t interval = 1;
};

struct ColorimeterConfig {
    std::uint16_t vendorId = 0x0000;
    std::uint16_t productId = 0x0000;
    bool hasInterface = true;                       // false: a configuration with no interface
    std::vector<PipeConfig> pipes = {PipeConfig{}}; // endpoints of interface 0, setting 0
    bool selfPowered = false;                       // configuration bmAttributes bit 6
    bool remoteWake = true;                         // configuration bmAttributes bit 5
    bool failInformationQuery = false;              // the bus interface query fails
};

struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

// The device's answer to one control transfer.
struct ControlReply {
    bool answer = true;             // false: the device never answers (the host must cancel)
    std::uint32_t delayMs = 0;      // virtual time until the answer; 0: at once
    Status ntStatus = 0;            // status of the request as the USB stack completes it
    std::int32_t usbdStatus = 0;    // URB status (USBD_STATUS)
    std::vector<std::uint8_t> data; // IN: the data stage sent to the host (cut to wLength)
    std::int64_t acceptedOut = -1;  // OUT: bytes taken from the host; -1: all of them

    static ControlReply Data(std::vector<std::uint8_t> bytes);
    static ControlReply Ack();                       // OUT: takes all; IN: no data
    static ControlReply Stall();                     // STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID
    static ControlReply UsbError(std::int32_t usbd); // request fails with that USB status
    static ControlReply Custom(Status nt, std::int32_t usbd, std::vector<std::uint8_t> bytes = {});
    static ControlReply NoAnswer();
    ControlReply& After(std::uint32_t ms) {
        delayMs = ms;
        return *this;
    }
};

using VendorHandler = std::function<ControlReply(const SetupPacket& setup,
                                                 const std::vector<std::uint8_t>& hostData)>;

// One transfer on the virtual bus, as the bus analyser would show it.
struct TransferRecord {
    enum class Kind { Control, InterruptIn, BulkIn, BulkOut } kind = Kind::Control;
    std::uint64_t submittedMs = 0;
    std::uint64_t completedMs = 0;
    SetupPacket setup;                 // control transfers
    std::uint8_t endpoint = 0;         // pipe transfers
    std::uint32_t requestedLength = 0; // wLength or the read length
    std::vector<std::uint8_t> dataOut; // host to device
    std::vector<std::uint8_t> dataIn;  // device to host
    bool completed = false;
    bool cancelled = false;
    Status ntStatus = 0;
    std::int32_t usbdStatus = 0;
    std::uint32_t bytes = 0;
    std::string ToString() const;
};

class Colorimeter {
public:
    virtual ~Colorimeter() = default;
    virtual void SetVendorHandler(VendorHandler handler) = 0;
    // Queues one interrupt-IN transfer; it completes the oldest pending read, or waits for one.
    virtual void PushInterrupt(std::vector<std::uint8_t> bytes) = 0;
    virtual std::size_t PendingInterruptReads() const = 0;
    virtual std::vector<TransferRecord> Traffic() const = 0;
    virtual void ClearTraffic() = 0;
    // The device signals resume while suspended (remote wake-up).
    virtual void SignalRemoteWake() = 0;
    virtual const ColorimeterConfig& Config() const = 0;
};

// ------------------------------------------------------------------------ a device in the PnP tree
enum class PnpState { Added, Started, Stopped, SurpriseRemoved, Removed, FailedAdd, FailedStart };
enum class PowerState { D0, Dx };

struct IdlePolicy {
    bool assigned = false;
    std::uint32_t idleCaps = 0, dxState = 0, idleTimeoutMs = 0, userControl = 0, enabled = 0;
};
struct WakePolicy {
    bool assigned = false;
    std::uint32_t dxState = 0, userControl = 0, enabled = 0;
};

class PnpDevice {
public:
    virtual ~PnpDevice() = default;
    virtual Status AddStatus() const = 0;
    // Start = EvtDevicePrepareHardware, then EvtDeviceD0Entry. A failed start releases the
    // hardware and removes the device. Returns the status.
    virtual Status Start() = 0;
    virtual Status Stop() = 0;  // queues held, D0 exit, release hardware
    virtual Status Sleep() = 0; // system sleep: queues held, D0 exit; no power-up until Resume
    virtual Status Resume() = 0;
    virtual void SurpriseRemove() = 0;
    // Removal: D0 exit and release when started, queues purged, every object of the device
    // deleted. After a surprise removal it waits for the last handle to close.
    virtual void Remove() = 0;
    virtual PnpState State() const = 0;
    virtual PowerState Power() const = 0;
    virtual void* Handle() const = 0; // the WDFDEVICE
    virtual Colorimeter& Usb() = 0;
    virtual IdlePolicy Idle() const = 0;
    virtual WakePolicy Wake() const = 0;
    virtual std::vector<std::string> Interfaces() const = 0; // symbolic links
    virtual int D0Entries() const = 0;
    virtual int D0Exits() const = 0;
    virtual std::string Name() const = 0;
};

// ------------------------------------------------------------------------ verifier and faults
class Verifier {
public:
    virtual ~Verifier() = default;
    virtual std::vector<std::string> Violations() const = 0;
    virtual void Clear() = 0;
    // Called with each violation as it is found (a test fails itself here). The handler must not
    // call back into the world.
    virtual void SetHandler(std::function<void(const std::string&)> handler) = 0;
};

class Faults {
public:
    virtual ~Faults() = default;
    // The calls of framework operation `api` after the first `skip` ones fail with `status`,
    // `times` of them (0: all). WdfRequestSend fails by returning FALSE with the request's
    // status set. Unknown names are refused (a verifier violation).
    virtual void Fail(const std::string& api, Status status, unsigned skip = 0,
                      unsigned times = 1) = 0;
    // Pool allocations after the first n (counted from now) return no block.
    virtual void FailPoolAfter(unsigned n) = 0;
    virtual void Clear() = 0;
    virtual unsigned Calls(const std::string& api) const = 0;
    virtual std::vector<std::string> KnownCalls() const = 0;
};

// One line written through vDbgPrintEx: the component, the Level as passed (a level 0-31, or a
// mask with DPFLTR_MASK set) and the text as the debugger prints it.
struct DebugLine {
    std::uint32_t component = 0;
    std::uint32_t level = 0;
    std::string text;
};

// ------------------------------------------------------------------------ the world
class World {
public:
    World();
    ~World(); // unloads what is loaded, then reports leaks to the verifier
    World(const World&) = delete;
    World& operator=(const World&) = delete;
    static World* Current();

    Status LoadDriver(DriverEntryFn entry);
    bool DriverLoaded() const;
    // Removes the devices still present, then unloads: the driver object is deleted and the
    // pool and object table must be empty.
    void UnloadDriver();

    // A colorimeter arrives: the framework calls the driver's device-add routine. The device is
    // returned even when the add failed (State() is then FailedAdd).
    PnpDevice& PlugIn(const ColorimeterConfig& config = {});
    std::vector<PnpDevice*> Devices() const;

    // Virtual time.
    std::uint64_t NowMs() const;
    void AdvanceMs(std::uint64_t ms);
    // Fires every timer due up to the time at which nothing is pending; returns the time moved.
    std::uint64_t RunTimers();

    Verifier& verifier();
    Faults& faults();

    // Framework events in order (pool, objects, PnP/power callbacks, target state).
    std::vector<std::string> Events() const;
    void ClearEvents();
    // Lines written through DbgPrintEx (a checked build's trace output).
    std::vector<std::string> DebugLog() const;
    std::vector<DebugLine> DebugLines() const;
    // Driver routines the framework has called so far (callbacks, completion routines).
    std::uint64_t DriverRoutineCalls() const;

    std::uint64_t PoolAllocations() const; // successful allocations so far
    std::size_t PoolBlocksOutstanding() const;
    std::size_t LiveObjects() const; // framework objects, the driver object included
    std::uint64_t RequestsCompleted() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kmdf::sim
