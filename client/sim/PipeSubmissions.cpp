#include "PipeSubmissions.h"

#include <usb.h>
#include <usburb.h>

namespace talvik::sim {

namespace {
// The virtual bus's service: its child PDOs are the devices' ends of their stacks.
constexpr const char* kBusService = "VirtualUsb";
} // namespace

PipeSubmissions::PipeSubmissions(ntsim::Kernel& kernel) : m_kernel(kernel) {
    m_kernel.TraceIrps([this](const ntsim::IrpStep& step) { Seen(step); });
}

PipeSubmissions::~PipeSubmissions() {
    m_kernel.TraceIrps(nullptr);
}

void PipeSubmissions::Seen(const ntsim::IrpStep& step) {
    if (step.kind != ntsim::IrpStep::Kind::Call ||
        step.urbFunction != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || step.driver != kBusService)
        return;
    // The step is the bus's: its stack location carries the URB.
    const auto* urb = static_cast<const _URB_BULK_OR_INTERRUPT_TRANSFER*>(
        IoGetCurrentIrpStackLocation(step.irp)->Parameters.Others.Argument1);
    if (urb == nullptr || (urb->TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0)
        return;
    const Submission submission{static_cast<std::uint64_t>(m_kernel.Now() / 10000),
                                urb->TransferBufferLength};
    std::lock_guard<std::mutex> lock(m_mu);
    m_pending[step.device].push_back(submission);
}

bool PipeSubmissions::Take(PDEVICE_OBJECT pdo, Submission* submission) {
    std::lock_guard<std::mutex> lock(m_mu);
    auto found = m_pending.find(pdo);
    if (found == m_pending.end() || found->second.empty())
        return false;
    *submission = found->second.front();
    found->second.pop_front();
    return true;
}

} // namespace talvik::sim
