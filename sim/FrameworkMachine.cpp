#include "sim/FrameworkMachine.h"

#include <FxHost.h>

#include <cstring>

namespace sim {
namespace {

VOID OnEvent(PVOID context, PCSTR text) {
    static_cast<FrameworkMachine*>(context)->RecordEvent(text);
}

VOID OnViolation(PVOID context, PCSTR text) {
    static_cast<FrameworkMachine*>(context)->ReportFinding(Finding::Source::Framework, text);
}

BOOLEAN OnInjectFault(PVOID context, PCSTR api, NTSTATUS* status) {
    return static_cast<FrameworkMachine*>(context)->Injected(api, status) ? TRUE : FALSE;
}

FX_HOST_COUNTERS Counters() {
    FX_HOST_COUNTERS counters = {};
    FxHostGetCounters(&counters);
    return counters;
}

bool Faultable(const std::string& api) {
    for (const PCSTR* name = FxHostFaultableCalls(); *name != nullptr; ++name)
        if (api == *name)
            return true;
    return false;
}

} // namespace

FrameworkMachine::FrameworkMachine(MachineOptions options) : Machine(std::move(options)) {
    // The driver binds when its first device arrives, after this.
    FX_HOST_HOOKS hooks = {OnEvent, OnViolation, OnInjectFault, this};
    FxHostSetHooks(&hooks);
}

FrameworkMachine::~FrameworkMachine() {
    Shutdown(); // the framework reports what the driver left at unload
    FxHostSetHooks(nullptr);
}

unsigned long FrameworkMachine::LiveFrameworkObjects() const {
    return Counters().LiveObjects;
}
unsigned long long FrameworkMachine::DriverRoutineCalls() const {
    return Counters().DriverRoutineCalls;
}
unsigned long long FrameworkMachine::RequestsCompleted() const {
    return Counters().RequestsCompleted;
}

void FrameworkMachine::FailCall(const std::string& api, NTSTATUS status, unsigned times,
                                unsigned skip) {
    if (!Faultable(api)) {
        ReportFinding(Finding::Source::Framework,
                      "FailCall: " + api + " is no call the framework can fail");
        return;
    }
    std::lock_guard<std::mutex> lock(faultsMu_);
    faults_[api] = Fault{status, times, skip};
}

void FrameworkMachine::ClearFaults() {
    std::lock_guard<std::mutex> lock(faultsMu_);
    faults_.clear();
}

bool FrameworkMachine::Injected(const char* api, NTSTATUS* status) {
    std::lock_guard<std::mutex> lock(faultsMu_);
    auto found = faults_.find(api);
    if (found == faults_.end() || found->second.times == 0)
        return false;
    if (found->second.skip > 0) {
        --found->second.skip;
        return false;
    }
    --found->second.times;
    *status = found->second.status;
    return true;
}

void* FrameworkMachine::WdfDeviceOf(const Colorimeter* colorimeter) const {
    PDEVICE_OBJECT pdo = PdoOf(colorimeter);
    if (pdo == nullptr || pdo->AttachedDevice == nullptr)
        return nullptr;
    return FxHostDeviceHandle(pdo->AttachedDevice);
}

} // namespace sim
