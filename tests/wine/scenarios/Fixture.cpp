// A known program for the harness's self-test: `wt_fixture msgbox error|information|none`
// shows a message box captioned "Setup" and exits with the button pressed.
#include <windows.h>

#include <cwchar>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const wchar_t* commandLine = std::wcsstr(GetCommandLineW(), L" msgbox ");
    if (!commandLine)
        return -1;
    UINT icon = 0;
    if (std::wcsstr(commandLine, L"error"))
        icon = MB_ICONERROR;
    else if (std::wcsstr(commandLine, L"information"))
        icon = MB_ICONINFORMATION;
    return MessageBoxW(nullptr, L"対応ディスプレイを検出できません。", L"Setup", MB_OK | icon);
}
