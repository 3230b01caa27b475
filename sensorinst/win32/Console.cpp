#include "Console.h"

#include <vector>

namespace sensorinst {

void WriteLine(DWORD stream, const std::wstring& text) {
    HANDLE out = GetStdHandle(stream);
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return;
    std::wstring line = text + L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.c_str(), DWORD(line.size()), &written, nullptr);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), int(line.size()), nullptr, 0, nullptr,
                                   nullptr);
    if (size <= 0)
        return;
    std::vector<char> bytes(size);
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), int(line.size()), bytes.data(), size, nullptr,
                        nullptr);
    WriteFile(out, bytes.data(), DWORD(size), &written, nullptr);
}

} // namespace sensorinst
