#include "ModelsSection.h"

#include "AsciiCase.h"

#include <cwchar>

namespace sensorinst {
namespace {

std::vector<std::wstring> SplitAtPeriods(const std::wstring& text) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t period = text.find(L'.', start);
        parts.push_back(text.substr(start, period - start));
        if (period == std::wstring::npos)
            return parts;
        start = period + 1;
    }
}

// An empty field matches anything; a field that is not a number matches nothing.
bool ParseNumber(const std::wstring& text, int base, bool& present, unsigned long& value) {
    present = !text.empty();
    if (!present)
        return true;
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    value = std::wcstoul(begin, &end, base);
    return end && *end == 0 && end != begin;
}

struct Rank {
    unsigned long major = 0, minor = 0, build = 0;
    int specified = 0;
    bool operator>(const Rank& o) const {
        if (major != o.major)
            return major > o.major;
        if (minor != o.minor)
            return minor > o.minor;
        if (build != o.build)
            return build > o.build;
        return specified > o.specified;
    }
};

// NT[arch][.[major][.[minor][.[productType][.[suiteMask][.[build]]]]]]
bool MatchDecoration(const std::wstring& decoration, const TargetSystem& target, Rank& rank) {
    std::vector<std::wstring> parts = SplitAtPeriods(decoration);
    if (parts.size() > 6 || parts[0].size() < 2 || AsciiLower(parts[0][0]) != L'n' ||
        AsciiLower(parts[0][1]) != L't')
        return false;
    std::wstring architecture = parts[0].substr(2);
    if (!architecture.empty() && !EqualsIgnoringAsciiCase(architecture, target.architecture))
        return false;
    rank = Rank{};
    rank.specified = architecture.empty() ? 0 : 1;
    parts.resize(6);
    bool present[5];
    unsigned long values[5] = {};
    const int bases[5] = {10, 10, 10, 16, 10};
    for (int i = 0; i < 5; ++i) {
        if (!ParseNumber(parts[i + 1], bases[i], present[i], values[i]))
            return false;
        rank.specified += present[i];
    }
    unsigned long major = present[0] ? values[0] : 0;
    unsigned long minor = present[1] ? values[1] : 0;
    unsigned long build = present[4] ? values[4] : 0;
    bool versionFits = major != target.major   ? major < target.major
                       : minor != target.minor ? minor < target.minor
                                               : build <= target.build;
    if (!versionFits)
        return false;
    if (present[2] && values[2] != target.productType)
        return false;
    if (present[3] && (values[3] & target.suiteMask) != values[3])
        return false;
    rank.major = major;
    rank.minor = minor;
    rank.build = build;
    return true;
}

} // namespace

std::wstring SelectModelsSection(const std::vector<std::wstring>& fields,
                                 const TargetSystem& target) {
    if (fields.empty() || fields[0].empty())
        return std::wstring();
    const std::wstring* best = nullptr;
    Rank bestRank;
    for (size_t i = 1; i < fields.size(); ++i) {
        Rank rank;
        if (MatchDecoration(fields[i], target, rank) && (!best || rank > bestRank)) {
            best = &fields[i];
            bestRank = rank;
        }
    }
    if (best)
        return fields[0] + L"." + *best;
    if (EqualsIgnoringAsciiCase(target.architecture, L"x86"))
        return fields[0];
    return std::wstring();
}

} // namespace sensorinst
