#include "app/KLDRSetupApp.h"
#include "app/KLDRSetupDlg.h"

#include "FakeSystemApi.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr UINT kSetupTemplate = 102, kAboutTemplate = 100;

// Plays one modal run of the setup dialog: WM_INITDIALOG, then `then` with the dialog procedure.
// Nested dialogs (the about box) are initialised and closed with OK at once.
struct DialogRun {
    CFakeSystemApi world;
    std::function<void(HWND, DLGPROC)> then = [](HWND, DLGPROC) {};
    INT_PTR initResult = -1;
    std::vector<INT_PTR> nestedResults;

    DialogRun() {
        world.strings[101] = u"バージョン情報 Setup(&A)...";
        world.runDialog = [this](UINT id, HWND dialog, DLGPROC proc, LPARAM param) -> INT_PTR {
            world.endDialogResult.reset();
            INT_PTR init = proc(dialog, WM_INITDIALOG, 0, param);
            if (id == kSetupTemplate) {
                initResult = init;
                then(dialog, proc);
            } else {
                proc(dialog, WM_COMMAND, IDOK, 0);
            }
            INT_PTR result = world.endDialogResult.value_or(-1);
            world.endDialogResult.reset();
            return result;
        };
    }
};

TEST(SetupDialog, InitialisationEmptiesTheStatusLineAddsTheAboutItemAndSetsIcons) {
    DialogRun run;
    run.world.dialogItemTexts[1000] = "スタティック";
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();

    EXPECT_EQ(run.world.dialogTemplates, (std::vector<UINT>{kSetupTemplate}));
    EXPECT_EQ(run.initResult, TRUE);
    EXPECT_EQ(run.world.dialogItemTexts[1000], "");
    EXPECT_EQ(run.world.systemMenu, (std::vector<std::string>{"-", "バージョン情報 Setup(&A)..."}));
    EXPECT_EQ(run.world.systemMenuIds.back(), 16u);
    std::vector<std::pair<WPARAM, LPARAM>> icons;
    for (const auto& m : run.world.sentMessages)
        if (m.message == WM_SETICON)
            icons.emplace_back(m.wParam, m.lParam);
    LPARAM icon = reinterpret_cast<LPARAM>(dlg.m_hIcon);
    ASSERT_NE(dlg.m_hIcon, nullptr);
    EXPECT_EQ(icons,
              (std::vector<std::pair<WPARAM, LPARAM>>{{ICON_BIG, icon}, {ICON_SMALL, icon}}));
}

TEST(SetupDialog, NoAboutItemWithoutItsTextOrWithoutSystemMenu) {
    for (bool hasText : {false, true}) {
        DialogRun run;
        if (!hasText)
            run.world.strings.erase(101);
        run.world.hasSystemMenu = !hasText; // with the text, but no menu to add to
        CScopedSystemApi scope(run.world);
        CKLDRSetupDlg dlg;
        dlg.DoModal();
        EXPECT_TRUE(run.world.systemMenu.empty()) << "text present: " << hasText;
        EXPECT_EQ(run.initResult, TRUE);
    }
}

struct SysCommandCase {
    UINT id;
    bool opensAbout;
};

class SetupDialogSysCommand : public ::testing::TestWithParam<SysCommandCase> {};

TEST_P(SetupDialogSysCommand, LowFourBitsAreIgnored) {
    DialogRun run;
    INT_PTR handled = -1;
    run.then = [&](HWND dialog, DLGPROC proc) {
        handled = proc(dialog, WM_SYSCOMMAND, GetParam().id, 0);
    };
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();
    if (GetParam().opensAbout) {
        EXPECT_EQ(run.world.dialogTemplates, (std::vector<UINT>{kSetupTemplate, kAboutTemplate}));
        EXPECT_EQ(run.world.dialogOwners.back(), run.world.dialogWindow); // centred over it
        EXPECT_EQ(handled, TRUE);
    } else {
        EXPECT_EQ(run.world.dialogTemplates, (std::vector<UINT>{kSetupTemplate}));
        EXPECT_EQ(handled, FALSE); // the platform's default processing
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, SetupDialogSysCommand,
    ::testing::Values(SysCommandCase{16, true}, SysCommandCase{17, true}, SysCommandCase{24, true},
                      SysCommandCase{31, true}, SysCommandCase{0, false}, SysCommandCase{15, false},
                      SysCommandCase{32, false}, SysCommandCase{0x10010, false},
                      SysCommandCase{0xFFFF001F, false}, SysCommandCase{0x8000001F, false},
                      SysCommandCase{SC_MOVE, false}, SysCommandCase{SC_CLOSE, false},
                      SysCommandCase{SC_RESTORE, false}));

struct AboutPlacementCase {
    const char* what;
    std::vector<FakeMonitor> monitors;
    RECT owner;
    POINT placed; // the about box is 317 x 147
};

void PrintTo(const AboutPlacementCase& c, std::ostream* os) {
    *os << c.what;
}

const FakeMonitor kPrimary{{0, 0, 1024, 768}, {0, 0, 1024, 738}};
const FakeMonitor kRightOfPrimary{{1024, 0, 2304, 1024}, {1024, 0, 2304, 1024}};
const FakeMonitor kLeftOfPrimary{{-1280, -256, 0, 768}, {-1280, -256, 0, 728}};

const AboutPlacementCase kAboutPlacements[] = {
    {"centred over the owner", {kPrimary}, {300, 200, 635, 373}, {309, 213}},
    {"kept inside the right edge", {kPrimary}, {900, 100, 1235, 273}, {707, 113}},
    {"kept above the taskbar, not the screen's bottom",
     {kPrimary},
     {300, 650, 635, 823},
     {309, 591}},
    {"kept inside the left and top edges", {kPrimary}, {-200, -100, 135, 73}, {0, 0}},
    {"on a monitor right of the primary one",
     {kPrimary, kRightOfPrimary},
     {1500, 300, 1835, 473},
     {1509, 313}},
    {"at the far edge of that monitor",
     {kPrimary, kRightOfPrimary},
     {2100, 900, 2435, 1073},
     {1987, 877}},
    {"on a monitor left of the primary one, above its origin",
     {kPrimary, kLeftOfPrimary},
     {-900, -200, -565, -27},
     {-891, -187}},
    {"the owner mostly on the second monitor",
     {kPrimary, kRightOfPrimary},
     {1000, 400, 1335, 573},
     {1024, 413}},
    {"the owner off every monitor: the nearest one",
     {kPrimary, kRightOfPrimary},
     {2400, 100, 2735, 273},
     {1987, 113}},
    {"a work area smaller than the box: its top left corner",
     {{{0, 0, 300, 100}, {0, 0, 300, 100}}},
     {0, 0, 300, 100},
     {0, 0}},
};

class AboutBoxPlacement : public ::testing::TestWithParam<AboutPlacementCase> {};

TEST_P(AboutBoxPlacement, CentredOverTheOwnerInsideItsMonitorsWorkArea) {
    const AboutPlacementCase& c = GetParam();
    DialogRun run;
    run.world.monitors = c.monitors;
    run.world.windowRects[run.world.dialogWindow] = c.owner;
    // The about box is the first nested dialog: its rectangle before it is placed.
    HWND about = reinterpret_cast<HWND>(reinterpret_cast<UINT_PTR>(run.world.dialogWindow) + 0x100);
    run.world.windowRects[about] = RECT{0, 0, 317, 147};
    run.then = [&](HWND dialog, DLGPROC proc) {
        run.world.windowPlacements.clear();
        proc(dialog, WM_SYSCOMMAND, 16, 0);
    };
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();
    ASSERT_EQ(run.world.dialogTemplates.back(), kAboutTemplate);
    ASSERT_EQ(run.world.windowPlacements.size(), 1u);
    const auto& placement = run.world.windowPlacements[0];
    EXPECT_EQ(placement.window, about);
    EXPECT_EQ(placement.x, c.placed.x);
    EXPECT_EQ(placement.y, c.placed.y);
    EXPECT_EQ(placement.flags, static_cast<UINT>(SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
}

INSTANTIATE_TEST_SUITE_P(Owners, AboutBoxPlacement, ::testing::ValuesIn(kAboutPlacements));

struct PaintCase {
    RECT client;
    int iconSize;
    int x, y;
};

class SetupDialogMinimisedPaint : public ::testing::TestWithParam<PaintCase> {};

TEST_P(SetupDialogMinimisedPaint, DrawsTheIconCentred) {
    DialogRun run;
    run.world.dialogIconic = true;
    run.world.clientRect = GetParam().client;
    run.world.systemMetrics[SM_CXICON] = GetParam().iconSize;
    run.world.systemMetrics[SM_CYICON] = GetParam().iconSize;
    run.then = [](HWND dialog, DLGPROC proc) { proc(dialog, WM_PAINT, 0, 0); };
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();
    std::vector<std::string> painting;
    for (const auto& l : run.world.log)
        if (l.rfind("SendMessageA(39)", 0) == 0 || l.rfind("DrawIcon", 0) == 0)
            painting.push_back(l);
    EXPECT_EQ(painting, (std::vector<std::string>{"SendMessageA(39)",
                                                  "DrawIcon(" + std::to_string(GetParam().x) + "," +
                                                      std::to_string(GetParam().y) + ")"}));
    // The background is erased on the device context the painting got, of the dialog itself.
    const auto erase = std::find_if(run.world.sentMessages.begin(), run.world.sentMessages.end(),
                                    [](const auto& m) { return m.message == WM_ICONERASEBKGND; });
    ASSERT_NE(erase, run.world.sentMessages.end());
    EXPECT_EQ(erase->window, run.world.dialogWindow);
    EXPECT_EQ(erase->wParam, reinterpret_cast<WPARAM>(run.world.paintDc));
    EXPECT_EQ(erase->lParam, 0);
}

INSTANTIATE_TEST_SUITE_P(ClientAreas, SetupDialogMinimisedPaint,
                         ::testing::Values(PaintCase{{0, 0, 160, 120}, 32, 64, 44},
                                           PaintCase{{0, 0, 33, 33}, 32, 1, 1},
                                           PaintCase{{0, 0, 32, 31}, 32, 0, 0},
                                           PaintCase{{0, 0, 29, 28}, 32, -1, -1}, // truncated
                                           PaintCase{{10, 20, 170, 140}, 16, 72, 52}));

TEST(SetupDialog, PaintsNormallyWhenNotMinimised) {
    DialogRun run;
    INT_PTR handled = -1;
    run.then = [&](HWND dialog, DLGPROC proc) { handled = proc(dialog, WM_PAINT, 0, 0); };
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();
    EXPECT_EQ(handled, FALSE);
    for (const auto& l : run.world.log)
        EXPECT_NE(l.rfind("DrawIcon", 0), 0u);
}

TEST(SetupDialog, DragIconIsTheApplicationIconReturnedDirectly) {
    DialogRun run;
    INT_PTR answer = 0;
    run.then = [&](HWND dialog, DLGPROC proc) { answer = proc(dialog, WM_QUERYDRAGICON, 0, 0); };
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();
    EXPECT_EQ(answer, reinterpret_cast<INT_PTR>(dlg.m_hIcon));
}

TEST(SetupDialog, OkAndCancelEndTheDialogWithTheirCodes) {
    for (int command : {IDOK, IDCANCEL}) {
        DialogRun run;
        run.then = [&](HWND dialog, DLGPROC proc) {
            proc(dialog, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
        };
        CScopedSystemApi scope(run.world);
        CKLDRSetupDlg dlg;
        EXPECT_EQ(dlg.DoModal(), command);
        EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);
    }
}

TEST(SetupDialog, MessagesBeforeInitialisationGetDefaultProcessing) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    EXPECT_EQ(CDialog::DialogProc(world.dialogWindow, WM_PAINT, 0, 0), FALSE);
    EXPECT_EQ(CDialog::DialogProc(world.dialogWindow, WM_COMMAND, IDOK, 0), FALSE);
    EXPECT_FALSE(world.endDialogResult.has_value());
}

// Records each data exchange: its direction and the member's value after it.
class RecordingDlg : public CKLDRSetupDlg {
public:
    void DoDataExchange(CDataExchange* pDX) override {
        CKLDRSetupDlg::DoDataExchange(pDX);
        exchanges.emplace_back(pDX->m_bSaveAndValidate, m_strStatus);
    }
    void Attach(HWND window) { m_hWnd = window; }
    std::vector<std::pair<BOOL, std::string>> exchanges;
};

TEST(SetupDialog, StatusUpdateSavesAssignsAndLoads) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    RecordingDlg dlg;
    dlg.Attach(world.dialogWindow);
    world.dialogItemTexts[1000] = "shown";
    dlg.m_strStatus = "stale";
    dlg.UpdateStatus("Kaleidra のセットアップが終了しました。");
    using Exchange = std::pair<BOOL, std::string>;
    EXPECT_EQ(dlg.exchanges,
              (std::vector<Exchange>{{TRUE, "shown"}, // controls to members first
                                     {FALSE, "Kaleidra のセットアップが終了しました。"}}));
    EXPECT_EQ(world.dialogItemTexts[1000], "Kaleidra のセットアップが終了しました。");
    dlg.UpdateStatus("");
    EXPECT_EQ(world.dialogItemTexts[1000], "");
}

// The save step takes the control's whole text however long it is, and nothing when the text
// cannot be read.
TEST(SetupDialog, StatusSaveTakesTheWholeTextAndNothingUndefined) {
    const std::string kSo = "\x83\x5C"; // one double-byte character
    std::string doubleBytes;
    for (int i = 0; i < 200; ++i)
        doubleBytes += kSo; // 400 bytes: a 256-byte buffer holds 127 characters, one byte short
    const struct {
        const char* what;
        std::string text;
        bool readable;
        std::string saved;
    } cases[] = {
        {"short", "shown", true, "shown"},
        {"empty", "", true, ""},
        {"253 bytes", std::string(253, 'a'), true, std::string(253, 'a')},
        {"254 bytes", std::string(254, 'b'), true, std::string(254, 'b')},
        {"1023 bytes", std::string(1023, 'c'), true, std::string(1023, 'c')},
        {"5000 bytes", std::string(5000, 'd'), true, std::string(5000, 'd')},
        {"double-byte text cut before a character", doubleBytes, true, doubleBytes},
        {"unreadable", "anything", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CFakeSystemApi world;
        CScopedSystemApi scope(world);
        RecordingDlg dlg;
        dlg.Attach(world.dialogWindow);
        world.dialogItemTexts[1000] = c.text;
        if (!c.readable)
            world.unreadableItems.insert(1000);
        dlg.m_strStatus = "stale";
        dlg.UpdateStatus("next");
        ASSERT_EQ(dlg.exchanges.size(), 2u);
        EXPECT_EQ(dlg.exchanges[0].second, c.saved);
        EXPECT_EQ(world.dialogItemTexts[1000], "next");
    }
}

TEST(SetupApp, RunsTheDialogWithTheUninstallFlagAlreadySet) {
    for (const char* argument : {"/UnInstall", "uninstall"}) {
        DialogRun run;
        BOOL flagAtInit = -1;
        run.world.runDialog = [&, inner = run.world.runDialog](UINT id, HWND dialog, DLGPROC proc,
                                                               LPARAM param) {
            flagAtInit = reinterpret_cast<CKLDRSetupDlg*>(param)->m_bUninstall;
            return inner(id, dialog, proc, param);
        };
        CScopedSystemApi scope(run.world);
        {
            CKLDRSetupApp app;
            app.m_arguments = {"C:\\Setup\\Setup.exe", argument};
            EXPECT_EQ(app.InitInstance(), FALSE);
            EXPECT_EQ(app.m_pMainWnd, nullptr);
            EXPECT_EQ(run.world.dialogTemplates, (std::vector<UINT>{kSetupTemplate}));
            EXPECT_EQ(flagAtInit, argument[0] == '/' ? TRUE : FALSE);
            EXPECT_EQ(run.world.OpenHandleCount(), 1); // the guard is held until exit
        }
        EXPECT_EQ(run.world.OpenHandleCount(), 0);
    }
}

TEST(SetupApp, SecondInstanceEndsWithoutAnyWindow) {
    DialogRun run;
    CScopedSystemApi scope(run.world);
    CKLDRSetupApp first;
    ASSERT_FALSE(first.m_existInstance.IsAlreadyRunning());
    CKLDRSetupApp second;
    second.m_arguments = {"Setup.exe", "/uninstall"};
    run.world.log.clear();
    EXPECT_EQ(second.InitInstance(), FALSE);
    EXPECT_TRUE(run.world.dialogTemplates.empty());
    EXPECT_TRUE(run.world.messageBoxes.empty());
    EXPECT_EQ(run.world.log.size(), 1u); // only the guard's mutex call
}

} // namespace
