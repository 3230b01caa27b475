// Which decorated models section applies, per the platform's rules for TargetOSVersion.
#include "ModelsSection.h"

#include <gtest/gtest.h>

namespace {

using sensorinst::TargetSystem;

TargetSystem Amd64(unsigned long major, unsigned long minor, unsigned long build = 0) {
    TargetSystem target;
    target.architecture = L"amd64";
    target.major = major;
    target.minor = minor;
    target.build = build;
    return target;
}

TargetSystem X86(unsigned long major, unsigned long minor) {
    TargetSystem target = Amd64(major, minor);
    target.architecture = L"x86";
    return target;
}

struct ModelsCase {
    const char* name;
    std::vector<std::wstring> fields;
    TargetSystem target;
    const wchar_t* section;
};

void PrintTo(const ModelsCase& c, std::ostream* os) {
    *os << c.name;
}

const ModelsCase kCases[] = {
    {"Amd64", {L"M", L"NTamd64"}, Amd64(6, 1), L"M.NTamd64"},
    {"DecorationAnyCase", {L"M", L"ntAMD64"}, Amd64(6, 1), L"M.ntAMD64"},
    {"OtherArchitectureOnly", {L"M", L"NTx86"}, Amd64(6, 1), L""},
    {"UndecoratedIsX86Only", {L"M"}, Amd64(6, 1), L""},
    {"UndecoratedOnX86", {L"M"}, X86(6, 1), L"M"},
    {"X86FallsBackWhenNoDecorationFits", {L"M", L"NTamd64"}, X86(6, 1), L"M"},
    {"X86Decorated", {L"M", L"NTamd64", L"NTx86"}, X86(5, 1), L"M.NTx86"},
    {"AnyArchitecture", {L"M", L"NT.6.0"}, Amd64(6, 1), L"M.NT.6.0"},
    {"HighestFittingVersionWins",
     {L"M", L"NTamd64", L"NTamd64.6.1", L"NTamd64.10.0"},
     Amd64(6, 1),
     L"M.NTamd64.6.1"},
    {"NewerSystemTakesNewest",
     {L"M", L"NTamd64.6.1", L"NTamd64.10.0", L"NTamd64"},
     Amd64(10, 0),
     L"M.NTamd64.10.0"},
    {"TooNewForSystem", {L"M", L"NTamd64.10.0"}, Amd64(6, 1), L""},
    {"MinorVersionCounts", {L"M", L"NTamd64.6.2"}, Amd64(6, 1), L""},
    {"BuildNumber",
     {L"M", L"NTamd64.10.0...17763", L"NTamd64.10.0"},
     Amd64(10, 0, 19045),
     L"M.NTamd64.10.0...17763"},
    {"BuildTooNew", {L"M", L"NTamd64.10.0...22000"}, Amd64(10, 0, 19045), L""},
    {"ProductTypeServerOnly", {L"M", L"NTamd64.6.1.3"}, Amd64(6, 1), L""},
    {"ProductTypeWorkstation", {L"M", L"NTamd64.6.1.1"}, Amd64(6, 1), L"M.NTamd64.6.1.1"},
    {"MoreSpecificOnTie",
     {L"M", L"NTamd64.6.1", L"NTamd64.6.1.1"},
     Amd64(6, 1),
     L"M.NTamd64.6.1.1"},
    {"SuiteMaskNotHeld", {L"M", L"NTamd64.6.1..0x10"}, Amd64(6, 1), L""},
    {"MalformedDecorationIgnored", {L"M", L"NTamd64.six", L"NTamd64"}, Amd64(6, 1), L"M.NTamd64"},
    {"NotAnNtDecoration", {L"M", L"amd64"}, Amd64(6, 1), L""},
    {"NoSectionName", {L"", L"NTamd64"}, Amd64(6, 1), L""},
};

class ModelsSectionTest : public testing::TestWithParam<ModelsCase> {};

TEST_P(ModelsSectionTest, Selects) {
    const ModelsCase& c = GetParam();
    EXPECT_EQ(sensorinst::SelectModelsSection(c.fields, c.target), c.section);
}

INSTANTIATE_TEST_SUITE_P(Decorations, ModelsSectionTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ModelsCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ModelsSection, SuiteMaskHeld) {
    TargetSystem target = Amd64(6, 1);
    target.suiteMask = 0x110;
    EXPECT_EQ(sensorinst::SelectModelsSection({L"M", L"NTamd64.6.1..0x10"}, target),
              L"M.NTamd64.6.1..0x10");
}

} // namespace
