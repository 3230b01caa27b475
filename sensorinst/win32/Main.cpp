// SensorInst.exe: installs or removes a sensor's driver package (see CommandLine.h).
#include "SensorInstaller.h"
#include "win32/Win32PnpSystem.h"

#include <windows.h>
#include <setupapi.h>

#include <vector>

namespace {

// SetupAPI and the device installation functions want a full path.
std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::vector<wchar_t> full(size);
    DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    return length > 0 && length < size ? std::wstring(full.data(), length) : path;
}

} // namespace

int main() {
    // Run unattended: no prompt for a disk, no dialog for a missing file.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SetupSetNonInteractiveMode(TRUE);
    sensorinst::Command command = sensorinst::ParseCommandLine(GetCommandLineW());
    if (command.error.empty() && command.action != sensorinst::Action::Usage)
        command.infPath = FullPath(command.infPath);
    sensorinst::Win32PnpSystem system;
    return int(sensorinst::RunCommand(command, system));
}
