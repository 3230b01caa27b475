// The system's INF store (%windir%\inf).
#pragma once

#include <windows.h>

#include <string>

namespace sensorinst {

DWORD StageInfInStore(const std::wstring& infPath, std::wstring& storedName);
// The stored INF whose contents equal the INF file's; false when there is none.
bool FindInfInStore(const std::wstring& infPath, std::wstring& storedName);
DWORD RemoveInfFromStore(const std::wstring& storedName);

} // namespace sensorinst
