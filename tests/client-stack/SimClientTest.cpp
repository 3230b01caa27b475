// The client library over the simulated system with the real driver (Talvik2 on the kernel
// stack), in what only a simulated machine shows: the exact times its virtual clock gives, the
// driver's 5 s timeout without waiting 5 s, and the system refusing a request for want of pool.
// The cases every stack shares are in ClientOnStackTest.cpp.
#include "SimRig.h"

#include "talvik/Client.h"
#include "talvik/SystemErrors.h"

#include <gtest/gtest.h>

namespace clientstack {
namespace {

using talvik::Client;
using talvik::Device;
using talvik::Direction;
using talvik::Operation;
using talvik::Result;
using talvik::Status;

class SimClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(rig.Plug(why)) << why;
        std::vector<std::string> paths;
        ASSERT_TRUE(client.ListDevices(paths).Ok());
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_TRUE(client.Open(paths[0], device).Ok());
    }

    SimRig rig;
    ::sim::Talvik2Machine& machine = rig.Machine();
    Client client{rig.Transport()};
    std::unique_ptr<Device> device;
};

// Nothing arrives: the driver's 5 s timeout ends a vendor request and a read alike.
TEST_F(SimClientTest, WhatTheDeviceNeverAnswersTimesOutAfterFiveSeconds) {
    rig.Script({Answer::Nothing()});
    Bytes data(8, 0x11);
    std::int64_t start = machine.NowMs();
    const Result vendor = device->VendorRequest(Direction::DeviceToHost, 0x42, 0, 0, data);
    EXPECT_EQ(vendor.status, Status::Timeout) << "error " << vendor.error;
    EXPECT_EQ(vendor.bytes, 0u);
    EXPECT_EQ(machine.NowMs() - start, 5000);
    EXPECT_EQ(rig.Seen().size(), 1u);

    start = machine.NowMs();
    Bytes buffer(8);
    EXPECT_EQ(device->ReadInterrupt(buffer).status, Status::Timeout);
    EXPECT_EQ(machine.NowMs() - start, 5000);
}

// Nothing but a wait moves the machine's time: a device that takes 250 ms answers 250 ms later,
// not earlier, requests served in turn take their delays' sum exactly, and a request left behind
// is cancelled at once, without waiting for its timeout.
TEST_F(SimClientTest, WaitingMovesVirtualTimeToTheAnswerAndNoFurther) {
    rig.Script({Answer::Data({1, 2}).After(250)});
    std::int64_t start = machine.NowMs();
    std::uint8_t out[2];
    Operation op = device->StartVendorRequest(Direction::DeviceToHost, 5, 0, 0, out, sizeof out);
    EXPECT_EQ(machine.NowMs(), start); // started, not waited for
    const Result r = op.Wait();
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(machine.NowMs() - start, 250);

    rig.Script(
        {Answer::Data({7}).After(100), Answer::Data({7}).After(100), Answer::Data({7}).After(100)});
    start = machine.NowMs();
    std::uint8_t each[3][4];
    Operation ops[3];
    for (int i = 0; i < 3; ++i)
        ops[i] = device->StartVendorRequest(Direction::DeviceToHost, static_cast<std::uint8_t>(i),
                                            0, 0, each[i], sizeof each[i]);
    for (auto& o : ops)
        EXPECT_TRUE(o.Wait().Ok());
    EXPECT_EQ(machine.NowMs() - start, 300); // one after the other

    start = machine.NowMs();
    std::uint8_t buffer[8];
    { Operation abandoned = device->StartReadInterrupt(buffer, sizeof buffer); }
    EXPECT_EQ(machine.NowMs(), start);
    rig.Script({Answer::Data({3})});
    Bytes data(1);
    EXPECT_TRUE(device->VendorRequest(Direction::DeviceToHost, 6, 0, 0, data).Ok());
    EXPECT_EQ(data, Bytes{3});
}

// A request the I/O manager refuses before any IRP exists (no pool for it) reports that error
// rather than waiting for a completion that never comes; the next one works.
TEST_F(SimClientTest, ARequestRefusedBeforeItIsSentReportsItsError) {
    Bytes data(4);
    machine.Kernel().FailPoolAfter(0);
    const Result refused = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data);
    machine.Kernel().FailPoolAfter(-1);
    EXPECT_EQ(refused.error, talvik::syserr::kNoSystemResources);
    EXPECT_FALSE(refused.Ok());
    EXPECT_TRUE(rig.Seen().empty());
    rig.Script({Answer::Data({9})});
    EXPECT_TRUE(device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data).Ok());
}

// The stack goes as the device does (as Wine removes it); the open handle outlives it, and the
// I/O manager refuses what is sent on it. Not shared: on Wine's host such a request ends as the
// removal finds it: refused by the I/O manager (ERROR_ACCESS_DENIED), failed as the device is
// gone (ERROR_NO_SUCH_DEVICE), or refused by the framework while it is busy with the removal
// (STATUS_WDF_BUSY, which has no Win32 code: the client reports Failed).
TEST_F(SimClientTest, ARequestOnTheHandleLeftAfterAnUnplugReachesNothing) {
    std::string why;
    ASSERT_TRUE(rig.Unplug(why)) << why;
    Bytes data(4);
    const Result r = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data);
    EXPECT_EQ(r.error, talvik::syserr::kAccessDenied); // STATUS_DELETE_PENDING
    EXPECT_TRUE(rig.Seen().empty());
}

} // namespace
} // namespace clientstack
