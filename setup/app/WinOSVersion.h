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
