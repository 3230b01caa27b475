// Screenshots for the demo: the setup dialog, the about box over it, and the whole desktop.
// Usage: wt_demo_shots <Setup.exe> <output folder>; writes dialog.bmp, about.bmp, desktop.bmp.
#include "Harness.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        wt::Note("usage: wt_demo_shots <Setup.exe> <output folder>");
        return 2;
    }
    std::wstring out = wt::HostPath(argv[2]);
    if (out.back() != L'\\')
        out += L'\\';
    wt::Process setup = wt::Start(wt::HostPath(argv[1]));
    HWND dialog = wt::WaitForWindow(setup.pid, L"Kaleidra Setup", 30000);
    if (wt::Check(dialog != nullptr, "the setup dialog appears")) {
        wt::Check(wt::SaveScreenshot(dialog, out + L"dialog.bmp"), "dialog.bmp saved");
        wt::PostSysCommand(dialog, 16);
        HWND about = wt::WaitForWindow(setup.pid, L"バージョン情報 KLDRSetup", 15000);
        if (wt::Check(about != nullptr, "the about box appears")) {
            wt::Check(wt::SaveScreenshot(about, out + L"about.bmp"), "about.bmp saved");
            wt::Check(wt::SaveScreenshot(GetDesktopWindow(), out + L"desktop.bmp"),
                      "desktop.bmp saved");
            wt::Click(about, IDOK);
            wt::WaitForWindowGone(about, 10000);
        }
        wt::Click(dialog, IDOK);
    }
    wt::Check(wt::WaitForExit(setup, 15000), "the setup ends with OK");
    wt::Kill(setup);
    return wt::Finish();
}
