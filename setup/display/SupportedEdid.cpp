#include "display/EnumDisplay.h"

#include <cstring>

int CEnumDisplay::IsSupportedEdid(const BYTE* edid) {
    // Bytes 8-9: the maker, three 5-bit letters in a big-endian word ("A" is 1).
    const char maker[4] = {
        static_cast<char>(0x40 + ((edid[8] >> 2) & 0x1F)),
        static_cast<char>(0x40 + (((edid[8] & 0x03) << 3) | (edid[9] >> 5))),
        static_cast<char>(0x40 + (edid[9] & 0x1F)),
        '\0',
    };
    if (std::strcmp(maker, "VQT") != 0)
        return 0;
    // Bytes 10-11: the maker's product code, little-endian. The four models are not a range.
    const unsigned product = edid[10] + 256u * edid[11];
    return (product == 0x5C20 || product == 0x5C21 || product == 0x5C26 || product == 0x5C27) ? 1
                                                                                              : 0;
}
