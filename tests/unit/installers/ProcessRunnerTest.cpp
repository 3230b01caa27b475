// Starting a tool and waiting for it: the result, the exit-code place, the handles.
#include "FakeSystemApi.h"
#include "installers/ProcessRunner.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD kUntouched = 0xDEADBEEF;

struct RunCase {
    const char* name;
    std::optional<DWORD> childExit; // nullopt: the start fails
    bool withoutProcessHandle;
    bool exitCodeUnreadable;
    BOOL result;
    DWORD exitPlace;
    std::vector<std::string> log;
    std::vector<std::string> closed; // handles closed, in order
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kLine = "\"C:\\KLDR ACC\\disk 1\\\\Program\\Setup.exe\"";
const std::string kStart = "CreateProcessA(" + kLine + ")";
const std::string kWait = "WaitForSingleObject(4294967295)";

const std::vector<std::string> kBoth = {"process", "thread"}; // the process first

const RunCase kCases[] = {
    {"ExitZero", 0, false, false, TRUE, 0, {kStart, kWait}, kBoth},
    // Failure codes count as run: only starting and ending matter.
    {"ExitOne", 1, false, false, TRUE, 1, {kStart, kWait}, kBoth},
    {"ExitAccessViolation", 0xC0000005, false, false, TRUE, 0xC0000005, {kStart, kWait}, kBoth},
    {"StartFails", std::nullopt, false, false, FALSE, kUntouched, {kStart}, {}},
    {"NoProcessHandle", 0, true, false, FALSE, kUntouched, {kStart}, {"thread"}},
    {"ExitCodeUnreadable", 3, false, true, FALSE, kUntouched, {kStart, kWait}, kBoth},
};

class Runner : public ::testing::TestWithParam<RunCase> {};

TEST_P(Runner, ResultExitCodeAndHandles) {
    const RunCase& c = GetParam();
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    world.runProcess = [&](const std::string&) { return c.childExit; };
    world.startWithoutProcessHandle = c.withoutProcessHandle;
    world.exitCodeUnreadable = c.exitCodeUnreadable;

    DWORD exitCode = kUntouched;
    EXPECT_EQ(RunAndWait(kLine, exitCode), c.result);
    EXPECT_EQ(exitCode, c.exitPlace);
    EXPECT_EQ(world.log, c.log);
    EXPECT_EQ(world.closedHandles, c.closed);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Runner, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Runner, StartsWithTheFixedArguments) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    world.runProcess = [](const std::string&) { return std::optional<DWORD>(0); };
    DWORD exitCode = 0;
    ASSERT_TRUE(RunAndWait("tool.exe /x", exitCode));
    ASSERT_EQ(world.processRuns.size(), 1u);
    const FakeProcessRun& run = world.processRuns[0];
    EXPECT_EQ(run.commandLine, "tool.exe /x");
    EXPECT_TRUE(run.applicationWasNull);
    EXPECT_TRUE(run.securityAttributesWereNull);
    EXPECT_FALSE(run.inheritHandles);
    EXPECT_EQ(run.creationFlags, 0u);
    EXPECT_TRUE(run.environmentWasNull);
    EXPECT_TRUE(run.currentDirectoryWasNull);
    EXPECT_EQ(run.startupInfoSize, sizeof(STARTUPINFOA));
    EXPECT_TRUE(run.startupInfoOnlySized);
}

} // namespace
