#include "installers/ModulePath.h"

#include "installers/PathSplit.h"
#include "platform/SystemApi.h"

#include <vector>

namespace {
constexpr DWORD kLongestPath = 32768; // the system's limit for any path, in characters
} // namespace

std::string GetModulePath(ModulePathBuffer policy) {
    const DWORD largest = policy == ModulePathBuffer::Growing ? kLongestPath : MAX_PATH;
    for (DWORD size = MAX_PATH; size <= largest; size *= 2) {
        std::vector<char> buffer(size);
        DWORD length = SystemApi().GetModuleFileNameA(AppInstance(), buffer.data(), size);
        // A text that fills the buffer was truncated: newer systems return the size and
        // terminate it, the oldest return the size and leave it unterminated.
        if (length == 0)
            return {};
        if (length < size)
            return std::string(buffer.data(), length);
    }
    return {};
}

std::string GetModuleDirectory() {
    return GetPathDirectory(GetModulePath());
}
