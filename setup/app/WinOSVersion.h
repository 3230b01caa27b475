// The operating-system version as the platform reports it.
#pragma once

#include <windows.h>

class CWinOSVersion {
public:
    CWinOSVersion();
    virtual ~CWinOSVersion();

    OSVERSIONINFOEXA m_osvi;
    BOOL m_bVersionInfoEx; // the platform took the extended record
    BOOL m_bVersionValid;  // either query succeeded; m_osvi means nothing otherwise
};

// Major.minor versions the setup runs on: 5.1, 5.2, and 6.0 or later.
bool IsSupportedWindowsVersion(DWORD major, DWORD minor);
