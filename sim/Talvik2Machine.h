// The machine with Talvik2 installed for the default colorimeter's hardware id (loaded through
// its image entry when the first one arrives) on the framework over the kernel.
#pragma once

#include "sim/FrameworkMachine.h"

namespace sim {

class Talvik2Machine : public FrameworkMachine {
public:
    explicit Talvik2Machine(ntsim::KernelOptions kernel = {});
};

} // namespace sim
