// PnP through the PnP manager and by hand: orderly removal, a refused query, surprise removal
// by unplugging, stop and restart, and starts that fail.
#include "FrameworkFixture.h"

namespace {

class PnpTest : public FrameworkFixture {
protected:
    NTSTATUS SendPnp(UCHAR minor) {
        return SendToStack(IRP_MJ_PNP, minor, [](PIO_STACK_LOCATION) {});
    }
};

TEST_F(PnpTest, OrderlyRemovalExitsD0ReleasesAndDeletesTheDevice) {
    PlugTestDevice();
    ASSERT_EQ(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXRcdu");
    EXPECT_EQ(g_fxTestRecord.LastExitTo, WdfPowerDeviceD3Final);
    EXPECT_LT(EventIndex("EvtDeviceD0Exit(D3Final) -> 0x00000000"),
              EventIndex("EvtDeviceReleaseHardware -> 0x00000000"));
    EXPECT_TRUE(kernel().User().FindInterfaces(FxTestInterfaceGuid).empty());
    EXPECT_EQ(LiveObjects(), 0u); // the driver unloaded with its last device
}

TEST_F(PnpTest, ARefusedQueryRemoveKeepsTheDeviceWorking) {
    g_fxTestOptions.QueryRemoveStatus = STATUS_DEVICE_BUSY;
    PlugTestDevice();
    EXPECT_NE(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PE");
    EXPECT_TRUE(Started());
    EXPECT_EQ(kernel().User().FindInterfaces(FxTestInterfaceGuid).size(), 1u);
    g_fxTestOptions.QueryRemoveStatus = STATUS_SUCCESS; // the bus's removal at teardown
}

TEST_F(PnpTest, UnpluggingIsSurpriseRemovalThenRemoval) {
    PlugTestDevice();
    Unplug();
    EXPECT_EQ(Order(), "PEXSRcdu");
    EXPECT_TRUE(HasEvent("device surprise-removed"));
    EXPECT_LT(EventIndex("device surprise-removed"), EventIndex("EvtDeviceD0Exit(D3Final)"));
    EXPECT_TRUE(kernel().User().FindInterfaces(FxTestInterfaceGuid).empty());
}

TEST_F(PnpTest, StopReleasesTheHardwareAndStartPreparesItAgain) {
    PlugTestDevice();
    ASSERT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXR");
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXRPE");
    EXPECT_EQ(kernel().User().FindInterfaces(FxTestInterfaceGuid).size(), 1u);
}

TEST_F(PnpTest, AFailedPrepareFailsTheStartWithNothingToRelease) {
    g_fxTestOptions.PrepareStatus = STATUS_DEVICE_NOT_CONNECTED;
    PlugTestDevice();
    EXPECT_FALSE(Started());
    EXPECT_EQ(Order().substr(0, 1), "P");
    EXPECT_EQ(Order().find('R'), std::string::npos);
    EXPECT_TRUE(kernel().User().FindInterfaces(FxTestInterfaceGuid).empty());
}

TEST_F(PnpTest, AFailedD0EntryReleasesTheHardware) {
    g_fxTestOptions.D0EntryStatus = STATUS_UNSUCCESSFUL;
    PlugTestDevice();
    EXPECT_FALSE(Started());
    EXPECT_EQ(Order().substr(0, 3), "PER");
    EXPECT_TRUE(HasEvent("EvtDeviceD0Entry(D3Final) -> 0xC0000001"));
    EXPECT_TRUE(kernel().User().FindInterfaces(FxTestInterfaceGuid).empty());
}

} // namespace
