// One line to the console, or UTF-8 when the stream is redirected to a file or pipe.
#pragma once

#include <windows.h>

#include <string>

namespace sensorinst {

void WriteLine(DWORD stream, const std::wstring& text);

} // namespace sensorinst
