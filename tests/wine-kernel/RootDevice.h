// Root-enumerated devices, made and removed as a bus would report them: a device node with a
// hardware id and no driver, which an INF then installs.
#pragma once

#include <windows.h>

#include <string>

namespace wk {

// Registers a new ROOT\ device of the class with one hardware id; false on failure.
bool CreateRootDevice(const GUID& classGuid, const std::wstring& className,
                      const std::wstring& hardwareId);
// Device nodes, present or not, that report the hardware id.
int CountDevicesWithId(const std::wstring& hardwareId);
// Those of them the PnP manager reports present.
int CountPresentDevicesWithId(const std::wstring& hardwareId);
// Removes them all (left over from an earlier run); returns how many.
int RemoveDevicesWithId(const std::wstring& hardwareId);

} // namespace wk
