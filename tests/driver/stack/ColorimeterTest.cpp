// The colorimeter's descriptors from its configuration, its answers as the bus sees them, and the
// bus log read back as transfers (no kernel needed).
#include "sim/Colorimeter.h"

#include <gtest/gtest.h>

using sim::ColorimeterConfig;
using sim::ControlReply;
using sim::PipeConfig;
using sim::PipeKind;
using sim::TransferRecord;

namespace {

TEST(Colorimeter, DescriptorsFollowTheConfiguration) {
    ColorimeterConfig config;
    config.vendorId = 0xABCD;
    config.productId = 0x0102;
    config.selfPowered = true;
    config.remoteWake = false;
    config.pipes = {PipeConfig{PipeKind::Interrupt, true, 8, 4},
                    PipeConfig{PipeKind::Bulk, false, 512, 0},
                    PipeConfig{PipeKind::Bulk, true, 64, 0}};
    sim::Colorimeter device(config);
    EXPECT_EQ(sim::HardwareIdOf(config), "USB\\VID_ABCD&PID_0102");
    EXPECT_EQ(device.DeviceDescriptor()->idVendor, 0xABCD);
    EXPECT_EQ(device.DeviceDescriptor()->idProduct, 0x0102);
    const USB_CONFIGURATION_DESCRIPTOR* c = device.ConfigurationDescriptor();
    EXPECT_EQ(c->wTotalLength, 9 + 9 + 3 * 7);
    EXPECT_EQ(c->bNumInterfaces, 1);
    EXPECT_EQ(c->bmAttributes, 0xC0);
    const UCHAR* raw = reinterpret_cast<const UCHAR*>(c);
    EXPECT_EQ(raw[9 + 4], 3); // bNumEndpoints
    EXPECT_EQ(device.EndpointOf(0), 0x81);
    EXPECT_EQ(device.EndpointOf(1), 0x01);
    EXPECT_EQ(device.EndpointOf(2), 0x82);
    EXPECT_EQ(device.EndpointOf(3), 0);
    EXPECT_EQ(raw[18 + 7 + 4] | raw[18 + 7 + 5] << 8, 512); // wMaxPacketSize of pipe 1
    EXPECT_EQ(device.KindOf(0x81), TransferRecord::Kind::InterruptIn);
    EXPECT_EQ(device.KindOf(0x01), TransferRecord::Kind::BulkOut);
    EXPECT_EQ(device.KindOf(0x82), TransferRecord::Kind::BulkIn);

    config.hasInterface = false;
    config.selfPowered = false;
    config.remoteWake = true;
    sim::Colorimeter bare(config);
    EXPECT_EQ(bare.ConfigurationDescriptor()->wTotalLength, 9);
    EXPECT_EQ(bare.ConfigurationDescriptor()->bNumInterfaces, 0);
    EXPECT_EQ(bare.ConfigurationDescriptor()->bmAttributes, 0xA0);
    EXPECT_EQ(bare.PushInterrupt({1}), STATUS_INVALID_DEVICE_STATE); // not plugged
}

TEST(Colorimeter, RepliesMapOntoTheBussAnswers) {
    sim::Colorimeter device(ColorimeterConfig{});
    USB_SETUP_PACKET in = {0xC0, 1, 0, 0, 4};
    USB_SETUP_PACKET out = {0x40, 2, 0, 0, 3};
    UCHAR data[8] = {5, 6, 7, 0, 0, 0, 0, 0};

    // No handler: IN gets zeros, OUT is taken whole.
    UsbReply r = device.Control(in, data);
    EXPECT_EQ(r.kind, UsbReplyData);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(data[0], 0);
    r = device.Control(out, data);
    EXPECT_EQ(r.length, 3u);

    std::vector<uint8_t> hostData;
    ControlReply next;
    device.SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>& host) {
        hostData = host;
        return next;
    });
    next = ControlReply::Data({1, 2, 3, 4, 5, 6});
    r = device.Control(in, data);
    EXPECT_EQ(r.length, 4u); // cut to wLength
    EXPECT_EQ(data[3], 4);
    EXPECT_EQ(data[4], 0);
    data[0] = 0x11;
    next = ControlReply::Ack();
    next.acceptedOut = 2;
    r = device.Control(out, data);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(hostData.size(), 3u);
    EXPECT_EQ(hostData[0], 0x11);
    next = ControlReply::Stall();
    EXPECT_EQ(device.Control(in, data).kind, UsbReplyStall);
    next = ControlReply::UsbError(USBD_STATUS_TIMEOUT);
    r = device.Control(in, data);
    EXPECT_EQ(r.kind, UsbReplyError);
    EXPECT_EQ(r.usbdStatus, USBD_STATUS_TIMEOUT);
    next = ControlReply::NoAnswer();
    EXPECT_EQ(device.Control(in, data).kind, UsbReplyNoAnswer);
    next = ControlReply::Stall().After(12);
    r = device.Control(in, data);
    EXPECT_EQ(r.kind, UsbReplyStall);
    EXPECT_EQ(r.delayMs, 12u);
}

// The firmware is there before the device is plugged: its very first transfer gets the
// handler's answer, not the handler-less default.
TEST(Colorimeter, TheConfiguredHandlerAnswersFromTheFirstTransfer) {
    ColorimeterConfig config;
    config.vendorHandler = [](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Stall();
    };
    sim::Colorimeter device(config);
    USB_SETUP_PACKET out = {0x40, 2, 0, 0, 0};
    EXPECT_EQ(device.Control(out, nullptr).kind, UsbReplyStall);
    device.SetVendorHandler(nullptr);
    EXPECT_EQ(device.Control(out, nullptr).kind, UsbReplyData);
}

USBBUS_LOG_ENTRY Entry(ULONG seq, std::int64_t ms, ULONG port, USBBUS_LOG_KIND kind, UCHAR ep) {
    USBBUS_LOG_ENTRY e = {};
    e.Sequence = seq;
    e.Time = ms * 10000;
    e.Port = port;
    e.Kind = static_cast<UCHAR>(kind);
    e.EndpointAddress = ep;
    return e;
}

TEST(BusTraffic, TheLogGroupsIntoTransfersPerPortAndEndpoint) {
    std::vector<USBBUS_LOG_ENTRY> log;
    auto setup = [&](ULONG port, USB_SETUP_PACKET s, std::int64_t ms) {
        log.push_back(Entry(static_cast<ULONG>(log.size()), ms, port, UsbBusLogSetup, 0));
        log.back().Setup = s;
    };
    auto add = [&](ULONG port, USBBUS_LOG_KIND kind, UCHAR ep, std::int64_t ms) {
        log.push_back(Entry(static_cast<ULONG>(log.size()), ms, port, kind, ep));
        return &log.back();
    };
    setup(1, {0x00, 0x09, 1, 0, 0}, 0); // SET_CONFIGURATION: no status of its own
    setup(1, {0xC0, 0x05, 0, 0, 8}, 1);
    setup(2, {0xC0, 0x06, 0, 0, 8}, 1);         // another port
    add(1, UsbBusLogData, 0x81, 2)->Length = 2; // an interrupt transfer meanwhile
    auto* d = add(1, UsbBusLogData, 0, 3);
    d->Length = 3;
    d->Data[0] = 0xEE;
    auto* s = add(1, UsbBusLogStatus, 0, 4);
    s->Length = 3;
    add(1, UsbBusLogStatus, 0x81, 5)->Length = 2;
    add(1, UsbBusLogCancel, 0x81, 6)->Status = STATUS_CANCELLED; // the next read, cancelled
    s = add(1, UsbBusLogStatus, 0x81, 6);
    s->Status = STATUS_CANCELLED;
    s->UsbdStatus = USBD_STATUS_CANCELED;
    add(1, UsbBusLogCancel, 0, 8);      // the idle notification cancelled: no transfer
    setup(1, {0x40, 0x07, 0, 0, 0}, 9); // left pending
    add(1, UsbBusLogCancel, 0, 9)->Status = STATUS_CANCELLED; // and cancelled, with its status
    s = add(1, UsbBusLogStatus, 0, 10);
    s->Status = STATUS_CANCELLED;
    add(1, UsbBusLogCancel, 0, 11); // queued, never started, cancelled
    add(1, UsbBusLogStatus, 0, 11)->Status = STATUS_CANCELLED;

    auto records =
        sim::TransfersOf(log, 1, [](std::uint8_t) { return TransferRecord::Kind::InterruptIn; });
    ASSERT_EQ(records.size(), 6u);
    EXPECT_TRUE(records[0].completed);
    EXPECT_EQ(records[0].setup.bRequest, 0x09);
    EXPECT_EQ(records[1].setup.bRequest, 0x05);
    EXPECT_EQ(records[1].dataIn, (std::vector<uint8_t>{0xEE, 0, 0}));
    EXPECT_EQ(records[1].bytes, 3u);
    EXPECT_EQ(records[1].completedMs, 4u);
    EXPECT_EQ(records[2].kind, TransferRecord::Kind::InterruptIn);
    EXPECT_EQ(records[2].dataIn.size(), 2u);
    EXPECT_EQ(records[2].submittedMs, 2u);
    EXPECT_FALSE(records[2].cancelled);
    EXPECT_TRUE(records[3].cancelled);
    EXPECT_TRUE(records[3].completed);
    EXPECT_EQ(records[3].usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(records[4].setup.bRequest, 0x07);
    EXPECT_TRUE(records[4].cancelled);
    EXPECT_EQ(records[4].completedMs, 10u);
    EXPECT_TRUE(records[5].cancelled);
    EXPECT_EQ(records[5].ntStatus, STATUS_CANCELLED);
    EXPECT_NE(records[3].ToString().find("cancelled"), std::string::npos);

    // A transfer still waiting shows as pending.
    setup(1, {0x40, 0x08, 0, 0, 0}, 12);
    records = sim::TransfersOf(log, 1, [](std::uint8_t) { return TransferRecord::Kind::Other; });
    ASSERT_EQ(records.size(), 7u);
    EXPECT_FALSE(records[6].completed);
    EXPECT_NE(records[6].ToString().find("pending"), std::string::npos);
}

} // namespace
