#include "sim/Talvik2Machine.h"

#include "sim/Talvik2Image.h"

#include <FxHost.h>
#include <TalvikPublic.h> // the interface GUID's storage is the driver's

namespace sim {
namespace {

MachineOptions Talvik2Options(ntsim::KernelOptions kernel) {
    MachineOptions options;
    options.kernel = kernel;
    options.service = kTalvik2Service;
    options.driverEntry = FxDriverEntry;
    options.interfaceGuid = GUID_DEVINTERFACE_TALVIK;
    return options;
}

VOID OnEvent(PVOID context, PCSTR text) {
    static_cast<Talvik2Machine*>(context)->RecordEvent(text);
}

VOID OnViolation(PVOID context, PCSTR text) {
    static_cast<Talvik2Machine*>(context)->ReportFinding(Finding::Source::Framework, text);
}

BOOLEAN OnInjectFault(PVOID context, PCSTR api, NTSTATUS* status) {
    return static_cast<Talvik2Machine*>(context)->Injected(api, status) ? TRUE : FALSE;
}

FX_HOST_COUNTERS Counters() {
    FX_HOST_COUNTERS counters = {};
    FxHostGetCounters(&counters);
    return counters;
}

} // namespace

Talvik2Machine::Talvik2Machine(ntsim::KernelOptions kernel) : Machine(Talvik2Options(kernel)) {
    // The driver binds when its first device arrives, after this.
    FX_HOST_HOOKS hooks = {OnEvent, OnViolation, OnInjectFault, this};
    FxHostSetHooks(&hooks);
}

Talvik2Machine::~Talvik2Machine() {
    Shutdown(); // the framework reports what the driver left at unload
    FxHostSetHooks(nullptr);
}

unsigned long Talvik2Machine::LiveFrameworkObjects() const {
    return Counters().LiveObjects;
}
unsigned long long Talvik2Machine::DriverRoutineCalls() const {
    return Counters().DriverRoutineCalls;
}
unsigned long long Talvik2Machine::RequestsCompleted() const {
    return Counters().RequestsCompleted;
}

void Talvik2Machine::FailCall(const std::string& api, NTSTATUS status, unsigned times) {
    bool known = false;
    for (const PCSTR* call = FxHostFaultableCalls(); *call != nullptr && !known; ++call)
        known = api == *call;
    if (!known) {
        // It would never be asked about: the test would pass without its fault.
        ReportFinding(Finding::Source::Framework, api + " is not a framework call");
        return;
    }
    std::lock_guard<std::mutex> lock(faultsMu_);
    faults_[api] = Fault{status, times};
}

bool Talvik2Machine::Injected(const char* api, NTSTATUS* status) {
    std::lock_guard<std::mutex> lock(faultsMu_);
    auto found = faults_.find(api);
    if (found == faults_.end() || found->second.times == 0)
        return false;
    --found->second.times;
    *status = found->second.status;
    return true;
}

} // namespace sim
