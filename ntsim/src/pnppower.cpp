// The power manager's IRPs: a device power state for one stack, and a system power transition
// for every started device, leaves first on the way to sleep and the root first on the way back.
#include "Pnp.h"

using namespace ntsim;
using namespace ntsim::detail;

namespace {

PnpManager::Impl& P() {
    return *K().pnpImpl;
}

IrpResult SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    return SendSync(pdo, IRP_MJ_POWER, minor, [state](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = SystemPowerState;
        s->Parameters.Power.State.SystemState = state;
    });
}

// Started devices, parents before their children (nodes are made after their parents).
std::vector<PDEVICE_OBJECT> StartedFromTheRoot() {
    std::vector<PDEVICE_OBJECT> pdos;
    std::lock_guard<std::mutex> lock(P().mu);
    for (auto& node : P().nodes)
        if (!node->removed && node->started)
            pdos.push_back(node->pdo);
    return pdos;
}

} // namespace

NTSTATUS PnpManager::SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        if (FindNode(pdo) == nullptr)
            return;
        status = SendSync(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION s) {
                     s->Parameters.Power.Type = DevicePowerState;
                     s->Parameters.Power.State.DeviceState = state;
                 }).status;
    });
    return status;
}

NTSTATUS PnpManager::SetSystemPower(SYSTEM_POWER_STATE state) {
    NTSTATUS status = STATUS_SUCCESS;
    impl_->Call([&] {
        std::vector<PDEVICE_OBJECT> order = StartedFromTheRoot();
        const bool waking = state == PowerSystemWorking;
        if (!waking) {
            std::reverse(order.begin(), order.end());
            // Every device is asked first; one refusal keeps the system working, and those
            // already asked hear so.
            for (size_t i = 0; i < order.size(); ++i) {
                NTSTATUS query = SendSystemPower(order[i], IRP_MN_QUERY_POWER, state).status;
                if (NT_SUCCESS(query))
                    continue;
                for (size_t j = 0; j < i; ++j)
                    SendSystemPower(order[j], IRP_MN_SET_POWER, PowerSystemWorking);
                status = query;
                return;
            }
        }
        for (PDEVICE_OBJECT pdo : order) {
            NTSTATUS set = SendSystemPower(pdo, IRP_MN_SET_POWER, state).status;
            if (!NT_SUCCESS(set) && NT_SUCCESS(status))
                status = set;
        }
    });
    return status;
}
