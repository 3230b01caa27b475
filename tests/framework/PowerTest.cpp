// Device power IRPs: D0 exit before a Dx IRP goes down, D0 entry after a D0 IRP comes back up,
// each once per transition.
#include "FrameworkFixture.h"

namespace {

class PowerTest : public FrameworkFixture {
protected:
    // IRP_MN_SET_POWER for a system state down the whole stack, as the power manager sends it.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state) {
        return SendToStack(IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION next) {
            next->Parameters.Power.Type = SystemPowerState;
            next->Parameters.Power.State.SystemState = state;
        });
    }
};

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

TEST_F(PowerTest, SystemSleepArmedForWakeUsesTheWakeDxAndS0BringsItBack) {
    g_fxTestOptions.Wake = TRUE;
    PlugTestDevice();
    EXPECT_TRUE(HasEvent("WdfDeviceAssignSxWakeSettings"));
    ASSERT_EQ(SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2) -> 0x00000000")); // the bus's DeviceWake
    ASSERT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Entry(D2) -> 0x00000000"));
    EXPECT_EQ(Order(), "PEXE");
}

TEST_F(PowerTest, SystemSleepUnarmedGoesToD3) {
    PlugTestDevice();
    ASSERT_EQ(SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(g_fxTestRecord.LastExitTo, WdfPowerDeviceD3);
    ASSERT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(g_fxTestRecord.LastEntryFrom, WdfPowerDeviceD3);
}

TEST_F(PowerTest, AnIdleDeviceSleepsAndWakesWithTheSystem) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    Advance(1001); // idle in D2
    ASSERT_EQ(Order(), "PEX");
    ASSERT_EQ(SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEX"); // out of D0 already
    ASSERT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXE");
}

TEST_F(PowerTest, SelfManagedIoFollowsD0AndEndsAtRemoval) {
    g_fxTestOptions.SelfManagedIo = TRUE;
    PlugTestDevice();
    EXPECT_EQ(Order(), "PEeI");
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEeIsxXEer");
    ASSERT_EQ(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEeIsxXEersxXRlCcdu");
}

} // namespace
