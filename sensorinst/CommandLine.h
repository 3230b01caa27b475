// The command line of SensorInst.exe:
//   SensorInst.exe "<inf>"              install the package and update its present devices
//   SensorInst.exe /uninstall "<inf>"   remove its devices' driver and the package
//   SensorInst.exe /?                   usage
#pragma once

#include <string>

namespace sensorinst {

enum class Action { Install, Uninstall, Usage };

struct Command {
    Action action = Action::Usage;
    std::wstring infPath;
    // Empty when the command line was understood; else one line saying what is wrong.
    std::wstring error;
};

// Parses a whole command line as GetCommandLineW gives it, program name first, with the
// platform's quoting rules (quotes group, backslashes escape only before a quote).
Command ParseCommandLine(const std::wstring& commandLine);

// The usage text: two lines, without a newline at its end.
std::wstring UsageText();

} // namespace sensorinst
