// Fuzzes the command-line parse with any argument vector: the input split at its zero bytes, as
// the C runtime hands the arguments over (the first is the program name).
//
// Checked on every input, beyond what the sanitizers catch: the parse hook is called once per
// argument after the program name, in order, with the argument less one leading "-" or "/" and
// the flag set exactly then, and the last indicator on the last argument alone; the uninstall
// flag is set exactly when some argument is "-" or "/" and then "uninstall" in any letter case.
#include "FuzzCheck.h"
#include "app/MyCommandLineInfo.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct ParseCall {
    std::string param;
    BOOL flag;
    BOOL last;
};

// Records every call, then parses as the program does.
class CRecordingCommandLineInfo : public CMyCommandLineInfo {
public:
    void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override {
        calls.push_back({pszParam, bFlag, bLast});
        CMyCommandLineInfo::ParseParam(pszParam, bFlag, bLast);
    }
    std::vector<ParseCall> calls;
};

bool IsUninstallSwitch(const std::string& argument) {
    if (argument.size() != 10 || (argument[0] != '-' && argument[0] != '/'))
        return false;
    const char expected[] = "uninstall";
    for (size_t i = 1; i < argument.size(); ++i) {
        char c = argument[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != expected[i - 1])
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(data[i]);
    }

    CRecordingCommandLineInfo info;
    ParseCommandLine(info, arguments);

    Check(info.calls.size() == arguments.size() - 1, "one call per argument");
    bool uninstall = false;
    for (size_t i = 0; i < info.calls.size(); ++i) {
        const std::string& argument = arguments[i + 1];
        const ParseCall& call = info.calls[i];
        const bool flag = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
        Check((call.flag != FALSE) == flag, "flag exactly for a leading - or /");
        Check(call.param == (flag ? argument.substr(1) : argument), "one switch character off");
        Check((call.last != FALSE) == (i + 1 == info.calls.size()), "last only for the last");
        uninstall = uninstall || IsUninstallSwitch(argument);
    }
    Check((info.m_bUninstall != FALSE) == uninstall, "uninstall exactly for its switch");
    return 0;
}
