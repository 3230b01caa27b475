// Puts an "EDID" value where Wine keeps its one monitor in the device registry, so that the
// setup's display test sees a monitor of a chosen model. Wine rebuilds that key when a session
// starts: inject inside the running session, before the program that should see it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace edid {

// The instance key of the monitor that Wine reports under Xvfb.
extern const char kWineMonitorParameters[];

// A 128-byte EDID base block (header, maker, product, checksum) for maker bytes 8-9 and product
// bytes 10-11 as stored; `extensions` empty 128-byte blocks follow it.
std::vector<BYTE> Block(BYTE maker8, BYTE maker9, BYTE product10, BYTE product11,
                        int extensions = 0);
// "VQT" 0x5C26, and the same with the product bytes swapped.
std::vector<BYTE> Supported(int extensions = 0);
std::vector<BYTE> Unsupported(int extensions = 0);

// Writes the value as REG_BINARY (creating the key if needed); ERROR_SUCCESS or the error.
LONG Inject(const std::vector<BYTE>& edid, const char* parametersKey = kWineMonitorParameters);
// Removes the value again; a missing value counts as removed.
LONG Remove(const char* parametersKey = kWineMonitorParameters);

// Bytes from hexadecimal text ("00ffff..."); false when the text is not whole bytes of hex.
bool ParseHex(const std::string& text, std::vector<BYTE>& bytes);

} // namespace edid
