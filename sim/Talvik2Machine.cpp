#include "sim/Talvik2Machine.h"

#include "sim/Talvik2Image.h"

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

} // namespace

Talvik2Machine::Talvik2Machine(ntsim::KernelOptions kernel)
    : FrameworkMachine(Talvik2Options(kernel)) {}

} // namespace sim
