#include "CommandLine.h"

#include "AsciiCase.h"

#include <vector>

namespace sensorinst {
namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

// The program name ends at the first blank, or at its closing quote; it has no escapes.
size_t SkipProgramName(const std::wstring& line) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i < line.size() && line[i] == L'"') {
        size_t close = line.find(L'"', i + 1);
        i = close == std::wstring::npos ? line.size() : close + 1;
    }
    while (i < line.size() && !IsBlank(line[i]))
        ++i;
    return i;
}

// The arguments after the program name: 2n backslashes before a quote give n backslashes and the
// quote groups; 2n+1 give n and a literal quote; other backslashes are literal.
std::vector<std::wstring> SplitArguments(const std::wstring& line, size_t i) {
    std::vector<std::wstring> args;
    for (;;) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i >= line.size())
            return args;
        std::wstring arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == L'"') {
                arg.append(backslashes / 2, L'\\');
                if (backslashes % 2)
                    arg += L'"';
                else
                    quoted = !quoted;
                ++i;
            } else {
                arg.append(backslashes, L'\\');
                if (i < line.size() && (quoted || !IsBlank(line[i])))
                    arg += line[i++];
            }
        }
        args.push_back(arg);
    }
}

bool IsSwitch(const std::wstring& arg) {
    return !arg.empty() && (arg[0] == L'/' || arg[0] == L'-');
}

Command Fail(std::wstring error) {
    Command command;
    command.error = std::move(error);
    return command;
}

} // namespace

Command ParseCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> args = SplitArguments(commandLine, SkipProgramName(commandLine));
    bool uninstall = false;
    bool usage = false;
    std::vector<std::wstring> paths;
    for (const std::wstring& arg : args) {
        if (!IsSwitch(arg)) {
            paths.push_back(arg);
            continue;
        }
        std::wstring name = arg.substr(1);
        if (EqualsIgnoringAsciiCase(name, L"uninstall"))
            uninstall = true;
        else if (EqualsIgnoringAsciiCase(name, L"?") || EqualsIgnoringAsciiCase(name, L"help"))
            usage = true;
        else
            return Fail(L"unknown switch " + arg);
    }
    if (usage)
        return Command{};
    if (paths.empty())
        return Fail(L"missing the INF file's path");
    if (paths.size() > 1)
        return Fail(L"one INF file at a time; unexpected argument " + paths[1]);
    if (paths[0].empty())
        return Fail(L"the INF file's path is empty");
    Command command;
    command.action = uninstall ? Action::Uninstall : Action::Install;
    command.infPath = paths[0];
    return command;
}

std::wstring UsageText() {
    return L"usage: SensorInst.exe \"<inf>\"              install a driver package and update "
           L"its devices\n"
           L"       SensorInst.exe /uninstall \"<inf>\"   remove the driver from its devices and "
           L"the package";
}

} // namespace sensorinst
