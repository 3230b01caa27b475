// Installs or removes one driver package, as SensorInst.exe's command line asks; returns the exit
// code (ExitCodes.h).
#pragma once

#include "CommandLine.h"
#include "PnpSystem.h"

namespace sensorinst {

unsigned long RunCommand(const Command& command, PnpSystem& system);

// The hardware and compatible ids of the models sections that apply to the target system, each
// once (ids compare without regard to case). Empty `sections` means no models section applied.
struct PackageIds {
    std::vector<std::wstring> sections;
    std::vector<std::wstring> hardwareIds;
};
PackageIds ReadPackageIds(PnpSystem& system, const TargetSystem& target);

} // namespace sensorinst
