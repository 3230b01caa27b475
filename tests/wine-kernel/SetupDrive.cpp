#include "SetupDrive.h"

namespace wk {

namespace {

const DWORD kSetupTimeoutMs = 180000;

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

} // namespace

ToolResult RunSetup(const SetupKit& kit, bool uninstall) {
    const std::wstring line = Quoted(kit.sequence) + L" driver_package --setup=" +
                              Quoted(kit.setup) + L" --stub32=" + Quoted(kit.stub32) +
                              L" --stub64=" + Quoted(kit.stub64) + L" --sensorinst64=" +
                              Quoted(kit.sensorInst) + L" --package=" + Quoted(kit.package) +
                              (uninstall ? L" --uninstall" : L"");
    return RunTool(line, kSetupTimeoutMs);
}

} // namespace wk
