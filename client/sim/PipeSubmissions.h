// When each pipe-IN transfer reached the virtual bus and how many bytes it asked for: the bus
// logs such a transfer only when data, a cancellation or its status comes, so talvikctl's bus
// view takes its start from the IRP trace instead.
#pragma once

#include "ntsim/Kernel.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace talvik::sim {

class PipeSubmissions {
public:
    struct Submission {
        std::uint64_t ms;
        std::uint32_t length;
    };

    // Traces the kernel's IRPs until destroyed (one tracer per kernel).
    explicit PipeSubmissions(ntsim::Kernel& kernel);
    ~PipeSubmissions();
    PipeSubmissions(const PipeSubmissions&) = delete;
    PipeSubmissions& operator=(const PipeSubmissions&) = delete;

    // The oldest pipe-IN transfer sent to bus device `pdo` and not taken yet; false when none.
    bool Take(PDEVICE_OBJECT pdo, Submission* submission);

private:
    void Seen(const ntsim::IrpStep& step);

    ntsim::Kernel& m_kernel;
    std::mutex m_mu;
    std::map<PDEVICE_OBJECT, std::deque<Submission>> m_pending;
};

} // namespace talvik::sim
