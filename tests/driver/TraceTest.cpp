// A checked build routes the driver's trace lines to the debugger output.
#include "Talvik.h"
#include <wdfldr.h>
#include "kmdf/sim/World.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

bool Logged(const kmdf::sim::World& w, const std::string& line) {
    auto log = w.DebugLog();
    return std::find(log.begin(), log.end(), line) != log.end();
}

TEST(CheckedBuild, TraceLinesReachTheDebugOutputWithStatusesShown) {
    kmdf::sim::World w;
    w.verifier().SetHandler([](const std::string& v) { ADD_FAILURE() << "verifier: " << v; });
    ASSERT_EQ(w.LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    EXPECT_TRUE(Logged(w, "Talvik Driver - Driver Framework Edition.\n"));
    auto log = w.DebugLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1].rfind("Built ", 0), 0u); // the compiler's date and time follow
    w.faults().Fail("WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(w.PlugIn().AddStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Logged(w, "WdfDeviceCreate failed with Status code 0xc000009a\n"));
    kmdf::sim::ColorimeterConfig noWake;
    noWake.remoteWake = false;
    ASSERT_EQ(w.PlugIn(noWake).Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Logged(w, "IsDeviceSelfPowered: FALSE\n"));
    EXPECT_TRUE(Logged(w, "IsDeviceRemoteWakeable: FALSE\n"));
    EXPECT_TRUE(Logged(w, "TalvikEvtDevicePrepareHardware:Urb  memory created\n"));
}

} // namespace
