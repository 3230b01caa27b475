// Checks the harness's own readers on a known program (wt_fixture.exe): message boxes with
// their caption, text, icon and buttons, and screenshots.
#include "Harness.h"

int main() {
    struct {
        const wchar_t* icon;
        const wchar_t* expected;
    } cases[] = {{L"error", L"error"}, {L"information", L"information"}, {L"none", L"none"}};
    std::wstring fixture = wt::HarnessDir() + L"wt_fixture.exe";
    std::wstring shots = wt::ScratchDir(L"selftest");
    for (const auto& c : cases) {
        std::string label = wt::Utf8(c.icon) + " box: ";
        wt::Process box = wt::Start(fixture, std::wstring(L"msgbox ") + c.icon);
        HWND window = wt::WaitForMessageBox(box.pid, L"Setup", 20000);
        if (!wt::Check(window != nullptr, label + "found by caption")) {
            wt::Kill(box);
            continue;
        }
        wt::MessageBoxInfo info = wt::ReadMessageBox(window);
        wt::CheckText(info.text, L"対応ディスプレイを検出できません。", label + "text");
        wt::CheckText(info.icon, c.expected, label + "icon");
        wt::Check(info.buttons == std::vector<std::wstring>{L"OK"}, label + "one button, OK");
        if (c.icon == std::wstring(L"error")) {
            std::wstring bmp = shots + L"box.bmp";
            wt::Check(wt::SaveScreenshot(window, bmp) &&
                          GetFileAttributesW(bmp.c_str()) != INVALID_FILE_ATTRIBUTES,
                      label + "screenshot saved");
        }
        wt::Click(window, IDOK);
        DWORD code = 0;
        wt::Check(wt::WaitForExit(box, 10000, &code) && code == IDOK, label + "OK closes it");
        wt::Kill(box);
    }
    return wt::Finish();
}
