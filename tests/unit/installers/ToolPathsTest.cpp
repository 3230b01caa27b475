// The 64-bit probe and the tool paths composed from the program directory.
#include "InstallerTestSupport.h"
#include "installers/PackageTree.h"
#include "installers/Wow64Probe.h"

#include <gtest/gtest.h>

namespace {

struct ToolPathCase {
    const char* name;
    std::string modulePath;
    Probe probe;
    bool is64;
    const char* displayTool;
    const char* productInstaller;
    const char* sensorInstaller;
};

void PrintTo(const ToolPathCase& c, std::ostream* os) {
    *os << c.name;
}

const ToolPathCase kCases[] = {
    {"X64", "C:\\Kaleidra\\Setup.exe", Probe::X64, true,
     "C:\\Kaleidra\\\\DisplayDriver\\x64\\DPInst.exe", "C:\\Kaleidra\\\\Program\\Setup.exe",
     "C:\\Kaleidra\\SensorDrivers\\x64\\SensorInst.exe"},
    {"X86", "C:\\Kaleidra\\Setup.exe", Probe::X86, false,
     "C:\\Kaleidra\\\\DisplayDriver\\x86\\DPInst.exe", "C:\\Kaleidra\\\\Program\\Setup.exe",
     "C:\\Kaleidra\\SensorDrivers\\x86\\SensorInst.exe"},
    {"NoKernel32", "C:\\K\\Setup.exe", Probe::NoKernel32, false,
     "C:\\K\\\\DisplayDriver\\x86\\DPInst.exe", "C:\\K\\\\Program\\Setup.exe",
     "C:\\K\\SensorDrivers\\x86\\SensorInst.exe"},
    {"NoProbeFunction", "C:\\K\\Setup.exe", Probe::NoFunction, false,
     "C:\\K\\\\DisplayDriver\\x86\\DPInst.exe", "C:\\K\\\\Program\\Setup.exe",
     "C:\\K\\SensorDrivers\\x86\\SensorInst.exe"},
    {"ProbeFailsOtherwise", "C:\\K\\Setup.exe", Probe::OtherError, true,
     "C:\\K\\\\DisplayDriver\\x64\\DPInst.exe", "C:\\K\\\\Program\\Setup.exe",
     "C:\\K\\SensorDrivers\\x64\\SensorInst.exe"},
    {"DriveRoot", "E:\\Setup.exe", Probe::X86, false, "E:\\\\DisplayDriver\\x86\\DPInst.exe",
     "E:\\\\Program\\Setup.exe", "E:\\SensorDrivers\\x86\\SensorInst.exe"},
    {"Blanks", "C:\\KLDR ACC\\disk 1\\Setup.exe", Probe::X64, true,
     "C:\\KLDR ACC\\disk 1\\\\DisplayDriver\\x64\\DPInst.exe",
     "C:\\KLDR ACC\\disk 1\\\\Program\\Setup.exe",
     "C:\\KLDR ACC\\disk 1\\SensorDrivers\\x64\\SensorInst.exe"},
    {"TrailByte5C", "C:\\\x83\x5C\\Setup.exe", Probe::X86, false,
     "C:\\\x83\x5C\\\\DisplayDriver\\x86\\DPInst.exe", "C:\\\x83\x5C\\\\Program\\Setup.exe",
     "C:\\\x83\x5C\\SensorDrivers\\x86\\SensorInst.exe"},
    // A cut-off module path composes nothing, so nothing can be started from it.
    {"TruncatedModulePath", "C:\\" + std::string(250, 'p') + "\\Setup.exe", Probe::X64, true, "",
     "", ""},
    {"NoDirectory", "Setup.exe", Probe::X64, true, "", "", ""},
};

class ToolPaths : public ::testing::TestWithParam<ToolPathCase> {};

TEST_P(ToolPaths, Composed) {
    const ToolPathCase& c = GetParam();
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    world.modulePath = c.modulePath;
    SetProbe(world, c.probe);
    EXPECT_EQ(Is64BitWindows() != FALSE, c.is64);
    EXPECT_EQ(GetDisplayDriverToolPath(), c.displayTool);
    EXPECT_EQ(GetProductInstallerPath(), c.productInstaller);
    EXPECT_EQ(GetSensorInstallerPath(), c.sensorInstaller);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolPaths, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

TEST(Wow64Probe, AsksWithABufferOf260WideCharacters) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    SetProbe(world, Probe::X64);
    EXPECT_TRUE(Is64BitWindows());
    EXPECT_EQ(world.wow64ProbeBufferSize, 260u);
}
