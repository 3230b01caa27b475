// The system's device nodes, found by hardware or compatible id.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sensorinst {

bool IsDevicePresentWithId(const std::wstring& id);
DWORD UpdatePresentDevices(const std::wstring& id, const std::wstring& infPath, bool& reboot);
// Removes every device, present or not, that has one of the ids and whose driver the stored INF
// installed; a device another package drives is left alone.
DWORD RemoveDevicesOfInf(const std::vector<std::wstring>& ids, const std::wstring& storedName,
                         unsigned& removed, bool& reboot);

} // namespace sensorinst
