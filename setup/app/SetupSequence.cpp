#include "app/SetupSequence.h"

#include "app/AdminProbe.h"
#include "app/Catalogue.h"
#include "app/ProductState.h"
#include "app/WinOSVersion.h"
#include "display/EnumDisplay.h"
#include "installers/SetupDialogView.h"
#include "installers/ToolSteps.h"
#include "platform/SystemApi.h"
#include "res/resource.h"

#include <new>
#include <optional>

namespace {

BOOL StopWithMessage(CSetupDialogView& dialog, UINT textId) {
    ShowCatalogueMessage(dialog.GetSafeHwnd(), textId, MB_ICONERROR);
    return FALSE;
}

BOOL StopWithStatus(CSetupDialogView& dialog) {
    dialog.UpdateStatus(LoadCatalogueText(IDS_SETUP_ABORTED));
    return TRUE;
}

void PostInstallSensors(CSetupDialogView& dialog) {
    SystemApi().PostMessageA(dialog.GetSafeHwnd(), WM_INSTALL_SENSORS, 0, 0);
}

// Empty when memory ran out while the snapshot was built: then no display could be detected.
// Nothing may leave the dialog procedure as an exception.
void TakeDisplaySnapshot(std::optional<CEnumDisplay>& displays) {
    try {
        displays.emplace();
    } catch (const std::bad_alloc&) {
        // A constructor that throws leaves the optional empty.
    }
}

} // namespace

BOOL RunSetupSequence(CSetupDialogView& dialog) {
    {
        CWinOSVersion version;
        if (!version.m_bVersionValid || !IsSupportedWindowsVersion(version.m_osvi.dwMajorVersion,
                                                                   version.m_osvi.dwMinorVersion))
            return StopWithMessage(dialog, IDS_OS_UNSUPPORTED);
    }

    // Held until the sequence returns, whichever way it ends.
    std::optional<CEnumDisplay> displays;
    TakeDisplaySnapshot(displays);
    if (!displays || !displays->HasSupportedDisplay())
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
