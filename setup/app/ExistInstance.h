// The single-instance guard: a named mutex held from start-up to exit.
#pragma once

#include "platform/ScopedHandle.h"

#include <windows.h>

#include <string>

class CExistInstance {
public:
    CExistInstance();
    virtual ~CExistInstance(); // m_hMutex releases and closes the mutex
    CExistInstance(const CExistInstance&) = delete;
    CExistInstance& operator=(const CExistInstance&) = delete;

    // True when another instance already holds the guard. Creates (or opens) the mutex on the
    // first call; later calls answer false without creating anything.
    bool IsAlreadyRunning();

    // "MUTEX_" + application name + "_" + a fixed GUID text.
    std::string GetMutexName() const;

    CScopedOwnedMutex m_hMutex;
};
