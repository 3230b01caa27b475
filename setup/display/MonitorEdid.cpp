#include "display/EnumDisplay.h"

#include "platform/CodePageText.h"
#include "platform/ScopedHandle.h"
#include "platform/SystemApi.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

constexpr size_t kPathMax = 1024;  // composed key paths
constexpr DWORD kNameMax = 1024;   // sub-key names, in characters
constexpr DWORD kDriverMax = 1024; // the "Driver" value, in bytes
constexpr DWORD kEdidMax = 256;    // base block and one extension
constexpr size_t kEdidBlock = 128;

// Joins the pieces into a fixed buffer. A text that would not fit is reported, never cut short: a
// truncated key path could name some other key. Plain copies, not printf: in C++ MinGW's own
// printf family is forced on, and it would bring its floating-point formatting into Setup.exe.
template <size_t N> bool Compose(char (&buffer)[N], std::initializer_list<const char*> pieces) {
    size_t length = 0;
    for (const char* piece : pieces) {
        const size_t n = std::strlen(piece);
        if (n >= N - length)
            return false;
        std::memcpy(buffer + length, piece, n);
        length += n;
    }
    buffer[length] = '\0';
    return true;
}

// Position of the first `wanted`, stepping over double-byte characters so that a trail byte is
// never taken for it.
size_t FindChar(const std::string& text, char wanted) {
    for (size_t i = 0, n = 0; i < text.size(); i += n) {
        n = CharLengthAt(text, i);
        if (n == 1 && text[i] == wanted)
            return i;
    }
    return std::string::npos;
}

struct MonitorId {
    std::string model;     // names the key under Enum\DISPLAY
    std::string driverKey; // "{class}\instance", matched against each instance's "Driver"
};

// MONITOR\model\{class}\instance, the prefix in any letter case.
bool CutMonitorId(const char* deviceId, MonitorId& parts) {
    const std::string id = deviceId ? deviceId : "";
    const size_t slash = FindChar(id, '\\');
    if (slash == std::string::npos)
        return false;
    std::string prefix = id.substr(0, slash);
    SystemApi().CharUpperA(&prefix[0]);
    if (prefix != "MONITOR")
        return false;

    const std::string remainder = id.substr(slash + 1);
    const size_t modelEnd = FindChar(remainder, '\\');
    parts.model = modelEnd == std::string::npos ? std::string() : remainder.substr(0, modelEnd);
    const size_t brace = FindChar(remainder, '{');
    parts.driverKey = brace == std::string::npos ? remainder : remainder.substr(brace);
    return true;
}

// HKEY_LOCAL_MACHINE\path, read-only.
bool OpenKey(const char* path, CScopedRegKey& key) {
    HKEY opened = nullptr;
    if (SystemApi().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    key.Reset(opened);
    return true;
}

// Reads the value `name` of the key modelPath\instance followed by `below` into `data`, a buffer
// of `size` bytes, and closes the key again. False when the path does not fit, the key cannot be
// opened or the value is missing or larger than the buffer.
bool ReadInstanceValue(const char* modelPath, const char* instance, const char* below,
                       const char* name, BYTE* data, DWORD size) {
    char path[kPathMax];
    if (!Compose(path, {modelPath, "\\", instance, below}))
        return false;
    CScopedRegKey key;
    if (!OpenKey(path, key))
        return false;
    return SystemApi().RegQueryValueExA(key.Get(), name, nullptr, nullptr, data, &size) ==
           ERROR_SUCCESS;
}

// Whether the instance's "Driver" value is exactly the driver key (letter case counts).
bool DriverMatches(const char* modelPath, const char* instance, const std::string& driverKey) {
    // Zero-filled so that a value stored without its terminator still ends inside the buffer;
    // one that fills the whole buffer without a terminator matches nothing.
    char driver[kDriverMax] = {};
    if (!ReadInstanceValue(modelPath, instance, "", "Driver", reinterpret_cast<BYTE*>(driver),
                           kDriverMax))
        return false;
    const char* const end = std::find(driver, driver + kDriverMax, '\0');
    if (end == driver + kDriverMax)
        return false;
    return driverKey == std::string(driver, static_cast<size_t>(end - driver));
}

// Copies the instance's EDID base block; a value longer than the buffer counts as absent.
bool ReadEdid(const char* modelPath, const char* instance, BYTE* edid) {
    // Zero-filled: a value shorter than a base block leaves zeros, not stack bytes, in the copy.
    BYTE block[kEdidMax] = {};
    if (!ReadInstanceValue(modelPath, instance, "\\Device Parameters", "EDID", block, kEdidMax))
        return false;
    std::memcpy(edid, block, kEdidBlock);
    return true;
}

} // namespace

int CEnumDisplay::GetMonitorEdid(BYTE* edid, const char* deviceId) {
    MonitorId parts;
    if (!CutMonitorId(deviceId, parts))
        return 0;
    char modelPath[kPathMax];
    if (!Compose(modelPath, {"SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\", parts.model.c_str()}))
        return 0;
    CScopedRegKey modelKey;
    if (!OpenKey(modelPath, modelKey))
        return 0;

    // One instance key per time the monitor was seen; the first one of this driver key that has
    // an EDID supplies it.
    for (DWORD index = 0;; ++index) {
        char instance[kNameMax];
        DWORD size = kNameMax;
        if (SystemApi().RegEnumKeyExA(modelKey.Get(), index, instance, &size, nullptr, nullptr,
                                      nullptr, nullptr) != ERROR_SUCCESS)
            return 0;
        instance[kNameMax - 1] = '\0'; // a fixed buffer is never trusted to be terminated
        if (!parts.driverKey.empty() && !DriverMatches(modelPath, instance, parts.driverKey))
            continue;
        if (ReadEdid(modelPath, instance, edid))
            return 1;
    }
}
