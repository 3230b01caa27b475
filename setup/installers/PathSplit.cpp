#include "installers/PathSplit.h"

#include "platform/CodePageText.h"

SPathParts CutPath(const std::string& path) {
    SPathParts split;
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
        split.drive = path.substr(0, 2);
        start = 2;
    }

    size_t lastSeparator = std::string::npos;
    size_t lastPeriod = std::string::npos;
    for (size_t i = start, n = 0; i < path.size(); i += n) {
        n = CharLengthAt(path, i);
        if (n == 2)
            continue;
        if (path[i] == '\\' || path[i] == '/')
            lastSeparator = i;
        else if (path[i] == '.')
            lastPeriod = i;
    }

    size_t nameStart = lastSeparator == std::string::npos ? start : lastSeparator + 1;
    split.directory = path.substr(start, nameStart - start);
    if (lastPeriod != std::string::npos && lastPeriod >= nameStart) {
        split.baseName = path.substr(nameStart, lastPeriod - nameStart);
        split.extension = path.substr(lastPeriod);
    } else {
        split.baseName = path.substr(nameStart);
    }
    return split;
}

bool SplitPath(const std::string& path, SPathParts& parts) {
    parts = SPathParts{};
    SPathParts split = CutPath(path);
    if (split.drive.size() > kMaxDrive || split.directory.size() > kMaxPathPiece ||
        split.baseName.size() > kMaxPathPiece || split.extension.size() > kMaxPathPiece)
        return false;
    parts = split;
    return true;
}

bool EndsWithBackslash(const std::string& text) {
    size_t lastBackslash = std::string::npos;
    for (size_t i = 0, n = 0; i < text.size(); i += n) {
        n = CharLengthAt(text, i);
        if (n == 1 && text[i] == '\\')
            lastBackslash = i;
    }
    return lastBackslash != std::string::npos && lastBackslash + 1 == text.size();
}

std::string GetPathDirectory(const std::string& path) {
    SPathParts parts;
    if (!SplitPath(path, parts))
        return {};
    std::string directory = parts.drive + parts.directory;
    if (!directory.empty() && !EndsWithBackslash(directory))
        directory += '\\';
    return directory;
}

std::string GetFileBaseName(const std::string& path) {
    SPathParts parts;
    if (!SplitPath(path, parts))
        return {};
    return parts.baseName;
}
