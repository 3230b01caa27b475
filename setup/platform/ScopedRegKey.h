// A registry key opened through the system seam and closed when it goes out of scope.
#pragma once

#include "platform/SystemApi.h"

class CScopedRegKey {
public:
    CScopedRegKey() = default;
    ~CScopedRegKey() { Close(); }
    CScopedRegKey(const CScopedRegKey&) = delete;
    CScopedRegKey& operator=(const CScopedRegKey&) = delete;

    // Opens parent\path with the given rights; a key already held is closed first.
    LONG Open(HKEY parent, LPCSTR path, REGSAM desired) {
        Close();
        HKEY key = nullptr;
        LONG result = SystemApi().RegOpenKeyExA(parent, path, 0, desired, &key);
        if (result == ERROR_SUCCESS)
            m_key = key;
        return result;
    }

    void Close() {
        if (m_key)
            SystemApi().RegCloseKey(m_key);
        m_key = nullptr;
    }

    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};
