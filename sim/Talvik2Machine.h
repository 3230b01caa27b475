// The machine with Talvik2 installed for the default colorimeter's hardware id (loaded through
// its image entry when the first one arrives) and the framework's host hooks connected: its
// verifier findings join the kernel's, its events are recorded.
#pragma once

#include "sim/Machine.h"

namespace sim {

class Talvik2Machine : public Machine {
public:
    explicit Talvik2Machine(ntsim::KernelOptions kernel = {});
    ~Talvik2Machine() override;
    // The framework's counters: live objects, driver routines run, requests completed.
    unsigned long LiveFrameworkObjects() const;
    unsigned long long DriverRoutineCalls() const;
    unsigned long long RequestsCompleted() const;
};

} // namespace sim
