#include "installers/ToolSteps.h"

#include "installers/PackageTree.h"
#include "installers/ProcessRunner.h"
#include "installers/SetupDialogView.h"
#include "platform/SystemApi.h"

namespace {

// The tool path alone is the command line. It is quoted: unquoted, a program directory with
// blanks ("C:\KLDR ACC\disk 1\") would make the system try C:\KLDR.exe first.
BOOL RunTool(const std::string& path) {
    if (path.empty())
        return FALSE;
    DWORD exitCode = 0; // not read: a tool that ran counts as done, whatever it reports
    return RunAndWait(QuoteCommandPath(path), exitCode);
}

} // namespace

BOOL InstallDisplayDriver(CSetupDialogView& dialog) {
    SystemApi().ShowWindow(dialog.GetSafeHwnd(), SW_HIDE);
    BOOL ran = RunTool(GetDisplayDriverToolPath());
    SystemApi().ShowWindow(dialog.GetSafeHwnd(), SW_SHOW);
    return ran;
}

BOOL RunProductSetup() {
    return RunTool(GetProductInstallerPath());
}
