#include "app/KLDRSetupApp.h"

#include "app/KLDRSetupDlg.h"
#include "app/MyCommandLineInfo.h"

CKLDRSetupApp::CKLDRSetupApp() = default;

CKLDRSetupApp::~CKLDRSetupApp() = default;

BOOL CKLDRSetupApp::InitInstance() {
    // A second instance ends silently: no window, no message.
    if (m_existInstance.IsAlreadyRunning())
        return FALSE;

    CMyCommandLineInfo cmdInfo;
    ParseCommandLine(cmdInfo, m_arguments);

    CKLDRSetupDlg dlg;
    dlg.m_bUninstall = cmdInfo.m_bUninstall; // before the dialog's initialisation runs
    m_pMainWnd = &dlg;
    dlg.DoModal(); // the whole setup happens in here; how it ended does not matter
    m_pMainWnd = nullptr;
    return FALSE;
}
