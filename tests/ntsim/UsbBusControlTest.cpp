// The bus's control interface from user mode: a device plugged from its descriptors is enumerated
// and served to its function driver, unplugged it is gone and freed; malformed requests are
// refused before the bus reads a byte beyond what came with them.
#include "FunctionDriver.h"
#include "KernelFixture.h"

#include <usbbus/UsbBus.h>

#include <algorithm>
#include <vector>

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

    size_t ChildrenWithId(const std::string& id) {
        auto devices = kernel().Pnp().Devices();
        return std::count_if(devices.begin(), devices.end(),
                             [&](auto& d) { return d.deviceId == id; });
    }

    PDEVICE_OBJECT busPdo_ = nullptr;
    UserIo::Handle control_ = 0;
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

} // namespace
