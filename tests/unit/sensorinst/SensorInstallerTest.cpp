// SensorInst's decisions over a fake platform: what it checks, in which order it changes the
// system, and the exit code and message it ends with.
#include "ExitCodes.h"
#include "SensorInstaller.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace sensorinst;

class FakePnp : public PnpSystem {
public:
    PathKind kind = PathKind::File;
    unsigned long openError = 0;
    std::map<std::wstring, std::vector<InfFields>> sections = {
        {L"Manufacturer", {{L"Models", L"NTx86", L"NTamd64"}}},
        {L"Models.NTamd64",
         {{L"Dev", L"USB\\VID_1234&PID_5678", L"USB\\Class_FF"},
          {L"Dev2", L"usb\\vid_1234&pid_5678"}}},
    };
    std::vector<std::wstring> present = {L"USB\\VID_1234&PID_5678"};
    std::map<std::wstring, unsigned long> updateErrors;
    unsigned long stageError = 0, removeError = 0, uninstallError = 0;
    bool stored = false, rebootOnUpdate = false;
    unsigned devicesOfInf = 1;
    std::vector<std::wstring> calls, out, err;

    PathKind Probe(const std::wstring&) override { return kind; }
    unsigned long OpenInf(const std::wstring&) override { return openError; }
    bool ReadSection(const std::wstring& name, std::vector<InfFields>& lines) override {
        auto it = sections.find(name);
        if (it == sections.end())
            return false;
        lines = it->second;
        return true;
    }
    TargetSystem Target() override {
        TargetSystem target;
        target.architecture = L"amd64";
        target.major = 10;
        return target;
    }
    unsigned long StageInf(const std::wstring&, std::wstring& name) override {
        calls.push_back(L"stage");
        name = L"oem7.inf";
        stored = !stageError;
        return stageError;
    }
    bool FindStoredInf(const std::wstring&, std::wstring& name) override {
        name = L"oem7.inf";
        return stored;
    }
    unsigned long UninstallStoredInf(const std::wstring& name) override {
        calls.push_back(L"uninstall " + name);
        return uninstallError;
    }
    bool IsDevicePresent(const std::wstring& id) override {
        for (const std::wstring& one : present) {
            if (one == id)
                return true;
        }
        return false;
    }
    unsigned long UpdateDevices(const std::wstring& id, const std::wstring&,
                                bool& reboot) override {
        calls.push_back(L"update " + id);
        reboot = reboot || rebootOnUpdate;
        return updateErrors.count(id) ? updateErrors[id] : 0;
    }
    unsigned long RemoveDevices(const std::vector<std::wstring>& ids, const std::wstring& name,
                                unsigned& removed, bool&) override {
        calls.push_back(L"remove " + std::to_wstring(ids.size()) + L" ids of " + name);
        removed = devicesOfInf;
        return removeError;
    }
    void Print(const std::wstring& line) override { out.push_back(line); }
    void PrintError(const std::wstring& line) override { err.push_back(line); }
};

Command Install() {
    return ParseCommandLine(L"x.exe \"C:\\p\\a.inf\"");
}
Command Uninstall() {
    return ParseCommandLine(L"x.exe /uninstall \"C:\\p\\a.inf\"");
}

bool Says(const std::vector<std::wstring>& lines, const std::wstring& part) {
    for (const std::wstring& line : lines) {
        if (line.find(part) != std::wstring::npos)
            return true;
    }
    return false;
}

TEST(SensorInstaller, IdsOfTheApplicableSectionOnceEach) {
    FakePnp pnp;
    PackageIds ids = ReadPackageIds(pnp, pnp.Target());
    EXPECT_EQ(ids.sections, std::vector<std::wstring>{L"Models.NTamd64"});
    EXPECT_EQ(ids.hardwareIds,
              (std::vector<std::wstring>{L"USB\\VID_1234&PID_5678", L"USB\\Class_FF"}));
}

TEST(SensorInstaller, StagesThenUpdatesOnlyPresentIds) {
    FakePnp pnp;
    EXPECT_EQ(RunCommand(Install(), pnp), kExitSuccess);
    EXPECT_EQ(pnp.calls, (std::vector<std::wstring>{L"stage", L"update USB\\VID_1234&PID_5678"}));
    EXPECT_TRUE(Says(pnp.out, L"as oem7.inf"));
    EXPECT_TRUE(pnp.err.empty());
}

TEST(SensorInstaller, NoDevicePresentStillStagesAndSucceeds) {
    FakePnp pnp;
    pnp.present.clear();
    EXPECT_EQ(RunCommand(Install(), pnp), kExitSuccess);
    EXPECT_EQ(pnp.calls, std::vector<std::wstring>{L"stage"});
    EXPECT_TRUE(Says(pnp.out, L"no device present yet"));
}

TEST(SensorInstaller, RebootReported) {
    FakePnp pnp;
    pnp.rebootOnUpdate = true;
    EXPECT_EQ(RunCommand(Install(), pnp), kExitRebootRequired);
}

TEST(SensorInstaller, FailedUpdateIsReportedAfterTheOthers) {
    FakePnp pnp;
    pnp.present.push_back(L"USB\\Class_FF");
    pnp.updateErrors[L"USB\\VID_1234&PID_5678"] = 5;
    EXPECT_EQ(RunCommand(Install(), pnp), 5u);
    EXPECT_EQ(pnp.calls.back(), L"update USB\\Class_FF");
    EXPECT_TRUE(Says(pnp.err, L"could not update the driver of USB\\VID_1234&PID_5678"));
}

TEST(SensorInstaller, DeviceGoneBeforeUpdateIsNoFailure) {
    FakePnp pnp;
    pnp.updateErrors[L"USB\\VID_1234&PID_5678"] = 0xE000020B; // ERROR_NO_SUCH_DEVINST
    EXPECT_EQ(RunCommand(Install(), pnp), kExitSuccess);
}

TEST(SensorInstaller, FailedStagingTouchesNoDevice) {
    FakePnp pnp;
    pnp.stageError = 0xE0000235;
    EXPECT_EQ(RunCommand(Install(), pnp), 0xE0000235u);
    EXPECT_EQ(pnp.calls, std::vector<std::wstring>{L"stage"});
}

struct BadPackage {
    const char* name;
    PnpSystem::PathKind kind;
    unsigned long openError;
    bool dropManufacturer, dropModels, emptyModels;
    unsigned long exitCode;
    const wchar_t* message;
};

void PrintTo(const BadPackage& c, std::ostream* os) {
    *os << c.name;
}

const BadPackage kBadPackages[] = {
    {"Missing", PnpSystem::PathKind::Missing, 0, false, false, false, kExitFileNotFound,
     L"no such file: C:\\p\\a.inf"},
    {"Directory", PnpSystem::PathKind::Directory, 0, false, false, false, kExitFileNotFound,
     L"is a directory"},
    {"NotAnInf", PnpSystem::PathKind::File, 0xE0000100, false, false, false, kExitBadFormat,
     L"not an INF file"},
    {"NoManufacturer", PnpSystem::PathKind::File, 0, true, false, false, kExitNotFound,
     L"no models section for NTamd64"},
    {"ModelsSectionMissing", PnpSystem::PathKind::File, 0, false, true, false, kExitNotFound,
     L"no models section for NTamd64"},
    {"ModelsWithoutIds", PnpSystem::PathKind::File, 0, false, false, true, kExitNotFound,
     L"names no hardware id"},
};

class BadPackageTest : public testing::TestWithParam<BadPackage> {};

TEST_P(BadPackageTest, OneLineAndTheCodeInBothModes) {
    const BadPackage& c = GetParam();
    for (const Command& command : {Install(), Uninstall()}) {
        FakePnp pnp;
        pnp.kind = c.kind;
        pnp.openError = c.openError;
        pnp.stored = true;
        if (c.dropManufacturer)
            pnp.sections.erase(L"Manufacturer");
        if (c.dropModels)
            pnp.sections.erase(L"Models.NTamd64");
        if (c.emptyModels)
            pnp.sections[L"Models.NTamd64"] = {{L"Dev"}};
        EXPECT_EQ(RunCommand(command, pnp), c.exitCode);
        ASSERT_EQ(pnp.err.size(), 1u);
        EXPECT_NE(pnp.err[0].find(c.message), std::wstring::npos);
        EXPECT_TRUE(pnp.calls.empty()) << "nothing is changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, BadPackageTest, testing::ValuesIn(kBadPackages),
                         [](const testing::TestParamInfo<BadPackage>& info) {
                             return std::string(info.param.name);
                         });

TEST(SensorInstaller, CommandLineErrorGivesUsageAndInvalidParameter) {
    FakePnp pnp;
    EXPECT_EQ(RunCommand(ParseCommandLine(L"x.exe /quiet"), pnp), kExitInvalidParameter);
    ASSERT_EQ(pnp.err.size(), 2u);
    EXPECT_EQ(pnp.err[0], L"SensorInst: unknown switch /quiet");
    EXPECT_TRUE(Says(pnp.err, L"usage: SensorInst.exe"));
}

TEST(SensorInstaller, UninstallRemovesDevicesBeforeThePackage) {
    FakePnp pnp;
    pnp.stored = true;
    EXPECT_EQ(RunCommand(Uninstall(), pnp), kExitSuccess);
    EXPECT_EQ(pnp.calls,
              (std::vector<std::wstring>{L"remove 2 ids of oem7.inf", L"uninstall oem7.inf"}));
    EXPECT_TRUE(Says(pnp.out, L"removed oem7.inf"));
}

TEST(SensorInstaller, UninstallOfAPackageNotStored) {
    FakePnp pnp;
    EXPECT_EQ(RunCommand(Uninstall(), pnp), kExitNotFound);
    EXPECT_TRUE(pnp.calls.empty());
    EXPECT_TRUE(Says(pnp.err, L"not in the driver store"));
}

TEST(SensorInstaller, FailedDeviceRemovalKeepsThePackage) {
    FakePnp pnp;
    pnp.stored = true;
    pnp.removeError = 5;
    EXPECT_EQ(RunCommand(Uninstall(), pnp), 5u);
    EXPECT_EQ(pnp.calls, std::vector<std::wstring>{L"remove 2 ids of oem7.inf"});
}

TEST(SensorInstaller, FailedStoreRemovalReported) {
    FakePnp pnp;
    pnp.stored = true;
    pnp.uninstallError = 5;
    EXPECT_EQ(RunCommand(Uninstall(), pnp), 5u);
    EXPECT_TRUE(Says(pnp.err, L"could not remove oem7.inf"));
}

} // namespace
