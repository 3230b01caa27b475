#include "app/MyCommandLineInfo.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

struct UninstallCase {
    std::vector<std::string> arguments; // after the program name
    BOOL uninstall;
};

class UninstallSwitch : public ::testing::TestWithParam<UninstallCase> {};

TEST_P(UninstallSwitch, SetsTheFlagOnlyForTheSwitch) {
    std::vector<std::string> argv{"Setup.exe"};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    CMyCommandLineInfo info;
    ParseCommandLine(info, argv);
    EXPECT_EQ(info.m_bUninstall, GetParam().uninstall);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UninstallSwitch,
    ::testing::Values(UninstallCase{{"/uninstall"}, TRUE}, UninstallCase{{"-uninstall"}, TRUE},
                      UninstallCase{{"/UNINSTALL"}, TRUE}, UninstallCase{{"-UnInstall"}, TRUE},
                      UninstallCase{{"uninstall"}, FALSE},   // no switch character
                      UninstallCase{{"//uninstall"}, FALSE}, // only one switch character is dropped
                      UninstallCase{{"-/uninstall"}, FALSE}, //
                      UninstallCase{{"/uninstall:yes"}, FALSE}, // the whole rest must match
                      UninstallCase{{"/uninstal"}, FALSE}, UninstallCase{{"/uninstalls"}, FALSE},
                      UninstallCase{{"/uninstall "},
                                    FALSE}, // a quoted trailing blank is part of it
                      UninstallCase{{"/"}, FALSE}, UninstallCase{{""}, FALSE},
                      UninstallCase{{}, FALSE},
                      UninstallCase{{"/\x83\x41uninstall"}, FALSE}, // double-byte text before it
                      UninstallCase{{"/uninstall", "/uninstall", "-UNINSTALL"}, TRUE},
                      UninstallCase{{"C:\\x.txt", "/p", "-uninstall", "/Register"}, TRUE},
                      UninstallCase{{"/p", "/pt", "/dde", "/Automation", "/Embedding", "/Register",
                                     "/Unregister", "/RegServer", "/UnregServer", "file.txt"},
                                    FALSE}));

// Records what the parse hands to ParseParam.
class RecordingInfo : public CCommandLineInfo {
public:
    void ParseParam(const char* param, BOOL flag, BOOL last) override {
        calls.emplace_back(param, flag, last);
    }
    std::vector<std::tuple<std::string, BOOL, BOOL>> calls;
};

TEST(CommandLineParse, HandsEachArgumentAfterTheProgramNameInOrder) {
    RecordingInfo info;
    ParseCommandLine(info, {"/uninstall", "-a", "b", "//c", "", "/"});
    using Call = std::tuple<std::string, BOOL, BOOL>;
    EXPECT_EQ(info.calls, (std::vector<Call>{Call{"a", TRUE, FALSE}, Call{"b", FALSE, FALSE},
                                             Call{"/c", TRUE, FALSE}, Call{"", FALSE, FALSE},
                                             Call{"", TRUE, TRUE}}));
}

TEST(CommandLineParse, ProgramNameAloneParsesNothing) {
    RecordingInfo info;
    ParseCommandLine(info, {"/uninstall"});
    ParseCommandLine(info, {});
    EXPECT_TRUE(info.calls.empty());
}

} // namespace
