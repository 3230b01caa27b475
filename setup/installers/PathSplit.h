// Splitting a narrow path into drive, directory, base name and extension.
//
// Follows the rules of the platform's path splitter: a drive is the first two characters when the
// second is a colon; the directory runs up to and including the last backslash or forward slash;
// the extension is the last period of the name and what follows. Separators and periods are
// searched a whole character at a time in the thread's ANSI code page, so the second byte of a
// double-byte character (0x5C in code page 932) is never taken for a backslash.
//
// Limits are those of the splitter's buffers: drive 2 characters, directory, base name and
// extension 255 each. A path with a longer piece is not split at all: SplitPath reports failure
// and the helpers below give empty strings. Nothing is cut to fit, since a shortened directory
// names some other place.
#pragma once

#include <string>

struct SPathParts {
    std::string drive;
    std::string directory;
    std::string baseName;
    std::string extension;
};

constexpr size_t kMaxDrive = 2;
constexpr size_t kMaxPathPiece = 255;

// The pieces however long they are: the rule every split and every base name follows.
SPathParts CutPath(const std::string& path);

// CutPath within the limits: false, with all pieces empty, when a piece exceeds its limit.
bool SplitPath(const std::string& path, SPathParts& parts);

// True when the last character of the text is a backslash (not the trail byte of a character).
bool EndsWithBackslash(const std::string& text);

// Drive and directory, ending in one backslash; empty for a path with neither, and empty when the
// path cannot be split.
std::string GetPathDirectory(const std::string& path);

// The file name without directory and without its last extension; empty when the path cannot be
// split.
std::string GetFileBaseName(const std::string& path);
