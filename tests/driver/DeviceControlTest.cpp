// The device-control interface as an application sees it, with the setup packets checked on
// the virtual bus.
#include "DriverTest.h"

#include <cstring>
#include <thread>

using namespace talvik_test;
namespace um = kmdf::um;

namespace {

constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS kStatusInvalidBufferSize = static_cast<NTSTATUS>(0xC0000206);

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

class DeviceControl : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        device_ = &StartColorimeter();
        handle_ = Open(*device_);
    }
    void TearDown() override {
        um::Close(handle_);
        DriverTest::TearDown();
    }

    NTSTATUS Vendor(const void* block, uint32_t blockLength, void* out, uint32_t outLength,
                    uint32_t* bytes) {
        return um::DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, block, blockLength, out,
                                   outLength, bytes);
    }
    NTSTATUS Vendor(const VENDOR_OR_CLASS_REQUEST_CONTROL& block, void* out, uint32_t outLength,
                    uint32_t* bytes) {
        return Vendor(&block, sizeof block, out, outLength, bytes);
    }
    NTSTATUS VendorAsync(const VENDOR_OR_CLASS_REQUEST_CONTROL& block, void* out,
                         uint32_t outLength, um::IoOperation* op) {
        return um::DeviceIoControlAsync(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                        sizeof block, out, outLength, op);
    }
    NTSTATUS ReadAsync(void* out, uint32_t outLength, um::IoOperation* op) {
        return um::DeviceIoControlAsync(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out,
                                        outLength, op);
    }

    PnpDevice* device_ = nullptr;
    um::Handle handle_;
};

TEST_F(DeviceControl, VendorInTransferReturnsTheDeviceDataAndItsLength) {
    std::vector<uint8_t> seenHostData{1};
    device_->Usb().SetVendorHandler([&](const SetupPacket&, const std::vector<uint8_t>& host) {
        seenHostData = host;
        return ControlReply::Data(Bytes(12, 0xA0));
    });
    uint8_t out[64];
    std::memset(out, 0xEE, sizeof out);
    uint32_t bytes = 0;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 0x05, 0x1234, 0x0002), out, sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12), Bytes(12, 0xA0));
    EXPECT_EQ(out[12], 0xEE);
    EXPECT_TRUE(seenHostData.empty());
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].setup.bmRequestType, 0xC0);
    EXPECT_EQ(t[0].setup.bRequest, 0x05);
    EXPECT_EQ(t[0].setup.wValue, 0x1234);
    EXPECT_EQ(t[0].setup.wIndex, 0x0002);
    EXPECT_EQ(t[0].setup.wLength, 64);
    EXPECT_EQ(Context(*device_)->RequestDirectionIn, 1);
}

TEST_F(DeviceControl, VendorOutTransferSendsTheOutputBuffer) {
    auto data = Bytes(64, 0x10);
    uint32_t bytes = 0;
    EXPECT_EQ(Vendor(Block(0, 2, 0, 0x21, 7, 9), data.data(), 64, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 64u);
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(t[0].setup.wLength, 64);
    EXPECT_EQ(t[0].dataOut, data);
    EXPECT_EQ(Context(*device_)->RequestDirectionIn, 0);
}

// Replies of the device and what the application gets back.
TEST_F(DeviceControl, DeviceRepliesMapToStatusAndBytes) {
    struct Row {
        const char* name;
        UCHAR direction;
        uint32_t outLength;
        ControlReply reply;
        NTSTATUS status;
        uint32_t bytes;
    } rows[] = {
        {"short data", 1, 64, ControlReply::Data(Bytes(3, 1)), STATUS_SUCCESS, 3},
        {"more data than asked", 1, 4, ControlReply::Data(Bytes(9, 1)), STATUS_SUCCESS, 4},
        {"zero-length, acknowledged", 0, 0, ControlReply::Ack(), STATUS_SUCCESS, 0},
        {"zero-length IN, acknowledged", 1, 0, ControlReply::Ack(), STATUS_SUCCESS, 0},
        {"zero-length, stalled", 0, 0, ControlReply::Stall(), STATUS_UNSUCCESSFUL, 0},
        {"stall", 1, 64, ControlReply::Stall(), STATUS_UNSUCCESSFUL, 0},
        {"request success, USB status error", 1, 64,
         ControlReply::Custom(STATUS_SUCCESS, static_cast<int32_t>(0xC0000004), Bytes(8, 1)),
         STATUS_UNSUCCESSFUL, 0},
        {"request success, USB status pending bit only", 1, 64,
         ControlReply::Custom(STATUS_SUCCESS, 0x40000000, Bytes(8, 1)), STATUS_SUCCESS, 8},
        {"USB error", 0, 16, ControlReply::UsbError(static_cast<int32_t>(0xC0006000)),
         STATUS_UNSUCCESSFUL, 0},
        {"device takes its time", 1, 64, ControlReply::Data(Bytes(2, 1)).After(4999),
         STATUS_SUCCESS, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        device_->Usb().ClearTraffic();
        device_->Usb().SetVendorHandler(
            [&](const SetupPacket&, const std::vector<uint8_t>&) { return row.reply; });
        std::vector<uint8_t> out(row.outLength ? row.outLength : 1);
        uint32_t bytes = 99;
        EXPECT_EQ(Vendor(Block(row.direction, 2, 0, 1, 0, 0), row.outLength ? out.data() : nullptr,
                         row.outLength, &bytes),
                  row.status);
        EXPECT_EQ(bytes, row.bytes);
        auto t = VendorTraffic(*device_);
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].setup.wLength, row.outLength);
        if (row.outLength == 0) {
            EXPECT_TRUE(t[0].dataOut.empty());
            EXPECT_TRUE(t[0].dataIn.empty());
        }
    }
}

TEST_F(DeviceControl, InputBlocksShorterThanTenBytesAreRefusedWithoutTraffic) {
    auto block = Block(1, 2, 0, 1, 0, 0);
    uint8_t buf[16] = {};
    std::memcpy(buf, &block, sizeof block);
    uint8_t out[8];
    struct Row {
        uint32_t inLength;
        NTSTATUS status;
    } rows[] = {{0, STATUS_BUFFER_TOO_SMALL},
                {1, STATUS_BUFFER_TOO_SMALL},
                {9, STATUS_BUFFER_TOO_SMALL},
                {10, STATUS_SUCCESS},
                {16, STATUS_SUCCESS}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.inLength);
        device_->Usb().ClearTraffic();
        std::memset(buf + 10, 0x77, 6); // bytes past the block are not read
        uint32_t bytes = 99;
        EXPECT_EQ(Vendor(row.inLength ? buf : nullptr, row.inLength, out, sizeof out, &bytes),
                  row.status);
        EXPECT_EQ(VendorTraffic(*device_).size(), row.status == STATUS_SUCCESS ? 1u : 0u);
        if (row.status != STATUS_SUCCESS) {
            EXPECT_EQ(bytes, 0u);
        }
    }
}

TEST_F(DeviceControl, OnlyTheVendorDeviceKeyIsServed) {
    struct Row {
        UCHAR type, recipient;
        bool served;
    } rows[] = {{1, 0, false},       {1, 1, false}, {1, 2, false}, {1, 3, false}, {0, 0, false},
                {2, 1, false},       {2, 2, false}, {2, 3, false}, {3, 0, false}, {0x42, 0, false},
                {0xFF, 0xFF, false}, {0, 4, false}, {2, 0, true},  {0, 8, true},  {2, 8, true}};
    uint8_t out[4];
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << "type " << int(row.type) << " recipient " << int(row.recipient));
        device_->Usb().ClearTraffic();
        uint32_t bytes = 99;
        EXPECT_EQ(Vendor(Block(1, row.type, row.recipient, 3, 0, 0), out, sizeof out, &bytes),
                  row.served ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
        auto t = VendorTraffic(*device_);
        ASSERT_EQ(t.size(), row.served ? 1u : 0u);
        if (row.served) {
            EXPECT_EQ(t[0].setup.bmRequestType, 0xC0);
        } else {
            EXPECT_EQ(bytes, 0u);
        }
    }
}

TEST_F(DeviceControl, OtherControlCodesAreRefused) {
    const ULONG codes[] = {
        IOCTL_VENDOR_OR_CLASS_REQUEST & ~3u, // METHOD_BUFFERED
        (IOCTL_VENDOR_OR_CLASS_REQUEST & ~3u) | METHOD_OUT_DIRECT,
        (IOCTL_VENDOR_OR_CLASS_REQUEST & ~3u) | METHOD_NEITHER,
        IOCTL_VENDOR_OR_CLASS_REQUEST | (FILE_READ_ACCESS << 14),
        IOCTL_VENDOR_OR_CLASS_REQUEST | (FILE_WRITE_ACCESS << 14),
        (IOCTL_READ_INTERRUPT_PIPE & ~3u) | METHOD_IN_DIRECT,
        IOCTL_READ_INTERRUPT_PIPE & ~3u,
        IOCTL_READ_INTERRUPT_PIPE | (FILE_READ_ACCESS << 14),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x814, METHOD_BUFFERED, FILE_ANY_ACCESS),
        0,
    };
    auto block = Block(1, 2, 0, 1, 0, 0);
    for (ULONG code : codes) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        uint8_t out[16];
        uint32_t bytes = 99;
        EXPECT_EQ(um::DeviceIoControl(handle_, code, &block, sizeof block, out, sizeof out, &bytes),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(bytes, 0u);
    }
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    EXPECT_TRUE(ReadTraffic(*device_).empty());
}

TEST_F(DeviceControl, AnUnansweredVendorRequestFailsAfterFiveSecondsAndTheNextWorks) {
    int calls = 0;
    device_->Usb().SetVendorHandler([&](const SetupPacket&, const std::vector<uint8_t>&) {
        return ++calls == 1 ? ControlReply::NoAnswer() : ControlReply::Data(Bytes(4, 1));
    });
    uint8_t out[8];
    um::IoOperation op;
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &op), STATUS_PENDING);
    world().AdvanceMs(4999);
    EXPECT_FALSE(op.Done());
    world().AdvanceMs(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.GetStatus(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(op.Information(), 0u);
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].cancelled);

    uint32_t bytes = 0;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
}

TEST_F(DeviceControl, TwoVendorRequestsAtOnceAreServedInTurn) {
    size_t most = 0;
    device_->Usb().SetVendorHandler([&](const SetupPacket& s, const std::vector<uint8_t>&) {
        size_t pending = 0;
        for (const TransferRecord& t : VendorTraffic(*device_))
            pending += !t.completed;
        most = std::max(most, pending);
        return ControlReply::Data(Bytes(2, s.bRequest)).After(100);
    });
    uint8_t out1[8], out2[8];
    um::IoOperation op1, op2;
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 0x11, 0, 0), out1, sizeof out1, &op1), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 0x22, 0, 0), out2, sizeof out2, &op2), STATUS_PENDING);
    EXPECT_EQ(VendorTraffic(*device_).size(), 1u); // the second waits in its queue
    world().AdvanceMs(100);
    ASSERT_TRUE(op1.Done());
    EXPECT_FALSE(op2.Done());
    world().AdvanceMs(100);
    ASSERT_TRUE(op2.Done());
    EXPECT_EQ(op1.GetStatus(), STATUS_SUCCESS);
    EXPECT_EQ(op2.GetStatus(), STATUS_SUCCESS);
    EXPECT_EQ(out1[0], 0x11);
    EXPECT_EQ(out2[0], 0x22);
    EXPECT_EQ(most, 1u);
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_GE(t[1].submittedMs, t[0].completedMs);
    // Reads are not held behind vendor requests.
    um::IoOperation read;
    uint8_t in[8];
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 0x33, 0, 0), out1, sizeof out1, &op1), STATUS_PENDING);
    ASSERT_EQ(ReadAsync(in, sizeof in, &read), STATUS_PENDING);
    EXPECT_EQ(device_->Usb().PendingInterruptReads(), 1u);
    device_->Usb().PushInterrupt({1, 2});
    EXPECT_TRUE(read.Done());
    world().AdvanceMs(100);
    EXPECT_TRUE(op1.Done());
}

TEST_F(DeviceControl, ASecondVendorRequestWaitsOutAnUnansweredOne) {
    int calls = 0;
    device_->Usb().SetVendorHandler([&](const SetupPacket&, const std::vector<uint8_t>&) {
        return ++calls == 1 ? ControlReply::NoAnswer() : ControlReply::Ack();
    });
    um::IoOperation op1, op2;
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 1, 0, 0), nullptr, 0, &op1), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 2, 0, 0), nullptr, 0, &op2), STATUS_PENDING);
    world().AdvanceMs(5000);
    EXPECT_EQ(op1.GetStatus(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(op2.GetStatus(), STATUS_SUCCESS);
    // Cancelling a request still waiting in the vendor queue ends it alone.
    device_->Usb().SetVendorHandler(
        [&](const SetupPacket&, const std::vector<uint8_t>&) { return ControlReply::NoAnswer(); });
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 3, 0, 0), nullptr, 0, &op1), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 4, 0, 0), nullptr, 0, &op2), STATUS_PENDING);
    EXPECT_EQ(um::CancelIo(handle_, &op2), STATUS_SUCCESS);
    EXPECT_EQ(op2.GetStatus(), STATUS_CANCELLED);
    EXPECT_FALSE(op1.Done());
    EXPECT_EQ(um::CancelIo(handle_, &op1), STATUS_SUCCESS);
    EXPECT_EQ(op1.GetStatus(), STATUS_CANCELLED);
    EXPECT_EQ(um::CancelIo(handle_, &op1), kStatusNotFound);
}

TEST_F(DeviceControl, AReadReturnsOneInterruptTransfer) {
    uint8_t in[64];
    um::IoOperation op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    device_->Usb().PushInterrupt(Bytes(8, 0x30));
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.GetStatus(), STATUS_SUCCESS);
    EXPECT_EQ(op.Information(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 8), Bytes(8, 0x30));
    // Data that is there before the read is delivered at once.
    device_->Usb().PushInterrupt(Bytes(3, 0x40));
    uint32_t bytes = 0;
    EXPECT_EQ(um::DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, 5, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 3u);
    auto reads = ReadTraffic(*device_);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].requestedLength, 5u);
}

TEST_F(DeviceControl, AReadWithNothingToReadFailsAfterFiveSeconds) {
    uint8_t in[64];
    uint32_t bytes = 99;
    EXPECT_EQ(
        um::DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, &bytes),
        STATUS_IO_TIMEOUT);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(world().NowMs(), 5000u);
    EXPECT_EQ(device_->Usb().PendingInterruptReads(), 0u);
}

// A failed read passes on the length reported for it: a device that babbles fills the buffer.
TEST_F(DeviceControl, AFailedReadReportsTheLengthTheStackReported) {
    uint8_t in[4];
    um::IoOperation op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    device_->Usb().PushInterrupt(Bytes(6, 0x70));
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.GetStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(op.Information(), sizeof in);
    auto reads = ReadTraffic(*device_);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].usbdStatus, USBD_STATUS_DATA_OVERRUN);
}

TEST_F(DeviceControl, AZeroLengthReadNeverReachesTheDevice) {
    uint32_t bytes = 99;
    EXPECT_EQ(
        um::DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, nullptr, 0, &bytes),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(ReadTraffic(*device_).empty());
}

// The I/O manager checked the output buffer of METHOD_IN_DIRECT for read access only: a
// device-to-host transfer into memory the caller may only read is refused before the bus.
TEST_F(DeviceControl, ADeviceToHostRequestIntoAReadOnlyBufferIsRefusedBeforeTheBus) {
    device_->Usb().SetVendorHandler([&](const SetupPacket&, const std::vector<uint8_t>&) {
        return ControlReply::Data(Bytes(8, 1));
    });
    uint8_t out[16];
    std::memset(out, 0x5A, sizeof out);
    um::ProtectReadOnly(out, sizeof out);
    uint32_t bytes = 99;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(um::NtStatusToWin32Error(STATUS_ACCESS_VIOLATION), 998u); // ERROR_NOACCESS
    // One read-only byte is enough; interrupt reads are probed by the I/O manager itself.
    um::ProtectReadWrite(out, sizeof out - 1);
    EXPECT_EQ(Vendor(Block(0xFF, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(um::DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out, sizeof out,
                                  &bytes),
              STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    EXPECT_TRUE(ReadTraffic(*device_).empty());
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), std::vector<uint8_t>(16, 0x5A));
    // Sending from read-only memory is what the buffer is for; a zero-length IN has no buffer.
    EXPECT_EQ(Vendor(Block(0, 2, 0, 2, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(Vendor(Block(1, 2, 0, 3, 0, 0), nullptr, 0, &bytes), STATUS_SUCCESS);
    um::ProtectReadWrite(out, sizeof out);
    EXPECT_EQ(Vendor(Block(1, 2, 0, 4, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(VendorTraffic(*device_).size(), 3u);
}

// The URB block after a transfer: cleared, then exactly the fields of a vendor request, and
// what the USB stack wrote back.
TEST_F(DeviceControl, TheUrbBlockHoldsExactlyTheVendorRequest) {
    device_->Usb().SetVendorHandler([&](const SetupPacket&, const std::vector<uint8_t>&) {
        return ControlReply::Data(Bytes(5, 1));
    });
    PDEVICE_CONTEXT ctx = Context(*device_);
    for (UCHAR direction : {UCHAR(1), UCHAR(0)}) {
        SCOPED_TRACE(direction ? "IN" : "OUT");
        std::memset(ctx->UrbBuffer, 0xCD, TALVIK_URB_SIZE); // as the pool leaves a block
        uint8_t out[32] = {};
        uint32_t bytes = 0;
        ASSERT_EQ(Vendor(Block(direction, 2, 0, 0x42, 0x1234, 0x5678), out, sizeof out, &bytes),
                  STATUS_SUCCESS);
        URB expected;
        std::memset(&expected, 0, sizeof expected);
        auto& c = expected.UrbControlVendorClassRequest;
        c.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        c.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        c.Hdr.Status = USBD_STATUS_SUCCESS;
        c.TransferFlags = direction ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                    : USBD_SHORT_TRANSFER_OK;
        c.TransferBufferLength = bytes;
        c.TransferBuffer = out;
        c.Request = 0x42;
        c.Value = 0x1234;
        c.Index = 0x5678;
        EXPECT_EQ(std::memcmp(ctx->UrbBuffer, &c, TALVIK_URB_SIZE), 0);
    }
}

TEST_F(DeviceControl, ReadFailuresOfTheFrameworkCompleteTheRequestAtOnce) {
    struct Row {
        const char* api;
        NTSTATUS status;
    } rows[] = {{"WdfRequestRetrieveOutputMemory", STATUS_INSUFFICIENT_RESOURCES},
                {"WdfUsbTargetPipeFormatRequestForRead", kStatusInvalidBufferSize},
                {"WdfRequestSend", STATUS_DEVICE_NOT_READY}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.api);
        world().faults().Clear();
        world().faults().Fail(row.api, row.status);
        uint8_t in[8];
        uint32_t bytes = 99;
        world().ClearEvents();
        EXPECT_EQ(um::DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in,
                                      &bytes),
                  row.status);
        EXPECT_EQ(bytes, 0u);
        EXPECT_FALSE(HasEvent("after a failed send with its completion routine set"));
    }
    EXPECT_TRUE(ReadTraffic(*device_).empty());
}

TEST_F(DeviceControl, VendorFailuresOfTheFrameworkCompleteTheRequestAtOnce) {
    struct Row {
        const char* api;
        unsigned skip; // calls that succeed first (the caller's context reads the block too)
        NTSTATUS injected;
        NTSTATUS status;
    } rows[] = {
        {"WdfRequestRetrieveInputBuffer", 0, STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_USER_BUFFER}, // no block in the caller's context: no locked buffer
        {"WdfRequestProbeAndLockUserBufferForWrite", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES},
        {"WdfDeviceEnqueueRequest", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES},
        {"WdfRequestForwardToIoQueue", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES},
        {"WdfRequestRetrieveInputBuffer", 1, STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_DEVICE_REQUEST},
        {"WdfRequestRetrieveOutputBuffer", 0, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
        {"WdfUsbTargetDeviceFormatRequestForUrb", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES},
        {"WdfRequestSend", 0, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.api) + " #" + std::to_string(row.skip + 1));
        world().faults().Clear();
        world().ClearEvents();
        world().faults().Fail(row.api, row.injected, row.skip);
        uint8_t out[8];
        uint32_t bytes = 99;
        EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), row.status);
        EXPECT_EQ(bytes, 0u);
        // A request whose send failed is completed with its completion routine removed.
        EXPECT_FALSE(HasEvent("after a failed send with its completion routine set"));
    }
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    // Nothing stays broken.
    world().faults().Clear();
    uint8_t out[8];
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, nullptr), STATUS_SUCCESS);
}

TEST_F(DeviceControl, APendingReadKeepsTheDeviceInD0AndCancellingItEndsIt) {
    uint8_t in[8];
    um::IoOperation op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    EXPECT_EQ(um::CancelIo(handle_, &op), STATUS_SUCCESS);
    EXPECT_EQ(op.GetStatus(), STATUS_CANCELLED);
    // A read pending for 5 s keeps the device in D0; it idles 10 s after the timeout.
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    world().AdvanceMs(5000);
    EXPECT_EQ(op.GetStatus(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(device_->Power(), PowerState::D0);
    world().AdvanceMs(9999);
    EXPECT_EQ(device_->Power(), PowerState::D0);
    world().AdvanceMs(1);
    EXPECT_EQ(device_->Power(), PowerState::Dx);
    // A read brings it back; the pipe's target is started again.
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    EXPECT_EQ(device_->Power(), PowerState::D0);
    device_->Usb().PushInterrupt({9});
    EXPECT_EQ(op.GetStatus(), STATUS_SUCCESS);
}

TEST_F(DeviceControl, SleepWaitsForRequestsTheDriverOwnsThenD0ExitRuns) {
    uint8_t in[8];
    um::IoOperation op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    world().ClearEvents();
    ASSERT_EQ(device_->Sleep(), STATUS_SUCCESS);
    // Without an EvtIoStop callback the framework waits out the read's 5-second timeout.
    EXPECT_EQ(world().NowMs(), 5000u);
    EXPECT_EQ(op.GetStatus(), STATUS_IO_TIMEOUT);
    // D0 exit stops the interrupt pipe, cancelling what was sent to it; D0 entry starts it.
    long stop = EventIndex("WdfIoTargetStop WDFUSBPIPE cancel-sent-io");
    long exit = EventIndex("EvtDeviceD0Exit(D2) -> 0x00000000");
    EXPECT_GE(stop, 0);
    EXPECT_GT(exit, stop);
    world().ClearEvents();
    ASSERT_EQ(device_->Resume(), STATUS_SUCCESS);
    long start = EventIndex("WdfIoTargetStart WDFUSBPIPE");
    EXPECT_GE(start, 0);
    EXPECT_GT(EventIndex("EvtDeviceD0Entry(D2) -> 0x00000000"), start);
}

TEST_F(DeviceControl, SurpriseRemovalCancelsRequestsInFlightOnce) {
    device_->Usb().SetVendorHandler(
        [&](const SetupPacket&, const std::vector<uint8_t>&) { return ControlReply::NoAnswer(); });
    uint8_t in1[8], in2[8], out[8];
    um::IoOperation read1, read2, vendor, queued;
    ASSERT_EQ(ReadAsync(in1, sizeof in1, &read1), STATUS_PENDING);
    ASSERT_EQ(ReadAsync(in2, sizeof in2, &read2), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &vendor), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 2, 0, 0), out, sizeof out, &queued), STATUS_PENDING);
    world().ClearEvents();
    uint64_t before = world().RequestsCompleted();
    device_->SurpriseRemove();
    EXPECT_EQ(world().RequestsCompleted() - before, 4u);
    // D0 exit cancelled the reads; the vendor request went with the USB target.
    EXPECT_EQ(read1.GetStatus(), STATUS_CANCELLED);
    EXPECT_EQ(read2.GetStatus(), STATUS_CANCELLED);
    EXPECT_EQ(vendor.GetStatus(), STATUS_CANCELLED);
    EXPECT_EQ(queued.GetStatus(), STATUS_CANCELLED);
    long exit = EventIndex("EvtDeviceD0Exit(D3Final)");
    long release = EventIndex("EvtDeviceReleaseHardware");
    EXPECT_GE(exit, 0);
    EXPECT_GT(release, exit);
    EXPECT_EQ(world().NowMs(), 0u);
    EXPECT_TRUE(um::FindDeviceInterfaces(&GUID_DEVINTERFACE_TALVIK).empty());
    // Requests after the removal fail at once; removal waits for the handle.
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, nullptr), STATUS_DELETE_PENDING);
    device_->Remove();
    EXPECT_EQ(device_->State(), PnpState::SurpriseRemoved);
    um::Close(handle_);
    EXPECT_EQ(device_->State(), PnpState::Removed);
    EXPECT_EQ(world().PoolBlocksOutstanding(), 0u);
    EXPECT_EQ(world().LiveObjects(), 1u);
}

TEST_F(DeviceControl, StopHoldsRequestsUntilTheRestart) {
    uint8_t out[8];
    ASSERT_EQ(device_->Stop(), STATUS_SUCCESS);
    um::IoOperation op;
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &op), STATUS_PENDING);
    world().AdvanceMs(30000);
    EXPECT_FALSE(op.Done());
    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    EXPECT_EQ(op.GetStatus(), STATUS_SUCCESS);
}

TEST_F(DeviceControl, RequestsFromSeveralThreadsAreEachCompletedOnce) {
    device_->Usb().SetVendorHandler([](const SetupPacket& s, const std::vector<uint8_t>&) {
        return ControlReply::Data(Bytes(s.wLength, s.bRequest));
    });
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                uint8_t out[16];
                uint32_t bytes = 0;
                auto block = Block(1, 2, 0, static_cast<UCHAR>(t * kEach + i), 0, 0);
                if (um::DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                        sizeof block, out, sizeof out, &bytes) == STATUS_SUCCESS &&
                    bytes == sizeof out && out[0] == block.Request)
                    ok++;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(ok.load(), kThreads * kEach);
}

} // namespace
