// What the installer needs of the platform: the INF parser, the driver store, the devices and the
// console. The Win32 side (win32/) is thin; the decisions above it are tested against a fake.
#pragma once

#include "ModelsSection.h"

#include <string>
#include <vector>

namespace sensorinst {

// One line of an INF section: its value fields, the key left out, strings substituted.
using InfFields = std::vector<std::wstring>;

class PnpSystem {
public:
    virtual ~PnpSystem() = default;

    enum class PathKind { Missing, Directory, File };
    virtual PathKind Probe(const std::wstring& path) = 0;

    // Opens the INF file for ReadSection; 0, or the platform's error when it is not an INF file.
    virtual unsigned long OpenInf(const std::wstring& path) = 0;
    // False when the opened INF has no such section.
    virtual bool ReadSection(const std::wstring& name, std::vector<InfFields>& lines) = 0;

    virtual TargetSystem Target() = 0;

    // Puts the INF into the system's INF store, with its files staged; `storedName` is the name
    // it has there (oemN.inf).
    virtual unsigned long StageInf(const std::wstring& path, std::wstring& storedName) = 0;
    // The name of the stored copy of this INF; false when the store holds none.
    virtual bool FindStoredInf(const std::wstring& path, std::wstring& storedName) = 0;
    virtual unsigned long UninstallStoredInf(const std::wstring& storedName) = 0;

    // True when a present device reports the id among its hardware or compatible ids.
    virtual bool IsDevicePresent(const std::wstring& hardwareId) = 0;
    // Installs the INF's driver on the present devices with this id.
    virtual unsigned long UpdateDevices(const std::wstring& hardwareId, const std::wstring& infPath,
                                        bool& rebootRequired) = 0;
    // Removes the devices with one of the ids whose driver came from the stored INF; `removed`
    // counts them.
    virtual unsigned long RemoveDevices(const std::vector<std::wstring>& hardwareIds,
                                        const std::wstring& storedName, unsigned& removed,
                                        bool& rebootRequired) = 0;

    virtual void Print(const std::wstring& line) = 0;
    virtual void PrintError(const std::wstring& line) = 0;
};

} // namespace sensorinst
