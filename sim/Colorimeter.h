// The virtual colorimeter on the virtual USB bus: descriptors made from a configuration (ids,
// interface present or not, its pipes, power attributes), vendor control transfers answered by a
// handler of the test, interrupt data fed to the bus, and the bus log read back as transfers.
#pragma once

#include "sim/BusTraffic.h"

#include <usbbus/VirtualDevice.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace sim {

enum class PipeKind { Control, Isochronous, Bulk, Interrupt };

struct PipeConfig {
    PipeKind kind = PipeKind::Interrupt;
    bool in = true;
    std::uint16_t maxPacketSize = 64;
    std::uint8_t interval = 1;
};

// The device's answer to one vendor or class control transfer.
struct ControlReply {
    UsbReplyKind kind = UsbReplyData;
    std::vector<std::uint8_t> data; // IN: the data stage (cut to wLength)
    std::int64_t acceptedOut = -1;  // OUT: bytes taken from the host; -1: all of them
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    std::uint32_t delayMs = 0; // virtual time until the answer

    static ControlReply Data(std::vector<std::uint8_t> bytes);
    static ControlReply Ack(); // OUT: takes all; IN: no data
    static ControlReply Stall();
    static ControlReply UsbError(USBD_STATUS usbd);
    static ControlReply NoAnswer(); // the host has to cancel it
    ControlReply& After(std::uint32_t ms) {
        delayMs = ms;
        return *this;
    }
};

using VendorHandler = std::function<ControlReply(const USB_SETUP_PACKET& setup,
                                                 const std::vector<std::uint8_t>& hostData)>;

struct ColorimeterConfig {
    std::uint16_t vendorId = 0x0F1E;
    std::uint16_t productId = 0x7A1C;
    bool hasInterface = true;                       // false: a configuration with no interface
    std::vector<PipeConfig> pipes = {PipeConfig{}}; // endpoints of interface 0, setting 0
    bool selfPowered = false;                       // configuration bmAttributes bit 6
    bool remoteWake = true;                         // configuration bmAttributes bit 5
    // Answers vendor and class transfers from the first one on, before anything can open the
    // device (SetVendorHandler replaces it).
    VendorHandler vendorHandler;
};

// USB\VID_xxxx&PID_xxxx, the id an INF's model names.
std::string HardwareIdOf(const ColorimeterConfig& config);

class Colorimeter final : public UsbVirtualDevice {
public:
    explicit Colorimeter(ColorimeterConfig config);
    Colorimeter(const Colorimeter&) = delete;
    Colorimeter& operator=(const Colorimeter&) = delete;

    const ColorimeterConfig& Config() const { return config_; }
    // Without a handler, IN transfers get wLength zero bytes and OUT transfers are taken whole.
    void SetVendorHandler(VendorHandler handler);
    // The endpoint address of pipe `index` of the configuration (0 when there is none).
    std::uint8_t EndpointOf(size_t index) const;
    TransferRecord::Kind KindOf(std::uint8_t endpoint) const;

    // Plugged: the bus FDO and port that serve it; its traffic starts at log entry `firstEntry`
    // (read before plugging: the PnP manager may be configuring it before this is called).
    void Attach(PDEVICE_OBJECT busFdo, ULONG port, ULONG firstEntry);
    ULONG Port() const { return port_; }
    // One interrupt-IN transfer: completes the oldest pending read, or waits for the next.
    NTSTATUS PushInterrupt(const std::vector<std::uint8_t>& bytes);
    // Suspended, it signals resume (remote wake-up); see UsbBusSignalWake.
    NTSTATUS SignalRemoteWake();
    // Transfers on this device's port since it was plugged or the last ClearTraffic.
    std::vector<TransferRecord> Traffic() const;
    void ClearTraffic();
    // Bytes taken on OUT pipes, in order.
    std::vector<std::vector<std::uint8_t>> DataOutSeen() const;

    // UsbVirtualDevice: called by the bus at <= DISPATCH_LEVEL.
    const USB_DEVICE_DESCRIPTOR* DeviceDescriptor() override;
    const USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor() override;
    UsbReply Control(const USB_SETUP_PACKET& setup, UCHAR* data) override;
    UsbReply DataOut(UCHAR endpoint, const UCHAR* data, ULONG length) override;

private:
    ColorimeterConfig config_;
    USB_DEVICE_DESCRIPTOR device_;
    std::vector<std::uint8_t> configuration_;
    std::vector<std::uint8_t> endpoints_;
    PDEVICE_OBJECT bus_ = nullptr;
    ULONG port_ = 0;
    ULONG logStart_ = 0;
    mutable std::mutex mu_;
    VendorHandler handler_;
    std::vector<std::vector<std::uint8_t>> out_;
};

} // namespace sim
