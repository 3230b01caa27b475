#include "app/KLDRSetupDlg.h"
#include "app/SetupSequence.h"

#include "../installers/InstallerTestSupport.h"
#include "AllocationFault.h"
#include "FakeSystemApi.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const char kDisplayClass[] = "{4d36e96e-e325-11ce-bfc1-08002be10318}\\0001";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A machine that passes every check: Windows 7, one supported monitor, an administrator, every
// tool in place and ending with exit code 0, one sensor package with one INF file.
struct Machine {
    CFakeSystemApi world;
    std::vector<std::string> missingTools;
    DWORD exitCode = 0;

    Machine() {
        world.modulePath = "C:\\Medium\\Setup.exe";
        world.strings = {{102, u"OS"},
                         {103, u"ADMIN"},
                         {104, u"DISPLAY"},
                         {105, u"INSTALLED"},
                         {106, u"ABORTED"},
                         {107, u"FINISHED"},
                         {108, u"Installing %s"},
                         {109, u"Uninstalling %s"}};
        world.adapters.push_back(
            {MakeDisplayDevice("\\\\.\\DISPLAY1", "Adapter", 0x5),
             {MakeDisplayDevice("\\\\.\\DISPLAY1\\Monitor0", "Monitor", DISPLAY_DEVICE_ACTIVE,
                                std::string("MONITOR\\VQT5C26\\") + kDisplayClass)}});
        std::string key = "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\VQT5C26\\5&1";
        world.SetRegistryString(key, "Driver", kDisplayClass);
        std::vector<BYTE> edid(128, 0);
        edid[8] = 0x5A, edid[9] = 0x34, edid[10] = 0x26, edid[11] = 0x5C;
        world.SetRegistryValue(key + "\\Device Parameters", "EDID", edid);
        world.listings["C:\\Medium\\SensorDrivers\\Package\\*"] = {
            CFakeSystemApi::Entry(".", true), CFakeSystemApi::Entry("..", true),
            CFakeSystemApi::Entry("Sensor", true)};
        world.listings["C:\\Medium\\SensorDrivers\\Package\\Sensor\\*.inf"] = {
            CFakeSystemApi::Entry("talvik.inf", false)};
        world.runProcess = [this](const std::string& line) -> std::optional<DWORD> {
            for (const auto& tool : missingTools)
                if (Contains(line, tool))
                    return std::nullopt;
            return exitCode;
        };
    }

    std::vector<std::string> Tools() const {
        std::vector<std::string> tools;
        for (const auto& run : world.processRuns)
            for (const char* tool : {"DPInst.exe", "Program\\Setup.exe", "SensorInst.exe"})
                if (Contains(run.commandLine, tool))
                    tools.push_back(tool);
        return tools;
    }

    bool PostedInstallSensors() const {
        return std::any_of(world.postedMessages.begin(), world.postedMessages.end(),
                           [](const auto& m) { return m.message == WM_INSTALL_SENSORS; });
    }
};

struct Outcome {
    BOOL result;
    std::vector<std::string> boxes; // texts
    std::vector<UINT> icons;
    std::vector<std::string> tools;
    std::string status;
    bool postedSensors;
};

Outcome RunSequence(Machine& machine, bool uninstall = false) {
    CScopedSystemApi scope(machine.world);
    CFakeSetupDialogView dialog(machine.world.dialogWindow);
    dialog.uninstalling = uninstall ? TRUE : FALSE;
    Outcome outcome;
    outcome.result = RunSetupSequence(dialog);
    for (const auto& box : machine.world.messageBoxes) {
        outcome.boxes.push_back(box.text);
        outcome.icons.push_back(box.type);
        EXPECT_EQ(box.caption, "Setup");
        EXPECT_EQ(box.owner, machine.world.dialogWindow) << "owned by the setup dialog";
    }
    outcome.tools = machine.Tools();
    outcome.status = machine.world.dialogItemTexts[1000];
    outcome.postedSensors = machine.PostedInstallSensors();
    EXPECT_EQ(machine.world.OpenHandleCount(), 0);
    return outcome;
}

TEST(SetupSequence, VersionGate) {
    struct Case {
        DWORD major, minor;
        bool supported;
    } cases[] = {{4, 10, false}, {5, 0, false}, {5, 1, true}, {5, 2, true},  {5, 3, false},
                 {6, 0, true},   {6, 1, true},  {6, 2, true}, {10, 0, true}, {0xFFFFFFFF, 0, true}};
    for (const auto& c : cases) {
        Machine machine;
        machine.world.version.dwMajorVersion = c.major;
        machine.world.version.dwMinorVersion = c.minor;
        Outcome outcome = RunSequence(machine);
        if (c.supported) {
            EXPECT_EQ(outcome.result, TRUE) << c.major << "." << c.minor;
            EXPECT_TRUE(outcome.boxes.empty()) << c.major << "." << c.minor;
        } else {
            EXPECT_EQ(outcome.result, FALSE) << c.major << "." << c.minor;
            EXPECT_EQ(outcome.boxes, std::vector<std::string>{"OS"});
            EXPECT_EQ(outcome.icons, std::vector<UINT>{MB_OK | MB_ICONERROR});
            EXPECT_TRUE(outcome.tools.empty());
        }
    }
}

TEST(SetupSequence, UnreadableVersionStopsWithTheOsBox) {
    Machine machine;
    machine.world.acceptExtendedVersion = false;
    machine.world.acceptBasicVersion = false;
    Outcome outcome = RunSequence(machine);
    EXPECT_EQ(outcome.result, FALSE);
    EXPECT_EQ(outcome.boxes, std::vector<std::string>{"OS"});
}

TEST(SetupSequence, ChecksComeInOrderDisplayBeforeAdministrator) {
    struct Case {
        bool display, admin;
        const char* box;
    } cases[] = {{false, false, "DISPLAY"}, {false, true, "DISPLAY"}, {true, false, "ADMIN"}};
    for (const auto& c : cases) {
        Machine machine;
        if (!c.display)
            machine.world.adapters.clear();
        machine.world.isAdmin = c.admin ? TRUE : FALSE;
        Outcome outcome = RunSequence(machine);
        EXPECT_EQ(outcome.result, FALSE);
        EXPECT_EQ(outcome.boxes, std::vector<std::string>{c.box});
        EXPECT_EQ(outcome.icons, std::vector<UINT>{MB_OK | MB_ICONERROR});
        EXPECT_TRUE(outcome.tools.empty());
        EXPECT_TRUE(machine.world.productQueries.empty());
    }
}

TEST(SetupSequence, MissingDisplayDriverToolStopsWithStatusOnly) {
    Machine machine;
    machine.missingTools = {"DPInst.exe"};
    Outcome outcome = RunSequence(machine);
    EXPECT_EQ(outcome.result, TRUE);
    EXPECT_TRUE(outcome.boxes.empty());
    EXPECT_EQ(outcome.status, "ABORTED");
    EXPECT_TRUE(machine.world.productQueries.empty());
    EXPECT_FALSE(outcome.postedSensors);
    EXPECT_TRUE(machine.world.dialogVisible); // shown again after the failed start
}

TEST(SetupSequence, ProductStateDecidesTheProductInstaller) {
    struct Case {
        INT state;
        bool installerRuns;
    } cases[] = {{5, false}, {1, true}, {2, true}, {-1, true}, {-2, true}, {6, true}};
    for (const auto& c : cases) {
        Machine machine;
        machine.world.productState = c.state;
        Outcome outcome = RunSequence(machine);
        EXPECT_EQ(outcome.result, TRUE);
        EXPECT_TRUE(outcome.postedSensors) << c.state;
        EXPECT_EQ(machine.world.productQueries,
                  std::vector<std::string>{"{5E0A7B21-3C94-4D6F-8A12-B7C4E9F03D58}"});
        if (c.installerRuns) {
            EXPECT_TRUE(outcome.boxes.empty()) << c.state;
            EXPECT_EQ(outcome.tools,
                      (std::vector<std::string>{"DPInst.exe", "Program\\Setup.exe"}));
        } else {
            EXPECT_EQ(outcome.boxes, std::vector<std::string>{"INSTALLED"});
            EXPECT_EQ(outcome.icons, std::vector<UINT>{MB_OK | MB_ICONINFORMATION});
            EXPECT_EQ(outcome.tools, std::vector<std::string>{"DPInst.exe"});
        }
    }
}

TEST(SetupSequence, FailingProductInstallerStopsWithStatus) {
    Machine machine;
    machine.missingTools = {"Program\\Setup.exe"};
    Outcome outcome = RunSequence(machine);
    EXPECT_EQ(outcome.result, TRUE);
    EXPECT_EQ(outcome.status, "ABORTED");
    EXPECT_FALSE(outcome.postedSensors);
}

TEST(SetupSequence, FailureExitCodesCountAsRunInBothModes) {
    for (bool uninstall : {false, true}) {
        Machine machine;
        machine.exitCode = 1603;
        Outcome outcome = RunSequence(machine, uninstall);
        EXPECT_EQ(outcome.result, TRUE);
        EXPECT_TRUE(outcome.postedSensors);
        EXPECT_EQ(outcome.tools, (std::vector<std::string>{"DPInst.exe", "Program\\Setup.exe"}));
    }
}

TEST(SetupSequence, SensorPhaseDisablesOkGoesTopmostAndFinishes) {
    for (bool uninstall : {false, true}) {
        Machine machine;
        CScopedSystemApi scope(machine.world);
        machine.world.runDialog = [&](UINT, HWND dialog, DLGPROC proc, LPARAM param) -> INT_PTR {
            proc(dialog, WM_INITDIALOG, 0, param);
            for (const auto& m : machine.world.postedMessages)
                proc(m.window ? m.window : dialog, m.message, m.wParam, m.lParam);
            return IDOK;
        };
        CKLDRSetupDlg dialog;
        dialog.m_bUninstall = uninstall ? TRUE : FALSE;
        dialog.DoModal();

        const auto& log = machine.world.log;
        auto at = [&](const std::string& entry) {
            return std::find_if(log.begin(), log.end(),
                                [&](const std::string& e) { return Contains(e, entry); }) -
                   log.begin();
        };
        auto disabled = at("EnableWindow(1,0)"), topmost = at("SetWindowPos(topmost,3)"),
             sensor = at("SensorInst.exe"), finished = at("SetDlgItemTextA(1000,FINISHED)"),
             enabled = at("EnableWindow(1,1)");
        ASSERT_LT(enabled, static_cast<long>(log.size()));
        EXPECT_LT(disabled, topmost);
        EXPECT_LT(topmost, sensor);
        EXPECT_LT(sensor, finished);
        EXPECT_LT(finished, enabled);
        EXPECT_EQ(Contains(log[sensor], "/uninstall"), uninstall);
        EXPECT_TRUE(machine.world.dialogTopmost);
        EXPECT_EQ(machine.world.dialogItemTexts[1000], "FINISHED");
    }
}

// The sensor phase is asked for with the dialog's own window and both parameters 0, and after
// the already-installed box has been closed.
TEST(SetupSequence, PostsTheSensorPhaseToItsOwnWindow) {
    for (INT state : {5, -1}) {
        SCOPED_TRACE(state);
        Machine machine;
        machine.world.productState = state;
        Outcome outcome = RunSequence(machine);
        ASSERT_EQ(machine.world.postedMessages.size(), 1u);
        const auto& posted = machine.world.postedMessages[0];
        EXPECT_EQ(posted.window, machine.world.dialogWindow);
        EXPECT_EQ(posted.message, WM_INSTALL_SENSORS);
        EXPECT_EQ(posted.wParam, 0u);
        EXPECT_EQ(posted.lParam, 0);
        const auto& log = machine.world.log;
        auto post = std::find(log.begin(), log.end(), "PostMessageA(32868)");
        auto box = std::find(log.begin(), log.end(), "MessageBoxA(INSTALLED)");
        EXPECT_EQ(log.end() - post, 1) << "posted last";
        EXPECT_EQ(box != log.end(), state == 5);
        EXPECT_EQ(outcome.boxes.size(), state == 5 ? 1u : 0u);
    }
}

// A failed check ends the dialog with the code of OK as its initialisation returns; a failed step
// leaves it open.
TEST(SetupSequence, FailedCheckEndsTheDialogWithOk) {
    const struct {
        const char* what;
        std::function<void(Machine&)> arrange;
        bool ends;
    } cases[] = {
        {"operating system",
         [](Machine& m) {
             m.world.version.dwMajorVersion = 5;
             m.world.version.dwMinorVersion = 0;
         },
         true},
        {"display", [](Machine& m) { m.world.adapters.clear(); }, true},
        {"administrator", [](Machine& m) { m.world.isAdmin = FALSE; }, true},
        {"display-driver step", [](Machine& m) { m.missingTools = {"DPInst.exe"}; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Machine machine;
        c.arrange(machine);
        INT_PTR initResult = -1;
        machine.world.runDialog = [&](UINT, HWND dialog, DLGPROC proc, LPARAM param) -> INT_PTR {
            initResult = proc(dialog, WM_INITDIALOG, 0, param);
            return machine.world.endDialogResult.value_or(-1);
        };
        CScopedSystemApi scope(machine.world);
        CKLDRSetupDlg dialog;
        INT_PTR ended = dialog.DoModal();
        EXPECT_EQ(initResult, TRUE);
        if (c.ends) {
            EXPECT_EQ(ended, IDOK);
            EXPECT_EQ(machine.world.endDialogWindow, machine.world.dialogWindow);
            EXPECT_EQ(
                std::count(machine.world.log.begin(), machine.world.log.end(), "EndDialog(1)"), 1);
        } else {
            EXPECT_FALSE(machine.world.endDialogResult.has_value());
        }
    }
}

// Memory that runs out while the display snapshot is built means no display could be detected.
TEST(SetupSequence, OutOfMemoryInTheDisplaySnapshotStopsWithTheDisplayBox) {
    Machine machine;
    bool armed = false;
    machine.world.onDisplayQuery = [&](LPCSTR device, DWORD) {
        if (device && !armed) { // the first monitor query: the record is being built
            armed = true;
            FailNextAllocations(1);
        }
    };
    size_t failedBefore = FailedAllocations();
    Outcome outcome = RunSequence(machine);
    EXPECT_EQ(FailedAllocations(), failedBefore + 1) << "the fault was hit";
    EXPECT_EQ(outcome.result, FALSE);
    EXPECT_EQ(outcome.boxes, std::vector<std::string>{"DISPLAY"});
    EXPECT_EQ(outcome.icons, std::vector<UINT>{MB_OK | MB_ICONERROR});
    EXPECT_TRUE(outcome.tools.empty());
    EXPECT_EQ(std::count(machine.world.log.begin(), machine.world.log.end(), "IsUserAnAdmin"), 0);
}

// The display snapshot stays until the sequence returns, and is gone on every way out. Its
// storage shows in the blocks that are live: many adapters, each with a name too long for a
// string's own buffer, and ids that need no registry (so the fake keeps no record of them).
TEST(SetupSequence, DisplaySnapshotLivesUntilTheSequenceReturns) {
    constexpr long kExtraAdapters = 64;
    const struct {
        const char* what;
        std::function<void(Machine&)> arrange;
        int toolsSeen; // tool starts during which the snapshot must still be there
    } cases[] = {
        {"not an administrator", [](Machine& m) { m.world.isAdmin = FALSE; }, 0},
        {"display-driver step fails", [](Machine& m) { m.missingTools = {"DPInst.exe"}; }, 1},
        {"product installed", [](Machine& m) { m.world.productState = 5; }, 1},
        {"product installer fails", [](Machine& m) { m.missingTools = {"Program\\Setup.exe"}; }, 2},
        {"product installer runs", [](Machine&) {}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Machine machine;
        c.arrange(machine);
        for (long i = 0; i < kExtraAdapters; ++i) {
            std::string n = std::to_string(i);
            machine.world.adapters.push_back(
                {MakeDisplayDevice("\\\\.\\DISPLAY" + n, "Adapter", 0),
                 {MakeDisplayDevice("\\\\.\\DISPLAY" + n + "\\Monitor0", "Monitor",
                                    DISPLAY_DEVICE_ACTIVE,
                                    "OTHER\\a-monitor-id-longer-than-" + n)}});
        }
        machine.world.processRuns.reserve(4);
        machine.world.log.reserve(256);

        long before = -1;
        machine.world.onDisplayQuery = [&](LPCSTR, DWORD) {
            if (before < 0)
                before = LiveAllocations();
        };
        std::vector<long> duringTools;
        machine.world.runProcess = [&,
                                    runTool = machine.world.runProcess](const std::string& line) {
            duringTools.push_back(LiveAllocations() - before);
            return runTool(line);
        };
        RunSequence(machine);
        long after = LiveAllocations() - before;

        ASSERT_EQ(static_cast<int>(duringTools.size()), c.toolsSeen);
        for (long live : duringTools)
            EXPECT_GE(live, kExtraAdapters) << "the snapshot is still there";
        EXPECT_LT(after, kExtraAdapters) << "the snapshot is gone";
    }
}

} // namespace
