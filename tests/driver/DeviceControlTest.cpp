// The device-control interface as an application sees it through the I/O manager, with the
// setup packets checked on the virtual bus.
#include "Talvik2Test.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace talvik_test;

namespace {

constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS kStatusInvalidBufferSize = static_cast<NTSTATUS>(0xC0000206);

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

class DeviceControl : public Talvik2Test {
protected:
    void SetUp() override {
        Talvik2Test::SetUp();
        device_ = StartColorimeter();
        ASSERT_NE(device_, nullptr);
        handle_ = Open();
        device_->ClearTraffic(); // what the preparation sent
    }

    NTSTATUS Vendor(const void* block, ULONG blockLength, void* out, ULONG outLength,
                    ULONG_PTR* bytes) {
        return machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, block, blockLength,
                                         out, outLength, bytes);
    }
    NTSTATUS Vendor(const VENDOR_OR_CLASS_REQUEST_CONTROL& block, void* out, ULONG outLength,
                    ULONG_PTR* bytes) {
        return Vendor(&block, sizeof block, out, outLength, bytes);
    }
    NTSTATUS VendorAsync(const VENDOR_OR_CLASS_REQUEST_CONTROL& block, void* out, ULONG outLength,
                         ntsim::Overlapped* op) {
        return machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                         sizeof block, out, outLength, op);
    }
    NTSTATUS ReadAsync(void* out, ULONG outLength, ntsim::Overlapped* op) {
        return machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out,
                                         outLength, op);
    }
    NTSTATUS Cancel(ntsim::Overlapped* op) {
        NTSTATUS status = machine().CancelIoEx(handle_, op);
        machine().WaitIdle();
        return status;
    }

    Colorimeter* device_ = nullptr;
    Handle handle_ = 0;
};

TEST_F(DeviceControl, VendorInTransferReturnsTheDeviceDataAndItsLength) {
    std::vector<uint8_t> seenHostData{1};
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>& host) {
        seenHostData = host;
        return ControlReply::Data(Bytes(12, 0xA0));
    });
    uint8_t out[64];
    std::memset(out, 0xEE, sizeof out);
    ULONG_PTR bytes = 0;
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
    EXPECT_EQ(t[0].dataIn, Bytes(12, 0xA0));
    EXPECT_EQ(Context(device_)->RequestDirectionIn, 1);
}

TEST_F(DeviceControl, VendorOutTransferSendsTheOutputBuffer) {
    auto data = Bytes(64, 0x10);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Vendor(Block(0, 2, 0, 0x21, 7, 9), data.data(), 64, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 64u);
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(t[0].setup.wLength, 64);
    EXPECT_EQ(t[0].dataOut, data);
    EXPECT_EQ(Context(device_)->RequestDirectionIn, 0);
}

// Replies of the device and what the application gets back.
TEST_F(DeviceControl, DeviceRepliesMapToStatusAndBytes) {
    struct Row {
        const char* name;
        UCHAR direction;
        ULONG outLength;
        ControlReply reply;
        NTSTATUS status;
        ULONG_PTR bytes;
    } rows[] = {
        {"short data", 1, 64, ControlReply::Data(Bytes(3, 1)), STATUS_SUCCESS, 3},
        {"more data than asked", 1, 4, ControlReply::Data(Bytes(9, 1)), STATUS_SUCCESS, 4},
        {"zero-length, acknowledged", 0, 0, ControlReply::Ack(), STATUS_SUCCESS, 0},
        {"zero-length IN, acknowledged", 1, 0, ControlReply::Ack(), STATUS_SUCCESS, 0},
        {"zero-length, stalled", 0, 0, ControlReply::Stall(), STATUS_UNSUCCESSFUL, 0},
        {"stall", 1, 64, ControlReply::Stall(), STATUS_UNSUCCESSFUL, 0},
        {"USB error", 0, 16, ControlReply::UsbError(static_cast<USBD_STATUS>(0xC0006000)),
         STATUS_UNSUCCESSFUL, 0},
        {"device takes its time", 1, 64, ControlReply::Data(Bytes(2, 1)).After(4999),
         STATUS_SUCCESS, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        device_->ClearTraffic();
        device_->SetVendorHandler(
            [&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) { return row.reply; });
        std::vector<uint8_t> out(row.outLength ? row.outLength : 1);
        ntsim::Overlapped op;
        NTSTATUS status = VendorAsync(Block(row.direction, 2, 0, 1, 0, 0),
                                      row.outLength ? out.data() : nullptr, row.outLength, &op);
        if (status == STATUS_PENDING)
            Advance(row.reply.delayMs);
        ASSERT_TRUE(op.Done());
        EXPECT_EQ(op.Status(), row.status);
        EXPECT_EQ(op.Information(), row.bytes);
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
        ULONG inLength;
        NTSTATUS status;
    } rows[] = {{0, STATUS_BUFFER_TOO_SMALL},
                {1, STATUS_BUFFER_TOO_SMALL},
                {9, STATUS_BUFFER_TOO_SMALL},
                {10, STATUS_SUCCESS},
                {16, STATUS_SUCCESS}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.inLength);
        device_->ClearTraffic();
        std::memset(buf + 10, 0x77, 6); // bytes past the block are not read
        ULONG_PTR bytes = 99;
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
        device_->ClearTraffic();
        ULONG_PTR bytes = 99;
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
        ULONG_PTR bytes = 99;
        EXPECT_EQ(
            machine().DeviceIoControl(handle_, code, &block, sizeof block, out, sizeof out, &bytes),
            STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(bytes, 0u);
    }
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    EXPECT_TRUE(ReadTraffic(*device_).empty());
}

TEST_F(DeviceControl, AnUnansweredVendorRequestFailsAfterFiveSecondsAndTheNextWorks) {
    int calls = 0;
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ++calls == 1 ? ControlReply::NoAnswer() : ControlReply::Data(Bytes(4, 1));
    });
    uint8_t out[8];
    ntsim::Overlapped op;
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &op), STATUS_PENDING);
    Advance(4999);
    EXPECT_FALSE(op.Done());
    Advance(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(op.Information(), 0u);
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].cancelled);

    ULONG_PTR bytes = 0;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
}

TEST_F(DeviceControl, TwoVendorRequestsAtOnceAreServedInTurn) {
    size_t most = 0;
    device_->SetVendorHandler([&](const USB_SETUP_PACKET& s, const std::vector<uint8_t>&) {
        size_t pending = 0;
        for (const TransferRecord& t : VendorTraffic(*device_))
            pending += !t.completed;
        most = std::max(most, pending);
        return ControlReply::Data(Bytes(2, s.bRequest)).After(100);
    });
    uint8_t out1[8], out2[8];
    ntsim::Overlapped op1, op2;
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 0x11, 0, 0), out1, sizeof out1, &op1), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 0x22, 0, 0), out2, sizeof out2, &op2), STATUS_PENDING);
    EXPECT_EQ(VendorTraffic(*device_).size(), 1u); // the second waits in its queue
    Advance(100);
    ASSERT_TRUE(op1.Done());
    EXPECT_FALSE(op2.Done());
    Advance(100);
    ASSERT_TRUE(op2.Done());
    EXPECT_EQ(op1.Status(), STATUS_SUCCESS);
    EXPECT_EQ(op2.Status(), STATUS_SUCCESS);
    EXPECT_EQ(out1[0], 0x11);
    EXPECT_EQ(out2[0], 0x22);
    EXPECT_EQ(most, 1u);
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_GE(t[1].submittedMs, t[0].completedMs);
    // Reads are not held behind vendor requests.
    ntsim::Overlapped vendor, read;
    uint8_t in[8];
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 0x33, 0, 0), out1, sizeof out1, &vendor), STATUS_PENDING);
    ASSERT_EQ(ReadAsync(in, sizeof in, &read), STATUS_PENDING);
    EXPECT_EQ(device_->PushInterrupt({1, 2}), STATUS_SUCCESS);
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(read.Information(), 2u);
    EXPECT_FALSE(vendor.Done());
    Advance(100);
    EXPECT_TRUE(vendor.Done());
}

TEST_F(DeviceControl, ASecondVendorRequestWaitsOutAnUnansweredOne) {
    int calls = 0;
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ++calls == 1 ? ControlReply::NoAnswer() : ControlReply::Ack();
    });
    ntsim::Overlapped op1, op2;
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 1, 0, 0), nullptr, 0, &op1), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 2, 0, 0), nullptr, 0, &op2), STATUS_PENDING);
    Advance(5000);
    EXPECT_EQ(op1.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(op2.Status(), STATUS_SUCCESS);
    // Cancelling a request still waiting in the vendor queue ends it alone.
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::NoAnswer();
    });
    ntsim::Overlapped op3, op4;
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 3, 0, 0), nullptr, 0, &op3), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(0, 2, 0, 4, 0, 0), nullptr, 0, &op4), STATUS_PENDING);
    EXPECT_EQ(Cancel(&op4), STATUS_SUCCESS);
    EXPECT_EQ(op4.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(op3.Done());
    EXPECT_EQ(Cancel(&op3), STATUS_SUCCESS);
    EXPECT_EQ(op3.Status(), STATUS_CANCELLED);
    EXPECT_EQ(Cancel(&op3), kStatusNotFound);
    // Only the one that was sent reached the bus, and was cancelled there.
    auto t = VendorTraffic(*device_);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[2].setup.bRequest, 3);
    EXPECT_TRUE(t[2].cancelled);
}

TEST_F(DeviceControl, AReadReturnsOneInterruptTransfer) {
    uint8_t in[64];
    ntsim::Overlapped op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    EXPECT_EQ(device_->PushInterrupt(Bytes(8, 0x30)), STATUS_SUCCESS);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_SUCCESS);
    EXPECT_EQ(op.Information(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 8), Bytes(8, 0x30));
    // Data that is there before the read is delivered at once.
    EXPECT_EQ(device_->PushInterrupt(Bytes(3, 0x40)), STATUS_SUCCESS);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(
        machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, 5, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 3), Bytes(3, 0x40));
    auto reads = ReadTraffic(*device_);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].bytes, 8u);
    EXPECT_EQ(reads[1].bytes, 3u);
}

TEST_F(DeviceControl, AReadWithNothingToReadFailsAfterFiveSeconds) {
    uint8_t in[64];
    ntsim::Overlapped op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    Advance(4999);
    EXPECT_FALSE(op.Done());
    Advance(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(op.Information(), 0u);
    EXPECT_EQ(machine().NowMs(), 5000);
    // The transfer was cancelled at the bus: nothing waits there for data any more.
    auto reads = ReadTraffic(*device_);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_TRUE(reads[0].cancelled);
}

// A device that sends more than was asked for fills the buffer and the read fails with an
// overrun; an error status brings the caller no byte count (the length the driver passes on is
// checked on the IRP itself in the contract tests).
TEST_F(DeviceControl, AFailedReadReportsTheLengthTheStackReported) {
    uint8_t in[4];
    ntsim::Overlapped op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    EXPECT_EQ(device_->PushInterrupt(Bytes(6, 0x70)), STATUS_SUCCESS);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_UNSUCCESSFUL);
    auto reads = ReadTraffic(*device_);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].usbdStatus, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(reads[0].bytes, sizeof in);
    EXPECT_EQ(op.Information(), 0u);
}

TEST_F(DeviceControl, AZeroLengthReadNeverReachesTheDevice) {
    ULONG_PTR bytes = 99;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, nullptr, 0,
                                        &bytes),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(ReadTraffic(*device_).empty());
}

// The I/O manager checked the output buffer of METHOD_IN_DIRECT for read access only: a
// device-to-host transfer into memory the caller may only read is refused before the bus.
TEST_F(DeviceControl, ADeviceToHostRequestIntoAReadOnlyBufferIsRefusedBeforeTheBus) {
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data(Bytes(8, 1));
    });
    // Protection is by page: the buffer's last byte is alone on the second of two pages.
    constexpr size_t kPage = 4096, kLength = 16;
    auto* pages = static_cast<uint8_t*>(std::aligned_alloc(kPage, 2 * kPage));
    ASSERT_NE(pages, nullptr);
    uint8_t* out = pages + kPage - (kLength - 1);
    ntsim::UserIo& user = machine().Kernel().User();
    std::memset(out, 0x5A, kLength);
    user.Protect(out, kLength, ntsim::Protection::ReadOnly);
    ULONG_PTR bytes = 99;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, kLength, &bytes), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(bytes, 0u);
    // One read-only byte is enough; interrupt reads are probed by the I/O manager itself.
    user.Protect(out, kLength - 1, ntsim::Protection::ReadWrite);
    EXPECT_EQ(Vendor(Block(0xFF, 2, 0, 1, 0, 0), out, kLength, &bytes), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out,
                                        kLength, &bytes),
              STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    EXPECT_TRUE(ReadTraffic(*device_).empty());
    EXPECT_EQ(std::vector<uint8_t>(out, out + kLength), std::vector<uint8_t>(kLength, 0x5A));
    // Sending from read-only memory is what the buffer is for; a zero-length IN has no buffer.
    EXPECT_EQ(Vendor(Block(0, 2, 0, 2, 0, 0), out, kLength, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, kLength);
    EXPECT_EQ(Vendor(Block(1, 2, 0, 3, 0, 0), nullptr, 0, &bytes), STATUS_SUCCESS);
    user.Protect(out, kLength, ntsim::Protection::ReadWrite);
    EXPECT_EQ(Vendor(Block(1, 2, 0, 4, 0, 0), out, kLength, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(VendorTraffic(*device_).size(), 3u);
    std::free(pages);
}

// The URB block after a transfer: cleared, then exactly the fields of a vendor request, and
// what the USB stack wrote back.
TEST_F(DeviceControl, TheUrbBlockHoldsExactlyTheVendorRequest) {
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data(Bytes(5, 1));
    });
    PDEVICE_CONTEXT ctx = Context(device_);
    ASSERT_NE(ctx, nullptr);
    for (UCHAR direction : {UCHAR(1), UCHAR(0)}) {
        SCOPED_TRACE(direction ? "IN" : "OUT");
        std::memset(ctx->UrbBuffer, 0xCD, TALVIK_URB_SIZE); // as the pool leaves a block
        uint8_t out[32] = {};
        ULONG_PTR bytes = 0;
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
        c.TransferBufferLength = static_cast<ULONG>(bytes);
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
        machine().ClearFaults();
        machine().FailCall(row.api, row.status);
        uint8_t in[8];
        ULONG_PTR bytes = 99;
        const unsigned long long before = machine().DriverRoutineCalls();
        EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in,
                                            sizeof in, &bytes),
                  row.status);
        EXPECT_EQ(bytes, 0u);
        // The caller's context and the device control ran; the read's completion routine did
        // not (it would complete the request a second time).
        EXPECT_EQ(machine().DriverRoutineCalls() - before, 2u);
    }
    EXPECT_TRUE(ReadTraffic(*device_).empty());
}

TEST_F(DeviceControl, VendorFailuresOfTheFrameworkCompleteTheRequestAtOnce) {
    struct Row {
        const char* api;
        unsigned skip; // calls that succeed first (the caller's context reads the block too)
        NTSTATUS injected;
        NTSTATUS status;
        unsigned routines; // driver routines run for the request: no completion routine
    } rows[] = {
        {"WdfRequestRetrieveInputBuffer", 0, STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_USER_BUFFER, 3}, // no block in the caller's context: no locked buffer
        {"WdfRequestProbeAndLockUserBufferForWrite", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, 1},
        {"WdfDeviceEnqueueRequest", 0, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
         1},
        {"WdfRequestForwardToIoQueue", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, 2},
        {"WdfRequestRetrieveInputBuffer", 1, STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_DEVICE_REQUEST, 3},
        {"WdfRequestRetrieveOutputBuffer", 0, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL, 3},
        {"WdfUsbTargetDeviceFormatRequestForUrb", 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, 3},
        {"WdfRequestSend", 0, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.api) + " #" + std::to_string(row.skip + 1));
        machine().ClearFaults();
        machine().FailCall(row.api, row.injected, 1, row.skip);
        uint8_t out[8];
        ULONG_PTR bytes = 99;
        const unsigned long long before = machine().DriverRoutineCalls();
        EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), row.status);
        EXPECT_EQ(bytes, 0u);
        // A request whose send failed is completed by the driver, not by a completion routine.
        EXPECT_EQ(machine().DriverRoutineCalls() - before, row.routines);
    }
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    // Nothing stays broken.
    machine().ClearFaults();
    uint8_t out[8];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, sizeof out);
}

TEST_F(DeviceControl, APendingReadKeepsTheDeviceInD0AndCancellingItEndsIt) {
    uint8_t in[8];
    ntsim::Overlapped first;
    ASSERT_EQ(ReadAsync(in, sizeof in, &first), STATUS_PENDING);
    EXPECT_EQ(Cancel(&first), STATUS_SUCCESS);
    EXPECT_EQ(first.Status(), STATUS_CANCELLED);
    // A read pending for 5 s keeps the device in D0; it idles 10 s after the timeout.
    ntsim::Overlapped second;
    ASSERT_EQ(ReadAsync(in, sizeof in, &second), STATUS_PENDING);
    Advance(5000);
    EXPECT_EQ(second.Status(), STATUS_IO_TIMEOUT);
    EXPECT_TRUE(InD0());
    Advance(9999);
    EXPECT_TRUE(InD0());
    Advance(1);
    EXPECT_FALSE(InD0());
    // A read brings it back; the pipe's target is started again.
    ntsim::Overlapped third;
    ASSERT_EQ(ReadAsync(in, sizeof in, &third), STATUS_PENDING);
    machine().WaitIdle();
    EXPECT_TRUE(InD0());
    EXPECT_EQ(device_->PushInterrupt({9}), STATUS_SUCCESS);
    EXPECT_EQ(third.Status(), STATUS_SUCCESS);
}

TEST_F(DeviceControl, SleepWaitsForRequestsTheDriverOwnsThenD0ExitRuns) {
    uint8_t in[8];
    ntsim::Overlapped op;
    ASSERT_EQ(ReadAsync(in, sizeof in, &op), STATUS_PENDING);
    machine().ClearEvents();
    // Without an EvtIoStop callback the framework waits out the read's 5-second timeout; the
    // clock moves on this thread while the system's sleep waits on another.
    NTSTATUS slept = STATUS_PENDING;
    std::thread sleeper([&] { slept = machine().Sleep(); });
    machine().AdvanceMs(5000);
    sleeper.join();
    ASSERT_EQ(slept, STATUS_SUCCESS);
    EXPECT_EQ(machine().NowMs(), 5000);
    EXPECT_EQ(op.Status(), STATUS_IO_TIMEOUT);
    // D0 exit stops the interrupt pipe, cancelling what was sent to it; D0 entry starts it.
    long stop = EventIndex("WdfIoTargetStop");
    long exit = EventIndex("EvtDeviceD0Exit(D2) -> 0x00000000");
    EXPECT_GE(stop, 0);
    EXPECT_GT(exit, stop);
    machine().ClearEvents();
    ASSERT_EQ(machine().Wake(), STATUS_SUCCESS);
    long start = EventIndex("WdfIoTargetStart");
    EXPECT_GE(start, 0);
    EXPECT_GT(EventIndex("EvtDeviceD0Entry(D2) -> 0x00000000"), start);
}

// Unplugged with requests in flight: each ends once, at once. The bus fails what it holds as the
// device goes; the surprise removal purges what waits in the driver's queues; the PnP manager
// then removes the stack (as Wine does, without waiting for the handle).
TEST_F(DeviceControl, SurpriseRemovalCancelsRequestsInFlightOnce) {
    device_->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::NoAnswer();
    });
    uint8_t in1[8], in2[8], out[8];
    ntsim::Overlapped read1, read2, vendor, queued;
    ASSERT_EQ(ReadAsync(in1, sizeof in1, &read1), STATUS_PENDING);
    ASSERT_EQ(ReadAsync(in2, sizeof in2, &read2), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &vendor), STATUS_PENDING);
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 2, 0, 0), out, sizeof out, &queued), STATUS_PENDING);
    machine().ClearEvents();
    const unsigned long long before = machine().RequestsCompleted();
    ASSERT_EQ(machine().Unplug(device_), STATUS_SUCCESS);
    EXPECT_EQ(machine().RequestsCompleted() - before, 4u);
    EXPECT_EQ(read1.Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(read2.Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(vendor.Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(queued.Status(), STATUS_NO_SUCH_DEVICE);
    long exit = EventIndex("EvtDeviceD0Exit(D3Final)");
    long release = EventIndex("EvtDeviceReleaseHardware");
    EXPECT_GE(exit, 0);
    EXPECT_GT(release, exit);
    EXPECT_EQ(machine().NowMs(), 0);
    EXPECT_TRUE(machine().Interfaces().empty());
    EXPECT_FALSE(State(device_).present);
    // The handle outlives the stack: its requests fail at once; it closes.
    ULONG_PTR bytes = 99;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_DELETE_PENDING);
    EXPECT_EQ(Close(handle_), STATUS_SUCCESS);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
    EXPECT_EQ(machine().LiveFrameworkObjects(), 0u); // the driver went with its last device
}

TEST_F(DeviceControl, StopHoldsRequestsUntilTheRestart) {
    uint8_t out[8];
    ASSERT_EQ(machine().Stop(device_), STATUS_SUCCESS);
    ntsim::Overlapped op;
    ASSERT_EQ(VendorAsync(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &op), STATUS_PENDING);
    Advance(30000);
    EXPECT_FALSE(op.Done());
    EXPECT_TRUE(VendorTraffic(*device_).empty());
    ASSERT_EQ(machine().Start(device_), STATUS_SUCCESS);
    machine().WaitIdle();
    EXPECT_EQ(op.Status(), STATUS_SUCCESS);
    EXPECT_EQ(VendorTraffic(*device_).size(), 1u);
}

TEST_F(DeviceControl, RequestsFromSeveralThreadsAreEachCompletedOnce) {
    device_->SetVendorHandler([](const USB_SETUP_PACKET& s, const std::vector<uint8_t>&) {
        return ControlReply::Data(Bytes(s.wLength, s.bRequest));
    });
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                uint8_t out[16];
                ULONG_PTR bytes = 0;
                auto block = Block(1, 2, 0, static_cast<UCHAR>(t * kEach + i), 0, 0);
                if (machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                              sizeof block, out, sizeof out,
                                              &bytes) == STATUS_SUCCESS &&
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
