// The client library over the simulated system with the real driver (Talvik2 on the kernel
// stack): the same calls as on Windows, checked for what a measuring application sees - statuses,
// counts, data, cancellation, unplugging.
#include "talvik/Client.h"
#include "talvik/SystemErrors.h"
#include "transport/sim/SimTransport.h"

#include "sim/Talvik2Machine.h"

#include <gtest/gtest.h>

namespace talvik {
namespace {

using ::sim::ControlReply;
using SetupPacket = USB_SETUP_PACKET;
using Bytes = std::vector<uint8_t>;

class SimClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine.SetFindingHandler([](const ::sim::Finding& f) { ADD_FAILURE() << f.text; });
        colorimeter = machine.PlugIn();
        ASSERT_NE(colorimeter, nullptr);
        colorimeter->SetVendorHandler([this](const SetupPacket& setup, const Bytes& hostData) {
            setups.push_back(setup);
            received = hostData;
            return reply;
        });
        std::vector<std::string> paths;
        ASSERT_TRUE(client.ListDevices(paths).Ok());
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_TRUE(client.Open(paths[0], device).Ok());
    }

    // What the device's handler sees outlives the machine that calls it.
    ControlReply reply = ControlReply::Ack();
    std::vector<SetupPacket> setups;
    Bytes received;
    ::sim::Talvik2Machine machine;
    ::sim::Colorimeter* colorimeter = nullptr;
    SimTransport transport{machine};
    Client client{transport};
    std::unique_ptr<Device> device;
};

TEST_F(SimClientTest, VendorRequestsReachTheBusAsTheirSetupPackets) {
    struct Row {
        Direction direction;
        uint32_t length;
        ControlReply reply;
        uint8_t bmRequestType;
        Status status;
        uint32_t bytes;
    };
    const Row rows[] = {
        {Direction::DeviceToHost, 64, ControlReply::Data(Bytes(12, 0x5A)), 0xC0, Status::Success,
         12},
        {Direction::HostToDevice, 64, ControlReply::Ack(), 0x40, Status::Success, 64},
        {Direction::DeviceToHost, 0, ControlReply::Ack(), 0xC0, Status::Success, 0},
        {Direction::DeviceToHost, 8, ControlReply::Stall(), 0xC0, Status::DeviceError, 0},
        // A transfer error (a USBD status with its top bit set).
        {Direction::DeviceToHost, 8, ControlReply::UsbError(static_cast<USBD_STATUS>(0xC0000011)),
         0xC0, Status::DeviceError, 0},
        {Direction::DeviceToHost, 8, ControlReply::NoAnswer(), 0xC0, Status::Timeout, 0},
    };
    for (const Row& row : rows) {
        setups.clear();
        reply = row.reply;
        Bytes data(row.length, 0x11);
        const Result r = device->VendorRequest(row.direction, 0x42, 0x1234, 0xBEEF, data);
        ASSERT_EQ(setups.size(), 1u);
        EXPECT_EQ(setups[0].bmRequestType, row.bmRequestType);
        EXPECT_EQ(setups[0].bRequest, 0x42);
        EXPECT_EQ(setups[0].wValue, 0x1234);
        EXPECT_EQ(setups[0].wIndex, 0xBEEF);
        EXPECT_EQ(setups[0].wLength, row.length);
        EXPECT_EQ(r.status, row.status) << "error " << r.error;
        EXPECT_EQ(r.bytes, row.bytes);
        if (row.direction == Direction::DeviceToHost)
            EXPECT_EQ(data, Bytes(row.bytes, 0x5A));
        else
            EXPECT_EQ(received, Bytes(row.length, 0x11));
    }
}

TEST_F(SimClientTest, ReadsReturnInterruptTransfersAndCanBeCancelled) {
    colorimeter->PushInterrupt({1, 2, 3, 4, 5, 6, 7, 8});
    Bytes buffer(64);
    Result r = device->ReadInterrupt(buffer);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    uint8_t a[8], b[8];
    Operation first = device->StartReadInterrupt(a, sizeof a);
    Operation second = device->StartReadInterrupt(b, sizeof b);
    second.Cancel();
    EXPECT_EQ(second.Wait().status, Status::Cancelled);
    colorimeter->PushInterrupt({9});
    r = first.Wait();
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(a[0], 9);

    // Nothing arrives: the driver's timeout ends the read (virtual time).
    buffer.assign(8, 0);
    EXPECT_EQ(device->ReadInterrupt(buffer).status, Status::Timeout);
    buffer.clear();
    EXPECT_EQ(device->ReadInterrupt(buffer).status, Status::BufferTooSmall);
}

TEST_F(SimClientTest, SeveralVendorRequestsAtOnceAreServedInTurn) {
    reply = ControlReply::Data(Bytes{7}).After(100);
    const int64_t start = machine.NowMs();
    uint8_t out[3][4];
    Operation ops[3];
    for (int i = 0; i < 3; ++i)
        ops[i] = device->StartVendorRequest(Direction::DeviceToHost, static_cast<uint8_t>(i), 0, 0,
                                            out[i], sizeof out[i]);
    for (auto& op : ops) {
        const Result r = op.Wait();
        EXPECT_TRUE(r.Ok());
        EXPECT_EQ(r.bytes, 1u);
    }
    ASSERT_EQ(setups.size(), 3u);
    EXPECT_EQ(machine.NowMs() - start, 300); // one after the other
}

// Nothing but a wait moves the machine's time: a device that takes 250 ms answers 250 ms later,
// not earlier, and a request left behind is cancelled at once, without waiting for its timeout.
TEST_F(SimClientTest, WaitingMovesVirtualTimeToTheAnswerAndNoFurther) {
    reply = ControlReply::Data(Bytes{1, 2}).After(250);
    const int64_t start = machine.NowMs();
    uint8_t out[2];
    Operation op = device->StartVendorRequest(Direction::DeviceToHost, 5, 0, 0, out, sizeof out);
    EXPECT_EQ(machine.NowMs(), start); // started, not waited for
    const Result r = op.Wait();
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(machine.NowMs() - start, 250);

    uint8_t buffer[8];
    { Operation abandoned = device->StartReadInterrupt(buffer, sizeof buffer); }
    EXPECT_EQ(machine.NowMs() - start, 250);
    reply = ControlReply::Data(Bytes{3});
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
    EXPECT_EQ(refused.error, 1450u); // ERROR_NO_SYSTEM_RESOURCES
    EXPECT_FALSE(refused.Ok());
    EXPECT_TRUE(setups.empty());
    reply = ControlReply::Data(Bytes{9});
    EXPECT_TRUE(device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data).Ok());
}

TEST_F(SimClientTest, AnUnpluggedColorimeterIsGone) {
    uint8_t buffer[8];
    Operation pending = device->StartReadInterrupt(buffer, sizeof buffer);
    // The stack goes as the device does (as Wine removes it); the open handle outlives it.
    ASSERT_EQ(machine.Unplug(colorimeter), STATUS_SUCCESS);
    const Result ended = pending.Wait();
    EXPECT_EQ(ended.status, Status::DeviceGone) << "error " << ended.error;
    EXPECT_EQ(ended.bytes, 0u);
    Bytes data(4);
    const Result r = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data);
    EXPECT_EQ(r.error, syserr::kAccessDenied); // STATUS_DELETE_PENDING
    EXPECT_TRUE(setups.empty());
    std::vector<std::string> paths;
    EXPECT_TRUE(client.ListDevices(paths).Ok());
    EXPECT_TRUE(paths.empty());
    const std::string path = device->Path();
    std::unique_ptr<Device> again;
    EXPECT_EQ(client.Open(path, again).status, Status::DeviceGone);
    device.reset(); // the last handle
    EXPECT_EQ(client.Open(path, again).status, Status::DeviceGone);
}

} // namespace
} // namespace talvik
