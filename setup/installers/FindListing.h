// One directory listing, closed when the object goes.
#pragma once

#include "platform/ScopedHandle.h"

#include <windows.h>

#include <string>

class CFindListing {
public:
    // Opens the listing unless the pattern is too long for the ANSI find functions (MAX_PATH
    // characters with the terminator): such a pattern is not searched, like a directory that
    // cannot be listed.
    explicit CFindListing(const std::string& pattern);
    ~CFindListing();
    CFindListing(const CFindListing&) = delete;
    CFindListing& operator=(const CFindListing&) = delete;

    bool IsOpen() const { return m_find.IsValid(); }

    // The next entry in the order the file system gives them; false when there are no more.
    bool Next(WIN32_FIND_DATAA& entry);

private:
    CScopedFindHandle m_find;
    WIN32_FIND_DATAA m_first;
    bool m_firstTaken = false;
};

// "." and "..", which every directory lists.
bool IsDotEntry(const WIN32_FIND_DATAA& entry);
