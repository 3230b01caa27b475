// A virtual USB device for the tests: vendor 0x1234, product 0x5678, one vendor-class interface
// with an interrupt IN endpoint (0x81) and a bulk OUT endpoint (0x02). Its control answers come
// from a handler the test sets.
#pragma once

#include <usbbus/VirtualDevice.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

class TestUsbDevice : public UsbVirtualDevice {
public:
    using ControlHandler = std::function<UsbReply(const USB_SETUP_PACKET&, UCHAR*)>;

    TestUsbDevice() {
        device_ = {sizeof(USB_DEVICE_DESCRIPTOR),
                   USB_DEVICE_DESCRIPTOR_TYPE,
                   0x0200,
                   0,
                   0,
                   0,
                   64,
                   0x1234,
                   0x5678,
                   0x0100,
                   0,
                   0,
                   0,
                   1};
        const UCHAR config[] = {9,
                                2,
                                32,
                                0,
                                1,
                                1,
                                0,
                                0x80 | USB_CONFIG_REMOTE_WAKEUP,
                                50,
                                9,
                                4,
                                0,
                                0,
                                2,
                                0xFF,
                                0,
                                0,
                                0,
                                7,
                                5,
                                0x81,
                                USB_ENDPOINT_TYPE_INTERRUPT,
                                8,
                                0,
                                10,
                                7,
                                5,
                                0x02,
                                USB_ENDPOINT_TYPE_BULK,
                                64,
                                0,
                                0};
        static_assert(sizeof config == 32, "wTotalLength");
        std::memcpy(config_, config, sizeof config);
    }

    void SetControlHandler(ControlHandler handler) {
        std::lock_guard<std::mutex> lock(mu_);
        handler_ = std::move(handler);
    }

    std::vector<std::vector<UCHAR>> DataOutSeen() {
        std::lock_guard<std::mutex> lock(mu_);
        return out_;
    }

    const USB_DEVICE_DESCRIPTOR* DeviceDescriptor() override { return &device_; }
    const USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor() override {
        return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(config_);
    }
    UsbReply Control(const USB_SETUP_PACKET& setup, UCHAR* data) override {
        ControlHandler handler;
        {
            std::lock_guard<std::mutex> lock(mu_);
            handler = handler_;
        }
        return handler ? handler(setup, data) : UsbReplyOf(UsbReplyStall);
    }
    UsbReply DataOut(UCHAR endpoint, const UCHAR* data, ULONG length) override {
        (void)endpoint;
        std::lock_guard<std::mutex> lock(mu_);
        out_.emplace_back(data, data + length);
        return UsbReplyOf(UsbReplyData, length);
    }

private:
    USB_DEVICE_DESCRIPTOR device_;
    UCHAR config_[32];
    std::mutex mu_;
    ControlHandler handler_;
    std::vector<std::vector<UCHAR>> out_;
};
