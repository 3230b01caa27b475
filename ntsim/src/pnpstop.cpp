// Stopping a started device and starting it again, as a rebalance does: the stack stays, its
// drivers release and then take back their hardware.
#include "Pnp.h"

using namespace ntsim;
using namespace ntsim::detail;

namespace {

PnpManager::Impl& P() {
    return *K().pnpImpl;
}

} // namespace

NTSTATUS PnpManager::StopDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        Node* node = FindNode(pdo);
        if (node == nullptr)
            return;
        {
            std::lock_guard<std::mutex> lock(P().mu);
            if (!node->started) {
                status = STATUS_INVALID_DEVICE_STATE;
                return;
            }
        }
        status = SendSync(pdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr).status;
        if (!NT_SUCCESS(status)) {
            SendSync(pdo, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(P().mu);
            node->started = false;
            node->stopped = true;
        }
        status = SendSync(pdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr).status;
    });
    return status;
}

NTSTATUS PnpManager::StartDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        Node* node = FindNode(pdo);
        if (node == nullptr)
            return;
        {
            std::lock_guard<std::mutex> lock(P().mu);
            if (!node->stopped) {
                status = STATUS_INVALID_DEVICE_STATE;
                return;
            }
        }
        status = StartNode(node) ? STATUS_SUCCESS : node->problemStatus;
    });
    return status;
}
