// An INF file opened with the platform's parser, read a section at a time.
#pragma once

#include "PnpSystem.h"

#include <windows.h>
#include <setupapi.h>

namespace sensorinst {

class InfReader {
public:
    InfReader() = default;
    InfReader(const InfReader&) = delete;
    InfReader& operator=(const InfReader&) = delete;
    ~InfReader();

    // 0, or the parser's error for a file that is not an INF file.
    DWORD Open(const std::wstring& path);
    bool ReadSection(const std::wstring& name, std::vector<InfFields>& lines) const;

private:
    HINF inf_ = INVALID_HANDLE_VALUE;
};

} // namespace sensorinst
