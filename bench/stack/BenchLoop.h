// The loop both stack benches run: a warm-up, then N requests of one kind through the machine,
// then one line of figures for scripts/bench-stack.sh (requests, pool blocks left, the driver's
// pool allocations by its tag during start-up and warm-up and during the requests, CPU time).
#pragma once

#include "sim/Machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>

namespace bench {

struct Request {
    std::function<bool()> vendor; // one vendor request, true when it did what it should
    std::function<bool()> read;   // one interrupt read (its data fed first)
    ULONG driverTag = 0;          // the function driver's pool tag: its allocations are counted
};

inline double CpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The machine could not be set up: says what and what was found, for the script.
inline int SetupFailed(sim::Machine& machine, const char* what) {
    std::fprintf(stderr, "%s", what);
    for (const sim::Finding& f : machine.Findings())
        std::fprintf(stderr, "; %s", f.text.c_str());
    std::fprintf(stderr, "\n");
    return 1;
}

// argv: --vendor N | --read N. Returns the exit status.
inline int Run(int argc, char** argv, sim::Machine& machine, const Request& request) {
    if (argc != 3 ||
        (std::strcmp(argv[1], "--vendor") != 0 && std::strcmp(argv[1], "--read") != 0)) {
        std::fprintf(stderr, "usage: %s --vendor N | --read N\n", argv[0]);
        return 2;
    }
    const bool vendor = std::strcmp(argv[1], "--vendor") == 0;
    const long count = std::strtol(argv[2], nullptr, 10);
    if (count <= 0)
        return 2;
    const std::function<bool()>& one = vendor ? request.vendor : request.read;
    for (int i = 0; i < 100; ++i)
        if (!one())
            return 1;
    const size_t pool0 = machine.Kernel().PoolOutstanding();
    // Start-up and warm-up figures show that the counter sees the driver's allocations at all.
    const unsigned long long driver0 = machine.Kernel().PoolAllocationsWithTag(request.driverTag);
    const double t0 = CpuSeconds();
    long failed = 0;
    for (long i = 0; i < count; ++i)
        failed += one() ? 0 : 1;
    const double seconds = CpuSeconds() - t0;
    const long pool =
        static_cast<long>(machine.Kernel().PoolOutstanding()) - static_cast<long>(pool0);
    const unsigned long long driver =
        machine.Kernel().PoolAllocationsWithTag(request.driverTag) - driver0;
    const size_t findings = machine.Findings().size();
    std::printf("requests %ld failed %ld pool_blocks_left %ld startup_driver_pool_allocations %llu "
                "driver_pool_allocations %llu cpu_seconds %.6f findings %zu\n",
                count, failed, pool, driver0, driver, seconds, findings);
    for (const sim::Finding& f : machine.Findings())
        std::fprintf(stderr, "finding: %s\n", f.text.c_str());
    return failed == 0 && findings == 0 ? 0 : 1;
}

} // namespace bench
