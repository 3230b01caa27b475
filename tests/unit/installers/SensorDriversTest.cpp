// The walk over the sensor-driver packages against a scripted medium and installer.
#include "InstallerTestSupport.h"
#include "installers/SensorDrivers.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

using Listing = std::vector<WIN32_FIND_DATAA>;
using Runner = std::function<std::optional<DWORD>(const std::string&)>;

const std::string kDir = "C:\\Kaleidra\\";
const std::string kPackages = kDir + "SensorDrivers\\Package";
const std::string kInstaller = "\"C:\\Kaleidra\\SensorDrivers\\x64\\SensorInst.exe\"";

WIN32_FIND_DATAA File(const std::string& name) {
    return CFakeSystemApi::Entry(name, false);
}
WIN32_FIND_DATAA Dir(const std::string& name) {
    return CFakeSystemApi::Entry(name, true);
}

std::string Status(const std::string& text) {
    return "SetDlgItemTextA(1000," + text + ")";
}
std::string Installing(const std::string& name) {
    return Status(name + " をインストールしています...");
}
std::string Removing(const std::string& name) {
    return Status(name + " をアンインストールしています...");
}
const std::string kEmptied = Status("");
const std::string kPump = "PeekMessageA(0,0,0,1)"; // an empty queue: one look per pump
const std::string kPause = "Sleep(100)";
std::string Install(const std::string& inf) {
    return "CreateProcessA(" + kInstaller + " \"" + kPackages + "\\" + inf + "\")";
}
std::string Uninstall(const std::string& inf) {
    return "CreateProcessA(" + kInstaller + " /uninstall \"" + kPackages + "\\" + inf + "\")";
}

const Runner kInstallerPresent = [](const std::string&) { return std::optional<DWORD>(0); };
const Runner kInstallerMissing = [](const std::string&) { return std::optional<DWORD>(); };
// The installer ends with a failure code for "fails" and cannot be started for "missing".
const Runner kMixed = [](const std::string& line) -> std::optional<DWORD> {
    if (line.find("missing") != std::string::npos)
        return std::nullopt;
    return line.find("fails") != std::string::npos ? 1 : 0;
};

// Two packages between the entries that are no packages.
const std::map<std::string, Listing> kTwoPackages = {
    {kPackages + "\\*", {Dir("."), Dir(".."), File("readme.txt"), Dir("A"), Dir("B")}},
    {kPackages + "\\A\\*.inf", {File("a1.inf"), File("a2.inf")}},
    {kPackages + "\\B\\*.inf", {File("\x83\x5C.v2.inf")}},
};
const std::string kSo = "\x83\x5C"; // ソ: its trail byte is the backslash byte

struct WalkCase {
    const char* name;
    BOOL uninstall;
    std::map<std::string, Listing> listings;
    Runner runner;
    BOOL result;
    std::vector<std::string> log;
};

void PrintTo(const WalkCase& c, std::ostream* os) {
    *os << c.name;
}

const WalkCase kCases[] = {
    {"OnlyTheFirstInfOfEachPackageRuns",
     FALSE,
     kTwoPackages,
     kInstallerPresent,
     TRUE,
     {Installing("a1"), kPump, Install("A\\a1.inf"), kEmptied, kPump, kPause, //
      Installing(kSo + ".v2"), kPump, Install("B\\" + kSo + ".v2.inf"), kEmptied, kPump, kPause}},
    {"UninstallWalksTheSameWay",
     TRUE,
     kTwoPackages,
     kInstallerPresent,
     TRUE,
     {Removing("a1"), kPump, Uninstall("A\\a1.inf"), kEmptied, kPump, kPause, //
      Removing(kSo + ".v2"), kPump, Uninstall("B\\" + kSo + ".v2.inf"), kEmptied, kPump, kPause}},
    {"MissingInstallerTriesEveryInfWithPauses",
     FALSE,
     kTwoPackages,
     kInstallerMissing,
     FALSE,
     {Installing("a1"), kPump, Install("A\\a1.inf"), kPause, //
      Installing("a2"), kPump, Install("A\\a2.inf"), kPause, kEmptied, kPump, kPause,
      Installing(kSo + ".v2"), kPump, Install("B\\" + kSo + ".v2.inf"), kPause, kEmptied, kPump,
      kPause}},
    // The name is data: its "%" and "%s" are shown as they are, never taken as a format.
    {"PercentSignsInTheNameAreShownAsTheyAre",
     FALSE,
     {{kPackages + "\\*", {Dir("P")}}, {kPackages + "\\P\\*.inf", {File("100%s %d %%.inf")}}},
     kInstallerPresent,
     TRUE,
     {Installing("100%s %d %%"), kPump, Install("P\\100%s %d %%.inf"), kEmptied, kPump, kPause}},
    {"DirectoryNamedInfIsPassedOn",
     FALSE,
     {{kPackages + "\\*", {Dir("P")}},
      {kPackages + "\\P\\*.inf", {Dir("."), Dir(".."), Dir("sub.inf")}}},
     kInstallerPresent,
     TRUE,
     {Installing("sub"), kPump, Install("P\\sub.inf"), kEmptied, kPump, kPause}},
    {"PackageWithoutInf",
     FALSE,
     {{kPackages + "\\*", {Dir("P")}}},
     kInstallerPresent,
     FALSE,
     {kEmptied, kPump, kPause}},
    {"OnlyFilesAndDots",
     FALSE,
     {{kPackages + "\\*", {Dir("."), Dir(".."), File("x.inf")}}},
     kInstallerPresent,
     FALSE,
     {}},
    {"NoPackageDirectory", FALSE, {}, kInstallerPresent, FALSE, {}},
    {"OneGoodPackageIsEnough",
     FALSE,
     {{kPackages + "\\*", {Dir("M"), Dir("F")}},
      {kPackages + "\\M\\*.inf", {File("missing.inf")}},
      {kPackages + "\\F\\*.inf", {File("fails.inf")}}},
     kMixed,
     TRUE,
     {Installing("missing"), kPump, Install("M\\missing.inf"), kPause, kEmptied, kPump, kPause,
      Installing("fails"), kPump, Install("F\\fails.inf"), kEmptied, kPump, kPause}},
};

class SensorWalk : public ::testing::TestWithParam<WalkCase> {
protected:
    CFakeSystemApi world;
    CScopedSystemApi scope{world};

    void SetUp() override {
        world.modulePath = kDir + "Setup.exe";
        SetProbe(world, Probe::X64);
        world.logPeeks = true;
        world.strings[108] = u"%s をインストールしています...";
        world.strings[109] = u"%s をアンインストールしています...";
    }
};

TEST_P(SensorWalk, RunsInstallerAndShowsStatus) {
    const WalkCase& c = GetParam();
    world.listings = c.listings;
    world.runProcess = c.runner;
    CFakeSetupDialogView dialog(world.dialogWindow);
    dialog.uninstalling = c.uninstall;

    EXPECT_EQ(InstallSensorDrivers(dialog), c.result);
    EXPECT_EQ(LogOf(world, {"SetDlgItemTextA", "PeekMessageA", "CreateProcessA", "Sleep"}), c.log);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, SensorWalk, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Each package's own result, as the walk above combines them.
TEST_F(SensorWalk, ResultPerPackage) {
    world.listings = {{kPackages + "\\M\\*.inf", {File("missing.inf"), File("missing2.inf")}},
                      {kPackages + "\\F\\*.inf", {File("missing.inf"), File("fails.inf")}},
                      {kPackages + "\\G\\*.inf", {File("good.inf")}}};
    world.runProcess = kMixed;
    const struct {
        const char* package;
        BOOL result;
    } packages[] = {{"M", FALSE}, {"F", TRUE}, {"G", TRUE}, {"None", FALSE}};
    for (const auto& p : packages) {
        SCOPED_TRACE(p.package);
        CFakeSetupDialogView dialog(world.dialogWindow);
        EXPECT_EQ(InstallSensorPackage(kPackages + "\\" + p.package, dialog), p.result);
        EXPECT_EQ(world.dialogItemTexts[1000], "");
    }
}

// A search pattern must stay below 260 characters; a longer one is not searched at all.
TEST_F(SensorWalk, PatternsOf260CharactersAreNotSearched) {
    for (size_t length : {259u, 260u}) {
        SCOPED_TRACE(length);
        // Package pattern: D + "SensorDrivers\Package\*" (23 characters after D).
        std::string dir = "C:\\" + std::string(length - 23 - 4, 'd') + "\\";
        world = CFakeSystemApi();
        SetUp();
        world.modulePath = dir + "Setup.exe";
        std::string pattern = dir + "SensorDrivers\\Package\\*";
        ASSERT_EQ(pattern.size(), length);
        world.listings[pattern] = {Dir("P")};
        CFakeSetupDialogView dialog(world.dialogWindow);
        InstallSensorDrivers(dialog);
        EXPECT_EQ(LogOf(world, {"FindFirstFileA(" + pattern + ")"}).size(), length < 260 ? 1u : 0u);

        // INF pattern: the package path + "\*.inf" (6 characters).
        std::string package = "C:\\" + std::string(length - 6 - 3, 'p');
        std::string infPattern = package + "\\*.inf";
        ASSERT_EQ(infPattern.size(), length);
        world.listings[infPattern] = {File("x.inf")};
        world.runProcess = kInstallerPresent;
        world.processRuns.clear();
        InstallSensorPackage(package, dialog);
        EXPECT_EQ(world.processRuns.size(), length < 260 ? 1u : 0u);
        EXPECT_EQ(world.dialogItemTexts[1000], "");
    }
}

TEST_F(SensorWalk, TruncatedModulePathStartsNothing) {
    world.modulePath = "C:\\" + std::string(250, 'p') + "\\Setup.exe";
    world.runProcess = kInstallerPresent;
    CFakeSetupDialogView dialog(world.dialogWindow);
    EXPECT_FALSE(InstallSensorDrivers(dialog));
    EXPECT_FALSE(InstallSensorInf("C:\\x.inf"));
    EXPECT_FALSE(UninstallSensorInf("C:\\x.inf"));
    EXPECT_TRUE(world.processRuns.empty());
    EXPECT_TRUE(LogOf(world, {"FindFirstFileA"}).empty());
}

} // namespace
