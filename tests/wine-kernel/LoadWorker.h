// The workers of the load run: threads that open a colorimeter's interface, send random requests
// (LoadFirmware) synchronously and overlapped through Wine's I/O manager, cancel some with
// CancelIoEx, close handles with requests in flight, and judge every end against the driver's
// contract (StressContract). One process's share of the run.
#pragma once

#include "LoadShared.h"

#include <cstdint>
#include <string>

namespace load {

struct WorkerOptions {
    std::uint64_t seed = 1;
    int threads = 3;
    int slot = 0;                    // 0: the parent, 1: the child
    std::uint32_t silentOneIn = 400; // vendor requests per one the device never answers
    std::uint32_t cancelOneIn = 0;   // pending requests per one cancelled at random (0: none)
    std::wstring cancelLock;         // the mutex's name (OpenCancelLock)
};

// Runs the threads until the shared stop flag is set and every request of theirs has ended;
// returns this process's violations. Prints one summary line.
std::uint64_t RunWorkers(Shared& shared, const WorkerOptions& options);

} // namespace load
