// A stand-in command set for the virtual colorimeter of the demo and of talvikctl's simulated
// build. The driver gives requests no meaning; the real command set lives in the measuring
// applications and the device, so this one only has to exercise every kind of answer: data,
// short data, data out, no data stage, stall, no answer, and interrupt reports.
#pragma once

#include "sim/Colorimeter.h"

#include <cstdint>
#include <vector>

namespace talvik::sim {

namespace demo {
constexpr uint8_t kIdentify = 0x01;         // IN: identification text
constexpr uint8_t kSetIntegration = 0x10;   // OUT, no data: wValue = integration time in ms
constexpr uint8_t kGetIntegration = 0x11;   // IN: 2 bytes
constexpr uint8_t kWriteCalibration = 0x12; // OUT: up to 16 bytes kept
constexpr uint8_t kReadCalibration = 0x13;  // IN: the bytes kept
constexpr uint8_t kStartMeasurement = 0x20; // OUT, no data: an interrupt report follows
constexpr uint8_t kReadMeasurement = 0x21;  // IN: X, Y, Z as 32-bit little-endian
constexpr uint8_t kHang = 0x30;             // never answered
} // namespace demo

class DemoFirmware {
public:
    explicit DemoFirmware(::sim::Colorimeter& device) : m_device(device) {}
    // Installs the firmware as the device's vendor-request handler; measurement reports go to
    // its interrupt pipe.
    void Install();
    ::sim::ControlReply Answer(const USB_SETUP_PACKET& setup, const std::vector<uint8_t>& hostData);

private:
    ::sim::Colorimeter& m_device;
    uint16_t m_integrationMs = 100;
    std::vector<uint8_t> m_calibration;
    uint8_t m_sequence = 0;
};

} // namespace talvik::sim
