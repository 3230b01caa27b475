#include "app/Catalogue.h"
#include "app/ExistInstance.h"

#include "FakeSystemApi.h"

#include <gtest/gtest.h>

namespace {

const std::string kGuid = "7D3B9E40-2A61-4F85-9C07-E15A28D4B6F3";

struct NameCase {
    std::string modulePath;
    std::string appName;
};

class MutexName : public ::testing::TestWithParam<NameCase> {};

TEST_P(MutexName, IsBuiltFromTheProgramFileName) {
    CFakeSystemApi world;
    world.modulePath = GetParam().modulePath;
    CScopedSystemApi scope(world);
    EXPECT_EQ(GetAppName(), GetParam().appName);
    EXPECT_EQ(CExistInstance().GetMutexName(), "MUTEX_" + GetParam().appName + "_" + kGuid);
}

INSTANTIATE_TEST_SUITE_P(
    ModulePaths, MutexName,
    ::testing::Values(NameCase{"C:\\Setup\\Setup.exe", "Setup"},
                      NameCase{"D:\\KLDR\\disk 1\\Other.exe", "Other"},
                      NameCase{"C:\\a.b\\Setup", "Setup"},           // no extension
                      NameCase{"C:\\x\\Setup.tar.exe", "Setup.tar"}, // last dot only
                      NameCase{"\\\\server\\share\\SETUP.EXE", "SETUP"},
                      // 0x83 0x5C is one double-byte character whose second byte is a backslash.
                      NameCase{"C:\\\x83\x5C\\Setup.exe", "Setup"},
                      NameCase{"C:\\dir\\\x83\x5C\x83\x5C.exe", "\x83\x5C\x83\x5C"}));

TEST(MutexName, Is48CharactersForSetupExe) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    std::string name = CExistInstance().GetMutexName();
    EXPECT_EQ(name, "MUTEX_Setup_" + kGuid);
    EXPECT_EQ(name.size(), 48u);
}

TEST(MutexName, UsesTheWholePathEvenBeyondMaxPath) {
    CFakeSystemApi world;
    world.modulePath = "C:\\" + std::string(300, 'd') + "\\Deep.exe";
    CScopedSystemApi scope(world);
    EXPECT_EQ(CExistInstance().GetMutexName(), "MUTEX_Deep_" + kGuid);
}

TEST(MutexName, PrefersTheApplicationTitleString) {
    CFakeSystemApi world;
    world.strings[0xE000] = u"Titled";
    CScopedSystemApi scope(world);
    EXPECT_EQ(CExistInstance().GetMutexName(), "MUTEX_Titled_" + kGuid);
}

TEST(ExistInstance, FirstInstanceCreatesAndOwnsTheMutex) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CExistInstance guard;
    EXPECT_EQ(guard.m_hMutex.Get(), nullptr);
    EXPECT_FALSE(guard.IsAlreadyRunning());
    EXPECT_NE(guard.m_hMutex.Get(), nullptr);
    EXPECT_EQ(world.log, (std::vector<std::string>{"CreateMutexA(MUTEX_Setup_" + kGuid + ")"}));
}

TEST(ExistInstance, SecondInstanceSeesTheFirstAndKeepsItsHandle) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CExistInstance first, second;
    ASSERT_FALSE(first.IsAlreadyRunning());
    EXPECT_TRUE(second.IsAlreadyRunning());
    EXPECT_NE(second.m_hMutex.Get(), nullptr);
    EXPECT_EQ(world.OpenHandleCount(), 2);
}

TEST(ExistInstance, AsksOnlyOnce) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CExistInstance first, second;
    first.IsAlreadyRunning();
    ASSERT_TRUE(second.IsAlreadyRunning());
    EXPECT_FALSE(second.IsAlreadyRunning()); // already asked: creates nothing, answers no
    EXPECT_EQ(world.OpenHandleCount(), 2);
}

TEST(ExistInstance, OtherFileNamesDoNotCollide) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CExistInstance setup;
    ASSERT_FALSE(setup.IsAlreadyRunning());
    world.modulePath = "C:\\Setup\\Copy of Setup.exe";
    CExistInstance copy;
    EXPECT_FALSE(copy.IsAlreadyRunning());
    world.modulePath = "E:\\elsewhere\\Setup.exe"; // same file name elsewhere: same guard
    CExistInstance sameName;
    EXPECT_TRUE(sameName.IsAlreadyRunning());
}

TEST(ExistInstance, AsksForOwnershipWithDefaultSecurity) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CExistInstance first, second;
    first.IsAlreadyRunning();
    second.IsAlreadyRunning();
    ASSERT_EQ(world.mutexCreations.size(), 2u);
    for (const FakeMutexCreation& creation : world.mutexCreations) {
        EXPECT_EQ(creation.name, "MUTEX_Setup_" + kGuid);
        EXPECT_TRUE(creation.attributesWereNull);
        EXPECT_EQ(creation.initialOwner, TRUE); // the first instance owns it from the start
    }
}

// Whatever error is left behind, even "already exists", a mutex that could not be created
// means no other instance.
TEST(ExistInstance, MutexThatCannotBeCreatedMeansNoOtherInstance) {
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS}) {
        CFakeSystemApi world;
        world.mutexCreationError = error;
        CScopedSystemApi scope(world);
        {
            CExistInstance guard;
            EXPECT_FALSE(guard.IsAlreadyRunning()) << error;
            EXPECT_EQ(guard.m_hMutex.Get(), nullptr);
        }
        EXPECT_TRUE(world.log.empty()); // nothing to release or close
    }
}

TEST(ExistInstance, ReleasesThenClosesAtExit) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    {
        CExistInstance first, second;
        first.IsAlreadyRunning();
        second.IsAlreadyRunning();
        world.log.clear();
    }
    const std::string name = "MUTEX_Setup_" + kGuid;
    // Destroyed in reverse order; the second never owned the mutex but closes its handle.
    EXPECT_EQ(world.log, (std::vector<std::string>{
                             "ReleaseMutex(" + name + ")", "CloseHandle(" + name + ")",
                             "ReleaseMutex(" + name + ")", "CloseHandle(" + name + ")"}));
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST(ExistInstance, UnusedGuardTouchesNothingAtExit) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    { CExistInstance guard; }
    EXPECT_TRUE(world.log.empty());
}

} // namespace
