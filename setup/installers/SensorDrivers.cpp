#include "installers/SensorDrivers.h"

#include "installers/FindListing.h"
#include "installers/MessagePump.h"
#include "installers/PathSplit.h"
#include "installers/ProcessRunner.h"
#include "installers/SetupDialogView.h"
#include "platform/CodePageText.h"
#include "platform/StringTable.h"
#include "platform/SystemApi.h"
#include "res/resource.h"

namespace {

// After each package, and after each INF whose installer could not be started.
constexpr DWORD kPauseMs = 100;

// The catalogue text with its %s filled. The text comes from our own resources, but it is filled
// as data, never used as a printf format: only %s and %% are taken, anything else stays as is.
std::string FillStatusText(const std::string& text, const std::string& value) {
    std::string out;
    bool filled = false;
    for (size_t i = 0, n = 0; i < text.size(); i += n) {
        n = CharLengthAt(text, i);
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (n == 1 && text[i] == '%' && next == '%') {
            out += '%';
            n = 2;
        } else if (n == 1 && text[i] == '%' && next == 's' && !filled) {
            out += value;
            filled = true;
            n = 2;
        } else {
            out += text.substr(i, n);
        }
    }
    return out;
}

BOOL RunSensorInstaller(const std::string& arguments) {
    std::string installer = GetSensorInstallerPath();
    if (installer.empty())
        return FALSE;
    DWORD exitCode = 0; // not read: a run that started and ended counts as done
    return RunAndWait(QuoteCommandPath(installer) + arguments, exitCode);
}

bool IsDirectory(const WIN32_FIND_DATAA& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

BOOL InstallSensorInf(const std::string& infPath) {
    return RunSensorInstaller(" \"" + infPath + "\"");
}

BOOL UninstallSensorInf(const std::string& infPath) {
    return RunSensorInstaller(" /uninstall \"" + infPath + "\"");
}

BOOL InstallSensorPackage(const std::string& packagePath, CSetupDialogView& dialog) {
    BOOL result = FALSE;
    CFindListing listing(packagePath + "\\*.inf");
    WIN32_FIND_DATAA entry;
    while (listing.Next(entry)) {
        if (IsDotEntry(entry))
            continue;
        // Not tested for being a file: a directory named *.inf is passed on like one.
        std::string infPath = packagePath + "\\" + entry.cFileName;
        UINT textId = dialog.IsUninstalling() ? IDS_UNINSTALLING : IDS_INSTALLING;
        dialog.UpdateStatus(FillStatusText(LoadCatalogueText(textId), GetFileBaseName(infPath)));
        PumpMessages(dialog);
        result = dialog.IsUninstalling() ? UninstallSensorInf(infPath) : InstallSensorInf(infPath);
        if (result)
            break;
        SystemApi().Sleep(kPauseMs);
    }
    dialog.UpdateStatus("");
    PumpMessages(dialog);
    return result;
}

BOOL InstallSensorDrivers(CSetupDialogView& dialog) {
    BOOL result = FALSE;
    std::string packages = GetSensorPackagesDirectory();
    if (packages.empty())
        return FALSE;
    CFindListing listing(packages + "\\*");
    WIN32_FIND_DATAA entry;
    while (listing.Next(entry)) {
        if (IsDotEntry(entry) || !IsDirectory(entry))
            continue;
        if (InstallSensorPackage(packages + "\\" + entry.cFileName, dialog))
            result = TRUE;
        SystemApi().Sleep(kPauseMs);
    }
    return result;
}
