#include "installers/FindListing.h"

#include "platform/SystemApi.h"

#include <cstring>

CFindListing::CFindListing(const std::string& pattern) {
    std::memset(&m_first, 0, sizeof(m_first));
    if (pattern.size() >= MAX_PATH)
        return;
    m_find.Reset(SystemApi().FindFirstFileA(pattern.c_str(), &m_first));
}

CFindListing::~CFindListing() = default;

bool CFindListing::Next(WIN32_FIND_DATAA& entry) {
    if (!IsOpen())
        return false;
    if (!m_firstTaken) {
        m_firstTaken = true;
        entry = m_first;
        return true;
    }
    return SystemApi().FindNextFileA(m_find.Get(), &entry) != FALSE;
}

bool IsDotEntry(const WIN32_FIND_DATAA& entry) {
    return std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0;
}
