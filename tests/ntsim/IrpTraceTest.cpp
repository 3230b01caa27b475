// The IRP trace: every call, cancel and completion of an IRP as a test sees it, the completion to
// the top only when the owner gets the IRP back, nothing once the trace is off.
#include "FunctionDriver.h"
#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <usbioctl.h>
#include <usburb.h>

#include <mutex>
#include <vector>

using ntsim::IrpStep;

namespace {

class IrpTraceTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        busPdo_ = AddBusWithTestFunctionDriver();
        ASSERT_NE(busPdo_, nullptr);
    }
    void TearDown() override {
        kernel().TraceIrps(nullptr);
        if (handle_ != 0)
            kernel().User().CloseHandle(handle_);
        EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo_), STATUS_SUCCESS);
        KernelFixture::TearDown();
    }
    void Trace() {
        kernel().TraceIrps([this](const IrpStep& step) {
            std::lock_guard<std::mutex> lock(mu_);
            steps_.push_back(step);
        });
    }
    std::vector<IrpStep> Steps() {
        std::lock_guard<std::mutex> lock(mu_);
        return steps_;
    }
    void PlugAndOpen() {
        ULONG port = 0;
        ASSERT_EQ(UsbBusPlugIn(busPdo_->AttachedDevice, &device_, &port), STATUS_SUCCESS);
        kernel().WaitIdle();
        auto paths = kernel().User().FindInterfaces(FnInterfaceGuid);
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_EQ(kernel().User().CreateFile(paths[0], ntsim::UserIo::kGenericRead, &handle_),
                  STATUS_SUCCESS);
    }

    PDEVICE_OBJECT busPdo_ = nullptr;
    TestUsbDevice device_;
    ntsim::UserIo::Handle handle_ = 0;
    std::mutex mu_;
    std::vector<IrpStep> steps_;
};

TEST_F(IrpTraceTest, PnpIrpsOfAnArrivalAreTracedWithTheirMinorFunctions) {
    Trace();
    PlugAndOpen();
    bool start = false, relations = false, urb = false, create = false;
    for (const IrpStep& s : Steps()) {
        start = start || (s.kind == IrpStep::Kind::Call && s.major == IRP_MJ_PNP &&
                          s.minor == IRP_MN_START_DEVICE && s.driver == "FnTest");
        relations = relations || (s.major == IRP_MJ_PNP && s.driver == "VirtualUsb" &&
                                  s.minor == IRP_MN_QUERY_DEVICE_RELATIONS);
        urb = urb || (s.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION &&
                      s.controlCode == IOCTL_INTERNAL_USB_SUBMIT_URB);
        create = create || (s.kind == IrpStep::Kind::CompletedToTop && s.major == IRP_MJ_CREATE &&
                            s.status == STATUS_SUCCESS);
    }
    EXPECT_TRUE(start);
    EXPECT_TRUE(relations);
    EXPECT_TRUE(urb);
    EXPECT_TRUE(create);
}

TEST_F(IrpTraceTest, AnIrpTheDriverTakesBackNeverReachesTheTopAndTheCallersDoes) {
    device_.SetControlHandler(
        [](const USB_SETUP_PACKET&, UCHAR*) { return UsbReplyOf(UsbReplyNoAnswer); });
    PlugAndOpen();
    Trace();
    FN_VENDOR_REQUEST in{3, 0, 0};
    UCHAR out[4];
    ntsim::Overlapped op;
    ASSERT_EQ(kernel().User().DeviceIoControl(handle_, IOCTL_FN_VENDOR_IN_TIMED, &in, sizeof in,
                                              out, sizeof out, &op),
              STATUS_PENDING);
    kernel().AdvanceMs(FN_TIMEOUT_MS);
    ASSERT_TRUE(op.Done());
    kernel().TraceIrps(nullptr);
    std::vector<IrpStep> steps = Steps();
    ASSERT_EQ(steps.size(), 6u);
    PIRP user = steps[0].irp, lower = steps[1].irp;
    EXPECT_NE(user, lower);
    EXPECT_EQ(steps[0].driver, "FnTest");
    EXPECT_EQ(steps[1].driver, "VirtualUsb");
    EXPECT_EQ(steps[1].urbFunction, URB_FUNCTION_VENDOR_DEVICE);
    // The timer cancels the driver's IRP; its completion routine takes it back, then completes
    // the caller's.
    EXPECT_EQ(steps[2].kind, IrpStep::Kind::Cancel);
    EXPECT_EQ(steps[2].irp, lower);
    EXPECT_EQ(ntsim::IrpStepText(steps[2]).rfind("cancel IRP ", 0), 0u);
    EXPECT_EQ(steps[3].kind, IrpStep::Kind::Complete);
    EXPECT_EQ(steps[3].irp, lower);
    EXPECT_EQ(steps[3].status, STATUS_CANCELLED);
    EXPECT_EQ(steps[4].kind, IrpStep::Kind::Complete);
    EXPECT_EQ(steps[4].irp, user);
    EXPECT_EQ(steps[4].driver, "FnTest");
    EXPECT_EQ(steps[5].kind, IrpStep::Kind::CompletedToTop);
    EXPECT_EQ(steps[5].irp, user);
    EXPECT_EQ(steps[5].status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(ntsim::IrpStepText(steps[5]).rfind("top FnTest DEVICE_CONTROL", 0), 0u);

    // Off: nothing more.
    ULONG_PTR bytes;
    kernel().User().DeviceIoControl(handle_, 0x12345678, nullptr, 0, nullptr, 0, &bytes);
    EXPECT_EQ(Steps().size(), 6u);
}

} // namespace
