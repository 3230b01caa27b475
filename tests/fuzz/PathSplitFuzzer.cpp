// Fuzzes the path rules with any byte string as the path, in code page 932: the splitter, the
// directory of a path, a file's base name, and the application name taken from the program's
// own path.
//
// Checked on every input, beyond what the sanitizers catch: a split either fails, with every
// piece empty, because a piece is over its limit, or its pieces join back to the input; the
// directory ends just after a separator that is a whole character and the name holds none (a
// trail byte 0x5C is never taken for a backslash); the extension starts at the name's last
// period that is a whole character; the directory of a path is its drive and directory with one
// whole backslash at the end; the base name is the split's; and the application name, for a path
// whose only colon is a drive's, is that same base name.
#include "FakeSystemApi.h"
#include "FuzzCheck.h"
#include "app/Catalogue.h"
#include "installers/PathSplit.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool IsLeadByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Which bytes of text[from..] start a character, stepping over double-byte characters.
std::vector<bool> CharacterStarts(const std::string& text, size_t from) {
    std::vector<bool> starts(text.size(), false);
    for (size_t i = from; i < text.size(); ++i) {
        starts[i] = true;
        if (IsLeadByte(text[i]) && i + 1 < text.size())
            ++i;
    }
    return starts;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Whether some piece of the path is over its limit, with the pieces found the plain way: the
// name starts after the last separator character, the extension at the name's last period.
bool PieceOverLimit(const std::string& path, size_t driveLength) {
    const std::vector<bool> starts = CharacterStarts(path, driveLength);
    size_t nameStart = driveLength, extensionStart = path.size();
    for (size_t i = driveLength; i < path.size(); ++i)
        if (starts[i] && IsSeparator(path[i]))
            nameStart = i + 1;
    for (size_t i = nameStart; i < path.size(); ++i)
        if (starts[i] && path[i] == '.')
            extensionStart = i;
    return nameStart - driveLength > kMaxPathPiece || extensionStart - nameStart > kMaxPathPiece ||
           path.size() - extensionStart > kMaxPathPiece;
}

void CheckSplit(const std::string& path) {
    SPathParts parts;
    const bool split = SplitPath(path, parts);
    const size_t driveLength = path.size() >= 2 && path[1] == ':' ? 2 : 0;
    Check(split != PieceOverLimit(path, driveLength), "split fails exactly for a piece too long");

    const std::string directory = GetPathDirectory(path);
    const std::string baseName = GetFileBaseName(path);
    if (!split) {
        Check(parts.drive.empty() && parts.directory.empty() && parts.baseName.empty() &&
                  parts.extension.empty(),
              "a failed split leaves every piece empty");
        Check(directory.empty() && baseName.empty(), "no directory or name of an unsplit path");
        return;
    }

    Check(parts.drive + parts.directory + parts.baseName + parts.extension == path,
          "the pieces join back to the path");
    Check(parts.drive == path.substr(0, driveLength), "the drive is the first two bytes or none");
    const std::vector<bool> starts = CharacterStarts(path, driveLength);
    const size_t nameStart = driveLength + parts.directory.size();
    Check(parts.directory.empty() || (starts[nameStart - 1] && IsSeparator(path[nameStart - 1])),
          "the directory ends in a separator character");
    const size_t extensionStart = path.size() - parts.extension.size();
    for (size_t i = nameStart; i < path.size(); ++i) {
        Check(!(starts[i] && IsSeparator(path[i])), "no separator character in the name");
        if (starts[i] && path[i] == '.')
            Check(i <= extensionStart && !parts.extension.empty(),
                  "the extension starts at the name's last period");
    }
    Check(parts.extension.empty() || (starts[extensionStart] && path[extensionStart] == '.'),
          "the extension starts with a period character");

    const std::string joined = parts.drive + parts.directory;
    if (joined.empty()) {
        Check(directory.empty(), "a path without drive or directory has no directory");
    } else {
        const std::vector<bool> ends = CharacterStarts(joined, 0);
        const bool endsInBackslash = ends[joined.size() - 1] && joined.back() == '\\';
        Check(directory == (endsInBackslash ? joined : joined + "\\"),
              "the directory with one backslash made sure of");
    }
    Check(baseName == parts.baseName, "the base name is the split's");
}

void CheckApplicationName(const std::string& path) {
    CFakeSystemApi world; // no title string: the name comes from the program's own path
    world.modulePath = path.substr(0, path.find('\0'));
    const std::string& module = world.modulePath;
    CScopedSystemApi scope(world);
    const std::string name = GetAppName();
    Check(module.find(name) != std::string::npos, "the application name is part of the path");

    // The name's own scan also ends a directory at any colon. A module path as the system gives
    // it starts with a drive letter and its colon, or with a backslash, and holds no other.
    const bool drive = module.size() >= 2 && std::isalpha(static_cast<unsigned char>(module[0])) &&
                       module[1] == ':';
    if (!drive && (module.empty() || module[0] != '\\'))
        return;
    const std::vector<bool> starts = CharacterStarts(module, 0);
    for (size_t i = 2; i < module.size(); ++i)
        if (starts[i] && module[i] == ':')
            return;
    SPathParts parts;
    if (SplitPath(module, parts))
        Check(name == parts.baseName, "the application name is the file's base name");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    {
        CFakeSystemApi world; // code page 932
        CScopedSystemApi scope(world);
        CheckSplit(path);
    }
    CheckApplicationName(path);
    return 0;
}
