#include "installers/ModulePath.h"

#include "installers/PathSplit.h"
#include "platform/SystemApi.h"

std::string GetModulePath() {
    char buffer[MAX_PATH];
    DWORD length = SystemApi().GetModuleFileNameA(AppInstance(), buffer, MAX_PATH);
    // A text that fills the buffer was truncated: newer systems return the size and terminate it,
    // the oldest return the size and leave it unterminated.
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::string(buffer, length);
}

std::string GetModuleDirectory() {
    return GetPathDirectory(GetModulePath());
}
