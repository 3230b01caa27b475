// What a test asks of a started device through the PnP manager, on its thread: a restart (the
// stop and start of a resource rebalance) and power IRPs down the device's stack.
#include "Pnp.h"

using namespace ntsim;
using namespace ntsim::detail;

namespace {

PnpManager::Impl& P() {
    return *K().pnpImpl;
}

NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state) {
    return SendSync(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER,
                    [type, state](PIO_STACK_LOCATION s) {
                        s->Parameters.Power.Type = type;
                        s->Parameters.Power.State = state;
                    })
        .status;
}

} // namespace

// QUERY_STOP (a refusal is answered with CANCEL_STOP), STOP, START. A start that fails removes
// the device, as a first start that fails does.
NTSTATUS PnpManager::RestartDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        Node* node = Find(pdo);
        if (node == nullptr || !node->started)
            return;
        status = SendSync(pdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr).status;
        if (!NT_SUCCESS(status)) {
            SendSync(pdo, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
            return;
        }
        SendSync(pdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr);
        status = SendSync(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr).status;
        if (NT_SUCCESS(status))
            return;
        {
            std::lock_guard<std::mutex> lock(P().mu);
            node->started = false;
        }
        SendSync(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
        AfterRemove(node);
    });
    return status;
}

NTSTATUS PnpManager::SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        POWER_STATE power;
        power.DeviceState = state;
        if (Find(pdo) != nullptr)
            status = SetPower(pdo, DevicePowerState, power);
    });
    return status;
}

NTSTATUS PnpManager::SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        POWER_STATE power;
        power.SystemState = state;
        if (Find(pdo) != nullptr)
            status = SetPower(pdo, SystemPowerState, power);
    });
    return status;
}
