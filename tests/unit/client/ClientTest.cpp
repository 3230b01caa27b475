#include "FakeTransport.h"

#include "talvik/Client.h"
#include "talvik/SystemErrors.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace talvik {
namespace {

using test::FakeTransport;
using test::Reply;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kVendorCode = 0x00222059;
constexpr uint32_t kReadCode = 0x0022204E;

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake.devices = {"\\\\?\\usb#vid_0000&pid_0000#1#{2d7a4c19-85e3-4b6f-9a02-c41e7b5d38f6}"};
        ASSERT_TRUE(client.Open(fake.devices[0], device).Ok());
    }

    FakeTransport fake;
    Client client{fake};
    std::unique_ptr<Device> device;
};

TEST(Wire, ControlCodesAndInterfaceClassAreTheDriversOwn) {
    EXPECT_EQ(VendorRequestCode(), kVendorCode);
    EXPECT_EQ(ReadInterruptCode(), kReadCode);
    const InterfaceClass& cls = ColorimeterInterfaceClass();
    EXPECT_EQ(cls.data1, 0x2D7A4C19u);
    EXPECT_EQ(cls.data2, 0x85E3);
    EXPECT_EQ(cls.data3, 0x4B6F);
    const Bytes tail(cls.data4, cls.data4 + 8);
    EXPECT_EQ(tail, (Bytes{0x9A, 0x02, 0xC4, 0x1E, 0x7B, 0x5D, 0x38, 0xF6}));
}

TEST(Wire, VendorBlockHasTheDriversLayout) {
    struct Row {
        Direction direction;
        uint8_t request;
        uint16_t value, index;
        Bytes block;
    };
    const Row rows[] = {
        // Direction, RequestType 2 (vendor), Recipient 0 (device), pad, Request, pad, Value, Index
        {Direction::DeviceToHost, 0x01, 0x0000, 0x0000, {1, 2, 0, 0, 0x01, 0, 0, 0, 0, 0}},
        {Direction::HostToDevice, 0x01, 0x0000, 0x0000, {0, 2, 0, 0, 0x01, 0, 0, 0, 0, 0}},
        {Direction::DeviceToHost,
         0xA5,
         0x1234,
         0xABCD,
         {1, 2, 0, 0, 0xA5, 0, 0x34, 0x12, 0xCD, 0xAB}},
        {Direction::HostToDevice,
         0xFF,
         0xFFFF,
         0x00FF,
         {0, 2, 0, 0, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0x00}},
        {Direction::HostToDevice, 0x00, 0x0100, 0x8000, {0, 2, 0, 0, 0x00, 0, 0x00, 0x01, 0, 0x80}},
    };
    for (const Row& row : rows) {
        const VendorBlock block =
            EncodeVendorBlock(row.direction, row.request, row.value, row.index);
        EXPECT_EQ(Bytes(block.begin(), block.end()), row.block)
            << "request " << int(row.request) << " value " << row.value;
    }
}

TEST(Status, SystemErrorsMapToClientStatuses) {
    using namespace syserr;
    const std::pair<uint32_t, Status> rows[] = {
        {kSuccess, Status::Success},
        {kInvalidFunction, Status::InvalidRequest},    // refused code or request kind
        {kInsufficientBuffer, Status::BufferTooSmall}, // short block, zero-length read
        {kSemTimeout, Status::Timeout},                // 5 s without an answer
        {kOperationAborted, Status::Cancelled},        // cancel, power-down, stop
        {kGenFailure, Status::DeviceError},            // stall, USB status error
        {kCrc, Status::DeviceError},
        {kBadCommand, Status::DeviceError},
        {kDeviceNotConnected, Status::DeviceGone}, // surprise removal
        {kNoSuchDevice, Status::DeviceGone},
        {kDeviceRemoved, Status::DeviceGone},
        {kFileNotFound, Status::DeviceGone}, // path gone before open
        {kInvalidParameter, Status::InvalidArgument},
        {kInvalidHandle, Status::NotOpen},
        {kAccessDenied, Status::Failed},
        {kMrMidNotFound, Status::Failed},
        {0xFFFFFFFFu, Status::Failed},
    };
    for (const auto& [error, status] : rows)
        EXPECT_EQ(StatusFromError(error), status) << "error " << error;
}

TEST_F(ClientTest, VendorRequestSendsTheBlockAndTheDataStageAsOneRequest) {
    struct Row {
        Direction direction;
        uint32_t length;
    };
    const Row rows[] = {
        {Direction::DeviceToHost, 64}, {Direction::HostToDevice, 64},
        {Direction::DeviceToHost, 0},  {Direction::HostToDevice, 0},
        {Direction::HostToDevice, 1},  {Direction::DeviceToHost, 0xFFFF},
    };
    for (const Row& row : rows) {
        fake.submissions.clear();
        Bytes data(row.length);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7);
        const Bytes sent = data;
        const Result r =
            device->VendorRequest(row.direction, 0x42, 0x0102, 0x0304, data.data(), row.length);
        EXPECT_TRUE(r.Ok());
        ASSERT_EQ(fake.submissions.size(), 1u);
        const auto& s = fake.submissions[0];
        EXPECT_EQ(s.code, kVendorCode);
        const VendorBlock block = EncodeVendorBlock(row.direction, 0x42, 0x0102, 0x0304);
        EXPECT_EQ(s.input, Bytes(block.begin(), block.end()));
        // wLength is the output buffer's length; an OUT data stage travels in that buffer.
        EXPECT_EQ(s.outLength, row.length);
        EXPECT_EQ(s.outPointer, row.length ? data.data() : nullptr);
        EXPECT_EQ(s.outAtSubmit, sent);
    }
}

TEST_F(ClientTest, InDataAndCountsComeBackAsTheDriverReportsThem) {
    struct Row {
        Reply reply;
        uint32_t length;
        Status status;
        uint32_t bytes;
        Bytes data;
    };
    const Row rows[] = {
        {{0, 12, Bytes(12, 0xAB)}, 64, Status::Success, 12, Bytes(12, 0xAB)}, // short data stage
        {{0, 64, Bytes(64, 0x01)}, 64, Status::Success, 64, Bytes(64, 0x01)},
        {{0, 0, {}}, 0, Status::Success, 0, {}},                       // no data stage
        {{syserr::kGenFailure, 0, {}}, 8, Status::DeviceError, 0, {}}, // stall or USB error
        {{syserr::kSemTimeout, 0, {}}, 8, Status::Timeout, 0, {}},
        // A count beyond the buffer never reaches the caller.
        {{0, 200, Bytes(8, 0x33)}, 8, Status::Success, 8, Bytes(8, 0x33)},
    };
    for (const Row& row : rows) {
        fake.replies = {row.reply};
        Bytes data(row.length, 0);
        const Result r = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, data);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.error, row.reply.error);
        EXPECT_EQ(r.bytes, row.bytes);
        EXPECT_EQ(data, row.data);
    }
}

TEST_F(ClientTest, OutDataIsLeftAsSent) {
    fake.replies = {{0, 3, {}}};
    Bytes data{1, 2, 3};
    const Result r = device->VendorRequest(Direction::HostToDevice, 9, 0, 0, data);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.bytes, 3u);
    EXPECT_EQ(data, (Bytes{1, 2, 3}));
}

TEST_F(ClientTest, RequestsTheClientCannotStateNeverReachTheDevice) {
    Bytes tooLong(kMaxControlLength + 1);
    const Result a = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, tooLong);
    const Result b = device->VendorRequest(Direction::HostToDevice, 1, 0, 0, nullptr, 4);
    const Result c = device->ReadInterrupt(nullptr, 4);
    device->Close();
    Bytes small(4);
    const Result d = device->VendorRequest(Direction::DeviceToHost, 1, 0, 0, small);
    const Result e = device->ReadInterrupt(small);
    for (const Result& r : {a, b, c})
        EXPECT_EQ(r.status, Status::InvalidArgument);
    for (const Result& r : {d, e})
        EXPECT_EQ(r.status, Status::NotOpen);
    EXPECT_TRUE(fake.submissions.empty());
    EXPECT_EQ(tooLong.size(), kMaxControlLength + 1); // untouched
}

TEST_F(ClientTest, ReadInterruptSendsNoInputAndTheWholeBuffer) {
    struct Row {
        uint32_t length;
        Reply reply;
        Status status;
        Bytes data;
    };
    const Row rows[] = {
        {64, {0, 8, Bytes{1, 2, 3, 4, 5, 6, 7, 8}}, Status::Success, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
        // The driver refuses a zero-length read; the client leaves that to it.
        {0, {syserr::kInsufficientBuffer, 0, {}}, Status::BufferTooSmall, {}},
        // A failed read passes on the length the driver reports.
        {64, {syserr::kSemTimeout, 0, {}}, Status::Timeout, {}},
        {64, {syserr::kOperationAborted, 2, Bytes{9, 9}}, Status::Cancelled, Bytes{9, 9}},
        {64, {syserr::kDeviceNotConnected, 0, {}}, Status::DeviceGone, {}},
    };
    for (const Row& row : rows) {
        fake.submissions.clear();
        fake.replies = {row.reply};
        Bytes buffer(row.length);
        const Result r = device->ReadInterrupt(buffer);
        ASSERT_EQ(fake.submissions.size(), 1u);
        EXPECT_EQ(fake.submissions[0].code, kReadCode);
        EXPECT_EQ(fake.submissions[0].inPointer, nullptr);
        EXPECT_TRUE(fake.submissions[0].input.empty());
        EXPECT_EQ(fake.submissions[0].outLength, row.length);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(buffer, row.data);
    }
}

TEST_F(ClientTest, OverlappedRequestsRunSideBySideAndFinishInAnyOrder) {
    uint8_t a[16] = {}, b[16] = {};
    Operation first = device->StartReadInterrupt(a, sizeof a);
    Operation second = device->StartVendorRequest(Direction::DeviceToHost, 5, 0, 0, b, sizeof b);
    ASSERT_EQ(fake.submissions.size(), 2u);
    fake.replies = {{0, 4, Bytes{4, 4, 4, 4}}, {0, 2, Bytes{2, 2}}};
    const Result r2 = second.Wait();
    const Result r1 = first.Wait();
    EXPECT_EQ(r2.bytes, 4u);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(r1.bytes, 2u);
    EXPECT_EQ(a[0], 2);
    // A second Wait gives the same result without asking the system again.
    EXPECT_EQ(first.Wait().bytes, 2u);
    EXPECT_EQ(std::count(fake.events.begin(), fake.events.end(), "wait 1"), 1);
}

TEST_F(ClientTest, CancelAsksTheSystemAndTheRequestStillCompletes) {
    uint8_t buffer[8];
    Operation op = device->StartReadInterrupt(buffer, sizeof buffer);
    op.Cancel();
    fake.replies = {{syserr::kOperationAborted, 0, {}}};
    EXPECT_EQ(op.Wait().status, Status::Cancelled);
    op.Cancel(); // after completion: nothing to cancel
    EXPECT_EQ(fake.events, (std::vector<std::string>{"submit 1", "cancel 1", "wait 1"}));
}

TEST_F(ClientTest, AnAbandonedOperationIsCancelledAndWaitedForBeforeItsBufferGoes) {
    {
        uint8_t buffer[8];
        Operation op = device->StartReadInterrupt(buffer, sizeof buffer);
        Operation other = device->StartReadInterrupt(buffer, sizeof buffer);
        other = std::move(op); // the request 'other' held is abandoned here
    }
    EXPECT_EQ(fake.events, (std::vector<std::string>{"submit 1", "submit 2", "cancel 2", "wait 2",
                                                     "cancel 1", "wait 1"}));
}

TEST_F(ClientTest, ClosingWithRequestsInFlightKeepsTheDeviceOpenUntilTheyEnd) {
    uint8_t buffer[8];
    Operation op = device->StartReadInterrupt(buffer, sizeof buffer);
    device->Close();
    EXPECT_EQ(fake.openChannels, 1);
    op.Wait();
    EXPECT_EQ(fake.openChannels, 0);
    EXPECT_EQ(fake.events.back(), "close " + fake.devices[0]);
}

TEST(ClientList, ListsByTheColorimetersInterfaceClassAndMapsErrors) {
    FakeTransport fake;
    Client client(fake);
    fake.devices = {"a", "b"};
    std::vector<std::string> paths{"stale"};
    EXPECT_TRUE(client.ListDevices(paths).Ok());
    EXPECT_EQ(paths, fake.devices);
    ASSERT_EQ(fake.listedClasses.size(), 1u);
    EXPECT_EQ(fake.listedClasses[0].data1, ColorimeterInterfaceClass().data1);

    fake.listError = syserr::kNoSystemResources;
    const Result r = client.ListDevices(paths);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(r.error, syserr::kNoSystemResources);
    EXPECT_TRUE(paths.empty());
}

TEST(ClientOpen, OpenFailuresLeaveNoDevice) {
    FakeTransport fake;
    Client client(fake);
    fake.openErrors["gone"] = syserr::kFileNotFound;
    fake.openErrors["busy"] = syserr::kAccessDenied;
    std::unique_ptr<Device> device;
    EXPECT_EQ(client.Open("gone", device).status, Status::DeviceGone);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(client.Open("busy", device).status, Status::Failed);
    EXPECT_TRUE(client.Open("there", device).Ok());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Path(), "there");
    EXPECT_TRUE(device->IsOpen());
}

} // namespace
} // namespace talvik
