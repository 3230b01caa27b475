#include "DisplayWorld.h"
#include "display/EnumDisplay.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char kModel[] = "VQT5C26";

class MonitorEdid : public testing::Test {
protected:
    MonitorEdid() : m_scope(world) { std::memset(edid, kUntouched, sizeof(edid)); }
    ~MonitorEdid() override { EXPECT_EQ(world.OpenHandleCount(), 0) << "a registry key left open"; }

    int Get(const std::string& deviceId) {
        return CEnumDisplay::GetMonitorEdid(edid, deviceId.c_str());
    }
    bool Untouched(size_t from, size_t to) const {
        for (size_t i = from; i < to; ++i)
            if (edid[i] != kUntouched)
                return false;
        return true;
    }
    bool Holds(const std::vector<BYTE>& block) const {
        return std::memcmp(edid, block.data(), 128) == 0;
    }

    static constexpr BYTE kUntouched = 0xCC;
    CFakeSystemApi world;
    BYTE edid[256];

private:
    CScopedSystemApi m_scope;
};

TEST_F(MonitorEdid, CopiesTheBlockOfTheMatchingInstance) {
    AddInstance(world, kModel, "0000", DriverOf("0000"), SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 1);
    EXPECT_TRUE(Holds(SupportedEdid()));
    EXPECT_TRUE(Untouched(128, 256)) << "only the base block is copied";
}

// Device ids that are not of the MONITOR kind never reach the registry.
TEST_F(MonitorEdid, RejectsOtherDeviceIdsWithoutOpeningAKey) {
    AddInstance(world, kModel, "0000", DriverOf("0000"), SupportedEdid());
    for (const std::string& id : {std::string(), std::string("MONITOR"),
                                  "MONITORS\\" + std::string(kModel) + "\\" + DriverOf(),
                                  "DISPLAY\\" + std::string(kModel) + "\\" + DriverOf(),
                                  "\\" + std::string(kModel) + "\\" + DriverOf()}) {
        EXPECT_EQ(Get(id), 0) << id;
    }
    EXPECT_TRUE(world.keyOpenAttempts.empty());
    EXPECT_TRUE(Untouched(0, 256));
}

TEST_F(MonitorEdid, PrefixIgnoresLetterCase) {
    AddInstance(world, kModel, "0000", DriverOf("0000"), SupportedEdid());
    EXPECT_EQ(Get("monitor\\" + std::string(kModel) + "\\" + DriverOf()), 1);
    EXPECT_EQ(Get("Monitor\\" + std::string(kModel) + "\\" + DriverOf()), 1);
}

struct CutCase {
    const char* deviceId;
    const char* modelPath; // the first key asked for
    const char* driver;    // a "Driver" that matches the cut driver key
};

// How the id is cut into model and driver key, seen through the keys that are opened and the
// "Driver" text that matches.
const CutCase kCutCases[] = {
    {"MONITOR\\M1\\{C}\\0000", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\M1", "{C}\\0000"},
    {"MONITOR\\M1\\0000", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\M1", "M1\\0000"},
    {"MONITOR\\M1\\x{C}\\0000", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\M1", "{C}\\0000"},
    {"MONITOR\\M1\\{C}\\{D}", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\M1", "{C}\\{D}"},
    {"MONITOR\\M1\\{C}\\0000\\extra", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\M1",
     "{C}\\0000\\extra"},
    // A single backslash: no model, and the whole remainder is the driver key.
    {"MONITOR\\M1", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\", "M1"},
    {"MONITOR\\{C}", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\", "{C}"},
    // 0x83 0x5C is one double-byte character: its trail byte is no separator.
    {"MONITOR\\M\x83\\1\\{C}\\0000", "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\M\x83\\1",
     "{C}\\0000"},
};

void PrintTo(const CutCase& c, std::ostream* os) {
    for (const char* p = c.deviceId; *p; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (byte < 0x80)
            *os << *p;
        else
            *os << "<" << std::hex << static_cast<int>(byte) << std::dec << ">";
    }
}

class MonitorIdCut : public testing::TestWithParam<CutCase> {};

TEST_P(MonitorIdCut, OpensTheModelKeyAndComparesTheDriverKey) {
    const CutCase& c = GetParam();
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    const std::string modelPath = c.modelPath;
    if (modelPath.back() != '\\') {
        world.SetRegistryString(modelPath + "\\0000", "Driver", c.driver);
        world.SetRegistryValue(modelPath + "\\0000\\Device Parameters", "EDID", SupportedEdid());
    }
    BYTE edid[256] = {};
    const int found = CEnumDisplay::GetMonitorEdid(edid, c.deviceId);
    ASSERT_FALSE(world.keyOpenAttempts.empty());
    EXPECT_EQ(world.keyOpenAttempts.front(), modelPath);
    EXPECT_EQ(found, modelPath.back() != '\\' ? 1 : 0);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorIdCut, testing::ValuesIn(kCutCases));

TEST_F(MonitorEdid, UnknownModelGivesNothing) {
    AddInstance(world, "OTHER", "0000", DriverOf("0000"), SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 0);
    EXPECT_TRUE(Untouched(0, 256));
}

TEST_F(MonitorEdid, WalksPastOtherDriverAndMissingParametersToTheThirdInstance) {
    AddInstance(world, kModel, "0000", DriverOf("0007"), UnsupportedEdid());
    AddInstance(world, kModel, "0001", DriverOf("0000"), {});
    AddInstance(world, kModel, "0002", DriverOf("0000"), SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel, "0000")), 1);
    EXPECT_TRUE(Holds(SupportedEdid()));
    // Model key, three "Driver" keys, two "Device Parameters" keys: all read-only.
    ASSERT_EQ(world.keyOpenRequests.size(), 6u);
    for (const FakeKeyOpen& open : world.keyOpenRequests) {
        EXPECT_EQ(open.options, 0u) << open.path;
        EXPECT_EQ(open.desired, static_cast<REGSAM>(KEY_READ)) << open.path;
    }
}

TEST_F(MonitorEdid, DriverComparisonIsCaseSensitive) {
    std::string driver = DriverOf("0000");
    for (char& c : driver)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    AddInstance(world, kModel, "0000", driver, SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 0);
    EXPECT_TRUE(Untouched(0, 256));
}

TEST_F(MonitorEdid, InstanceWithoutDriverIsPassedOver) {
    AddInstance(world, kModel, "0000", "", SupportedEdid());
    AddInstance(world, kModel, "0001", DriverOf("0000"), UnsupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 1);
    EXPECT_TRUE(Holds(UnsupportedEdid()));
}

TEST_F(MonitorEdid, FirstMatchingInstanceInRegistryOrderWins) {
    // Listed 0002 before 0001: the registry's order counts, not the names.
    AddInstance(world, kModel, "0002", DriverOf("0000"), UnsupportedEdid());
    AddInstance(world, kModel, "0001", DriverOf("0000"), SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 1);
    EXPECT_TRUE(Holds(UnsupportedEdid()));
    EXPECT_EQ(world.keyOpenAttempts.size(), 3u) << "the walk stops at the first block";
}

struct SizeCase {
    size_t size;
    int found;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class EdidValueSize : public testing::TestWithParam<SizeCase> {};

TEST_P(EdidValueSize, BaseBlockIsCopiedWhenTheValueFits) {
    const SizeCase& c = GetParam();
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    AddInstance(world, kModel, "0000", DriverOf("0000"), SupportedEdid(c.size));
    BYTE edid[256];
    std::memset(edid, 0xCC, sizeof(edid));
    EXPECT_EQ(CEnumDisplay::GetMonitorEdid(edid, MonitorId(kModel).c_str()), c.found);
    const std::vector<BYTE> value = SupportedEdid(c.size);
    for (size_t i = 0; i < 256; ++i) {
        BYTE expected = 0xCC;
        if (c.found && i < 128)
            expected = i < c.size ? value[i] : 0; // a short value is padded with zeros
        ASSERT_EQ(edid[i], expected) << "byte " << i;
    }
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, EdidValueSize,
                         testing::Values(SizeCase{100, 1}, SizeCase{128, 1}, SizeCase{256, 1},
                                         SizeCase{257, 0}, SizeCase{384, 0}));

TEST_F(MonitorEdid, OversizedEdidCountsAsAbsentAndTheWalkGoesOn) {
    AddInstance(world, kModel, "0000", DriverOf("0000"), UnsupportedEdid(384));
    AddInstance(world, kModel, "0001", DriverOf("0000"), SupportedEdid(256));
    EXPECT_EQ(Get(MonitorId(kModel)), 1);
    EXPECT_TRUE(Holds(SupportedEdid()));
}

TEST_F(MonitorEdid, DriverWithoutTerminatorInItsBufferMatchesNothing) {
    // 1024 bytes without a NUL, equal to the driver key of the id: whatever text a reader makes
    // of them was never stored as one.
    const std::string key = "{" + std::string(1023, 'x');
    world.SetRegistryValue(InstancePath(kModel, "0000"), "Driver",
                           std::vector<BYTE>(key.begin(), key.end()));
    world.SetRegistryValue(InstancePath(kModel, "0000") + "\\Device Parameters", "EDID",
                           SupportedEdid());
    EXPECT_EQ(Get("MONITOR\\" + std::string(kModel) + "\\" + key), 0);
    EXPECT_TRUE(Untouched(0, 256));
}

TEST_F(MonitorEdid, DriverStoredWithoutTerminatorIsItsBytes) {
    const std::string key = DriverOf("0000");
    world.SetRegistryValue(InstancePath(kModel, "0000"), "Driver",
                           std::vector<BYTE>(key.begin(), key.end()));
    world.SetRegistryValue(InstancePath(kModel, "0000") + "\\Device Parameters", "EDID",
                           SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 1);
}

TEST_F(MonitorEdid, DriverLongerThanItsBufferIsPassedOver) {
    std::string driver = DriverOf("0000");
    driver.resize(1024, 'x');
    AddInstance(world, kModel, "0000", driver, SupportedEdid()); // 1025 bytes with the NUL
    EXPECT_EQ(Get(MonitorId(kModel)), 0);
}

TEST_F(MonitorEdid, ModelPathThatDoesNotFitIsNotLookedUp) {
    const std::string model(1024 - std::strlen(kEnumDisplay) - 1, 'M'); // one byte too many
    EXPECT_EQ(Get(MonitorId(model)), 0);
    EXPECT_TRUE(world.keyOpenAttempts.empty());
}

TEST_F(MonitorEdid, InstancePathThatDoesNotFitIsNeverCutShort) {
    // Cut to the buffer, the paths of the long instance would name the short instance's key,
    // which holds a matching "Driver" and a stray "EDID" value.
    const std::string modelPath = std::string(kEnumDisplay) + "\\" + kModel;
    const size_t room = 1023 - modelPath.size() - 1;
    const std::string longName(room + 20, 'A'), cutName(room, 'A');
    AddInstance(world, kModel, longName, DriverOf("0000"), {});
    world.SetRegistryValue(InstancePath(kModel, longName) + "\\Device Parameters", "EDID",
                           UnsupportedEdid());
    world.SetRegistryString(InstancePath(kModel, cutName), "Driver", DriverOf("0000"));
    world.SetRegistryValue(InstancePath(kModel, cutName), "EDID", SupportedEdid());
    EXPECT_EQ(Get(MonitorId(kModel)), 0);
    EXPECT_TRUE(Untouched(0, 256));
}

} // namespace
