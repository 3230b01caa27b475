// A simulated machine: the simulated NT kernel with the virtual USB bus on a root device, a
// function driver installed for the colorimeter's hardware id, colorimeters plugged and
// unplugged, user-mode I/O on the driver's device interface, virtual time, and what the kernel's
// verifier (and, through ReportFinding, the framework's) found. One machine at a time, as there
// is one kernel at a time.
#pragma once

#include "sim/Colorimeter.h"

#include "ntsim/Kernel.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct MachineOptions {
    ntsim::KernelOptions kernel;
    // The function driver and the device interface it registers.
    std::string service;
    ntsim::DriverEntryRoutine driverEntry = nullptr;
    GUID interfaceGuid = {};
    // Hardware ids the driver is installed for; empty: the default colorimeter's.
    std::vector<std::string> hardwareIds;
};

struct Finding {
    enum class Source { Kernel, Framework } source;
    std::string text;
};

class Machine {
public:
    using Handle = ntsim::UserIo::Handle;

    explicit Machine(MachineOptions options);
    virtual ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    ntsim::Kernel& Kernel() { return *kernel_; }
    PDEVICE_OBJECT BusFdo() const { return bus_; }

    // A colorimeter arrives on a free port; returns when the PnP manager has built its stack.
    // nullptr when the bus has no port left.
    Colorimeter* PlugIn(const ColorimeterConfig& config = {});
    // It leaves at once (surprise removal); returns when the stack is gone. It stays allocated
    // with the machine, so that what a test keeps of it (Traffic) still works.
    NTSTATUS Unplug(Colorimeter* colorimeter);

    // The function driver's device interfaces, as SetupDiGetClassDevs finds them.
    std::vector<std::string> Interfaces() const;
    // Opens interface `index` for read and write; the machine closes what is left open.
    NTSTATUS Open(Handle* handle, size_t index = 0);
    NTSTATUS Close(Handle handle);
    NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, ULONG_PTR* bytes);
    NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, ntsim::Overlapped* overlapped);
    NTSTATUS CancelIoEx(Handle handle, ntsim::Overlapped* overlapped);

    // Virtual time.
    std::int64_t NowMs() const { return kernel_->Now() / 10000; }
    void AdvanceMs(std::int64_t ms) { kernel_->AdvanceMs(ms); }
    void WaitIdle() { kernel_->WaitIdle(); }

    // Findings of the kernel's verifier and of the framework; the handler (if any) sees each as
    // it is found, on the thread that found it.
    void SetFindingHandler(std::function<void(const Finding&)> handler);
    void ReportFinding(Finding::Source source, const std::string& text);
    std::vector<Finding> Findings() const;
    void ClearFindings();
    // Framework events, in order.
    void RecordEvent(const std::string& text);
    std::vector<std::string> Events() const;
    void ClearEvents();

protected:
    // Closes what is open, removes the bus and its children, stops the kernel (leaks are
    // reported then). Idempotent; a derived machine calls it before undoing its own hooks.
    void Shutdown();

private:
    MachineOptions options_;
    std::unique_ptr<ntsim::Kernel> kernel_;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;
    std::vector<std::unique_ptr<Colorimeter>> colorimeters_;
    std::vector<Handle> open_;
    mutable std::mutex mu_;
    std::function<void(const Finding&)> handler_;
    std::vector<Finding> findings_;
    std::vector<std::string> events_;
};

} // namespace sim
