// Requests from a user's DeviceIoControl through the framework's queues to the test driver:
// buffers by transfer method, completion, request contexts, the in-caller-context callback with
// its probe, and the verifier's request rules.
#include "IoFixture.h"

#include <cstring>

using ntsim::Overlapped;
using ntsim::UserIo;

namespace {

class RequestTest : public IoFixture {};

TEST_F(RequestTest, EchoThroughBothTransferMethods) {
    UserIo::Handle h = PlugAndOpen();
    for (ULONG code : {IOCTL_IOTEST_ECHO, IOCTL_IOTEST_ECHO_DIRECT}) {
        const char in[] = "framework";
        char out[32] = {};
        ULONG_PTR bytes = 0;
        EXPECT_EQ(kernel().User().DeviceIoControl(h, code, in, sizeof in, out, sizeof out, &bytes),
                  STATUS_SUCCESS);
        EXPECT_EQ(bytes, sizeof in);
        EXPECT_STREQ(out, in);
        // A shorter output buffer takes what fits and reports no more.
        EXPECT_EQ(kernel().User().DeviceIoControl(h, code, in, sizeof in, out, 4, &bytes),
                  STATUS_SUCCESS);
        EXPECT_EQ(bytes, 4u);
    }
    // Every request's context was cleaned up with it.
    EXPECT_EQ(IoTestObserved.RequestCleanups, 4);
}

TEST_F(RequestTest, ZeroLengthBuffersAreTooSmall) {
    UserIo::Handle h = PlugAndOpen();
    char buffer[8] = {};
    ULONG_PTR bytes = 1;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_ECHO, buffer, sizeof buffer, nullptr,
                                              0, &bytes),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bytes, 0u);
    // No MDL for a zero-length direct output buffer: too small as well, not a crash.
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_ECHO_DIRECT, buffer, sizeof buffer,
                                              nullptr, 0, &bytes),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_ECHO, nullptr, 0, buffer,
                                              sizeof buffer, &bytes),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RequestTest, UnknownCodeFailsAndLeavesNothingBehind) {
    UserIo::Handle h = PlugAndOpen();
    ULONG_PTR bytes;
    EXPECT_EQ(kernel().User().DeviceIoControl(
                  h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS),
                  nullptr, 0, nullptr, 0, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoTestObserved.RequestCleanups, 1);
}

TEST_F(RequestTest, MoreBytesThanTheBufferIsAFindingAndClamped) {
    UserIo::Handle h = PlugAndOpen();
    char out[16];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_OVERREPORT, nullptr, 0, out,
                                              sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, sizeof out);
    EXPECT_EQ(TakeFindings("116 bytes reported, the buffer holds 16"), 1u);
}

TEST_F(RequestTest, SecondCompletionIsAFindingAndTheIrpCompletesOnce) {
    UserIo::Handle h = PlugAndOpen();
    ULONG_PTR bytes;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_COMPLETE_TWICE, nullptr, 0, nullptr,
                                              0, &bytes),
              STATUS_SUCCESS);
    // The second call names a dead handle; the kernel saw no second IoCompleteRequest.
    EXPECT_EQ(TakeFindings("WdfRequestCompleteWithInformation"), 1u);
    EXPECT_EQ(Take(ntsim::ViolationKind::Irp), 0u);
}

TEST_F(RequestTest, RequestKeptByTheCallbackIsAFindingButStaysUsable) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped kept;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_KEEP, nullptr, 0, nullptr, 0, &kept),
              STATUS_PENDING);
    EXPECT_EQ(TakeFindings("neither completed, forwarded nor sent"), 1u);
    EXPECT_FALSE(kept.Done());
    ULONG_PTR bytes;
    EXPECT_EQ(
        kernel().User().DeviceIoControl(h, IOCTL_IOTEST_RELEASE, nullptr, 0, nullptr, 0, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(kept.Wait(), STATUS_SUCCESS);
}

TEST_F(RequestTest, ProbeOutsideTheCallersContextIsAFindingAndRefused) {
    UserIo::Handle h = PlugAndOpen();
    char out[16];
    ULONG_PTR bytes;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_PROBE_LATE, nullptr, 0, out,
                                              sizeof out, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(TakeFindings("is not in EvtIoInCallerContext"), 1u);
}

class InCallerContextTest : public IoFixture {
protected:
    void SetUp() override {
        IoTestConfig.InCallerContext = TRUE;
        IoFixture::SetUp();
    }
};

TEST_F(InCallerContextTest, ProbeForWriteRefusesAReadOnlyBuffer) {
    UserIo::Handle h = PlugAndOpen();
    alignas(4096) static char pages[2 * 4096];
    char* out = pages + 4096;
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_PROBE, nullptr, 0, out, 64, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 64u);
    EXPECT_EQ(static_cast<unsigned char>(out[63]), 0xA5);

    // METHOD_IN_DIRECT lets the I/O manager take a read-only buffer; the probe does not.
    std::memset(out, 0, 64);
    kernel().User().Protect(out, 4096, ntsim::Protection::ReadOnly);
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_PROBE, nullptr, 0, out, 64, &bytes),
              STATUS_ACCESS_VIOLATION);
    kernel().User().Protect(out, 4096, ntsim::Protection::ReadWrite);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(IoTestObserved.InCallerCalls, 2);
}

TEST_F(InCallerContextTest, EnqueuedRequestsReachTheDefaultQueue) {
    UserIo::Handle h = PlugAndOpen();
    const char in[] = "abc";
    char out[4] = {};
    ULONG_PTR bytes;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_IOTEST_ECHO, in, sizeof in, out, sizeof out,
                                              &bytes),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(IoTestObserved.InCallerCalls, 1);
}

} // namespace
