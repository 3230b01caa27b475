// The entry point of Setup.exe: hands the module and the C runtime's argument split to the
// application object, whose life is the program's.
#include "app/KLDRSetupApp.h"
#include "platform/SystemApi.h"

#include <cstdlib>

CKLDRSetupApp theApp;

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    SetAppInstance(hInstance);
    theApp.m_arguments.assign(__argv, __argv + __argc);
    theApp.InitInstance();
    return 0;
}
