#include "installers/PackageTree.h"

#include "installers/ModulePath.h"
#include "installers/Wow64Probe.h"

std::string GetDisplayDriverToolPath() {
    std::string directory = GetModuleDirectory();
    if (directory.empty())
        return {};
    return directory + "\\DisplayDriver" +
           (Is64BitWindows() ? "\\x64\\DPInst.exe" : "\\x86\\DPInst.exe");
}

std::string GetProductInstallerPath() {
    std::string directory = GetModuleDirectory();
    if (directory.empty())
        return {};
    return directory + "\\Program\\Setup.exe";
}

std::string GetSensorInstallerPath() {
    std::string directory = GetModuleDirectory();
    if (directory.empty())
        return {};
    return directory + "SensorDrivers\\" +
           (Is64BitWindows() ? "x64\\SensorInst.exe" : "x86\\SensorInst.exe");
}

std::string GetSensorPackagesDirectory() {
    std::string directory = GetModuleDirectory();
    if (directory.empty())
        return {};
    return directory + "SensorDrivers\\Package";
}

std::string QuoteCommandPath(const std::string& path) {
    return '"' + path + '"';
}
