// The client library against the real driver on a real stack, the same cases on every rig: what
// a measuring application sees (statuses, counts, data, cancellation, unplugging) and what the
// colorimeter saw on the wire. Nothing here depends on how long anything takes, beyond an order.
#include "ClientRig.h"

#include "talvik/Client.h"

#include <gtest/gtest.h>

namespace clientstack {
namespace {

using talvik::Client;
using talvik::Device;
using talvik::Direction;
using talvik::Operation;
using talvik::Result;
using talvik::Status;
using talvik::StatusName;

class ClientOnStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        rig = MakeClientRig();
        std::string why;
        ASSERT_TRUE(rig->Plug(why)) << why;
        client = std::make_unique<Client>(rig->Transport());
        std::vector<std::string> paths;
        ASSERT_TRUE(client->ListDevices(paths).Ok());
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_TRUE(client->Open(paths[0], device).Ok());
    }

    // Closed before the rig goes (it unplugs what is still plugged).
    std::unique_ptr<ClientRig> rig;
    std::unique_ptr<Client> client;
    std::unique_ptr<Device> device;
};

::testing::AssertionResult Is(Status expected, const Result& r) {
    if (r.status == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << StatusName(r.status) << " (error " << r.error << "), not " << StatusName(expected);
}

TEST_F(ClientOnStackTest, VendorRequestsReachTheWireAsTheirSetupPackets) {
    struct Row {
        Direction direction;
        std::uint16_t length;
        Answer answer;
        std::uint8_t requestType;
        std::uint32_t bytes;
    };
    const Row rows[] = {
        {Direction::DeviceToHost, 64, Answer::Data(Bytes(12, 0x5A)), 0xC0, 12},
        {Direction::HostToDevice, 64, Answer::Ack(), 0x40, 64},
        {Direction::DeviceToHost, 0, Answer::Ack(), 0xC0, 0},
        {Direction::HostToDevice, 0, Answer::Ack(), 0x40, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "bmRequestType " << int(row.requestType) << ", length " << row.length);
        rig->ForgetSeen();
        rig->Script({row.answer});
        Bytes data(row.length, 0x11);
        const Result r = device->VendorRequest(row.direction, 0x42, 0x1234, 0xBEEF, data);
        EXPECT_TRUE(Is(Status::Success, r));
        EXPECT_EQ(r.bytes, row.bytes);
        const std::vector<WireRequest> seen = rig->Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].requestType, row.requestType);
        EXPECT_EQ(seen[0].request, 0x42);
        EXPECT_EQ(seen[0].value, 0x1234);
        EXPECT_EQ(seen[0].index, 0xBEEF);
        EXPECT_EQ(seen[0].length, row.length);
        if (row.direction == Direction::DeviceToHost) {
            EXPECT_EQ(data, Bytes(row.bytes, 0x5A));
        } else {
            EXPECT_EQ(seen[0].hostData, Bytes(row.length, 0x11));
        }
    }
}

// A stall or a transfer error is the device's error, with nothing moved, and the default pipe
// still works for the next request.
TEST_F(ClientOnStackTest, StallsAndUsbErrorsAreDeviceErrors) {
    struct Row {
        Direction direction;
        Answer answer;
    };
    const Row rows[] = {
        {Direction::DeviceToHost, Answer::Stall()},
        {Direction::HostToDevice, Answer::Stall()},
        {Direction::DeviceToHost, Answer::UsbError(0xC0000011)}, // USBD_STATUS_XACT_ERROR
        {Direction::HostToDevice, Answer::UsbError(0xC0000011)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "direction " << int(row.direction) << ", answer " << int(row.answer.kind));
        rig->ForgetSeen();
        rig->Script({row.answer, Answer::Data({3, 2, 1})});
        Bytes data(8, 0x11);
        const Result failed = device->VendorRequest(row.direction, 0x43, 0, 0, data);
        EXPECT_TRUE(Is(Status::DeviceError, failed));
        EXPECT_NE(failed.error, 0u);
        EXPECT_EQ(failed.bytes, 0u);
        data.assign(8, 0);
        const Result next = device->VendorRequest(Direction::DeviceToHost, 0x44, 0, 0, data);
        EXPECT_TRUE(Is(Status::Success, next));
        EXPECT_EQ(data, (Bytes{3, 2, 1}));
        EXPECT_EQ(rig->Seen().size(), 2u);
    }
}

TEST_F(ClientOnStackTest, ReadsReturnInterruptTransfers) {
    // Held by the device until a read asks for it.
    rig->PushInterrupt({1, 2, 3, 4, 5, 6, 7, 8});
    Bytes buffer(64);
    EXPECT_TRUE(Is(Status::Success, device->ReadInterrupt(buffer)));
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    // A read waiting when the transfer comes.
    std::uint8_t packet[8] = {};
    Operation read = device->StartReadInterrupt(packet, sizeof packet);
    rig->PushInterrupt({0xC1, 0xC2, 0xC3});
    const Result r = read.Wait();
    EXPECT_TRUE(Is(Status::Success, r));
    EXPECT_EQ(r.bytes, 3u);
    EXPECT_EQ(Bytes(packet, packet + 3), (Bytes{0xC1, 0xC2, 0xC3}));

    buffer.clear();
    EXPECT_TRUE(Is(Status::BufferTooSmall, device->ReadInterrupt(buffer)));
}

TEST_F(ClientOnStackTest, ACancelledReadEndsCancelledWhileAnotherCompletes) {
    std::uint8_t a[8] = {}, b[8] = {};
    Operation first = device->StartReadInterrupt(a, sizeof a);
    Operation second = device->StartReadInterrupt(b, sizeof b);
    // Nothing fed: a bounded wait comes back with both still pending.
    EXPECT_FALSE(second.WaitFor(50));
    EXPECT_FALSE(first.WaitFor(0));
    second.Cancel();
    const Result cancelled = second.Wait();
    EXPECT_TRUE(Is(Status::Cancelled, cancelled));
    EXPECT_EQ(cancelled.bytes, 0u);
    rig->PushInterrupt({9});
    EXPECT_TRUE(first.WaitFor(5000));
    const Result r = first.Wait();
    EXPECT_TRUE(Is(Status::Success, r));
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(a[0], 9);
}

// Cancelled at the device: the driver takes it back from the bus, and the next request is
// answered.
TEST_F(ClientOnStackTest, AnUnansweredVendorRequestCancelledEndsCancelled) {
    rig->Script({Answer::Nothing(), Answer::Data({5})});
    std::uint8_t out[4] = {};
    Operation unanswered =
        device->StartVendorRequest(Direction::DeviceToHost, 0x45, 0, 0, out, sizeof out);
    unanswered.Cancel();
    const Result cancelled = unanswered.Wait();
    EXPECT_TRUE(Is(Status::Cancelled, cancelled));
    EXPECT_EQ(cancelled.bytes, 0u);
    Bytes data(4);
    EXPECT_TRUE(
        Is(Status::Success, device->VendorRequest(Direction::DeviceToHost, 0x46, 0, 0, data)));
    EXPECT_EQ(data, Bytes{5});
}

// The driver sends one vendor request at a time: each gets the answer scripted for its turn, and
// all together take at least the sum of the device's delays (not more than two of three, with
// room for a coarse clock).
TEST_F(ClientOnStackTest, SeveralVendorRequestsAtOnceAreServedInTurn) {
    constexpr std::uint32_t kDelayMs = 100;
    rig->Script({Answer::Data({1}).After(kDelayMs), Answer::Data({2}).After(kDelayMs),
                 Answer::Data({3}).After(kDelayMs)});
    const std::int64_t start = rig->NowMs();
    std::uint8_t out[3][4] = {};
    Operation ops[3];
    for (int i = 0; i < 3; ++i)
        ops[i] = device->StartVendorRequest(Direction::DeviceToHost, static_cast<std::uint8_t>(i),
                                            0, 0, out[i], sizeof out[i]);
    for (int i = 0; i < 3; ++i) {
        const Result r = ops[i].Wait();
        EXPECT_TRUE(Is(Status::Success, r)) << "request " << i;
        EXPECT_EQ(r.bytes, 1u);
        EXPECT_EQ(out[i][0], i + 1) << "request " << i;
    }
    EXPECT_GT(rig->NowMs() - start, std::int64_t{2 * kDelayMs});
    const std::vector<WireRequest> seen = rig->Seen();
    ASSERT_EQ(seen.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(seen[i].request, i);
}

// The read pending at the unplug ends with the device, whoever ends it first: the bus, failing
// its transfers as the device goes (DeviceGone, what both rigs show), or the framework, which
// cancels what was sent on a surprise removal (Cancelled). Requests sent on the handle while the
// stack goes are another matter (SimClientTest): on Wine they may meet the framework busy.
TEST_F(ClientOnStackTest, AnUnplugEndsAPendingReadAndTheColorimeterIsGone) {
    std::uint8_t buffer[8];
    Operation pending = device->StartReadInterrupt(buffer, sizeof buffer);
    std::string why;
    ASSERT_TRUE(rig->Unplug(why)) << why;
    const Result ended = pending.Wait();
    EXPECT_TRUE(ended.status == Status::DeviceGone || ended.status == Status::Cancelled)
        << StatusName(ended.status) << " (error " << ended.error << ")";
    EXPECT_EQ(ended.bytes, 0u);
    std::vector<std::string> paths;
    EXPECT_TRUE(client->ListDevices(paths).Ok());
    EXPECT_TRUE(paths.empty());
    const std::string path = device->Path();
    std::unique_ptr<Device> again;
    EXPECT_TRUE(Is(Status::DeviceGone, client->Open(path, again)));
    device.reset(); // the last handle
    EXPECT_TRUE(Is(Status::DeviceGone, client->Open(path, again)));
}

} // namespace
} // namespace clientstack
