// The one seam between the colorimeter client and the system it runs on: find devices by their
// interface class, open one, and run device-control requests on it. Windows implements it with
// SetupDi, CreateFile and overlapped DeviceIoControl; the simulated system with the framework
// layer's user-mode side; tests with a scripted fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik {

// A device-interface class id in the standard 16-byte layout.
struct InterfaceClass {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// How a device-control request ended, as user mode sees it: the system error code (0 for
// success; the kernel's status already translated the way DeviceIoControl reports it) and the
// bytes returned.
struct IoOutcome {
    uint32_t error = 0;
    uint32_t bytes = 0;
};

// One device-control request that was started.
class PendingIo {
public:
    virtual ~PendingIo() = default;
    // Blocks until the request has completed. Called at most once.
    virtual IoOutcome Wait() = 0;
    // Blocks for at most `milliseconds`; true when the request has completed by then (Wait then
    // gives its outcome at once).
    virtual bool WaitFor(uint32_t milliseconds) = 0;
    // Asks the system to cancel the request; it still completes (and has to be waited for).
    virtual void Cancel() = 0;
};

// An open device. Destroying it closes the device; every request started on it must have been
// waited for before that.
class Channel {
public:
    virtual ~Channel() = default;
    // Starts a device-control request. Never returns null: a request that cannot be started
    // comes back already completed with its error. The buffers must stay valid until Wait returns.
    virtual std::unique_ptr<PendingIo> Submit(uint32_t code, const void* in, uint32_t inLength,
                                              void* out, uint32_t outLength) = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Paths of the present devices that expose the interface class; returns a system error code.
    virtual uint32_t ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) = 0;
    // Opens a device by the path ListInterfaces gave; returns a system error code.
    virtual uint32_t Open(const std::string& path, std::unique_ptr<Channel>& channel) = 0;
};

// A request that finished before it could pend (refused at once).
class CompletedIo : public PendingIo {
public:
    explicit CompletedIo(IoOutcome outcome) : m_outcome(outcome) {}
    IoOutcome Wait() override { return m_outcome; }
    bool WaitFor(uint32_t) override { return true; }
    void Cancel() override {}

private:
    IoOutcome m_outcome;
};

} // namespace talvik
