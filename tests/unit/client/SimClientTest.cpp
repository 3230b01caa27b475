// The client library over the simulated system with the real driver: the same calls as on
// Windows, checked for what a measuring application sees - statuses, counts, data, cancellation,
// unplugging.
#include "talvik/Client.h"
#include "talvik/SystemErrors.h"
#include "transport/sim/SimTransport.h"

#include "kmdf/sim/World.h"

#include <gtest/gtest.h>

// The driver image's entry point: the framework bind stub around the driver's DriverEntry.
extern "C" kmdf::sim::Status FxDriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

namespace talvik {
namespace {

using kmdf::sim::ControlReply;
using kmdf::sim::SetupPacket;
using Bytes = std::vector<uint8_t>;

class SimClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        world.verifier().SetHandler([](const std::string& v) { ADD_FAILURE() << v; });
        ASSERT_EQ(world.LoadDriver(&FxDriverEntry), 0);
        colorimeter = &world.PlugIn();
        ASSERT_EQ(colorimeter->Start(), 0);
        colorimeter->Usb().SetVendorHandler(
            [this](const SetupPacket& setup, const Bytes& hostData) {
                setups.push_back(setup);
                received = hostData;
                return reply;
            });
        std::vector<std::string> paths;
        ASSERT_TRUE(client.ListDevices(paths).Ok());
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_TRUE(client.Open(paths[0], device).Ok());
    }

    kmdf::sim::World world;
    kmdf::sim::PnpDevice* colorimeter = nullptr;
    SimTransport transport;
    Client client{transport};
    std::unique_ptr<Device> device;
    ControlReply reply = ControlReply::Ack();
    std::vector<SetupPacket> setups;
    Bytes received;
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
        // Success with a USB status whose top bit is set is a failure.
        {Direction::DeviceToHost, 8, ControlReply::Custom(0, static_cast<int32_t>(0xC0000011)),
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
    colorimeter->Usb().PushInterrupt({1, 2, 3, 4, 5, 6, 7, 8});
    Bytes buffer(64);
    Result r = device->ReadInterrupt(buffer);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    uint8_t a[8], b[8];
    Operation first = device->StartReadInterrupt(a, sizeof a);
    Operation second = device->StartReadInterrupt(b, sizeof b);
    second.Cancel();
    EXPECT_EQ(second.Wait().status, Status::Cancelled);
    colorimeter->Usb().PushInterrupt({9});
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
    EXPECT_EQ(world.NowMs(), 300u); // one after the other
}

TEST_F(SimClientTest, AnUnpluggedColorimeterIsGone) {
    uint8_t buffer[8];
    Operation pending = device->StartReadInterrupt(buffer, sizeof buffer);
    colorimeter->SurpriseRemove();
    EXPECT_EQ(pending.Wait().status, Status::Cancelled);
    Bytes data(4);
    const Result r = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data);
    EXPECT_EQ(r.error, syserr::kAccessDenied); // STATUS_DELETE_PENDING
    std::vector<std::string> paths;
    EXPECT_TRUE(client.ListDevices(paths).Ok());
    EXPECT_TRUE(paths.empty());
    const std::string path = device->Path();
    std::unique_ptr<Device> again;
    EXPECT_EQ(client.Open(path, again).error, syserr::kAccessDenied); // still being removed
    colorimeter->Remove();
    device.reset(); // the last handle: removal finishes
    EXPECT_EQ(colorimeter->State(), kmdf::sim::PnpState::Removed);
    EXPECT_EQ(client.Open(path, again).status, Status::DeviceGone);
}

} // namespace
} // namespace talvik
