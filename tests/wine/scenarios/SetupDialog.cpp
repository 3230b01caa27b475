// The setup dialog as a user meets it once the setup has run on a medium (stand-in tools, a
// supported display): caption, the closing text, OK; the about item at the end of the system
// menu; system commands 16 to 31 open the about box; OK ends the program.
#include "Harness.h"
#include "SetupRun.h"

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

void CheckAboutBoxes(DWORD pid, HWND dialog) {
    for (UINT command = 16; command <= 31; ++command) {
        std::string label = "system command " + std::to_string(command);
        wt::PostSysCommand(dialog, command);
        HWND about = wt::WaitForWindow(pid, kAboutCaption, 15000);
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
    if (argc < 4) {
        wt::Note("usage: wt_setup_dialog <Setup.exe> <stand-in x86> <stand-in x64>");
        return 2;
    }
    seq::Kit kit{wt::HostPath(argv[1]), wt::HostPath(argv[2]), wt::HostPath(argv[3])};
    seq::MediumLayout layout;
    layout.name = L"dialog";
    seq::Medium medium;
    if (!wt::Check(seq::LayOut(kit, layout, &medium), "medium laid out") ||
        !wt::Check(seq::SetDisplay(seq::Display::Supported), "a supported display"))
        return wt::Finish();
    // The setup runs to its closing text; the checks below run there, before OK.
    seq::DriveOptions options;
    options.atEnd = [](HWND dialog) {
        wt::CheckText(wt::Text(dialog), kDialogCaption, "the dialog's caption");
        wt::CheckText(wt::ClassOf(dialog), L"#32770", "it is a dialog window");
        wt::CheckText(wt::ControlText(dialog, 1000), seq::kFinished, "the status line");
        wt::CheckText(wt::ControlText(dialog, IDOK), L"OK", "the button says OK");
        wt::Check(wt::IsEnabled(wt::Control(dialog, IDOK)), "OK is enabled");
        wt::Check(wt::IsVisible(dialog) && wt::IsVisible(wt::Control(dialog, 1000)),
                  "dialog and status line are visible");
        wt::Check(wt::IsTopmost(dialog), "the dialog is topmost after the sensor phase");
        wt::Check((GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0,
                  "the dialog has its own taskbar button (WS_EX_APPWINDOW)");
        LONG style = GetWindowLongW(dialog, GWL_STYLE);
        wt::Check((style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) == 0, "no minimise or maximise box");
        DWORD pid = 0;
        GetWindowThreadProcessId(dialog, &pid);
        CheckSystemMenu(dialog);
        CheckAboutBoxes(pid, dialog);
        wt::CheckText(wt::ControlText(dialog, 1000), seq::kFinished,
                      "the status line is unchanged");
        wt::Check(wt::IsTopmost(dialog), "the dialog is still topmost");
    };
    seq::Run run = seq::DriveSetup(medium, options);
    wt::Check(run.reachedEnd, "the setup reaches its closing text");
    wt::Check(run.ended, "OK ends the program");
    wt::Check(run.exitCode == 0, "exit code 0", std::to_string(run.exitCode));
    seq::SetDisplay(seq::Display::None);
    return wt::Finish();
}
