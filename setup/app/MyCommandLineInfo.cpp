#include "app/MyCommandLineInfo.h"

namespace {

// ASCII letters only: the switch is ASCII, and a byte of a double-byte character never
// compares equal to one of its letters.
bool EqualsIgnoringCase(const char* text, const char* lowerAscii) {
    for (; *text && *lowerAscii; ++text, ++lowerAscii) {
        char c = *text;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != *lowerAscii)
            return false;
    }
    return *text == '\0' && *lowerAscii == '\0';
}

} // namespace

void CCommandLineInfo::ParseParam(const char*, BOOL, BOOL) {}

CMyCommandLineInfo::CMyCommandLineInfo() : m_bUninstall(FALSE) {}

CMyCommandLineInfo::~CMyCommandLineInfo() = default;

void CMyCommandLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL) {
    // The base record's parse is not called: no framework switch has any effect.
    if (bFlag && EqualsIgnoringCase(pszParam, "uninstall"))
        m_bUninstall = TRUE;
}

void ParseCommandLine(CCommandLineInfo& info, const std::vector<std::string>& arguments) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        const char* param = arguments[i].c_str();
        BOOL flag = FALSE;
        if (param[0] == '-' || param[0] == '/') {
            flag = TRUE;
            ++param;
        }
        info.ParseParam(param, flag, i + 1 == arguments.size());
    }
}
