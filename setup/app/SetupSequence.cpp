#include "app/SetupSequence.h"

#include "app/AdminProbe.h"
#include "app/Catalogue.h"
#include "app/KLDRSetupDlg.h"
#include "app/ProductState.h"
#include "app/WinOSVersion.h"
#include "display/EnumDisplay.h"
#include "installers/ToolSteps.h"
#include "platform/SystemApi.h"
#include "res/resource.h"

#include <new>

namespace {

BOOL StopWithMessage(CKLDRSetupDlg& dialog, UINT textId) {
    ShowCatalogueMessage(dialog.GetSafeHwnd(), textId, MB_ICONERROR);
    return FALSE;
}

BOOL StopWithStatus(CKLDRSetupDlg& dialog) {
    dialog.UpdateStatus(LoadCatalogueText(IDS_SETUP_ABORTED));
    return TRUE;
}

void PostInstallSensors(CKLDRSetupDlg& dialog) {
    SystemApi().PostMessageA(dialog.GetSafeHwnd(), WM_INSTALL_SENSORS, 0, 0);
}

bool HasSupportedDisplaySnapshot() {
    // Running out of memory while the snapshot is built means no display could be detected;
    // nothing may leave the dialog procedure as an exception.
    try {
        CEnumDisplay displays;
        return displays.HasSupportedDisplay() != 0;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

bool IsSupportedWindowsVersion(DWORD major, DWORD minor) {
    return (major == 5 && (minor == 1 || minor == 2)) || major >= 6;
}

BOOL RunSetupSequence(CKLDRSetupDlg& dialog) {
    {
        CWinOSVersion version;
        if (!version.m_bVersionValid || !IsSupportedWindowsVersion(version.m_osvi.dwMajorVersion,
                                                                   version.m_osvi.dwMinorVersion))
            return StopWithMessage(dialog, IDS_OS_UNSUPPORTED);
    }

    if (!HasSupportedDisplaySnapshot())
        return StopWithMessage(dialog, IDS_NO_SUPPORTED_DISPLAY);

    if (!UserIsAdministrator())
        return StopWithMessage(dialog, IDS_NOT_ADMINISTRATOR);

    if (!InstallDisplayDriver(dialog))
        return StopWithStatus(dialog);

    if (QueryProductState() == kProductInstalled) {
        ShowCatalogueMessage(dialog.GetSafeHwnd(), IDS_ALREADY_INSTALLED, MB_ICONINFORMATION);
        PostInstallSensors(dialog);
        return TRUE;
    }

    if (!RunProductSetup())
        return StopWithStatus(dialog);
    PostInstallSensors(dialog);
    return TRUE;
}
