// S0 idle: after IdleTimeout ms without power-managed I/O the idle notification goes to the
// bus and the device leaves D0 in its callback; a power reference (a request arriving) brings it
// back, and the timer starts again when the last one goes.
#include "FrameworkFixture.h"

#include "FxDevice.h"

#include <atomic>
#include <mutex>
#include <string>

namespace {

class IdleTest : public FrameworkFixture {
protected:
    FxDevice* Device() { return FxDeviceOf(pdo_->AttachedDevice); }
};

TEST_F(IdleTest, SelectiveSuspendAfterTheTimeoutAndBackOnARequest) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    EXPECT_TRUE(HasEvent("WdfDeviceAssignS0IdleSettings 1000 ms"));
    Advance(999);
    EXPECT_EQ(Order(), "PE");
    Advance(2);
    EXPECT_EQ(Order(), "PEX");
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2) -> 0x00000000")); // the bus's DeviceWake
    EXPECT_TRUE(FxIdleIsDown(Device()));

    FxDevicePowerReference(Device());
    kernel().WaitIdle();
    EXPECT_EQ(Order(), "PEXE");
    EXPECT_TRUE(HasEvent("EvtDeviceD0Entry(D2) -> 0x00000000"));
    Advance(5000); // held: no idle while referenced
    EXPECT_EQ(Order(), "PEXE");
    FxDevicePowerDereference(Device());
    Advance(1001);
    EXPECT_EQ(Order(), "PEXEX");
}

TEST_F(IdleTest, AReferenceWhilePoweringDownEndsInD0) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    // The timer fires; its work, the bus's callback and this reference race.
    kernel().AdvanceMs(1001);
    FxDevicePowerReference(Device());
    kernel().WaitIdle();
    std::string order = Order();
    EXPECT_TRUE(order == "PE" || order == "PEXE") << order;
    EXPECT_FALSE(FxIdleIsDown(Device()));
    Advance(5000);
    EXPECT_EQ(Order(), order); // held in D0 while referenced
    FxDevicePowerDereference(Device());
}

TEST_F(IdleTest, ASystemD0IrpWakesAnIdleDeviceAndIdleResumes) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    Advance(1001);
    ASSERT_EQ(Order(), "PEX");
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXE");
    EXPECT_FALSE(FxIdleIsDown(Device()));
    Advance(1001);
    EXPECT_EQ(Order(), "PEXEX");
}

TEST_F(IdleTest, IdleDisabledOrNotAssignedStaysInD0) {
    g_fxTestOptions.Idle = TRUE;
    g_fxTestOptions.IdleEnabled = WdfFalse;
    PlugTestDevice();
    Advance(60000);
    EXPECT_EQ(Order(), "PE");
}

TEST_F(IdleTest, WithoutSelectiveSuspendTheDeviceGoesToD3Itself) {
    g_fxTestOptions.Idle = TRUE;
    g_fxTestOptions.IdleCaps = IdleCannotWakeFromS0;
    PlugTestDevice();
    Advance(1001);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D3) -> 0x00000000"));
}

TEST_F(IdleTest, RemovalOfAnIdleDeviceLeavesD0NoSecondTime) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    Advance(1001);
    ASSERT_EQ(Order(), "PEX");
    ASSERT_EQ(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Order(), "PEXRcdu"); // and the idle notification was taken back (no IRP leaks)
}

TEST_F(IdleTest, UnpluggingAnIdleDeviceReleasesItsHardware) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    Advance(1001);
    Unplug();
    EXPECT_EQ(Order(), "PEXSRcdu");
}

// The device unplugged just as a request takes it out of the idle Dx: the bus completes the
// notification while the framework is about to cancel it, which must not free it first.
TEST_F(IdleTest, TheBusCompletingTheNotificationBeingCancelledLeavesItToTheCanceller) {
    g_fxTestOptions.Idle = TRUE;
    PlugTestDevice();
    std::mutex mu;
    PIRP notification = nullptr;
    std::atomic<bool> unplugged{false};
    kernel().TraceIrps([&](const ntsim::IrpStep& s) {
        bool unplug;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (s.kind == ntsim::IrpStep::Kind::Call && s.major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
                s.controlCode == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION)
                notification = s.irp;
            unplug = s.kind == ntsim::IrpStep::Kind::Cancel && s.irp == notification;
        }
        // The unplug's own steps come back through here.
        if (unplug && !unplugged.exchange(true)) {
            EXPECT_EQ(UsbBusUnplug(busPdo_->AttachedDevice, port_), STATUS_SUCCESS);
        }
    });
    Advance(1001);
    ASSERT_EQ(Order(), "PEX");
    FxDevicePowerReference(Device()); // the work item cancels the notification
    kernel().WaitIdle();
    kernel().TraceIrps(nullptr);
    EXPECT_TRUE(unplugged.load());
    EXPECT_EQ(Order(), "PEXEXSRcdu"); // back in D0, then out of it for the removal
}

} // namespace
