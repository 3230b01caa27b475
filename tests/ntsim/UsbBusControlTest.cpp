// The bus's control interface from user mode: a device plugged from its descriptors is enumerated
// and served to its function driver, unplugged it is gone and freed; its vendor requests are
// answered as a script says and its interrupt endpoint fed; malformed requests are refused before
// the bus reads a byte beyond what came with them.
#include "FunctionDriver.h"
#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <usbbus/UsbBus.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using ntsim::Overlapped;
using ntsim::UserIo;

namespace {

const GUID kControlInterface = USBBUS_CONTROL_INTERFACE_GUID_INIT;

// Vendor 0x1234, product 0x5678 (the test function driver's id), one vendor interface with an
// interrupt IN endpoint, and a language-id string descriptor.
std::vector<UCHAR> PlugRequest() {
    return {18, 1, 0x00, 0x02, 0, 0,    0,  64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01,
            0,  0, 0,    1,    9, 2,    25, 0,  1,    1,    0,    0x80, 50, // configuration
            9,  4, 0,    0,    1, 0xFF, 0,  0,  0,                          // interface
            7,  5, 0x81, 3,    8, 0,    10,                                 // endpoint
            4,  3, 0x09, 0x04};                                             // string 0
}

// An IOCTL_USBBUS_SCRIPT request, record by record.
class Script {
public:
    explicit Script(ULONG port) : bytes_(sizeof(USBBUS_SCRIPT)) { Header()->Port = port; }

    Script& Add(UCHAR flags, UCHAR type, UCHAR request, USBBUS_ANSWER answer,
                std::vector<UCHAR> data = {}, ULONG delayMs = 0, LONG usbdStatus = 0) {
        USBBUS_SCRIPT_RECORD r{flags,      type,    request,           static_cast<UCHAR>(answer),
                               usbdStatus, delayMs, ULONG(data.size())};
        Append(&r, sizeof r);
        Append(data.data(), data.size());
        Header()->Records++;
        return *this;
    }
    Script& Match(UCHAR request, USBBUS_ANSWER answer, std::vector<UCHAR> data = {}) {
        return Add(USBBUS_MATCH_REQUEST, 0, request, answer, std::move(data));
    }

    USBBUS_SCRIPT* Header() { return reinterpret_cast<USBBUS_SCRIPT*>(bytes_.data()); }
    USBBUS_SCRIPT_RECORD* Record(size_t at) {
        return reinterpret_cast<USBBUS_SCRIPT_RECORD*>(bytes_.data() + at);
    }
    std::vector<UCHAR>& Bytes() { return bytes_; }

private:
    void Append(const void* p, size_t n) {
        const auto* b = static_cast<const UCHAR*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    std::vector<UCHAR> bytes_;
};

std::vector<UCHAR> FeedRequest(ULONG port, UCHAR endpoint, std::vector<UCHAR> data) {
    USBBUS_FEED_IN feed{port, endpoint, {0, 0, 0}, ULONG(data.size())};
    std::vector<UCHAR> bytes(sizeof feed + data.size());
    std::memcpy(bytes.data(), &feed, sizeof feed);
    std::copy(data.begin(), data.end(), bytes.begin() + sizeof feed);
    return bytes;
}

const LONG kUsbdCrc = static_cast<LONG>(0xC0000001L); // USBD_STATUS_CRC

class UsbBusControlTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        busPdo_ = AddBusWithTestFunctionDriver();
        ASSERT_NE(busPdo_, nullptr);
        std::vector<std::string> paths = kernel().User().FindInterfaces(kControlInterface);
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_EQ(kernel().User().CreateFile(paths[0], UserIo::kGenericRead, &control_),
                  STATUS_SUCCESS);
    }

    void TearDown() override {
        if (function_ != 0)
            kernel().User().CloseHandle(function_);
        kernel().User().CloseHandle(control_);
        EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo_), STATUS_SUCCESS);
        KernelFixture::TearDown();
    }

    NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                     ULONG_PTR* bytes) {
        return kernel().User().DeviceIoControl(control_, code, in, inLength, out, outLength, bytes);
    }

    NTSTATUS Plug(const std::vector<UCHAR>& request, ULONG* port) {
        ULONG_PTR bytes = 0;
        NTSTATUS status = Control(IOCTL_USBBUS_PLUG, request.data(), ULONG(request.size()), port,
                                  sizeof(*port), &bytes);
        kernel().WaitIdle();
        return status;
    }

    NTSTATUS Unplug(ULONG port) {
        ULONG_PTR bytes = 0;
        NTSTATUS status = Control(IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, &bytes);
        kernel().WaitIdle();
        return status;
    }

    std::vector<USBBUS_LOG_ENTRY> ReadLog(ULONG first, ULONG room = USBBUS_LOG_ENTRIES) {
        std::vector<USBBUS_LOG_ENTRY> entries(room);
        ULONG_PTR bytes = 0;
        EXPECT_EQ(Control(IOCTL_USBBUS_READ_LOG, &first, sizeof first, entries.data(),
                          ULONG(room * sizeof(USBBUS_LOG_ENTRY)), &bytes),
                  STATUS_SUCCESS);
        EXPECT_EQ(bytes % sizeof(USBBUS_LOG_ENTRY), 0u);
        entries.resize(bytes / sizeof(USBBUS_LOG_ENTRY));
        return entries;
    }

    NTSTATUS Send(ULONG code, std::vector<UCHAR>& request) {
        ULONG_PTR bytes = 0;
        NTSTATUS status = Control(code, request.data(), ULONG(request.size()), nullptr, 0, &bytes);
        kernel().WaitIdle();
        return status;
    }

    // The function driver's handle on the plugged device.
    UserIo::Handle OpenFunction() {
        std::vector<std::string> paths = kernel().User().FindInterfaces(FnInterfaceGuid);
        EXPECT_EQ(paths.size(), 1u);
        if (paths.empty())
            return 0;
        EXPECT_EQ(kernel().User().CreateFile(paths[0], UserIo::kGenericRead | UserIo::kGenericWrite,
                                             &function_),
                  STATUS_SUCCESS);
        return function_;
    }

    // A vendor IN request of `length` bytes through the function driver: its status, and the
    // bytes it returned in `data`.
    NTSTATUS VendorIn(UCHAR request, ULONG length, std::vector<UCHAR>* data) {
        FN_VENDOR_REQUEST in{request, 0, 0};
        data->assign(length, 0);
        ULONG_PTR bytes = 0;
        NTSTATUS status = kernel().User().DeviceIoControl(function_, IOCTL_FN_VENDOR_IN, &in,
                                                          sizeof in, data->data(), length, &bytes);
        data->resize(bytes);
        return status;
    }

    LONG LastUsbdStatus() {
        std::vector<USBBUS_LOG_ENTRY> log = ReadLog(0);
        auto last = std::find_if(log.rbegin(), log.rend(),
                                 [](auto& e) { return e.Kind == UsbBusLogStatus; });
        return last == log.rend() ? 0 : last->UsbdStatus;
    }

    size_t ChildrenWithId(const std::string& id) {
        auto devices = kernel().Pnp().Devices();
        return std::count_if(devices.begin(), devices.end(),
                             [&](auto& d) { return d.deviceId == id; });
    }

    PDEVICE_OBJECT busPdo_ = nullptr;
    UserIo::Handle control_ = 0;
    UserIo::Handle function_ = 0;
};

TEST_F(UsbBusControlTest, PluggedDeviceIsEnumeratedServedAndGoneWhenUnplugged) {
    ULONG port = 0;
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    EXPECT_EQ(port, 1u);
    auto devices = kernel().Pnp().Devices();
    auto child = std::find_if(devices.begin(), devices.end(),
                              [](auto& d) { return d.deviceId == "USB\\VID_1234&PID_5678"; });
    ASSERT_NE(child, devices.end());
    EXPECT_EQ(child->hardwareIds, (std::vector<std::string>{"USB\\VID_1234&PID_5678&REV_0100",
                                                            "USB\\VID_1234&PID_5678"}));
    EXPECT_TRUE(child->started);
    // The function driver read the configuration the request carried, 9 bytes then all 25.
    std::vector<USBBUS_LOG_ENTRY> log = ReadLog(0);
    std::vector<USBBUS_LOG_ENTRY> setups;
    std::copy_if(log.begin(), log.end(), std::back_inserter(setups),
                 [](auto& e) { return e.Kind == UsbBusLogSetup; });
    ASSERT_EQ(setups.size(), 3u);
    EXPECT_EQ(setups[0].Setup.wLength, 9);
    EXPECT_EQ(setups[1].Setup.wLength, 25);
    EXPECT_EQ(setups[2].Setup.bRequest, 0x09);
    // Read from a sequence number, into room for one.
    std::vector<USBBUS_LOG_ENTRY> tail = ReadLog(log[1].Sequence, 1);
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0].Sequence, log[1].Sequence);
    EXPECT_TRUE(ReadLog(log.back().Sequence + 1).empty());

    ASSERT_EQ(Unplug(port), STATUS_SUCCESS);
    EXPECT_EQ(ChildrenWithId("USB\\VID_1234&PID_5678"), 0u);
    EXPECT_EQ(Unplug(port), STATUS_NO_SUCH_DEVICE);
    // The port is free again; the second device is removed with the bus (its pool checked then).
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    EXPECT_EQ(port, 1u);
}

TEST_F(UsbBusControlTest, MalformedRequestsAreRefusedAndPlugNothing) {
    struct Row {
        const char* what;
        size_t at; // byte to change (or, with `cut`, bytes to keep)
        UCHAR value;
        bool cut;
    };
    const Row rows[] = {
        {"empty", 0, 0, true},
        {"shorter than a device descriptor", 17, 0, true},
        {"device descriptor of another length", 0, 17, false},
        {"not a device descriptor", 1, 2, false},
        {"no configuration", 18, 0, true},
        {"configuration longer than the request", 20, 200, false},
        {"configuration shorter than its header", 20, 8, false},
        {"inner descriptor of length 0", 27, 0, false},
        {"inner descriptor beyond the configuration", 36, 60, false},
        {"string descriptor beyond the request", 43, 9, false},
        {"trailing bytes that are no string", 44, 5, false},
    };
    for (const Row& row : rows) {
        std::vector<UCHAR> request = PlugRequest();
        if (row.cut)
            request.resize(row.at);
        else
            request[row.at] = row.value;
        ULONG port = 0;
        EXPECT_EQ(Plug(request, &port), STATUS_INVALID_PARAMETER) << row.what;
    }
    EXPECT_EQ(ChildrenWithId("USB\\VID_1234&PID_5678"), 0u);

    std::vector<UCHAR> request = PlugRequest();
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Control(IOCTL_USBBUS_PLUG, request.data(), ULONG(request.size()), nullptr, 0, &bytes),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Unplug(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Unplug(USBBUS_MAX_PORTS + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Unplug(1), STATUS_NO_SUCH_DEVICE);
    UCHAR shortInput = 0;
    USBBUS_LOG_ENTRY entry;
    EXPECT_EQ(Control(IOCTL_USBBUS_READ_LOG, &shortInput, 1, &entry, sizeof entry, &bytes),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(USBBUS_CTL_CODE(0x8ffu), nullptr, 0, nullptr, 0, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(UsbBusControlTest, ScriptedAnswersAreUsedInOrderOfMatchThenTheDeviceStalls) {
    ULONG port = 0;
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    OpenFunction();
    std::vector<UCHAR> data;
    // Before any script: vendor requests stall.
    EXPECT_EQ(VendorIn(0x01, 4, &data), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastUsbdStatus(), USBD_STATUS_STALL_PID);

    Script script(port);
    script.Match(0x01, UsbBusAnswerData, {1, 2, 3, 4, 5})
        .Add(USBBUS_MATCH_REQUEST, 0, 0x02, UsbBusAnswerError, {}, 0, kUsbdCrc)
        .Add(0, 0, 0, UsbBusAnswerStall)
        .Add(USBBUS_MATCH_REQUEST_TYPE | USBBUS_MATCH_REQUEST | USBBUS_RECORD_REPEATS, 0xC0, 0x03,
             UsbBusAnswerData, {9}, 20);
    ASSERT_EQ(Send(IOCTL_USBBUS_SCRIPT, script.Bytes()), STATUS_SUCCESS);

    // A later record answers first when the earlier ones do not match; they stay.
    EXPECT_EQ(VendorIn(0x02, 4, &data), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastUsbdStatus(), kUsbdCrc);
    // No more bytes than the host asked for.
    EXPECT_EQ(VendorIn(0x01, 4, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<UCHAR>{1, 2, 3, 4}));
    // Used up: the next fitting record is the one that matches anything.
    EXPECT_EQ(VendorIn(0x01, 4, &data), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastUsbdStatus(), USBD_STATUS_STALL_PID);
    // The repeating record answers after its delay, every time.
    for (int round = 0; round < 2; ++round) {
        FN_VENDOR_REQUEST in{0x03, 0, 0};
        UCHAR out[4] = {};
        Overlapped op;
        ASSERT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_VENDOR_IN, &in, sizeof in,
                                                  out, sizeof out, &op),
                  STATUS_PENDING);
        kernel().AdvanceMs(19);
        EXPECT_FALSE(op.Done());
        kernel().AdvanceMs(1);
        ASSERT_TRUE(op.Done()) << "round " << round;
        EXPECT_EQ(op.Status(), STATUS_SUCCESS);
        EXPECT_EQ(op.Information(), 1u);
        EXPECT_EQ(out[0], 9);
    }
    // It matches its request type only: a vendor OUT request 0x03 finds nothing and stalls.
    struct {
        FN_VENDOR_REQUEST header;
        UCHAR data[2];
    } write{{0x03, 0, 0}, {7, 8}};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_VENDOR_OUT, &write, sizeof write,
                                              nullptr, 0, &bytes),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorIn(0x01, 4, &data), STATUS_UNSUCCESSFUL);

    // A script of no records replaces the old one: everything stalls again.
    Script none(port);
    ASSERT_EQ(Send(IOCTL_USBBUS_SCRIPT, none.Bytes()), STATUS_SUCCESS);
    EXPECT_EQ(VendorIn(0x03, 4, &data), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastUsbdStatus(), USBD_STATUS_STALL_PID);
}

TEST_F(UsbBusControlTest, AcknowledgedOutAndAnUnansweredRequestCancelled) {
    ULONG port = 0;
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    OpenFunction();
    Script script(port);
    script.Match(0x10, UsbBusAnswerAck)
        .Match(0x11, UsbBusAnswerNothing)
        .Match(0x12, UsbBusAnswerAck);
    ASSERT_EQ(Send(IOCTL_USBBUS_SCRIPT, script.Bytes()), STATUS_SUCCESS);

    struct {
        FN_VENDOR_REQUEST header;
        UCHAR data[4];
    } write{{0x10, 0, 0}, {7, 8, 9, 10}};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_VENDOR_OUT, &write, sizeof write,
                                              nullptr, 0, &bytes),
              STATUS_SUCCESS);
    std::vector<USBBUS_LOG_ENTRY> log = ReadLog(0);
    EXPECT_EQ(log.back().Kind, UsbBusLogStatus);
    EXPECT_EQ(log.back().Length, 4u);
    EXPECT_EQ(log.back().UsbdStatus, USBD_STATUS_SUCCESS);

    FN_VENDOR_REQUEST in{0x11, 0, 0};
    UCHAR out[4] = {};
    Overlapped op;
    ASSERT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_VENDOR_IN, &in, sizeof in, out,
                                              sizeof out, &op),
              STATUS_PENDING);
    kernel().AdvanceMs(1000);
    EXPECT_FALSE(op.Done());
    EXPECT_EQ(kernel().User().CancelIoEx(function_, &op), STATUS_SUCCESS);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_CANCELLED);
    // The default pipe is free again; an IN ack moves no data.
    std::vector<UCHAR> data;
    EXPECT_EQ(VendorIn(0x12, 4, &data), STATUS_SUCCESS);
    EXPECT_TRUE(data.empty());
}

TEST_F(UsbBusControlTest, FedInterruptDataReachesThePendingRead) {
    ULONG port = 0;
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    OpenFunction();
    UCHAR first[8] = {};
    Overlapped read;
    ASSERT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, first,
                                              sizeof first, &read),
              STATUS_PENDING);
    std::vector<UCHAR> feed = FeedRequest(port, 0x81, {0xA1, 0xA2, 0xA3});
    ASSERT_EQ(Send(IOCTL_USBBUS_FEED_IN, feed), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 3u);
    EXPECT_EQ(first[2], 0xA3);
    USBBUS_LOG_ENTRY data = ReadLog(0).end()[-2];
    EXPECT_EQ(data.Kind, UsbBusLogData);
    EXPECT_EQ(data.EndpointAddress, 0x81);
    EXPECT_EQ(data.Length, 3u);

    // Fed with nothing pending, the data waits for the next read; a zero-length packet counts.
    feed = FeedRequest(port, 0x81, {});
    ASSERT_EQ(Send(IOCTL_USBBUS_FEED_IN, feed), STATUS_SUCCESS);
    ULONG_PTR bytes = 1;
    EXPECT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, first,
                                              sizeof first, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 0u);

    struct Row {
        const char* what;
        std::vector<UCHAR> request;
        NTSTATUS status;
    } rows[] = {
        {"an endpoint the device does not have", FeedRequest(port, 0x83, {1}),
         STATUS_INVALID_PARAMETER},
        {"an OUT endpoint", FeedRequest(port, 0x01, {1}), STATUS_INVALID_PARAMETER},
        {"an empty port", FeedRequest(port + 1, 0x81, {1}), STATUS_NO_SUCH_DEVICE},
        {"no port", FeedRequest(0, 0x81, {1}), STATUS_INVALID_PARAMETER},
    };
    for (Row& row : rows)
        EXPECT_EQ(Send(IOCTL_USBBUS_FEED_IN, row.request), row.status) << row.what;
}

TEST_F(UsbBusControlTest, MalformedScriptsAndFeedsAreRefusedAndChangeNothing) {
    ULONG port = 0;
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    OpenFunction();
    Script good(port);
    good.Add(USBBUS_RECORD_REPEATS, 0, 0, UsbBusAnswerData, {0x5A});
    ASSERT_EQ(Send(IOCTL_USBBUS_SCRIPT, good.Bytes()), STATUS_SUCCESS);

    const size_t first = sizeof(USBBUS_SCRIPT);
    struct Row {
        const char* what;
        void (*spoil)(Script&, size_t first);
    } rows[] = {
        {"shorter than its header", [](Script& s, size_t) { s.Bytes().resize(7); }},
        {"port 0", [](Script& s, size_t) { s.Header()->Port = 0; }},
        {"a port past the last",
         [](Script& s, size_t) { s.Header()->Port = USBBUS_MAX_PORTS + 1; }},
        {"more records than sent", [](Script& s, size_t) { s.Header()->Records = 2; }},
        {"more records than a script holds",
         [](Script& s, size_t) { s.Header()->Records = USBBUS_SCRIPT_RECORDS + 1; }},
        {"a record cut short", [](Script& s, size_t f) { s.Bytes().resize(f + 8); }},
        {"data beyond the request", [](Script& s, size_t f) { s.Record(f)->Length = 3; }},
        {"trailing bytes", [](Script& s, size_t) { s.Bytes().push_back(0); }},
        {"an unknown answer", [](Script& s, size_t f) { s.Record(f)->Answer = UsbBusAnswerKinds; }},
        {"an unknown flag", [](Script& s, size_t f) { s.Record(f)->Flags |= 0x08; }},
        {"data on a stall", [](Script& s, size_t f) { s.Record(f)->Answer = UsbBusAnswerStall; }},
        {"an error without a USBD error",
         [](Script& s, size_t f) {
             s.Record(f)->Answer = UsbBusAnswerData;
             s.Bytes().pop_back();
             s.Record(f)->Length = 0;
             s.Record(f)->Answer = UsbBusAnswerError;
         }},
        {"a delay past the longest",
         [](Script& s, size_t f) { s.Record(f)->DelayMs = USBBUS_SCRIPT_DELAY_MS + 1; }},
    };
    for (const Row& row : rows) {
        Script bad(port);
        bad.Add(0, 0, 0, UsbBusAnswerData, {1, 2});
        row.spoil(bad, first);
        EXPECT_EQ(Send(IOCTL_USBBUS_SCRIPT, bad.Bytes()), STATUS_INVALID_PARAMETER) << row.what;
    }
    Script empty(port + 1);
    EXPECT_EQ(Send(IOCTL_USBBUS_SCRIPT, empty.Bytes()), STATUS_NO_SUCH_DEVICE);

    std::vector<UCHAR> feed = FeedRequest(port, 0x81, {1, 2, 3});
    feed.pop_back(); // Length says one byte more than came
    EXPECT_EQ(Send(IOCTL_USBBUS_FEED_IN, feed), STATUS_INVALID_PARAMETER);
    feed = FeedRequest(port, 0x81, {1, 2, 3});
    feed.push_back(4); // ...one byte less
    EXPECT_EQ(Send(IOCTL_USBBUS_FEED_IN, feed), STATUS_INVALID_PARAMETER);
    feed.resize(sizeof(USBBUS_FEED_IN) - 1);
    EXPECT_EQ(Send(IOCTL_USBBUS_FEED_IN, feed), STATUS_INVALID_PARAMETER);

    // The good script still answers, and nothing was fed.
    std::vector<UCHAR> data;
    EXPECT_EQ(VendorIn(0x01, 4, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<UCHAR>{0x5A}));
    Overlapped read;
    UCHAR out[8];
    EXPECT_EQ(kernel().User().DeviceIoControl(function_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, out,
                                              sizeof out, &read),
              STATUS_PENDING);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(kernel().User().CancelIoEx(function_, &read), STATUS_SUCCESS);
}

// Feeding from one thread while another unplugs: the feeds end with no such device, and nothing
// fed is left behind (the pool is checked at teardown). A removal meeting a feed in flight is a
// narrow window; the sanitizer builds run this too.
TEST_F(UsbBusControlTest, FeedingWhileTheDeviceIsUnpluggedAndRemoved) {
    ULONG port = 0;
    ASSERT_EQ(Plug(PlugRequest(), &port), STATUS_SUCCESS);
    std::atomic<int> fed{0};
    std::atomic<NTSTATUS> last{STATUS_SUCCESS};
    std::thread feeder([&] {
        std::vector<UCHAR> feed = FeedRequest(port, 0x81, {1, 2, 3, 4});
        for (int i = 0; i < 200000; ++i) {
            ULONG_PTR bytes = 0;
            NTSTATUS status =
                Control(IOCTL_USBBUS_FEED_IN, feed.data(), ULONG(feed.size()), nullptr, 0, &bytes);
            last = status;
            if (status != STATUS_SUCCESS)
                return;
            ++fed;
        }
    });
    while (fed < 100 && last == STATUS_SUCCESS)
        std::this_thread::yield();
    EXPECT_EQ(Unplug(port), STATUS_SUCCESS);
    feeder.join();
    EXPECT_EQ(last, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ChildrenWithId("USB\\VID_1234&PID_5678"), 0u);
}

TEST_F(UsbBusControlTest, ADeviceOfKernelCodeKeepsItsOwnAnswers) {
    TestUsbDevice device;
    ULONG port = 0;
    ASSERT_EQ(UsbBusPlugIn(busPdo_->AttachedDevice, &device, &port), STATUS_SUCCESS);
    kernel().WaitIdle();
    Script script(port);
    script.Add(0, 0, 0, UsbBusAnswerAck);
    EXPECT_EQ(Send(IOCTL_USBBUS_SCRIPT, script.Bytes()), STATUS_INVALID_DEVICE_REQUEST);
    std::vector<UCHAR> feed = FeedRequest(port, 0x81, {1});
    EXPECT_EQ(Send(IOCTL_USBBUS_FEED_IN, feed), STATUS_SUCCESS);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Control(IOCTL_USBBUS_UNPLUG, &port, sizeof port, nullptr, 0, &bytes), STATUS_SUCCESS);
    kernel().WaitIdle();
}

} // namespace
