// Setup.exe run as the product runs it, from a medium of its own whose one sensor-driver package
// is a given folder and whose x64 SensorInst.exe is the real tool: wt_sequence.exe (the setup's
// Wine scenarios, 32-bit) lays the medium out and drives the dialog to its closing text.
#pragma once

#include "ToolRun.h"

#include <string>

namespace wk {

struct SetupKit {
    std::wstring sequence, setup, stub32, stub64; // wt_sequence.exe, Setup.exe, the stand-in tools
    std::wstring sensorInst;                      // the real x64 SensorInst.exe
    std::wstring package;                         // the package's folder, no trailing backslash
};

// The run's transcript and checks are the output; exit code 0 when the setup reached its closing
// text with its sensor phase naming the package's INF.
ToolResult RunSetup(const SetupKit& kit, bool uninstall);

} // namespace wk
