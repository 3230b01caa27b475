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
    const ntsim::Kernel& Kernel() const { return *kernel_; }
    PDEVICE_OBJECT BusFdo() const { return bus_; }

    // A colorimeter arrives on a free port; returns when the PnP manager has built its stack.
    // nullptr when the bus has no port left.
    Colorimeter* PlugIn(const ColorimeterConfig& config = {});
    // It leaves at once (surprise removal); returns when the stack is gone. It stays allocated
    // with the machine, so that what a test keeps of it (Traffic) still works.
    NTSTATUS Unplug(Colorimeter* colorimeter);

    // The colorimeter's node as the PnP manager sees it, and its PDO (nullptr when the bus
    // reported none for it, or once the node is gone).
    struct DeviceState {
        bool present = false; // the PnP manager has a node for it
        bool started = false;
        ULONG problem = 0; // ntsim::kProblem*
        NTSTATUS problemStatus = STATUS_SUCCESS;
    };
    DeviceState StateOf(const Colorimeter* colorimeter) const;
    PDEVICE_OBJECT PdoOf(const Colorimeter* colorimeter) const;
    // A rebalance's stop (the driver releases the hardware, its stack stays) and the start after.
    NTSTATUS Stop(const Colorimeter* colorimeter);
    NTSTATUS Start(const Colorimeter* colorimeter);
    // Orderly removal of a device still plugged in, as when it is uninstalled: the bus still
    // reports it, so its next enumeration (another device arriving) brings it back.
    NTSTATUS Remove(const Colorimeter* colorimeter);
    // The system goes to sleep and comes back (system power IRPs to every device).
    NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    NTSTATUS Wake();

    // The function driver's device interfaces, as SetupDiGetClassDevs finds them.
    std::vector<std::string> Interfaces() const;
    // Those of one colorimeter (CM_Get_Device_Interface_List for its device instance).
    std::vector<std::string> InterfacesOf(const Colorimeter* colorimeter) const;
    // Opens interface `index` for read and write; the machine closes what is left open.
    NTSTATUS Open(Handle* handle, size_t index = 0);
    // Opens the colorimeter's first interface for read and write.
    NTSTATUS Open(Handle* handle, const Colorimeter* colorimeter);
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
    // Framework events, in order; the handler (if any) sees each as it is recorded, on the
    // thread that recorded it.
    void SetEventHandler(std::function<void(const std::string&)> handler);
    void RecordEvent(const std::string& text);
    std::vector<std::string> Events() const;
    void ClearEvents();

protected:
    NTSTATUS OpenPath(Handle* handle, const std::string& path);
    // Closes what is open, removes the bus and its children, stops the kernel (leaks are
    // reported then). Idempotent; a derived machine calls it before undoing its own hooks.
    void Shutdown();

private:
    MachineOptions options_;
    std::unique_ptr<ntsim::Kernel> kernel_;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;
    std::vector<std::unique_ptr<Colorimeter>> colorimeters_;
    std::vector<PDEVICE_OBJECT> pdos_; // of colorimeters_, by index
    std::vector<Handle> open_;
    mutable std::mutex mu_;
    std::function<void(const Finding&)> handler_;
    std::function<void(const std::string&)> eventHandler_;
    std::vector<Finding> findings_;
    std::vector<std::string> events_;
};

} // namespace sim
