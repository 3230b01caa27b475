#include "SensorInstaller.h"

#include "AsciiCase.h"
#include "ExitCodes.h"

#include <cwchar>

namespace sensorinst {
namespace {

// ERROR_NO_SUCH_DEVINST: the device went away between the presence test and the update.
constexpr unsigned long kErrorNoSuchDevinst = 0xE000020B;

void AddOnce(std::vector<std::wstring>& ids, const std::wstring& id) {
    for (const std::wstring& known : ids) {
        if (EqualsIgnoringAsciiCase(known, id))
            return;
    }
    ids.push_back(id);
}

std::wstring Number(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, 16, value > 0xFFFF ? L"0x%08lX" : L"%lu", value);
    return text;
}

// Checks the file and reads the ids it names; 0 or the exit code, with the message printed.
unsigned long ReadPackage(const Command& command, PnpSystem& system, PackageIds& package) {
    const std::wstring& path = command.infPath;
    switch (system.Probe(path)) {
    case PnpSystem::PathKind::Missing:
        system.PrintError(L"SensorInst: no such file: " + path);
        return kExitFileNotFound;
    case PnpSystem::PathKind::Directory:
        system.PrintError(L"SensorInst: is a directory, not an INF file: " + path);
        return kExitFileNotFound;
    case PnpSystem::PathKind::File:
        break;
    }
    unsigned long error = system.OpenInf(path);
    if (error) {
        system.PrintError(L"SensorInst: not an INF file (error " + Number(error) + L"): " + path);
        return kExitBadFormat;
    }
    TargetSystem target = system.Target();
    package = ReadPackageIds(system, target);
    if (package.sections.empty()) {
        system.PrintError(L"SensorInst: no models section for NT" + target.architecture + L" in " +
                          path);
        return kExitNotFound;
    }
    if (package.hardwareIds.empty()) {
        system.PrintError(L"SensorInst: the models section names no hardware id: " + path);
        return kExitNotFound;
    }
    return kExitSuccess;
}

unsigned long Install(const Command& command, PnpSystem& system, const PackageIds& package) {
    std::wstring storedName;
    unsigned long error = system.StageInf(command.infPath, storedName);
    if (error) {
        system.PrintError(L"SensorInst: could not add the package to the driver store (error " +
                          Number(error) + L"): " + command.infPath);
        return error;
    }
    unsigned long firstError = 0;
    unsigned updated = 0;
    bool reboot = false;
    for (const std::wstring& id : package.hardwareIds) {
        if (!system.IsDevicePresent(id))
            continue;
        error = system.UpdateDevices(id, command.infPath, reboot);
        if (error == kErrorNoSuchDevinst)
            continue;
        if (error) {
            system.PrintError(L"SensorInst: could not update the driver of " + id + L" (error " +
                              Number(error) + L")");
            if (!firstError)
                firstError = error;
            continue;
        }
        ++updated;
        system.Print(L"SensorInst: updated the driver of " + id);
    }
    system.Print(L"SensorInst: " + command.infPath + L" is in the driver store as " + storedName +
                 (updated ? L"" : L"; no device present yet"));
    if (firstError)
        return firstError;
    return reboot ? kExitRebootRequired : kExitSuccess;
}

unsigned long Uninstall(const Command& command, PnpSystem& system, const PackageIds& package) {
    std::wstring storedName;
    if (!system.FindStoredInf(command.infPath, storedName)) {
        system.PrintError(L"SensorInst: not in the driver store: " + command.infPath);
        return kExitNotFound;
    }
    unsigned removed = 0;
    bool reboot = false;
    unsigned long error = system.RemoveDevices(package.hardwareIds, storedName, removed, reboot);
    if (error) {
        system.PrintError(L"SensorInst: could not remove the driver from its devices (error " +
                          Number(error) + L")");
        return error;
    }
    error = system.UninstallStoredInf(storedName);
    if (error) {
        system.PrintError(L"SensorInst: could not remove " + storedName +
                          L" from the driver store (error " + Number(error) + L")");
        return error;
    }
    system.Print(L"SensorInst: removed " + storedName + L" (" + command.infPath + L") and " +
                 Number(removed) + L" device(s)");
    return reboot ? kExitRebootRequired : kExitSuccess;
}

} // namespace

PackageIds ReadPackageIds(PnpSystem& system, const TargetSystem& target) {
    PackageIds package;
    std::vector<InfFields> manufacturers;
    if (!system.ReadSection(L"Manufacturer", manufacturers))
        return package;
    for (const InfFields& manufacturer : manufacturers) {
        std::wstring section = SelectModelsSection(manufacturer, target);
        std::vector<InfFields> models;
        if (section.empty() || !system.ReadSection(section, models))
            continue;
        package.sections.push_back(section);
        // description = install section, hardware id[, compatible id...]
        for (const InfFields& model : models) {
            for (size_t i = 1; i < model.size(); ++i) {
                if (!model[i].empty())
                    AddOnce(package.hardwareIds, model[i]);
            }
        }
    }
    return package;
}

unsigned long RunCommand(const Command& command, PnpSystem& system) {
    if (!command.error.empty()) {
        system.PrintError(L"SensorInst: " + command.error);
        system.PrintError(UsageText());
        return kExitInvalidParameter;
    }
    if (command.action == Action::Usage) {
        system.Print(UsageText());
        return kExitSuccess;
    }
    PackageIds package;
    unsigned long code = ReadPackage(command, system, package);
    if (code)
        return code;
    return command.action == Action::Install ? Install(command, system, package)
                                             : Uninstall(command, system, package);
}

} // namespace sensorinst
