// What the setup records of one display adapter and the monitor chosen on it.
#pragma once

#include <windows.h>

#include <string>

struct DisplayInfo {
    std::string strMonitorName; // "Default Monitor" when the system gave no name
    std::string strMonitorId;   // empty when the adapter returned no monitor
    std::string strAdapterName;
    // The first 128 bytes hold the monitor's EDID base block when bHasEdid is 1; the rest is
    // never filled.
    BYTE edid[256];
    int bHasEdid;
};
