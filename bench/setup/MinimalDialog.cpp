// The yardstick for the setup's start-up time: a Win32 program that shows a dialog of the same
// shape (template, font, manifest, static runtime) and does nothing else. Built twice: as is, and
// with the administrator test imported from shell32.dll as the setup imports it (WITH_SHELL32),
// which makes the system load shell32 at start.
#include <windows.h>
#if defined(WITH_SHELL32)
#include <shlobj.h>
#endif

namespace {

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
#if defined(WITH_SHELL32)
        IsUserAnAdmin();
#endif
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    DialogBoxParamW(instance, MAKEINTRESOURCEW(100), nullptr, &DialogProc, 0);
    return 0;
}
