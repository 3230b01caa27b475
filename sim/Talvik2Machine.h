// The machine with Talvik2 installed for the default colorimeter's hardware id (loaded through
// its image entry when the first one arrives) and the framework's host hooks connected: its
// verifier findings join the kernel's, its events are recorded.
#pragma once

#include "sim/Machine.h"

#include <map>
#include <mutex>
#include <string>

namespace sim {

class Talvik2Machine : public Machine {
public:
    explicit Talvik2Machine(ntsim::KernelOptions kernel = {});
    ~Talvik2Machine() override;
    // The framework's counters: live objects, driver routines run, requests completed.
    unsigned long LiveFrameworkObjects() const;
    unsigned long long DriverRoutineCalls() const;
    unsigned long long RequestsCompleted() const;

    // The next `times` calls of framework call `api` (one of FxHostFaultableCalls) fail with
    // `status`; another name is a finding.
    void FailCall(const std::string& api, NTSTATUS status, unsigned times = 1);
    // Asked by the framework on entry to a faultable call.
    bool Injected(const char* api, NTSTATUS* status);

private:
    struct Fault {
        NTSTATUS status;
        unsigned times;
    };
    std::mutex faultsMu_;
    std::map<std::string, Fault> faults_;
};

} // namespace sim
