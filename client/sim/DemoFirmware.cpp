#include "DemoFirmware.h"

#include <string>

namespace talvik::sim {

using ::sim::ControlReply;

namespace {

constexpr uint8_t kDirectionIn = 0x80;
constexpr size_t kCalibrationMax = 16;

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

void DemoFirmware::Install() {
    m_device.SetVendorHandler(
        [this](const USB_SETUP_PACKET& setup, const std::vector<uint8_t>& hostData) {
            return Answer(setup, hostData);
        });
}

ControlReply DemoFirmware::Answer(const USB_SETUP_PACKET& setup,
                                  const std::vector<uint8_t>& hostData) {
    const bool in = (setup.bmRequestType & kDirectionIn) != 0;
    switch (setup.bRequest) {
    case demo::kIdentify:
        if (in) {
            const std::string text = "TALVIK2 DEMO 1.0";
            return ControlReply::Data(std::vector<uint8_t>(text.begin(), text.end()));
        }
        break;
    case demo::kSetIntegration:
        if (!in && setup.wLength == 0) {
            m_integrationMs = setup.wValue;
            return ControlReply::Ack();
        }
        break;
    case demo::kGetIntegration:
        if (in)
            return ControlReply::Data({static_cast<uint8_t>(m_integrationMs & 0xFF),
                                       static_cast<uint8_t>(m_integrationMs >> 8)});
        break;
    case demo::kWriteCalibration:
        if (!in && hostData.size() <= kCalibrationMax) {
            m_calibration = hostData;
            return ControlReply::Ack();
        }
        break;
    case demo::kReadCalibration:
        if (in)
            return ControlReply::Data(m_calibration);
        break;
    case demo::kStartMeasurement:
        if (!in && setup.wLength == 0) {
            // The measurement takes the integration time; its report arrives on the interrupt
            // pipe: ready flag, sequence number, integration time.
            ++m_sequence;
            m_device.PushInterrupt({0x01, m_sequence, static_cast<uint8_t>(m_integrationMs & 0xFF),
                                    static_cast<uint8_t>(m_integrationMs >> 8), 0, 0, 0, 0});
            return ControlReply::Ack().After(m_integrationMs);
        }
        break;
    case demo::kReadMeasurement:
        if (in) {
            std::vector<uint8_t> xyz;
            PutLe32(xyz, 95047u + m_sequence); // D65 white, scaled by 1e5
            PutLe32(xyz, 100000u + m_sequence);
            PutLe32(xyz, 108883u + m_sequence);
            return ControlReply::Data(xyz);
        }
        break;
    case demo::kHang:
        return ControlReply::NoAnswer();
    default:
        break;
    }
    return ControlReply::Stall();
}

} // namespace talvik::sim
