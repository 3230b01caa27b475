// A machine whose function driver is a KMDF driver on the framework over the kernel, with the
// framework's host hooks connected: its verifier findings join the kernel's, its events are
// recorded, its calls can be made to fail, its counters read, and a colorimeter's WDFDEVICE found.
#pragma once

#include "sim/Machine.h"

#include <map>
#include <mutex>
#include <string>

namespace sim {

class FrameworkMachine : public Machine {
public:
    explicit FrameworkMachine(MachineOptions options);
    ~FrameworkMachine() override;
    // The framework's counters: live objects, driver routines run, requests completed.
    unsigned long LiveFrameworkObjects() const;
    unsigned long long DriverRoutineCalls() const;
    unsigned long long RequestsCompleted() const;

    // Of the calls of framework call `api` (one of FxHostFaultableCalls) after the next `skip`,
    // the next `times` fail with `status`. An api the framework cannot fail is a finding.
    void FailCall(const std::string& api, NTSTATUS status, unsigned times = 1, unsigned skip = 0);
    void ClearFaults();
    // Asked by the framework on entry to a faultable call.
    bool Injected(const char* api, NTSTATUS* status);

    // The WDFDEVICE the driver made on the colorimeter's stack (as a pointer), nullptr when
    // there is none, for the driver's own context accessor.
    void* WdfDeviceOf(const Colorimeter* colorimeter) const;

private:
    struct Fault {
        NTSTATUS status;
        unsigned times;
        unsigned skip;
    };
    std::mutex faultsMu_;
    std::map<std::string, Fault> faults_;
};

} // namespace sim
