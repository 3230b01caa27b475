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
                      SysCommandCase{32, false}, SysCommandCase{0x10010, true}, // mask 0xFFF0
                      SysCommandCase{SC_MOVE, false}, SysCommandCase{SC_CLOSE, false},
                      SysCommandCase{SC_RESTORE, false}));

TEST(SetupDialog, AboutBoxIsCentredOverTheDialogAndKeptOnScreen) {
    DialogRun run;
    HWND about = nullptr;
    run.world.runDialog = [&, inner = run.world.runDialog](UINT id, HWND dialog, DLGPROC proc,
                                                           LPARAM param) {
        if (id == kAboutTemplate)
            about = dialog;
        return inner(id, dialog, proc, param);
    };
    run.then = [&](HWND dialog, DLGPROC proc) { proc(dialog, WM_SYSCOMMAND, 16, 0); };
    run.world.windowRects[run.world.dialogWindow] = RECT{900, 100, 1235, 273};
    // The about box's rectangle before it is placed: the same for every nested handle.
    for (int depth = 1; depth < 3; ++depth)
        run.world.windowRects[reinterpret_cast<HWND>(
            reinterpret_cast<UINT_PTR>(run.world.dialogWindow) + 0x100 * depth)] =
            RECT{0, 0, 317, 147};
    CScopedSystemApi scope(run.world);
    CKLDRSetupDlg dlg;
    dlg.DoModal();
    ASSERT_NE(about, nullptr);
    // Centred: x = 900 + (335 - 317) / 2 = 909, but the screen is 1024 wide: 1024 - 317 = 707.
    auto placed = std::find_if(run.world.log.begin(), run.world.log.end(),
                               [](const auto& l) { return l.rfind("SetWindowPos(", 0) == 0; });
    ASSERT_NE(placed, run.world.log.end());
    EXPECT_EQ(*placed, "SetWindowPos(other," +
                           std::to_string(SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) + ")");
}

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
