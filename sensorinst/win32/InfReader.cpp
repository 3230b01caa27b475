#include "InfReader.h"

namespace sensorinst {
namespace {

bool ReadField(INFCONTEXT& context, DWORD index, std::wstring& value) {
    DWORD size = 0;
    if (!SetupGetStringFieldW(&context, index, nullptr, 0, &size) || size == 0)
        return false;
    value.assign(size, L'\0');
    if (!SetupGetStringFieldW(&context, index, &value[0], size, nullptr))
        return false;
    value.resize(size - 1);
    return true;
}

} // namespace

InfReader::~InfReader() {
    if (inf_ != INVALID_HANDLE_VALUE)
        SetupCloseInfFile(inf_);
}

DWORD InfReader::Open(const std::wstring& path) {
    UINT errorLine = 0;
    inf_ = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf_ == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error ? error : ERROR_BAD_FORMAT;
    }
    // A lenient parser takes any text as an INF without sections; an INF names its kind in
    // [Version].
    INFCONTEXT context;
    std::wstring signature;
    if (!SetupFindFirstLineW(inf_, L"Version", L"Signature", &context) ||
        !ReadField(context, 1, signature))
        return ERROR_WRONG_INF_STYLE;
    for (const wchar_t* known : {L"$Windows NT$", L"$Chicago$", L"$Windows 95$"}) {
        if (_wcsicmp(signature.c_str(), known) == 0)
            return 0;
    }
    return ERROR_WRONG_INF_STYLE;
}

bool InfReader::ReadSection(const std::wstring& name, std::vector<InfFields>& lines) const {
    lines.clear();
    if (SetupGetLineCountW(inf_, name.c_str()) < 0)
        return false;
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf_, name.c_str(), nullptr, &context))
        return true;
    do {
        InfFields fields;
        DWORD count = SetupGetFieldCount(&context);
        for (DWORD i = 1; i <= count; ++i) {
            std::wstring value;
            ReadField(context, i, value);
            fields.push_back(value);
        }
        lines.push_back(fields);
    } while (SetupFindNextLine(&context, &context));
    return true;
}

} // namespace sensorinst
