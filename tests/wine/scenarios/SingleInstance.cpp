// One instance per program file name: a second start ends silently, the first goes on; after
// the first has ended a new one runs; a copy under another name runs beside the first.
#include "Harness.h"

namespace {

const std::wstring kDialogCaption = L"Kaleidra Setup";

// Waits for the process to end and watches that it never shows a window meanwhile.
void CheckEndsSilently(const wt::Process& process, const std::string& what) {
    bool sawWindow = false;
    bool ended = wt::WaitUntil(
        [&] {
            sawWindow = sawWindow || !wt::TopLevelWindows(process.pid).empty();
            return !wt::IsRunning(process);
        },
        15000, 20);
    DWORD exitCode = 1;
    wt::WaitForExit(process, 0, &exitCode);
    wt::Check(ended, what + " ends within seconds");
    wt::Check(!sawWindow, what + " shows no window");
    wt::Check(exitCode == 0, what + " exits with code 0", std::to_string(exitCode));
    wt::Kill(process);
}

void CheckUndisturbed(const wt::Process& first, HWND dialog) {
    wt::Check(wt::IsRunning(first), "the first instance still runs");
    wt::Check(IsWindow(dialog) && wt::IsVisible(dialog), "its dialog is still shown");
    wt::CheckText(wt::Text(dialog), kDialogCaption, "its caption is unchanged");
    wt::CheckText(wt::ControlText(dialog, 1000), L"", "its status line is still empty");
    wt::Check(wt::IsEnabled(dialog) && wt::IsEnabled(wt::Control(dialog, IDOK)),
              "it is still usable");
    wt::Check(wt::TopLevelWindows(first.pid).size() == 1, "it has no other window");
}

bool CloseWithOk(const wt::Process& process, HWND dialog, const std::string& what) {
    wt::Click(dialog, IDOK);
    bool ended = wt::WaitForExit(process, 15000);
    wt::Check(ended, what + " ends with OK");
    wt::Kill(process);
    return ended;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        wt::Note("usage: wt_single_instance <Setup.exe>");
        return 2;
    }
    std::wstring dir = wt::ScratchDir(L"single");
    std::wstring setupExe = dir + L"Setup.exe", otherExe = dir + L"Other.exe";
    CreateDirectoryW((dir + L"elsewhere").c_str(), nullptr);
    std::wstring sameNameExe = dir + L"elsewhere\\Setup.exe";
    std::wstring built = wt::HostPath(argv[1]);
    wt::Check(wt::CopyTo(built, setupExe) && wt::CopyTo(built, otherExe) &&
                  wt::CopyTo(built, sameNameExe),
              "copies of Setup.exe prepared");

    wt::Process first = wt::Start(setupExe);
    HWND dialog = wt::WaitForWindow(first.pid, kDialogCaption, 30000);
    if (!wt::Check(dialog != nullptr, "the first instance shows its dialog")) {
        wt::Kill(first);
        return wt::Finish();
    }

    CheckEndsSilently(wt::Start(setupExe), "a second instance");
    CheckUndisturbed(first, dialog);
    CheckEndsSilently(wt::Start(setupExe, L"/uninstall"), "a second instance with /uninstall");
    CheckEndsSilently(wt::Start(sameNameExe), "Setup.exe from another folder");
    CheckUndisturbed(first, dialog);

    wt::Process other = wt::Start(otherExe);
    HWND otherDialog = wt::WaitForWindow(other.pid, kDialogCaption, 30000);
    wt::Check(otherDialog != nullptr, "a copy named Other.exe runs beside the first");
    wt::Check(IsWindow(dialog) && wt::IsVisible(dialog), "both dialogs are shown");
    if (otherDialog)
        CloseWithOk(other, otherDialog, "the copy");
    wt::Kill(other);

    CloseWithOk(first, dialog, "the first instance");
    wt::Process again = wt::Start(setupExe);
    HWND againDialog = wt::WaitForWindow(again.pid, kDialogCaption, 30000);
    wt::Check(againDialog != nullptr, "after the first has ended a new instance runs");
    if (againDialog)
        CloseWithOk(again, againDialog, "the new instance");
    wt::Kill(again);
    return wt::Finish();
}
