// The USB target over the virtual bus: configuration through URBs, vendor requests sent from a
// sequential queue with timeouts on virtual time, synchronous sends, interrupt reads, CancelIoEx,
// a stopped pipe target, and a send the driver forgot to format.
#include "IoFixture.h"

#include <cstring>

using ntsim::Overlapped;
using ntsim::UserIo;

namespace {

class UsbTargetTest : public IoFixture {
protected:
    // The device answers vendor request 0x42 with four bytes; 0x43 never.
    void SetUp() override {
        IoFixture::SetUp();
        device_.SetControlHandler([](const USB_SETUP_PACKET& setup, UCHAR* data) {
            if (setup.bRequest == 0x42) {
                std::memcpy(data, "\x01\x02\x03\x04", 4);
                return UsbReplyOf(UsbReplyData, 4);
            }
            if (setup.bRequest == 0x43)
                return UsbReplyOf(UsbReplyNoAnswer);
            return UsbReplyOf(UsbReplyStall);
        });
    }

    NTSTATUS Vendor(UserIo::Handle h, UCHAR request, LONGLONG timeout, Overlapped* ov,
                    ULONG code = IOCTL_IOTEST_VENDOR) {
        IOTEST_VENDOR in = {request, 0x10, timeout};
        return kernel().User().DeviceIoControl(h, code, &in, sizeof in, out_, sizeof out_, ov);
    }

    NTSTATUS Read(UserIo::Handle h, ULONG length, Overlapped* ov) {
        return kernel().User().DeviceIoControl(h, IOCTL_IOTEST_READ, nullptr, 0, out_, length, ov);
    }

    UCHAR out_[16] = {};
};

TEST_F(UsbTargetTest, ConfiguresTheDeviceFromItsDescriptors) {
    PlugAndOpen();
    EXPECT_TRUE(IoTestObserved.RemoteWake);
    EXPECT_FALSE(IoTestObserved.SelfPowered);
    EXPECT_EQ(IoTestObserved.InterfaceSettingPipes, 2);
    EXPECT_EQ(IoTestObserved.InterruptPipeType, WdfUsbPipeTypeInterrupt);
    // GET_DESCRIPTOR (device, configuration header, whole configuration), SET_CONFIGURATION,
    // SET_INTERFACE, all on the default pipe.
    std::vector<USBBUS_LOG_ENTRY> setups = BusLog(UsbBusLogSetup);
    ASSERT_GE(setups.size(), 5u);
    EXPECT_EQ(setups[0].Setup.bRequest, 0x06);
    EXPECT_EQ(setups[0].Setup.wValue, 0x0100);
    EXPECT_EQ(setups[1].Setup.wValue, 0x0200);
    EXPECT_EQ(setups[1].Setup.wLength, 9);
    EXPECT_EQ(setups[2].Setup.wLength, 32);
    EXPECT_EQ(setups[3].Setup.bRequest, 0x09);
    EXPECT_EQ(setups[4].Setup.bRequest, 0x0B);
}

TEST_F(UsbTargetTest, VendorRequestCompletesThroughTheDriversRoutineAtDispatchLevel) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped ov;
    Vendor(h, 0x42, WDF_REL_TIMEOUT_IN_SEC(5), &ov);
    ASSERT_EQ(ov.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(ov.Information(), 4u);
    EXPECT_EQ(std::memcmp(out_, "\x01\x02\x03\x04", 4), 0);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 1);
    EXPECT_EQ(IoTestObserved.CompletionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(IoTestObserved.UsbdStatus, USBD_STATUS_SUCCESS);

    // A stall comes back as a failure with the bus's USB status.
    Overlapped stalled;
    Vendor(h, 0x50, 0, &stalled);
    EXPECT_FALSE(NT_SUCCESS(stalled.Wait()));
    EXPECT_EQ(IoTestObserved.UsbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 2);
}

TEST_F(UsbTargetTest, RelativeTimeoutCancelsOnVirtualTime) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped ov;
    EXPECT_EQ(Vendor(h, 0x43, WDF_REL_TIMEOUT_IN_MS(1000), &ov), STATUS_PENDING);
    kernel().AdvanceMs(999);
    EXPECT_FALSE(ov.Done());
    kernel().AdvanceMs(2);
    ASSERT_TRUE(ov.Done());
    EXPECT_EQ(ov.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(BusLog(UsbBusLogCancel).size(), 1u);
}

TEST_F(UsbTargetTest, AbsoluteTimeoutAndNoTimeout) {
    UserIo::Handle h = PlugAndOpen();
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    Overlapped absolute;
    EXPECT_EQ(Vendor(h, 0x43, now.QuadPart + 300 * WDF_TIMEOUT_TO_MS, &absolute), STATUS_PENDING);
    kernel().AdvanceMs(299);
    EXPECT_FALSE(absolute.Done());
    kernel().AdvanceMs(2);
    EXPECT_EQ(absolute.Status(), STATUS_IO_TIMEOUT);

    // Without a timeout the request waits as long as the device does.
    Overlapped forever;
    EXPECT_EQ(Vendor(h, 0x43, 0, &forever), STATUS_PENDING);
    kernel().AdvanceMs(60000);
    EXPECT_FALSE(forever.Done());
    EXPECT_EQ(kernel().User().CancelIoEx(h, &forever), STATUS_SUCCESS);
    EXPECT_EQ(forever.Wait(), STATUS_CANCELLED);
}

TEST_F(UsbTargetTest, SequentialQueueHandsOutOneAtATimeAndCancelsWaiters) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped first, second, third;
    EXPECT_EQ(Vendor(h, 0x43, 0, &first), STATUS_PENDING);
    EXPECT_EQ(Vendor(h, 0x43, 0, &second), STATUS_PENDING);
    EXPECT_EQ(Vendor(h, 0x42, 0, &third), STATUS_PENDING);
    EXPECT_EQ(IoTestObserved.SequentialMostActive, 1);
    // A request still on the queue is cancelled there: the queue's EvtIoCanceledOnQueue gets
    // it, not its dispatch routine.
    EXPECT_EQ(kernel().User().CancelIoEx(h, &second), STATUS_SUCCESS);
    EXPECT_EQ(second.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(IoTestObserved.CanceledOnQueue, 1);
    EXPECT_FALSE(third.Done());
    // The one at the bus is cancelled there; the next one follows it.
    EXPECT_EQ(kernel().User().CancelIoEx(h, &first), STATUS_SUCCESS);
    EXPECT_EQ(first.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(third.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(IoTestObserved.SequentialMostActive, 1);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 2);
}

TEST_F(UsbTargetTest, QueuedRequestsFollowEachOtherInTheCompletingThread) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped first;
    EXPECT_EQ(Vendor(h, 0x43, 0, &first), STATUS_PENDING);
    // Stalled at once by the device: each completes inside the completion of the one before.
    constexpr int kQueued = 20;
    Overlapped queued[kQueued];
    for (Overlapped& ov : queued)
        EXPECT_EQ(Vendor(h, 0x50, 0, &ov), STATUS_PENDING);
    EXPECT_EQ(kernel().User().CancelIoEx(h, &first), STATUS_SUCCESS);
    EXPECT_EQ(first.Wait(), STATUS_CANCELLED);
    // All of them done before CancelIoEx returned, in this thread, one at a time.
    for (Overlapped& ov : queued) {
        ASSERT_TRUE(ov.Done());
        EXPECT_FALSE(NT_SUCCESS(ov.Status()));
    }
    EXPECT_EQ(IoTestObserved.CompletionRoutines, kQueued + 1);
    EXPECT_EQ(IoTestObserved.SequentialMostActive, 1);
}

TEST_F(UsbTargetTest, ClosingTheHandleCancelsItsQueuedRequestsOnly) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped sent, queued;
    EXPECT_EQ(Vendor(h, 0x43, WDF_REL_TIMEOUT_IN_MS(1000), &sent), STATUS_PENDING);
    EXPECT_EQ(Vendor(h, 0x42, 0, &queued), STATUS_PENDING);
    EXPECT_EQ(Close(h), STATUS_SUCCESS);
    kernel().WaitIdle();
    ASSERT_TRUE(queued.Done());
    EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
    EXPECT_EQ(IoTestObserved.CanceledOnQueue, 1);
    // The driver's own request stays the driver's until it ends.
    EXPECT_FALSE(sent.Done());
    kernel().AdvanceMs(1001);
    EXPECT_EQ(sent.Wait(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 1);
}

// Wine sends no IRP_MJ_CLEANUP, and the close only once the handle's requests are done: they
// run to their end.
class UsbTargetWineCloseTest : public UsbTargetTest {
protected:
    void SetUp() override {
        options_.sendCleanup = false;
        UsbTargetTest::SetUp();
    }
};

TEST_F(UsbTargetWineCloseTest, WithoutCleanupTheHandlesRequestsRunToTheirEnd) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped sent, queued;
    EXPECT_EQ(Vendor(h, 0x43, WDF_REL_TIMEOUT_IN_MS(1000), &sent), STATUS_PENDING);
    EXPECT_EQ(Vendor(h, 0x42, 0, &queued), STATUS_PENDING);
    EXPECT_EQ(Close(h), STATUS_SUCCESS);
    EXPECT_FALSE(queued.Done());
    kernel().AdvanceMs(1001);
    kernel().WaitIdle();
    EXPECT_EQ(sent.Wait(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(queued.Wait(), STATUS_SUCCESS);
}

TEST_F(UsbTargetTest, SynchronousSendWaitsForTheDevice) {
    UserIo::Handle h = PlugAndOpen();
    IOTEST_VENDOR in = {0x42, 0, 0};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_VENDOR_SYNC, &in, sizeof in, out_,
                                              sizeof out_, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 0);
}

TEST_F(UsbTargetTest, InterruptReadGetsTheTransferOrIsCancelled) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped ov;
    EXPECT_EQ(Read(h, 8, &ov), STATUS_PENDING);
    const UCHAR data[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    EXPECT_EQ(UsbBusFeedIn(bus_, port_, 0x81, data, sizeof data), STATUS_SUCCESS);
    ASSERT_EQ(ov.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(ov.Information(), 8u);
    EXPECT_EQ(std::memcmp(out_, data, 8), 0);

    Overlapped cancelled;
    EXPECT_EQ(Read(h, 8, &cancelled), STATUS_PENDING);
    EXPECT_EQ(kernel().User().CancelIoEx(h, &cancelled), STATUS_SUCCESS);
    EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);
}

TEST_F(UsbTargetTest, ReadLengthMustFitThePacketSize) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped ov;
    Read(h, 5, &ov);
    EXPECT_EQ(ov.Wait(), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 0);
}

class UsbNoPacketCheckTest : public UsbTargetTest {
protected:
    void SetUp() override {
        IoTestConfig.NoMaximumPacketSizeCheck = TRUE;
        UsbTargetTest::SetUp();
    }
};

TEST_F(UsbNoPacketCheckTest, ShortReadGoesToTheBus) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped ov;
    EXPECT_EQ(Read(h, 5, &ov), STATUS_PENDING);
    EXPECT_EQ(kernel().User().CancelIoEx(h, &ov), STATUS_SUCCESS);
    EXPECT_EQ(ov.Wait(), STATUS_CANCELLED);
}

TEST_F(UsbTargetTest, StoppedPipeCancelsSentReadsAndHoldsNewOnes) {
    UserIo::Handle h = PlugAndOpen();
    ULONG_PTR bytes;
    Overlapped pending;
    EXPECT_EQ(Read(h, 8, &pending), STATUS_PENDING);
    EXPECT_EQ(
        kernel().User().DeviceIoControl(h, IOCTL_IOTEST_STOP_PIPE, nullptr, 0, nullptr, 0, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(pending.Wait(), STATUS_CANCELLED);

    // Held by the stopped target: data fed now finds no transfer at the bus.
    Overlapped held;
    EXPECT_EQ(Read(h, 8, &held), STATUS_PENDING);
    const UCHAR first[8] = {1};
    UsbBusFeedIn(bus_, port_, 0x81, first, sizeof first);
    EXPECT_FALSE(held.Done());
    EXPECT_EQ(
        kernel().User().DeviceIoControl(h, IOCTL_IOTEST_START_PIPE, nullptr, 0, nullptr, 0, &bytes),
        STATUS_SUCCESS);
    const UCHAR second[8] = {2, 2};
    UsbBusFeedIn(bus_, port_, 0x81, second, sizeof second);
    ASSERT_EQ(held.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(out_[0] == 1 || out_[0] == 2);
}

TEST_F(UsbTargetTest, HeldReadWaitsWithoutTimeoutAndCanBeCancelled) {
    UserIo::Handle h = PlugAndOpen();
    ULONG_PTR bytes;
    kernel().User().DeviceIoControl(h, IOCTL_IOTEST_STOP_PIPE, nullptr, 0, nullptr, 0, &bytes);
    Overlapped held;
    EXPECT_EQ(Read(h, 8, &held), STATUS_PENDING);
    kernel().AdvanceMs(10000);
    EXPECT_FALSE(held.Done());
    EXPECT_EQ(kernel().User().CancelIoEx(h, &held), STATUS_SUCCESS);
    EXPECT_EQ(held.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 1);
    // Never sent, it read nothing: the driver's routine, passing the read's length on, says so
    // (the kernel hides the count of a failed request from user mode; Wine's does not).
    EXPECT_EQ(IoTestObserved.CompletionBytes, 0);
    // Nothing of it is left on the target: starting sends nothing.
    kernel().User().DeviceIoControl(h, IOCTL_IOTEST_START_PIPE, nullptr, 0, nullptr, 0, &bytes);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 1);
}

TEST_F(UsbTargetTest, HeldReadEndedByTheUnplugReadNothing) {
    UserIo::Handle h = PlugAndOpen();
    ULONG_PTR bytes;
    kernel().User().DeviceIoControl(h, IOCTL_IOTEST_STOP_PIPE, nullptr, 0, nullptr, 0, &bytes);
    Overlapped held;
    EXPECT_EQ(Read(h, 8, &held), STATUS_PENDING);
    EXPECT_EQ(UsbBusUnplug(bus_, port_), STATUS_SUCCESS);
    kernel().WaitIdle();
    ASSERT_TRUE(held.Done());
    EXPECT_NE(held.Status(), STATUS_SUCCESS);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 1);
    EXPECT_EQ(IoTestObserved.CompletionBytes, 0);
}

TEST_F(UsbTargetTest, UnformattedSendIsAFindingAndFails) {
    UserIo::Handle h = PlugAndOpen();
    ULONG_PTR bytes;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_SEND_UNFORMATTED, nullptr, 0, nullptr,
                                              0, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(TakeFindings("not formatted"), 1u);
}

TEST_F(UsbTargetTest, FailedSendLeavesTheRequestWithTheDriver) {
    UserIo::Handle h = PlugAndOpen();
    size_t setups = BusLog(UsbBusLogSetup).size();
    FailCall("WdfRequestSend", STATUS_INSUFFICIENT_RESOURCES);
    Overlapped ov;
    Vendor(h, 0x42, 0, &ov);
    EXPECT_EQ(ov.Wait(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoTestObserved.CompletionRoutines, 0);
    EXPECT_EQ(BusLog(UsbBusLogSetup).size(), setups);
    FailCall("", STATUS_SUCCESS);
    Overlapped again;
    Vendor(h, 0x42, 0, &again);
    EXPECT_EQ(again.Wait(), STATUS_SUCCESS);
}

TEST_F(UsbTargetTest, UnplugEndsEveryRequestAndLeavesNoneBehind) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped sent, queued, read;
    EXPECT_EQ(Vendor(h, 0x43, 0, &sent), STATUS_PENDING);
    EXPECT_EQ(Vendor(h, 0x42, 0, &queued), STATUS_PENDING);
    UCHAR readBuffer[8];
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_READ, nullptr, 0, readBuffer,
                                              sizeof readBuffer, &read),
              STATUS_PENDING);
    EXPECT_EQ(UsbBusUnplug(bus_, port_), STATUS_SUCCESS);
    kernel().WaitIdle();
    // The bus fails what it holds as the device goes; the waiting request then reaches the
    // driver and fails at the bus, or is purged by the removal. None is left behind.
    ASSERT_TRUE(sent.Done());
    EXPECT_EQ(sent.Status(), STATUS_NO_SUCH_DEVICE);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_NO_SUCH_DEVICE);
    ASSERT_TRUE(queued.Done());
    EXPECT_TRUE(queued.Status() == STATUS_NO_SUCH_DEVICE || queued.Status() == STATUS_CANCELLED);
    EXPECT_GE(IoTestObserved.CompletionRoutines, 2);
    EXPECT_EQ(IoTestObserved.SequentialMostActive, 1);
}

} // namespace
