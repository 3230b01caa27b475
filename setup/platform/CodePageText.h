// Walking a narrow text a character at a time in the thread's ANSI code page. In a double-byte
// code page (932 on the target systems) the second byte of a character may equal an ASCII
// separator (0x5C, the backslash), so every scan for a separator, period or format mark steps
// with this and looks only at single-byte characters.
#pragma once

#include "platform/SystemApi.h"

#include <string>

// Length in bytes of the character at `at`: 2 for a lead byte with a byte after it, else 1.
// A lead byte at the very end counts as a character of its own.
inline size_t CharLengthAt(const std::string& text, size_t at) {
    bool lead = SystemApi().IsDBCSLeadByte(static_cast<BYTE>(text[at])) != FALSE;
    return lead && at + 1 < text.size() ? 2 : 1;
}
