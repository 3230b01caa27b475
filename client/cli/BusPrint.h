// The traffic on the virtual bus as talvikctl --bus prints it, in either build: each transfer's
// setup packet, data stages and end, at the bus log's times (the simulated kernel's virtual time,
// or the kernel host's interrupt time since the session's first transfer).
#pragma once

#include "Output.h"

#include "sim/BusTransfers.h"

#include <cstdint>

namespace talvik::cli {

// `requested`: what a pipe transfer asked for (the bus log has only what it moved); `baseMs`: the
// log time printed as 0.
void PrintTransfer(Output& out, const ::sim::TransferRecord& t, uint32_t requested,
                   uint64_t baseMs = 0);

} // namespace talvik::cli
