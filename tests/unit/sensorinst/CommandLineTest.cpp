// SensorInst.exe's command line, as the setup and a user would type it.
#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

using sensorinst::Action;

struct LineCase {
    const char* name;
    const wchar_t* line;
    Action action;
    const wchar_t* infPath; // nullptr: an error whose text contains `error`
    const wchar_t* error;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

const wchar_t kPath[] = L"C:\\KLDR ACC\\SensorDrivers\\Package\\Talvik2\\Talvik2.inf";

const LineCase kCases[] = {
    {"SetupInstall",
     L"\"C:\\KLDR ACC\\SensorDrivers\\x64\\SensorInst.exe\" "
     L"\"C:\\KLDR ACC\\SensorDrivers\\Package\\Talvik2\\Talvik2.inf\"",
     Action::Install, kPath, nullptr},
    {"SetupUninstall",
     L"\"C:\\KLDR ACC\\SensorDrivers\\x64\\SensorInst.exe\" /uninstall "
     L"\"C:\\KLDR ACC\\SensorDrivers\\Package\\Talvik2\\Talvik2.inf\"",
     Action::Uninstall, kPath, nullptr},
    {"UnquotedProgram", L"SensorInst.exe a.inf", Action::Install, L"a.inf", nullptr},
    {"SwitchAnyCase", L"SensorInst.exe -UNINSTALL a.inf", Action::Uninstall, L"a.inf", nullptr},
    {"SwitchAfterPath", L"SensorInst.exe a.inf /uninstall", Action::Uninstall, L"a.inf", nullptr},
    {"BlanksAround", L"  x.exe \t \"a b.inf\"  ", Action::Install, L"a b.inf", nullptr},
    {"QuoteInsideArgument", L"x.exe C:\\a\" b\"\\c.inf", Action::Install, L"C:\\a b\\c.inf",
     nullptr},
    {"BackslashQuoteIsAQuote", L"x.exe C:\\\"a b\"", Action::Usage, nullptr,
     L"unexpected argument b"},
    {"EscapedQuote", L"x.exe a\\\"b.inf", Action::Install, L"a\"b.inf", nullptr},
    {"BackslashesBeforeQuote", L"x.exe \"C:\\dir\\\\\"", Action::Install, L"C:\\dir\\", nullptr},
    {"UnclosedQuote", L"x.exe \"C:\\a b.inf", Action::Install, L"C:\\a b.inf", nullptr},
    {"DoubleBytePath", L"x.exe \"C:\\\x8868\\\x30bd.inf\"", Action::Install,
     L"C:\\\x8868\\\x30bd.inf", nullptr},
    {"Usage", L"x.exe /?", Action::Usage, L"", nullptr},
    {"UsageBeatsPath", L"x.exe /help a.inf", Action::Usage, L"", nullptr},
    {"Nothing", L"x.exe", Action::Usage, nullptr, L"missing the INF file's path"},
    {"OnlyProgramQuoted", L"\"C:\\a b\\x.exe\"", Action::Usage, nullptr,
     L"missing the INF file's path"},
    {"EmptyPath", L"x.exe \"\"", Action::Usage, nullptr, L"the INF file's path is empty"},
    {"UninstallWithoutPath", L"x.exe /uninstall", Action::Usage, nullptr,
     L"missing the INF file's path"},
    {"UnknownSwitch", L"x.exe /quiet a.inf", Action::Usage, nullptr, L"unknown switch /quiet"},
    {"LoneSlash", L"x.exe / a.inf", Action::Usage, nullptr, L"unknown switch /"},
    {"TwoPaths", L"x.exe a.inf b.inf", Action::Usage, nullptr, L"unexpected argument b.inf"},
};

class CommandLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(CommandLineTest, Parses) {
    const LineCase& c = GetParam();
    sensorinst::Command command = sensorinst::ParseCommandLine(c.line);
    if (c.error) {
        EXPECT_NE(command.error.find(c.error), std::wstring::npos);
        return;
    }
    EXPECT_EQ(command.error, L"");
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.infPath, c.infPath);
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandLineTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<LineCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
