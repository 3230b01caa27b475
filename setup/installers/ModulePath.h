// Where the running program lies. Worked out anew on every call; nothing is cached.
#pragma once

#include <string>

// Full path of the program's own file; empty when the system cannot give it whole. A path that
// did not fit the 260-character buffer comes back cut off, and a cut path names another file.
std::string GetModulePath();

// Drive and directory of the program's file, ending in one backslash (the program directory).
// Empty when the path is unknown or cannot be split: callers then compose nothing, since a path
// built on an empty directory would point at the current drive's root.
std::string GetModuleDirectory();
