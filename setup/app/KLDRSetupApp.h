// The application object: the guard, the command line and the modal setup dialog.
#pragma once

#include "app/ExistInstance.h"

#include <windows.h>

#include <string>
#include <vector>

class CDialog;

class CKLDRSetupApp {
public:
    CKLDRSetupApp();
    virtual ~CKLDRSetupApp();
    CKLDRSetupApp(const CKLDRSetupApp&) = delete;
    CKLDRSetupApp& operator=(const CKLDRSetupApp&) = delete;

    // Start-up: guard, command line, the setup dialog run modally. Always FALSE: no
    // application message loop follows; the program ends when this returns.
    virtual BOOL InitInstance();

    CExistInstance m_existInstance;
    // The arguments as the C runtime split the command line, program name first.
    std::vector<std::string> m_arguments;
    // The setup dialog while it runs (owner of the program's message boxes).
    CDialog* m_pMainWnd = nullptr;
};
