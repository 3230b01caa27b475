#include "app/WinOSVersion.h"

#include "platform/SystemApi.h"

#include <cstring>

CWinOSVersion::CWinOSVersion() : m_bVersionInfoEx(FALSE), m_bVersionValid(FALSE) {
    std::memset(&m_osvi, 0, sizeof(m_osvi));
    m_osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    LPOSVERSIONINFOA record = reinterpret_cast<LPOSVERSIONINFOA>(&m_osvi);
    m_bVersionInfoEx = SystemApi().GetVersionExA(record);
    if (m_bVersionInfoEx) {
        m_bVersionValid = TRUE;
        return;
    }
    // Systems older than the extended record refuse its size but take the basic one, which is
    // its leading part.
    m_osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    m_bVersionValid = SystemApi().GetVersionExA(record) ? TRUE : FALSE;
}

CWinOSVersion::~CWinOSVersion() = default;

bool IsSupportedWindowsVersion(DWORD major, DWORD minor) {
    return (major == 5 && (minor == 1 || minor == 2)) || major >= 6;
}
