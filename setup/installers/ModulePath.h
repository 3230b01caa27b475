// Where the running program lies. Worked out anew on every call; nothing is cached.
#pragma once

#include <string>

// How much of the program's path the reader takes.
enum class ModulePathBuffer {
    // The 260-character buffer the package paths are composed from: a path that does not fit
    // comes back empty, since a cut path names another file.
    MaxPath,
    // As large as the system's longest path: for the program's name, which must be the same
    // wherever the medium was copied to.
    Growing,
};

// Full path of the program's own file; empty when the system cannot give it whole within the
// buffer the policy allows.
std::string GetModulePath(ModulePathBuffer buffer = ModulePathBuffer::MaxPath);

// Drive and directory of the program's file, ending in one backslash (the program directory).
// Empty when the path is unknown or cannot be split: callers then compose nothing, since a path
// built on an empty directory would point at the current drive's root.
std::string GetModuleDirectory();
