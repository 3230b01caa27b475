// Path splitting in code page 932, where the second byte of 表 (95 5C) and ソ (83 5C) is the
// backslash byte.
#include "FakeSystemApi.h"
#include "installers/ModulePath.h"
#include "installers/PathSplit.h"

#include <gtest/gtest.h>

namespace {

#define HYO "\x95\x5C" // 表
#define SO "\x83\x5C"  // ソ

struct SplitCase {
    const char* name;
    std::string path;
    bool doubleByte;
    const char* drive;
    const char* directory;
    const char* baseName;
    const char* extension;
    const char* pathDirectory; // GetPathDirectory
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.name;
}

const SplitCase kSplitCases[] = {
    {"Plain", "C:\\Setup\\Setup.exe", true, "C:", "\\Setup\\", "Setup", ".exe", "C:\\Setup\\"},
    {"TrailByteInDirectory", "C:\\KLDR" HYO "\\Setup.exe", true, "C:", "\\KLDR" HYO "\\", "Setup",
     ".exe", "C:\\KLDR" HYO "\\"},
    {"TrailByteEndsName", "C:\\disk\\" SO HYO ".inf", true, "C:", "\\disk\\", SO HYO, ".inf",
     "C:\\disk\\"},
    {"TrailByteEndsNameSingleByteCodePage", "C:\\disk\\" SO HYO ".inf", false,
     "C:", "\\disk\\" SO "\x95\\", "", ".inf", "C:\\disk\\" SO "\x95\\"},
    {"TrailByteThenPeriodInDirectory", "C:\\" HYO ".d\\" SO, true, "C:", "\\" HYO ".d\\", SO, "",
     "C:\\" HYO ".d\\"},
    {"ForwardSlashes", "C:/KLDR ACC/disk 1/Setup.exe", true, "C:", "/KLDR ACC/disk 1/", "Setup",
     ".exe", "C:/KLDR ACC/disk 1/\\"},
    {"DriveRoot", "C:\\Setup.exe", true, "C:", "\\", "Setup", ".exe", "C:\\"},
    {"DriveWithoutDirectory", "C:Setup.exe", true, "C:", "", "Setup", ".exe", "C:\\"},
    {"NoDriveNoDirectory", HYO SO ".exe", true, "", "", HYO SO, ".exe", ""},
    {"SeveralPeriods", "C:\\d\\a.b.c.inf", true, "C:", "\\d\\", "a.b.c", ".inf", "C:\\d\\"},
    {"PeriodOnlyInDirectory", "C:\\d.x\\name", true, "C:", "\\d.x\\", "name", "", "C:\\d.x\\"},
    {"UncPath", "\\\\srv\\share\\Setup.exe", true, "", "\\\\srv\\share\\", "Setup", ".exe",
     "\\\\srv\\share\\"},
    {"LeadByteAtEnd", "C:\\d\\a\x95", true, "C:", "\\d\\", "a\x95", "", "C:\\d\\"},
};

class PathSplit : public ::testing::TestWithParam<SplitCase> {
protected:
    CFakeSystemApi world;
    CScopedSystemApi scope{world};
};

TEST_P(PathSplit, PiecesAndDirectory) {
    const SplitCase& c = GetParam();
    world.doubleByteCodePage = c.doubleByte;
    SPathParts parts;
    ASSERT_TRUE(SplitPath(c.path, parts));
    EXPECT_EQ(parts.drive, c.drive);
    EXPECT_EQ(parts.directory, c.directory);
    EXPECT_EQ(parts.baseName, c.baseName);
    EXPECT_EQ(parts.extension, c.extension);
    EXPECT_EQ(GetPathDirectory(c.path), c.pathDirectory);
    EXPECT_EQ(GetFileBaseName(c.path), c.baseName);
}

INSTANTIATE_TEST_SUITE_P(Cases, PathSplit, ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Each piece may hold 255 characters; one more and the path is not split at all.
TEST(PathSplitLimits, LongPiecesFailInsteadOfBeingCut) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    auto directory = [](size_t n) { return "\\" + std::string(n - 2, 'd') + "\\"; };
    auto extension = [](size_t n) { return "." + std::string(n - 1, 'e'); };
    const struct {
        std::string path;
        bool splits;
    } cases[] = {
        {"C:" + directory(255) + std::string(255, 'n') + extension(255), true},
        {"C:" + directory(256) + "n.e", false},
        {"C:\\d\\" + std::string(256, 'n') + ".e", false},
        {"C:\\d\\n" + extension(256), false},
        {directory(256), false}, // a directory alone is checked as well
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.size());
        SPathParts parts;
        EXPECT_EQ(SplitPath(c.path, parts), c.splits);
        if (c.splits) {
            EXPECT_EQ(parts.directory.size(), 255u);
            EXPECT_EQ(parts.baseName.size(), 255u);
            EXPECT_EQ(parts.extension.size(), 255u);
        } else {
            EXPECT_TRUE(parts.drive.empty() && parts.directory.empty() && parts.baseName.empty() &&
                        parts.extension.empty());
            EXPECT_EQ(GetPathDirectory(c.path), "");
            EXPECT_EQ(GetFileBaseName(c.path), "");
        }
    }
}

TEST(EndsWithBackslash, StepsOverTrailBytes) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    EXPECT_FALSE(EndsWithBackslash("C:\\" HYO));
    EXPECT_TRUE(EndsWithBackslash("C:\\" HYO "\\"));
    EXPECT_FALSE(EndsWithBackslash("C:/"));
    EXPECT_FALSE(EndsWithBackslash(""));
    world.doubleByteCodePage = false;
    EXPECT_TRUE(EndsWithBackslash("C:\\" HYO));
}

struct ModuleCase {
    const char* name;
    std::string modulePath;
    const char* expectedPath;
    const char* expectedDirectory;
};

const std::string kDir(237, 'p');
const ModuleCase kModuleCases[] = {
    {"Plain", "C:\\KLDR" SO "\\Setup.exe", "C:\\KLDR" SO "\\Setup.exe", "C:\\KLDR" SO "\\"},
    {"Root", "D:\\Setup.exe", "D:\\Setup.exe", "D:\\"},
    // 259 characters (3 + 237 + 19) fit the buffer with the terminator; 260 come back cut off.
    {"Longest", "C:\\" + kDir + "\\Setup" + std::string(9, 'x') + ".exe", nullptr, nullptr},
    {"Truncated", "C:\\" + kDir + "\\Setup" + std::string(10, 'x') + ".exe", "", ""},
    {"Unreadable", "", "", ""},
};

TEST(ModulePath, FromTheSystem) {
    for (const ModuleCase& c : kModuleCases) {
        SCOPED_TRACE(c.name);
        CFakeSystemApi world;
        CScopedSystemApi scope(world);
        world.modulePath = c.modulePath;
        std::string expectedPath = c.expectedPath ? c.expectedPath : c.modulePath;
        std::string expectedDirectory =
            c.expectedDirectory ? c.expectedDirectory : "C:\\" + kDir + "\\";
        EXPECT_EQ(GetModulePath(), expectedPath);
        EXPECT_EQ(GetModuleDirectory(), expectedDirectory);
    }
}

} // namespace
