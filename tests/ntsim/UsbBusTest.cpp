// The virtual USB bus under a WDM function driver, driven from user mode: enumeration by hardware
// id, vendor requests and interrupt transfers on the wire, cancellation, timeouts, surprise
// removal.
#include "FunctionDriver.h"
#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <usbbus/UsbBus.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using ntsim::Overlapped;
using ntsim::UserIo;

namespace {

class UsbBusTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        busPdo_ = AddBusWithTestFunctionDriver();
        ASSERT_NE(busPdo_, nullptr);
        bus_ = busPdo_->AttachedDevice;
        ASSERT_NE(bus_, nullptr);
    }

    void TearDown() override {
        for (UserIo::Handle h : handles_)
            kernel().User().CloseHandle(h);
        if (busPdo_ != nullptr) {
            EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo_), STATUS_SUCCESS);
        }
        KernelFixture::TearDown();
    }

    ULONG Plug(TestUsbDevice& device) {
        ULONG port = 0;
        EXPECT_EQ(UsbBusPlugIn(bus_, &device, &port), STATUS_SUCCESS);
        kernel().WaitIdle();
        return port;
    }

    UserIo::Handle Open(size_t index = 0) {
        std::vector<std::string> paths = kernel().User().FindInterfaces(FnInterfaceGuid);
        EXPECT_GT(paths.size(), index);
        UserIo::Handle h = 0;
        if (paths.size() > index) {
            EXPECT_EQ(kernel().User().CreateFile(paths[index],
                                                 UserIo::kGenericRead | UserIo::kGenericWrite, &h),
                      STATUS_SUCCESS);
        }
        handles_.push_back(h);
        return h;
    }

    std::vector<USBBUS_LOG_ENTRY> Log() {
        std::vector<USBBUS_LOG_ENTRY> entries(USBBUS_LOG_ENTRIES);
        entries.resize(UsbBusReadLog(bus_, 0, entries.data(), USBBUS_LOG_ENTRIES));
        return entries;
    }

    std::vector<USBBUS_LOG_ENTRY> Log(UCHAR kind) {
        std::vector<USBBUS_LOG_ENTRY> all = Log(), some;
        std::copy_if(all.begin(), all.end(), std::back_inserter(some),
                     [kind](const USBBUS_LOG_ENTRY& e) { return e.Kind == kind; });
        return some;
    }

    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;
    std::vector<UserIo::Handle> handles_;
};

UsbReply EchoIn(const USB_SETUP_PACKET& setup, UCHAR* data) {
    for (USHORT i = 0; i < setup.wLength && i < 4; ++i)
        data[i] = static_cast<UCHAR>(setup.bRequest + i);
    return UsbReplyOf(UsbReplyData, std::min<USHORT>(setup.wLength, 4));
}

TEST_F(UsbBusTest, ChildGetsUsbIdsAndTheMatchingFunctionDriver) {
    TestUsbDevice device;
    Plug(device);
    auto devices = kernel().Pnp().Devices();
    auto child = std::find_if(devices.begin(), devices.end(),
                              [](auto& d) { return d.deviceId == "USB\\VID_1234&PID_5678"; });
    ASSERT_NE(child, devices.end());
    EXPECT_EQ(child->hardwareIds, (std::vector<std::string>{"USB\\VID_1234&PID_5678&REV_0100",
                                                            "USB\\VID_1234&PID_5678"}));
    EXPECT_EQ(child->compatibleIds,
              (std::vector<std::string>{"USB\\Class_FF&SubClass_00&Prot_00",
                                        "USB\\Class_FF&SubClass_00", "USB\\Class_FF"}));
    EXPECT_EQ(child->instanceId, "1");
    EXPECT_EQ(child->service, "FnTest");
    EXPECT_TRUE(child->started);
    // Configured at start: the descriptor reads and SET_CONFIGURATION are on the wire.
    auto setups = Log(UsbBusLogSetup);
    ASSERT_EQ(setups.size(), 3u);
    EXPECT_EQ(setups[0].Setup.bRequest, 0x06);
    EXPECT_EQ(setups[0].Setup.wValue, 0x0200);
    EXPECT_EQ(setups[0].Setup.wLength, 9);
    EXPECT_EQ(setups[1].Setup.wLength, 32);
    EXPECT_EQ(setups[2].Setup.bRequest, 0x09);
    EXPECT_EQ(setups[2].Setup.wValue, 1);
}

TEST_F(UsbBusTest, VendorRequestsTravelFromDeviceIoControlToTheBusAndBack) {
    TestUsbDevice device;
    device.SetControlHandler(EchoIn);
    Plug(device);
    UserIo::Handle h = Open();
    FN_VENDOR_REQUEST in{0x42, 0x1234, 0x0007};
    UCHAR out[8] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_IN, &in, sizeof in, out,
                                              sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(out[0], 0x42);
    EXPECT_EQ(out[3], 0x45);
    USBBUS_LOG_ENTRY setup = Log(UsbBusLogSetup).back();
    EXPECT_EQ(setup.Setup.bmRequestType, 0xC0); // device-to-host, vendor, device
    EXPECT_EQ(setup.Setup.wValue, 0x1234);
    EXPECT_EQ(setup.Setup.wIndex, 0x0007);
    EXPECT_EQ(setup.Setup.wLength, 8);
    USBBUS_LOG_ENTRY status = Log(UsbBusLogStatus).back();
    EXPECT_EQ(status.Length, 4u);
    EXPECT_EQ(status.UsbdStatus, USBD_STATUS_SUCCESS);

    struct {
        FN_VENDOR_REQUEST header;
        UCHAR data[3];
    } write{{0x10, 1, 2}, {7, 8, 9}};
    static_assert(offsetof(decltype(write), data) == sizeof(FN_VENDOR_REQUEST), "no padding");
    std::vector<UCHAR> seen;
    device.SetControlHandler([&](const USB_SETUP_PACKET& s, UCHAR* data) {
        seen.assign(data, data + s.wLength);
        return UsbReplyOf(UsbReplyData, s.wLength);
    });
    ULONG length = sizeof(FN_VENDOR_REQUEST) + 3;
    EXPECT_EQ(
        kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_OUT, &write, length, nullptr, 0, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<UCHAR>{7, 8, 9}));
    EXPECT_EQ(Log(UsbBusLogSetup).back().Setup.bmRequestType, 0x40);
}

TEST_F(UsbBusTest, StallAndDelayedAnswersReachTheCaller) {
    TestUsbDevice device;
    device.SetControlHandler([](const USB_SETUP_PACKET& s, UCHAR* data) {
        if (s.bRequest == 1)
            return UsbReplyOf(UsbReplyStall);
        data[0] = 0x5A;
        return UsbReplyOf(UsbReplyData, 1, 20);
    });
    Plug(device);
    UserIo::Handle h = Open();
    FN_VENDOR_REQUEST stall{1, 0, 0}, later{2, 0, 0};
    UCHAR out[4] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_IN, &stall, sizeof stall, out,
                                              sizeof out, &bytes),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Log(UsbBusLogStatus).back().UsbdStatus, USBD_STATUS_STALL_PID);
    Overlapped op;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_IN, &later, sizeof later, out,
                                              sizeof out, &op),
              STATUS_PENDING);
    kernel().AdvanceMs(19);
    EXPECT_FALSE(op.Done());
    kernel().AdvanceMs(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_SUCCESS);
    EXPECT_EQ(op.Information(), 1u);
    EXPECT_EQ(out[0], 0x5A);
}

TEST_F(UsbBusTest, InterruptTransfersWaitForDataAndCancelIoExReachesTheBus) {
    TestUsbDevice device;
    ULONG port = Plug(device);
    UserIo::Handle h = Open();
    UCHAR first[8] = {}, second[8] = {};
    Overlapped read1, read2;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0, first,
                                              sizeof first, &read1),
              STATUS_PENDING);
    const UCHAR packet[3] = {1, 2, 3};
    EXPECT_EQ(UsbBusFeedIn(bus_, port, 0x81, packet, sizeof packet), STATUS_SUCCESS);
    ASSERT_TRUE(read1.Done());
    EXPECT_EQ(read1.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read1.Information(), 3u);
    EXPECT_EQ(first[2], 3);

    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0, second,
                                              sizeof second, &read2),
              STATUS_PENDING);
    EXPECT_EQ(kernel().User().CancelIoEx(h, &read2), STATUS_SUCCESS);
    ASSERT_TRUE(read2.Done());
    EXPECT_EQ(read2.Status(), STATUS_CANCELLED);
    auto cancels = Log(UsbBusLogCancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].EndpointAddress, 0x81);
    EXPECT_EQ(kernel().User().CancelIoEx(h, &read2), (NTSTATUS)0xC0000225L); // STATUS_NOT_FOUND

    // Data arriving with no transfer pending waits for the next one.
    EXPECT_EQ(UsbBusFeedIn(bus_, port, 0x81, packet, 2), STATUS_SUCCESS);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0, second,
                                              sizeof second, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 2u);
}

TEST_F(UsbBusTest, ATimerCancelsAnUnansweredRequestAsATimeout) {
    TestUsbDevice device;
    device.SetControlHandler(
        [](const USB_SETUP_PACKET&, UCHAR*) { return UsbReplyOf(UsbReplyNoAnswer); });
    Plug(device);
    UserIo::Handle h = Open();
    FN_VENDOR_REQUEST in{3, 0, 0};
    UCHAR out[4];
    Overlapped op;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_IN_TIMED, &in, sizeof in, out,
                                              sizeof out, &op),
              STATUS_PENDING);
    kernel().AdvanceMs(FN_TIMEOUT_MS - 1);
    EXPECT_FALSE(op.Done());
    kernel().AdvanceMs(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Log(UsbBusLogCancel).size(), 1u);

    // Answered in time: the timer is cancelled and the answer stands.
    device.SetControlHandler(EchoIn);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_IN_TIMED, &in, sizeof in, out,
                                              sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    kernel().AdvanceMs(FN_TIMEOUT_MS * 2);
    EXPECT_EQ(Log(UsbBusLogCancel).size(), 1u);
}

TEST_F(UsbBusTest, SurpriseRemovalFailsThePendingTransferAndRemovesTheStack) {
    TestUsbDevice device;
    ULONG port = Plug(device);
    UserIo::Handle h = Open();
    UCHAR buffer[8];
    Overlapped read;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0, buffer,
                                              sizeof buffer, &read),
              STATUS_PENDING);
    EXPECT_EQ(UsbBusUnplug(bus_, port), STATUS_SUCCESS);
    kernel().WaitIdle();
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Log(UsbBusLogCancel).back().Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(kernel().User().FindInterfaces(FnInterfaceGuid).empty());
    EXPECT_EQ(kernel().Pnp().Devices().size(), 1u); // the bus alone
    // The handle outlives the stack; its requests fail.
    ULONG_PTR bytes;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0, buffer,
                                              sizeof buffer, &bytes),
              STATUS_DELETE_PENDING);
    // The port is free again.
    TestUsbDevice second;
    EXPECT_EQ(Plug(second), port);
    EXPECT_EQ(kernel().User().FindInterfaces(FnInterfaceGuid).size(), 1u);
}

// The unplug comes while the device is still answering the transfer: the transfer fails once,
// as the device's, without its cancel routine left behind for a later cancel.
TEST_F(UsbBusTest, AnUnplugWhileTheDeviceAnswersFailsTheTransferOnce) {
    TestUsbDevice device;
    ULONG port = 0;
    device.SetControlHandler([&](const USB_SETUP_PACKET&, UCHAR* data) {
        EXPECT_EQ(UsbBusUnplug(bus_, port), STATUS_SUCCESS);
        data[0] = 1;
        return UsbReplyOf(UsbReplyData, 1);
    });
    port = Plug(device);
    UserIo::Handle h = Open();
    FN_VENDOR_REQUEST in{0x42, 0, 0};
    UCHAR out[4] = {};
    Overlapped op;
    kernel().User().DeviceIoControl(h, IOCTL_FN_VENDOR_IN, &in, sizeof in, out, sizeof out, &op);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_NO_SUCH_DEVICE);
    kernel().WaitIdle();
    const auto cancels = Log(UsbBusLogCancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(kernel().User().FindInterfaces(FnInterfaceGuid).empty());
}

TEST_F(UsbBusTest, TwoDevicesAreServedApart) {
    TestUsbDevice a, b;
    a.SetControlHandler(EchoIn);
    b.SetControlHandler([](const USB_SETUP_PACKET&, UCHAR* data) {
        data[0] = 0xBB;
        return UsbReplyOf(UsbReplyData, 1);
    });
    ULONG portA = Plug(a), portB = Plug(b);
    EXPECT_NE(portA, portB);
    UserIo::Handle ha = Open(0), hb = Open(1);
    FN_VENDOR_REQUEST in{0x20, 0, 0};
    UCHAR outA[4] = {}, outB[4] = {};
    ULONG_PTR bytes;
    kernel().User().DeviceIoControl(ha, IOCTL_FN_VENDOR_IN, &in, sizeof in, outA, 4, &bytes);
    kernel().User().DeviceIoControl(hb, IOCTL_FN_VENDOR_IN, &in, sizeof in, outB, 4, &bytes);
    EXPECT_NE(outA[0], outB[0]);
    EXPECT_TRUE((outA[0] == 0x20 && outB[0] == 0xBB) || (outA[0] == 0xBB && outB[0] == 0x20));
}

// A client driver's internal requests sent straight to the child PDO.
struct Internal {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    NTSTATUS Send(PDEVICE_OBJECT pdo, ULONG code, PVOID argument, PVOID type3 = nullptr) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(code, pdo, type3, 0, nullptr, 0, TRUE, &done, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
        NTSTATUS status = IoCallDriver(pdo, irp);
        return Done() ? iosb.Status : status;
    }
    bool Done() { return KeReadStateEvent(&done) != 0; }
};

VOID CountIdle(PVOID context) {
    ++*static_cast<std::atomic<int>*>(context);
}

TEST_F(UsbBusTest, ThePdoServesPortStatusIdleNotificationAndPipeRequests) {
    TestUsbDevice device;
    Plug(device);
    PDEVICE_OBJECT pdo = nullptr;
    for (auto& d : kernel().Pnp().Devices())
        pdo = d.deviceId == "USB\\VID_1234&PID_5678" ? d.pdo : pdo;
    ASSERT_NE(pdo, nullptr);

    ULONG port = 0;
    Internal status;
    EXPECT_EQ(status.Send(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    std::atomic<int> calls{0};
    USB_IDLE_CALLBACK_INFO info{CountIdle, &calls};
    Internal idle, second;
    EXPECT_EQ(idle.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info),
              STATUS_PENDING);
    kernel().WaitIdle();
    EXPECT_EQ(calls, 1); // at PASSIVE_LEVEL, from a work item
    EXPECT_EQ(second.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info),
              STATUS_DEVICE_BUSY);
    EXPECT_FALSE(idle.Done());
    IoCancelIrp(idle.irp);
    ASSERT_TRUE(idle.Done());
    EXPECT_EQ(idle.iosb.Status, STATUS_CANCELLED);

    _URB_HEADER unknown{sizeof(_URB_HEADER), 0x7F, 0, nullptr, 0};
    Internal bad;
    EXPECT_EQ(bad.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    // A selection whose interface information has no room for the interface's two pipes is
    // refused, not written past.
    _URB_SELECT_CONFIGURATION shortSelect{};
    shortSelect.Hdr.Length = sizeof shortSelect;
    shortSelect.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    shortSelect.ConfigurationDescriptor =
        const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device.ConfigurationDescriptor());
    shortSelect.Interface.Length = sizeof(USBD_INTERFACE_INFORMATION);
    Internal refused;
    EXPECT_EQ(refused.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &shortSelect),
              STATUS_INVALID_PARAMETER);

    struct {
        _URB_SELECT_CONFIGURATION urb;
        USBD_PIPE_INFORMATION more;
    } select{};
    select.urb.Hdr.Length = sizeof select;
    select.urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.urb.ConfigurationDescriptor = shortSelect.ConfigurationDescriptor;
    select.urb.Interface.Length = USBD_INTERFACE_INFORMATION_SIZE(2);
    Internal configured;
    EXPECT_EQ(configured.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &select), STATUS_SUCCESS);
    ASSERT_EQ(select.urb.Interface.NumberOfPipes, 2u);
    USBD_PIPE_HANDLE in = select.urb.Interface.Pipes[0].PipeHandle;
    EXPECT_EQ(select.urb.Interface.Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(select.urb.Interface.Pipes[0].PipeType, UsbdPipeTypeInterrupt);

    UCHAR buffer[8];
    _URB_BULK_OR_INTERRUPT_TRANSFER read{};
    read.Hdr.Length = sizeof read;
    read.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    read.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
    read.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    read.TransferBuffer = buffer;
    read.TransferBufferLength = sizeof buffer;
    Internal stale;
    EXPECT_EQ(stale.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &read), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read.Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    read.PipeHandle = in;
    Internal pending;
    EXPECT_EQ(pending.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &read), STATUS_PENDING);
    _URB_PIPE_REQUEST abort{};
    abort.Hdr.Length = sizeof abort;
    abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.PipeHandle = in;
    Internal aborted;
    EXPECT_EQ(aborted.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &abort), STATUS_SUCCESS);
    ASSERT_TRUE(pending.Done());
    EXPECT_EQ(pending.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(read.Hdr.Status, USBD_STATUS_CANCELED);
}

// Suspended after its idle callback (the function driver sent it to D2), the device wakes itself:
// the bus completes the notification with success; in D0, or without one pending, it cannot.
TEST_F(UsbBusTest, ARemoteWakeCompletesTheIdleNotificationOfASuspendedDevice) {
    TestUsbDevice device;
    ULONG port = Plug(device);
    PDEVICE_OBJECT pdo = nullptr;
    for (auto& d : kernel().Pnp().Devices())
        pdo = d.deviceId == "USB\\VID_1234&PID_5678" ? d.pdo : pdo;
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(UsbBusSignalWake(bus_, port), STATUS_INVALID_DEVICE_STATE); // nothing pending
    std::atomic<int> calls{0};
    USB_IDLE_CALLBACK_INFO info{CountIdle, &calls};
    Internal idle;
    EXPECT_EQ(idle.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info),
              STATUS_PENDING);
    kernel().WaitIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(UsbBusSignalWake(bus_, port), STATUS_INVALID_DEVICE_STATE); // still in D0
    EXPECT_FALSE(idle.Done());
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(UsbBusSignalWake(bus_, port), STATUS_SUCCESS);
    ASSERT_TRUE(idle.Done());
    EXPECT_EQ(idle.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(UsbBusSignalWake(bus_, port), STATUS_INVALID_DEVICE_STATE); // used up
    EXPECT_EQ(UsbBusSignalWake(bus_, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(UsbBusSignalWake(bus_, port + 1), STATUS_NO_SUCH_DEVICE);
    ASSERT_EQ(kernel().Pnp().SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
}

// A raw control transfer whose setup packet asks for more than its buffer holds moves only what
// the buffer holds, both ways: the device is told the buffer's length, and nothing past it is
// written or logged.
TEST_F(UsbBusTest, ARawControlTransferStaysInsideItsBuffer) {
    TestUsbDevice device;
    std::vector<USHORT> asked;
    device.SetControlHandler([&](const USB_SETUP_PACKET& s, UCHAR* data) {
        asked.push_back(s.wLength);
        if (s.bmRequestType & 0x80)
            std::memset(data, 0xEE, s.wLength);
        return UsbReplyOf(UsbReplyData, s.wLength);
    });
    Plug(device);
    PDEVICE_OBJECT pdo = nullptr;
    for (auto& d : kernel().Pnp().Devices())
        pdo = d.deviceId == "USB\\VID_1234&PID_5678" ? d.pdo : pdo;
    ASSERT_NE(pdo, nullptr);

    UCHAR buffer[64]; // room for wLength, so that a bus reaching past 4 fails here cleanly
    std::memset(buffer, 0x11, sizeof buffer);
    for (UCHAR type : {UCHAR(0xC0), UCHAR(0x40)}) {
        _URB_CONTROL_TRANSFER urb{};
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb.TransferFlags = (type & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0;
        urb.TransferBuffer = buffer;
        urb.TransferBufferLength = 4;
        const UCHAR setup[8] = {type, 0x33, 0, 0, 0, 0, 64, 0}; // wLength 64
        std::memcpy(urb.SetupPacket, setup, sizeof setup);
        Internal transfer;
        EXPECT_EQ(transfer.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.TransferBufferLength, 4u);
        EXPECT_EQ(Log(UsbBusLogSetup).back().Setup.wLength, 4);
    }
    EXPECT_EQ(asked, (std::vector<USHORT>{4, 4}));
    EXPECT_EQ(buffer[3], 0xEE);
    EXPECT_EQ(buffer[4], 0x11);
    auto data = Log(UsbBusLogData);
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(data.end()[-1].Length, 4u); // the OUT stage as logged
}

} // namespace

namespace {

PDEVICE_OBJECT ChildPdo(ntsim::Kernel& kernel) {
    PDEVICE_OBJECT pdo = nullptr;
    for (auto& d : kernel.Pnp().Devices())
        pdo = d.deviceId == "USB\\VID_1234&PID_5678" ? d.pdo : pdo;
    return pdo;
}

// The host stack takes a URB as its structure is: a header Length other than the function's
// structure, or garbage in what is the stack's own or reserved (a URB not zeroed), is refused
// before the wire.
TEST_F(UsbBusTest, AMalformedUrbIsRefusedBeforeTheWire) {
    TestUsbDevice device;
    device.SetControlHandler(EchoIn);
    Plug(device);
    PDEVICE_OBJECT pdo = ChildPdo(kernel());
    ASSERT_NE(pdo, nullptr);
    size_t setups = Log(UsbBusLogSetup).size();
    UCHAR buffer[4];
    auto vendor = [&](auto spoil) {
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0x42, 0, 0,
                              buffer, NULL, sizeof buffer, NULL);
        spoil(urb);
        Internal sent;
        NTSTATUS status = sent.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
        return std::make_pair(status, urb.UrbHeader.Status);
    };
    const std::pair<NTSTATUS, USBD_STATUS> refused{STATUS_INVALID_PARAMETER,
                                                   USBD_STATUS_INVALID_PARAMETER};
    EXPECT_EQ(vendor([](URB& u) { u.UrbHeader.Length = 200; }), refused);
    EXPECT_EQ(vendor([](URB& u) { u.UrbHeader.Length = sizeof(_URB_HEADER); }), refused);
    EXPECT_EQ(vendor([](URB& u) { u.UrbHeader.UsbdFlags = 0xA5A5A5A5; }), refused);
    EXPECT_EQ(vendor([](URB& u) { u.UrbControlVendorClassRequest.Reserved1 = 1; }), refused);
    EXPECT_EQ(vendor([](URB& u) { u.UrbControlVendorClassRequest.Reserved = &u; }), refused);
    EXPECT_EQ(Log(UsbBusLogSetup).size(), setups);
    EXPECT_EQ(vendor([](URB&) {}), std::make_pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));

    // A selection is as long as its interfaces: only its fixed part is the least.
    _URB_SELECT_CONFIGURATION select{};
    select.Hdr.Length = offsetof(_URB_SELECT_CONFIGURATION, Interface) - 1;
    select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Internal truncated;
    EXPECT_EQ(truncated.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &select),
              STATUS_INVALID_PARAMETER);
}

// An IN transfer that ends short fails, with the bytes that came, unless the client allowed it
// (USBD_SHORT_TRANSFER_OK); a device that sends more than the buffer holds fills it and overruns.
TEST_F(UsbBusTest, ShortAndOverlongInTransfersAsTheHostReportsThem) {
    TestUsbDevice device;
    device.SetControlHandler(EchoIn); // 4 bytes at most
    ULONG port = Plug(device);
    UserIo::Handle h = Open();
    PDEVICE_OBJECT pdo = ChildPdo(kernel());
    ASSERT_NE(pdo, nullptr);
    UCHAR buffer[16] = {};
    for (bool shortOk : {true, false}) {
        SCOPED_TRACE(shortOk);
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_IN | (shortOk ? USBD_SHORT_TRANSFER_OK : 0),
                              0, 0x42, 0, 0, buffer, NULL, sizeof buffer, NULL);
        Internal sent;
        EXPECT_EQ(sent.Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb),
                  shortOk ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status,
                  shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
        EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 4u);
        EXPECT_EQ(buffer[3], 0x45);
    }

    // The function driver's interrupt read allows short transfers; 8 bytes fill its buffer.
    UCHAR in[4];
    Overlapped read;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0, in, sizeof in,
                                              &read),
              STATUS_PENDING);
    const UCHAR data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(UsbBusFeedIn(bus_, port, 0x81, data, sizeof data), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in[3], 4);
    std::vector<USBBUS_LOG_ENTRY> statuses = Log(UsbBusLogStatus);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().UsbdStatus, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(statuses.back().Length, sizeof in);
}

} // namespace
