// Power-managed queues with S0 idle: a request that arrives while the device is idle is held
// until the device is back in D0, and a request the driver owns keeps the device in D0.
#include "IoFixture.h"

using ntsim::Overlapped;
using ntsim::UserIo;

namespace {

class PowerQueueTest : public IoFixture {
protected:
    void SetUp() override {
        IoTestConfig.IdleTimeoutMs = 1000;
        IoFixture::SetUp();
    }

    void Idle(std::int64_t ms) {
        kernel().AdvanceMs(ms);
        kernel().WaitIdle();
    }
};

TEST_F(PowerQueueTest, RequestOnAnIdleDeviceWaitsForD0) {
    UserIo::Handle h = PlugAndOpen();
    EXPECT_EQ(IoTestObserved.D0Entries, 1);
    Idle(1100);
    ASSERT_EQ(IoTestObserved.D0Exits, 1);
    const char in[] = "wake";
    char out[8] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_ECHO, in, sizeof in, out, sizeof out,
                                              &bytes),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "wake");
    EXPECT_EQ(IoTestObserved.D0Entries, 2);
}

TEST_F(PowerQueueTest, OwnedRequestKeepsTheDeviceInD0) {
    UserIo::Handle h = PlugAndOpen();
    UCHAR out[8];
    Overlapped read;
    EXPECT_EQ(
        kernel().User().DeviceIoControl(h, IOCTL_IOTEST_READ, nullptr, 0, out, sizeof out, &read),
        STATUS_PENDING);
    Idle(5000);
    EXPECT_EQ(IoTestObserved.D0Exits, 0);
    EXPECT_EQ(kernel().User().CancelIoEx(h, &read), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    Idle(1100);
    EXPECT_EQ(IoTestObserved.D0Exits, 1);
}

// The caller sees the completion only after the request's power reference is gone, so the idle
// timeout runs from the completion; each round would otherwise race the advance of the clock.
TEST_F(PowerQueueTest, TheIdleTimeoutRunsFromTheCompletionTheCallerSees) {
    UserIo::Handle h = PlugAndOpen();
    for (int round = 1; round <= 20; ++round) {
        const char in[] = "idle";
        char out[8] = {};
        ULONG_PTR bytes = 0;
        ASSERT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_ECHO, in, sizeof in, out,
                                                  sizeof out, &bytes),
                  STATUS_SUCCESS);
        kernel().AdvanceMs(1000);
        kernel().WaitIdle();
        ASSERT_EQ(IoTestObserved.D0Exits, round);
    }
}

} // namespace
