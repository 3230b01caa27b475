// Whether the operating system is 64-bit, so that the 64-bit copy of a tool is the one to start.
#pragma once

#include <windows.h>

// Asked anew on every call. A 32-bit program on a 64-bit system runs under WoW64, where
// GetSystemWow64DirectoryW answers; a 32-bit system either lacks the function (older kernels) or
// has it fail with ERROR_CALL_NOT_IMPLEMENTED.
BOOL Is64BitWindows();
