// The setup dialog as a user meets it: caption, empty status line, OK; the about item at the
// end of the system menu; system commands 16 to 31 open the about box; OK ends the program.
#include "Harness.h"

namespace {

const std::wstring kDialogCaption = L"Kaleidra Setup";
const std::wstring kAboutCaption = L"バージョン情報 KLDRSetup";
const std::wstring kAboutItem = L"バージョン情報 Setup(&A)...";

void CheckSystemMenu(HWND dialog) {
    std::vector<wt::MenuItem> menu;
    if (!wt::Check(wt::ReadSystemMenu(dialog, &menu), "the system menu can be read"))
        return;
    if (!wt::Check(menu.size() >= 2, "the system menu has the added items",
                   std::to_string(menu.size()) + " items"))
        return;
    const wt::MenuItem& last = menu.back();
    const wt::MenuItem& beforeLast = menu[menu.size() - 2];
    wt::Check(beforeLast.separator, "a separator stands before the last item");
    wt::CheckText(last.text, kAboutItem, "the last item is the about item");
    wt::Check(last.id == 16, "the about item's command id is 16", std::to_string(last.id));
    int aboutItems = 0;
    for (const auto& item : menu)
        aboutItems += item.text == kAboutItem;
    wt::Check(aboutItems == 1, "the about item is there once", std::to_string(aboutItems));
}

void CheckAboutBoxes(const wt::Process& setup, HWND dialog) {
    for (UINT command = 16; command <= 31; ++command) {
        std::string label = "system command " + std::to_string(command);
        wt::PostSysCommand(dialog, command);
        HWND about = wt::WaitForWindow(setup.pid, kAboutCaption, 15000);
        if (!wt::Check(about != nullptr, label + " opens the about box"))
            continue;
        if (command == 16) {
            wt::CheckText(wt::ControlText(about, IDOK), L"OK", "the about box has OK");
            RECT a, d;
            GetWindowRect(about, &a);
            GetWindowRect(dialog, &d);
            int dx = (a.left + a.right) / 2 - (d.left + d.right) / 2;
            int dy = (a.top + a.bottom) / 2 - (d.top + d.bottom) / 2;
            wt::Check(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2,
                      "the about box is centred over the dialog",
                      "offset " + std::to_string(dx) + "," + std::to_string(dy));
            wt::Check(!wt::IsEnabled(dialog), "the dialog is disabled while the box is open");
        }
        wt::Click(about, IDOK);
        wt::Check(wt::WaitForWindowGone(about, 10000), label + ": the about box closes");
    }
    wt::Check(wt::WaitUntil([&] { return wt::IsEnabled(dialog); }, 5000),
              "the dialog is enabled again");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        wt::Note("usage: wt_setup_dialog <Setup.exe>");
        return 2;
    }
    wt::Process setup = wt::Start(wt::HostPath(argv[1]));
    wt::Check(static_cast<bool>(setup), "Setup.exe starts");
    HWND dialog = wt::WaitForWindow(setup.pid, kDialogCaption, 30000);
    if (wt::Check(dialog != nullptr, "the dialog appears with caption \"Kaleidra Setup\"")) {
        wt::CheckText(wt::ClassOf(dialog), L"#32770", "it is a dialog window");
        wt::CheckText(wt::ControlText(dialog, 1000), L"", "the status line is empty");
        wt::CheckText(wt::ControlText(dialog, IDOK), L"OK", "the button says OK");
        wt::Check(wt::IsEnabled(wt::Control(dialog, IDOK)), "OK is enabled");
        wt::Check(wt::IsVisible(dialog) && wt::IsVisible(wt::Control(dialog, 1000)),
                  "dialog and status line are visible");
        wt::Check(!wt::IsTopmost(dialog), "the dialog is not topmost");
        wt::Check((GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0,
                  "the dialog has its own taskbar button (WS_EX_APPWINDOW)");
        LONG style = GetWindowLongW(dialog, GWL_STYLE);
        wt::Check((style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) == 0, "no minimise or maximise box");
        CheckSystemMenu(dialog);
        CheckAboutBoxes(setup, dialog);
        wt::CheckText(wt::ControlText(dialog, 1000), L"", "the status line is still empty");
        wt::Click(dialog, IDOK);
    }
    DWORD exitCode = 1;
    wt::Check(wt::WaitForExit(setup, 15000, &exitCode), "OK ends the program");
    wt::Check(exitCode == 0, "exit code 0", std::to_string(exitCode));
    wt::Kill(setup);
    return wt::Finish();
}
