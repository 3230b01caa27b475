// One instance per program file name: a second start ends silently, the first goes on; after
// the first has ended a new one runs; a copy under another name runs beside the first. The
// instances run on a medium of stand-in tools with a supported display, so each dialog that
// stays open has run the whole setup and shows the closing text.
#include "Harness.h"
#include "SetupRun.h"

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
    wt::CheckText(wt::ControlText(dialog, 1000), seq::kFinished,
                  "its status line still shows the closing text");
    wt::Check(wt::IsEnabled(dialog) && wt::IsEnabled(wt::Control(dialog, IDOK)),
              "it is still usable");
    wt::Check(wt::TopLevelWindows(first.pid).size() == 1, "it has no other window");
}

// Waits until the instance has run the setup to its closing text.
bool WaitForFinished(HWND dialog, const std::string& what) {
    return wt::Check(wt::WaitUntil(
                         [&] {
                             return wt::ControlText(dialog, 1000) == seq::kFinished &&
                                    wt::IsEnabled(wt::Control(dialog, IDOK));
                         },
                         60000),
                     what + " runs the setup to its closing text");
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
    if (argc < 4) {
        wt::Note("usage: wt_single_instance <Setup.exe> <stand-in x86> <stand-in x64>");
        return 2;
    }
    seq::Kit kit{wt::HostPath(argv[1]), wt::HostPath(argv[2]), wt::HostPath(argv[3])};
    seq::MediumLayout layout;
    layout.name = L"single";
    seq::Medium medium;
    if (!wt::Check(seq::LayOut(kit, layout, &medium), "medium laid out") ||
        !wt::Check(seq::SetDisplay(seq::Display::Supported), "a supported display"))
        return wt::Finish();
    SetEnvironmentVariableW(L"KLDR_STUB_LOG", medium.log.c_str());
    std::wstring dir = medium.root;
    std::wstring setupExe = medium.setup, otherExe = dir + L"Other.exe";
    CreateDirectoryW((dir + L"elsewhere").c_str(), nullptr);
    std::wstring sameNameExe = dir + L"elsewhere\\Setup.exe";
    wt::Check(wt::CopyTo(kit.setup, otherExe) && wt::CopyTo(kit.setup, sameNameExe),
              "copies of Setup.exe prepared");

    wt::Process first = wt::Start(setupExe);
    HWND dialog = wt::WaitForWindow(first.pid, kDialogCaption, 30000);
    if (!wt::Check(dialog != nullptr, "the first instance shows its dialog") ||
        !WaitForFinished(dialog, "the first instance")) {
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
    if (otherDialog && WaitForFinished(otherDialog, "the copy"))
        CloseWithOk(other, otherDialog, "the copy");
    wt::Kill(other);

    CloseWithOk(first, dialog, "the first instance");
    wt::Process again = wt::Start(setupExe);
    HWND againDialog = wt::WaitForWindow(again.pid, kDialogCaption, 30000);
    wt::Check(againDialog != nullptr, "after the first has ended a new instance runs");
    if (againDialog && WaitForFinished(againDialog, "the new instance"))
        CloseWithOk(again, againDialog, "the new instance");
    wt::Kill(again);
    seq::SetDisplay(seq::Display::None);
    return wt::Finish();
}
