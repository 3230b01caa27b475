// The floor driver as user mode sees it: its device interface and its controls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace wk {

extern const GUID kFloorInterface;

// Paths of the present devices with the interface class.
std::vector<std::wstring> PresentInterfaces(const GUID& interfaceClass);

// DeviceIoControl on a handle opened on the path; returns GetLastError() or 0, `returned` the
// byte count.
DWORD Control(HANDLE device, DWORD code, void* out, DWORD outSize, DWORD& returned);

} // namespace wk
