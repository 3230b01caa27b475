#include "DisplayWorld.h"
#include "display/EnumDisplay.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const DWORD kMirroring = DISPLAY_DEVICE_MIRRORING_DRIVER;
const DWORD kDesktop = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
const DWORD kActive = DISPLAY_DEVICE_ACTIVE;

FakeAdapter Adapter(const std::string& name, DWORD flags,
                    std::vector<DISPLAY_DEVICEA> monitors = {}) {
    return FakeAdapter{MakeDisplayDevice(name, "Adapter " + name, flags), std::move(monitors)};
}

DISPLAY_DEVICEA Monitor(const std::string& name, const std::string& string, DWORD flags,
                        const std::string& id) {
    return MakeDisplayDevice(name, string, flags, id);
}

TEST(EnumDisplay, NoAdapterGivesAnEmptyValidSnapshot) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CEnumDisplay displays;
    EXPECT_EQ(displays.m_bValid, 1);
    EXPECT_TRUE(displays.m_mapDisplay.empty());
    EXPECT_EQ(displays.HasSupportedDisplay(), 0);
}

TEST(EnumDisplay, MirroringAdaptersTakeNoKey) {
    CFakeSystemApi world;
    world.adapters = {Adapter("\\\\.\\DISPLAY1", kDesktop), Adapter("\\\\.\\MIRROR", kMirroring),
                      Adapter("\\\\.\\DISPLAY2", 0)};
    CScopedSystemApi scope(world);
    CEnumDisplay displays;
    ASSERT_EQ(displays.m_mapDisplay.size(), 2u);
    EXPECT_EQ(displays.m_mapDisplay.at(1).strAdapterName, "\\\\.\\DISPLAY1");
    EXPECT_EQ(displays.m_mapDisplay.at(2).strAdapterName, "\\\\.\\DISPLAY2");
}

TEST(EnumDisplay, OnlyMirroringAdaptersGiveAnEmptyMap) {
    CFakeSystemApi world;
    world.adapters = {Adapter("\\\\.\\MIRROR1", kMirroring | kDesktop),
                      Adapter("\\\\.\\MIRROR2", kMirroring)};
    CScopedSystemApi scope(world);
    CEnumDisplay displays;
    EXPECT_EQ(displays.m_bValid, 1);
    EXPECT_TRUE(displays.m_mapDisplay.empty());
}

struct MonitorCase {
    const char* what;
    std::vector<DISPLAY_DEVICEA> monitors;
    const char* name; // recorded strMonitorName
    const char* id;   // recorded strMonitorId
};

const std::string kId0 = MonitorId("M0"), kId1 = MonitorId("M1");

std::vector<MonitorCase> MonitorCases() {
    return {
        {"no monitor", {}, "Default Monitor", ""},
        {"one active", {Monitor("Monitor0", "Panel", kActive, kId0)}, "Panel", kId0.c_str()},
        {"only the second active",
         {Monitor("Monitor0", "First", 0, kId0), Monitor("Monitor1", "Second", kActive, kId1)},
         "Second",
         kId1.c_str()},
        {"neither active: the last returned",
         {Monitor("Monitor0", "First", 0, kId0), Monitor("Monitor1", "Second", 0, kId1)},
         "Second",
         kId1.c_str()},
        {"neither active, the second unnamed: monitor 0 again",
         {Monitor("Monitor0", "First", 0, kId0), Monitor("Monitor1", "", 0, kId1)},
         "First",
         kId0.c_str()},
        {"one unnamed: default name, its own id",
         {Monitor("Monitor0", "", kActive, kId0)},
         "Default Monitor",
         kId0.c_str()},
        {"both active: the first",
         {Monitor("Monitor0", "First", kActive, kId0),
          Monitor("Monitor1", "Second", kActive, kId1)},
         "First",
         kId0.c_str()},
    };
}

TEST(EnumDisplay, ChoosesOneMonitorPerAdapter) {
    for (const MonitorCase& c : MonitorCases()) {
        CFakeSystemApi world;
        world.adapters = {Adapter("\\\\.\\DISPLAY1", 0, c.monitors)};
        CScopedSystemApi scope(world);
        CEnumDisplay displays;
        ASSERT_EQ(displays.m_mapDisplay.size(), 1u) << c.what;
        const DisplayInfo& info = displays.m_mapDisplay.at(1);
        EXPECT_EQ(info.strMonitorName, c.name) << c.what;
        EXPECT_EQ(info.strMonitorId, c.id) << c.what;
        EXPECT_EQ(info.strAdapterName, "\\\\.\\DISPLAY1") << c.what;
        EXPECT_EQ(info.bHasEdid, 0) << c.what;
        // Flags 0: a monitor's DeviceID is its device id, not its interface path.
        ASSERT_FALSE(world.displayQueryFlags.empty());
        for (DWORD flags : world.displayQueryFlags)
            EXPECT_EQ(flags, 0u) << c.what;
    }
}

TEST(EnumDisplay, RecordsTheEdidOfTheChosenMonitor) {
    CFakeSystemApi world;
    world.adapters = {Adapter("\\\\.\\DISPLAY1", kDesktop,
                              {Monitor("Monitor0", "", kActive, MonitorId("VQT5C26"))}),
                      Adapter("\\\\.\\DISPLAY2", 0,
                              {Monitor("Monitor0", "Other", kActive, MonitorId("XYZ0001"))})};
    AddInstance(world, "VQT5C26", "0000", DriverOf(), SupportedEdid());
    CScopedSystemApi scope(world);
    CEnumDisplay displays;
    const DisplayInfo& first = displays.m_mapDisplay.at(1);
    EXPECT_EQ(first.strMonitorName, "Default Monitor");
    EXPECT_EQ(first.bHasEdid, 1);
    EXPECT_EQ(std::memcmp(first.edid, SupportedEdid().data(), 128), 0);
    EXPECT_EQ(displays.m_mapDisplay.at(2).bHasEdid, 0);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

// Two adapters whose monitors have the given EDIDs (none when empty).
int SupportedWith(const std::vector<BYTE>& first, const std::vector<BYTE>& second) {
    CFakeSystemApi world;
    world.adapters = {
        Adapter("\\\\.\\DISPLAY1", kDesktop, {Monitor("Monitor0", "A", kActive, MonitorId("MA"))}),
        Adapter("\\\\.\\DISPLAY2", 0, {Monitor("Monitor0", "B", kActive, MonitorId("MB"))})};
    if (!first.empty())
        AddInstance(world, "MA", "0000", DriverOf(), first);
    if (!second.empty())
        AddInstance(world, "MB", "0000", DriverOf(), second);
    CScopedSystemApi scope(world);
    CEnumDisplay displays;
    const int answer = displays.HasSupportedDisplay();
    EXPECT_EQ(displays.HasSupportedDisplay(), answer) << "asked twice, the same";
    return answer;
}

TEST(HasSupportedDisplay, AnswersFromTheRecordedEdids) {
    EXPECT_EQ(SupportedWith(UnsupportedEdid(), SupportedEdid()), 1);
    EXPECT_EQ(SupportedWith(SupportedEdid(), UnsupportedEdid()), 1);
    EXPECT_EQ(SupportedWith(UnsupportedEdid(), UnsupportedEdid()), 0);
    EXPECT_EQ(SupportedWith({}, {}), 0);
    EXPECT_EQ(SupportedWith({}, SupportedEdid(256)), 1);
    EXPECT_EQ(SupportedWith({}, SupportedEdid(384)), 0);
}

TEST(HasSupportedDisplay, IgnoresBlocksNotMarkedAsRead) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    CEnumDisplay displays;
    DisplayInfo stale{};
    std::memcpy(stale.edid, SupportedEdid().data(), 128);
    stale.bHasEdid = 0;
    displays.m_mapDisplay[1] = stale;
    EXPECT_EQ(displays.HasSupportedDisplay(), 0);
    displays.m_mapDisplay[1].bHasEdid = 1;
    EXPECT_EQ(displays.HasSupportedDisplay(), 1);
    displays.m_bValid = 0;
    EXPECT_EQ(displays.HasSupportedDisplay(), 0);
}

} // namespace
