// The installer's view of the platform, over SetupAPI and the device installation functions.
#pragma once

#include "PnpSystem.h"
#include "win32/InfReader.h"

namespace sensorinst {

class Win32PnpSystem : public PnpSystem {
public:
    PathKind Probe(const std::wstring& path) override;
    unsigned long OpenInf(const std::wstring& path) override;
    bool ReadSection(const std::wstring& name, std::vector<InfFields>& lines) override;
    TargetSystem Target() override;
    unsigned long StageInf(const std::wstring& path, std::wstring& storedName) override;
    bool FindStoredInf(const std::wstring& path, std::wstring& storedName) override;
    unsigned long UninstallStoredInf(const std::wstring& storedName) override;
    bool IsDevicePresent(const std::wstring& hardwareId) override;
    unsigned long UpdateDevices(const std::wstring& hardwareId, const std::wstring& infPath,
                                bool& rebootRequired) override;
    unsigned long RemoveDevices(const std::vector<std::wstring>& hardwareIds,
                                const std::wstring& storedName, unsigned& removed,
                                bool& rebootRequired) override;
    void Print(const std::wstring& line) override;
    void PrintError(const std::wstring& line) override;

private:
    InfReader inf_;
};

} // namespace sensorinst
