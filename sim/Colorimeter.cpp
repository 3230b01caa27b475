#include "sim/Colorimeter.h"

#include <usbbus/UsbBus.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

std::string HardwareIdOf(const ColorimeterConfig& config) {
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", config.vendorId, config.productId);
    return id;
}

ControlReply ControlReply::Data(std::vector<std::uint8_t> bytes) {
    ControlReply reply;
    reply.data = std::move(bytes);
    return reply;
}
ControlReply ControlReply::Ack() {
    return ControlReply{};
}
ControlReply ControlReply::Stall() {
    ControlReply reply;
    reply.kind = UsbReplyStall;
    reply.usbdStatus = USBD_STATUS_STALL_PID;
    return reply;
}
ControlReply ControlReply::UsbError(USBD_STATUS usbd) {
    ControlReply reply;
    reply.kind = UsbReplyError;
    reply.usbdStatus = usbd;
    return reply;
}
ControlReply ControlReply::NoAnswer() {
    ControlReply reply;
    reply.kind = UsbReplyNoAnswer;
    return reply;
}

namespace {

std::uint8_t AttributesOf(PipeKind kind) {
    switch (kind) {
    case PipeKind::Control:
        return USB_ENDPOINT_TYPE_CONTROL;
    case PipeKind::Isochronous:
        return USB_ENDPOINT_TYPE_ISOCHRONOUS;
    case PipeKind::Bulk:
        return USB_ENDPOINT_TYPE_BULK;
    case PipeKind::Interrupt:
        return USB_ENDPOINT_TYPE_INTERRUPT;
    }
    return USB_ENDPOINT_TYPE_INTERRUPT;
}

} // namespace

Colorimeter::Colorimeter(ColorimeterConfig config)
    : config_(std::move(config)), handler_(config_.vendorHandler) {
    device_ = {sizeof(USB_DEVICE_DESCRIPTOR),
               USB_DEVICE_DESCRIPTOR_TYPE,
               0x0200,
               0xFF,
               0,
               0,
               64,
               config_.vendorId,
               config_.productId,
               0x0100,
               0,
               0,
               0,
               1};
    configuration_ = {9,
                      USB_CONFIGURATION_DESCRIPTOR_TYPE,
                      0,
                      0,
                      static_cast<std::uint8_t>(config_.hasInterface ? 1 : 0),
                      1,
                      0,
                      static_cast<std::uint8_t>(0x80 | (config_.selfPowered ? 0x40 : 0) |
                                                (config_.remoteWake ? 0x20 : 0)),
                      50};
    if (config_.hasInterface) {
        configuration_.insert(configuration_.end(),
                              {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0,
                               static_cast<std::uint8_t>(config_.pipes.size()), 0xFF, 0, 0, 0});
        std::uint8_t nextIn = 1, nextOut = 1;
        for (const PipeConfig& p : config_.pipes) {
            std::uint8_t address = p.in ? static_cast<std::uint8_t>(0x80 | (nextIn++ & 0x0F))
                                        : static_cast<std::uint8_t>(nextOut++ & 0x0F);
            endpoints_.push_back(address);
            configuration_.insert(configuration_.end(),
                                  {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, AttributesOf(p.kind),
                                   static_cast<std::uint8_t>(p.maxPacketSize & 0xFF),
                                   static_cast<std::uint8_t>(p.maxPacketSize >> 8), p.interval});
        }
    }
    configuration_[2] = static_cast<std::uint8_t>(configuration_.size() & 0xFF);
    configuration_[3] = static_cast<std::uint8_t>(configuration_.size() >> 8);
}

void Colorimeter::SetVendorHandler(VendorHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
}

std::uint8_t Colorimeter::EndpointOf(size_t index) const {
    return index < endpoints_.size() ? endpoints_[index] : 0;
}

TransferRecord::Kind Colorimeter::KindOf(std::uint8_t endpoint) const {
    for (size_t i = 0; i < endpoints_.size(); ++i) {
        if (endpoints_[i] != endpoint)
            continue;
        switch (config_.pipes[i].kind) {
        case PipeKind::Interrupt:
            return TransferRecord::Kind::InterruptIn;
        case PipeKind::Bulk:
            return config_.pipes[i].in ? TransferRecord::Kind::BulkIn
                                       : TransferRecord::Kind::BulkOut;
        default:
            return TransferRecord::Kind::Other;
        }
    }
    return TransferRecord::Kind::Other;
}

void Colorimeter::Attach(PDEVICE_OBJECT busFdo, ULONG port, ULONG firstEntry) {
    std::lock_guard<std::mutex> lock(mu_);
    bus_ = busFdo;
    port_ = port;
    logStart_ = firstEntry;
}

NTSTATUS Colorimeter::PushInterrupt(const std::vector<std::uint8_t>& bytes) {
    std::uint8_t endpoint = 0;
    for (size_t i = 0; i < endpoints_.size() && endpoint == 0; ++i)
        if (config_.pipes[i].kind == PipeKind::Interrupt && config_.pipes[i].in)
            endpoint = endpoints_[i];
    if (bus_ == nullptr || port_ == 0 || endpoint == 0)
        return STATUS_INVALID_DEVICE_STATE;
    return UsbBusFeedIn(bus_, port_, endpoint, bytes.data(), static_cast<ULONG>(bytes.size()));
}

NTSTATUS Colorimeter::SignalRemoteWake() {
    if (bus_ == nullptr || port_ == 0)
        return STATUS_INVALID_DEVICE_STATE;
    return UsbBusSignalWake(bus_, port_);
}

std::vector<TransferRecord> Colorimeter::Traffic() const {
    if (bus_ == nullptr)
        return {};
    ULONG start;
    {
        std::lock_guard<std::mutex> lock(mu_);
        start = logStart_;
    }
    return TransfersOf(ReadBusLog(bus_, start), port_,
                       [this](std::uint8_t endpoint) { return KindOf(endpoint); });
}

void Colorimeter::ClearTraffic() {
    if (bus_ == nullptr)
        return;
    ULONG next = NextLogEntry(bus_);
    std::lock_guard<std::mutex> lock(mu_);
    logStart_ = next;
}

std::vector<std::vector<std::uint8_t>> Colorimeter::DataOutSeen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

const USB_DEVICE_DESCRIPTOR* Colorimeter::DeviceDescriptor() {
    return &device_;
}

const USB_CONFIGURATION_DESCRIPTOR* Colorimeter::ConfigurationDescriptor() {
    return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(configuration_.data());
}

UsbReply Colorimeter::Control(const USB_SETUP_PACKET& setup, UCHAR* data) {
    const bool in = (setup.bmRequestType & 0x80) != 0;
    VendorHandler handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        handler = handler_;
    }
    ControlReply reply;
    if (handler) {
        std::vector<std::uint8_t> hostData;
        if (!in && data != nullptr)
            hostData.assign(data, data + setup.wLength);
        reply = handler(setup, hostData);
    } else if (in) {
        reply = ControlReply::Data(std::vector<std::uint8_t>(setup.wLength, 0));
    }
    if (reply.kind != UsbReplyData)
        return UsbReplyOf(reply.kind, 0, reply.delayMs, reply.usbdStatus);
    ULONG length;
    if (in) {
        length = static_cast<ULONG>(std::min<size_t>(reply.data.size(), setup.wLength));
        if (length > 0)
            std::memcpy(data, reply.data.data(), length);
    } else {
        length = reply.acceptedOut < 0
                     ? setup.wLength
                     : static_cast<ULONG>(std::min<std::int64_t>(reply.acceptedOut, setup.wLength));
    }
    return UsbReplyOf(UsbReplyData, length, reply.delayMs);
}

UsbReply Colorimeter::DataOut(UCHAR endpoint, const UCHAR* data, ULONG length) {
    (void)endpoint;
    std::lock_guard<std::mutex> lock(mu_);
    out_.emplace_back(data, data + length);
    return UsbReplyOf(UsbReplyData, length);
}

} // namespace sim
