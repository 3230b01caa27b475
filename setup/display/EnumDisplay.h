// A snapshot, taken once at construction, of the display adapters and one monitor on each,
// with each monitor's EDID from the device registry.
#pragma once

#include "display/DisplayInfo.h"

#include <map>

class CEnumDisplay {
public:
    CEnumDisplay();
    virtual ~CEnumDisplay();

    // 1 when some recorded monitor is a supported model.
    int HasSupportedDisplay() const;

    // Copies the EDID base block that the system stored for a monitor device id, of the form
    // MONITOR\model\{class}\instance, into the first 128 bytes of `edid`; 1 when found, else 0
    // and `edid` is left alone.
    static int GetMonitorEdid(BYTE* edid, const char* deviceId);

    // 1 when a 128-byte EDID block names a supported maker and product.
    static int IsSupportedEdid(const BYTE* edid);

    std::map<int, DisplayInfo> m_mapDisplay; // keys 1..N in the order the system listed them
    int m_bValid;

private:
    int Enumerate();
};
