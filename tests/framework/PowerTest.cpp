// Device power IRPs: D0 exit before a Dx IRP goes down, D0 entry after a D0 IRP comes back up,
// each once per transition.
#include "FrameworkFixture.h"

namespace {

class PowerTest : public FrameworkFixture {};

TEST_F(PowerTest, DxThenD0RunsExitAndEntryWithTheStates) {
    PlugTestDevice();
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2) -> 0x00000000"));
    EXPECT_EQ(g_fxTestRecord.LastExitTo, WdfPowerDeviceD2);
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Entry(D2) -> 0x00000000"));
    EXPECT_EQ(g_fxTestRecord.LastEntryFrom, WdfPowerDeviceD2);
    EXPECT_EQ(Order(), "PEXE");
}

TEST_F(PowerTest, AnotherDxOrAnotherD0ChangesNothing) {
    PlugTestDevice();
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEX");
    EXPECT_EQ(g_fxTestRecord.LastExitTo, WdfPowerDeviceD3);
    // Removal from Dx has no D0 to leave.
    ASSERT_EQ(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXRcdu");
}

} // namespace
