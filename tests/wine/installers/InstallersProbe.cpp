// Runs the installer steps of the setup under Wine, from the directory it was copied to, so that
// the tests can lay out a medium around it and read back what the stand-in tools logged.
//
//   InstallersProbe is64                 is64=0|1
//   InstallersProbe moduledir            moduledir=<hex bytes of GetModuleDirectory>
//   InstallersProbe run <command line>   ran=0|1 exit=<code>   (RunAndWait; one argument)
//   InstallersProbe display              result=0|1 visible=0|1 (InstallDisplayDriver)
//   InstallersProbe product              result=0|1             (RunProductSetup)
//   InstallersProbe sensors [uninstall]  result=0|1 status=<hex> (InstallSensorDrivers)
//
// Output lines go to stdout. The dialog is a real top-level window captioned "Kaleidra Setup"
// with a status control (1000) and an OK button (1), so the tools can look at it from outside.
#include "app/KLDRSetupDlg.h"
#include "installers/ModulePath.h"
#include "installers/ProcessRunner.h"
#include "installers/SensorDrivers.h"
#include "installers/ToolSteps.h"
#include "installers/Wow64Probe.h"
#include "platform/SystemApi.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class CProbeDlg : public CKLDRSetupDlg {
public:
    CProbeDlg() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KldrProbeDialog";
        RegisterClassW(&windowClass);
        m_hWnd = CreateWindowExW(0, L"KldrProbeDialog", L"Kaleidra Setup",
                                 WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320, 160, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 10, 10, 300, 20, m_hWnd,
                        reinterpret_cast<HMENU>(1000), windowClass.hInstance, nullptr);
        CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE, 10, 40, 80, 24, m_hWnd,
                        reinterpret_cast<HMENU>(IDOK), windowClass.hInstance, nullptr);
    }
    ~CProbeDlg() override { DestroyWindow(m_hWnd); }
};

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof(two), "%02X", c);
        out += two;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    SetAppInstance(GetModuleHandleA(nullptr));
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "is64") {
        std::printf("is64=%d\n", Is64BitWindows() ? 1 : 0);
    } else if (command == "moduledir") {
        std::printf("moduledir=%s\n", Hex(GetModuleDirectory()).c_str());
    } else if (command == "run") {
        DWORD exitCode = 0xDEADBEEF;
        BOOL ran = RunAndWait(argc > 2 ? argv[2] : "", exitCode);
        std::printf("ran=%d exit=%lu\n", ran ? 1 : 0, static_cast<unsigned long>(exitCode));
    } else if (command == "display") {
        CProbeDlg dialog;
        BOOL result = InstallDisplayDriver(dialog);
        std::printf("result=%d visible=%d\n", result ? 1 : 0,
                    IsWindowVisible(dialog.GetSafeHwnd()) ? 1 : 0);
    } else if (command == "product") {
        CProbeDlg dialog;
        std::printf("result=%d\n", RunProductSetup() ? 1 : 0);
    } else if (command == "sensors") {
        CProbeDlg dialog;
        dialog.m_bUninstall = argc > 2 && std::strcmp(argv[2], "uninstall") == 0;
        BOOL result = InstallSensorDrivers(dialog);
        dialog.UpdateData(TRUE);
        std::printf("result=%d status=%s\n", result ? 1 : 0, Hex(dialog.m_strStatus).c_str());
    } else {
        std::printf("usage: InstallersProbe is64|moduledir|run|display|product|sensors\n");
        return 2;
    }
    return 0;
}
