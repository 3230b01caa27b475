// The display-driver and product-installer steps: what is started, how, and the dialog around it.
#include "InstallerTestSupport.h"
#include "installers/ToolSteps.h"

#include <gtest/gtest.h>

namespace {

enum class Step { DisplayDriver, ProductSetup };

struct StepCase {
    const char* name;
    Step step;
    std::string modulePath;
    Probe probe;
    std::optional<DWORD> toolExit; // nullopt: the tool cannot be started
    BOOL result;
    std::vector<std::string> log;
};

void PrintTo(const StepCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::string> kWatched = {"ShowWindow", "CreateProcessA", "WaitForSingleObject"};
const char* const kWait = "WaitForSingleObject(4294967295)";
const std::string kBlanks = "C:\\KLDR ACC\\disk 1\\Setup.exe";
// Quoted, so that C:\KLDR.exe or C:\KLDR ACC\disk.exe cannot stand in for the tool.
const std::string kDisplayX64 =
    "CreateProcessA(\"C:\\KLDR ACC\\disk 1\\\\DisplayDriver\\x64\\DPInst.exe\")";
const std::string kProduct = "CreateProcessA(\"C:\\KLDR ACC\\disk 1\\\\Program\\Setup.exe\")";
const std::string kTruncated = "C:\\" + std::string(250, 'p') + "\\Setup.exe";

const StepCase kCases[] = {
    {"DisplayX64",
     Step::DisplayDriver,
     kBlanks,
     Probe::X64,
     0,
     TRUE,
     {"ShowWindow(0)", kDisplayX64, kWait, "ShowWindow(5)"}},
    {"DisplayX86",
     Step::DisplayDriver,
     "C:\\\x95\x5C\\Setup.exe",
     Probe::X86,
     0,
     TRUE,
     {"ShowWindow(0)", "CreateProcessA(\"C:\\\x95\x5C\\\\DisplayDriver\\x86\\DPInst.exe\")", kWait,
      "ShowWindow(5)"}},
    {"DisplayFailureExitCountsAsRun",
     Step::DisplayDriver,
     kBlanks,
     Probe::X64,
     2,
     TRUE,
     {"ShowWindow(0)", kDisplayX64, kWait, "ShowWindow(5)"}},
    {"DisplayToolMissing",
     Step::DisplayDriver,
     kBlanks,
     Probe::X64,
     std::nullopt,
     FALSE,
     {"ShowWindow(0)", kDisplayX64, "ShowWindow(5)"}},
    {"DisplayTruncatedModulePath",
     Step::DisplayDriver,
     kTruncated,
     Probe::X64,
     0,
     FALSE,
     {"ShowWindow(0)", "ShowWindow(5)"}},
    {"ProductRuns", Step::ProductSetup, kBlanks, Probe::X64, 0, TRUE, {kProduct, kWait}},
    {"ProductFailureExitCountsAsRun",
     Step::ProductSetup,
     kBlanks,
     Probe::X86,
     1603,
     TRUE,
     {kProduct, kWait}},
    {"ProductMissing", Step::ProductSetup, kBlanks, Probe::X64, std::nullopt, FALSE, {kProduct}},
    {"ProductTruncatedModulePath", Step::ProductSetup, kTruncated, Probe::X64, 0, FALSE, {}},
};

class ToolSteps : public ::testing::TestWithParam<StepCase> {};

TEST_P(ToolSteps, StartsTheQuotedToolPath) {
    const StepCase& c = GetParam();
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    world.modulePath = c.modulePath;
    SetProbe(world, c.probe);
    world.runProcess = [&](const std::string&) { return c.toolExit; };
    CFakeSetupDialogView dialog(world.dialogWindow);

    BOOL result = c.step == Step::DisplayDriver ? InstallDisplayDriver(dialog) : RunProductSetup();

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(LogOf(world, kWatched), c.log);
    EXPECT_TRUE(world.dialogVisible);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolSteps, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
