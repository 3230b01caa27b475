#include "BusPrint.h"

#include "Cli.h"

#include <cstdio>
#include <string>

namespace talvik::cli {

namespace {

using ::sim::TransferRecord;

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// "  bus    5.250 s  ": the time of the event.
std::string BusTime(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "  bus %8.3f s  ", static_cast<double>(ms) / 1000.0);
    return text;
}

} // namespace

void PrintTransfer(Output& out, const TransferRecord& t, uint32_t requested, uint64_t baseMs) {
    const std::string when = BusTime(t.submittedMs - baseMs);
    if (t.kind == TransferRecord::Kind::Control) {
        const uint8_t setup[8] = {t.setup.bmRequestType,
                                  t.setup.bRequest,
                                  static_cast<uint8_t>(t.setup.wValue & 0xFF),
                                  static_cast<uint8_t>(t.setup.wValue >> 8),
                                  static_cast<uint8_t>(t.setup.wIndex & 0xFF),
                                  static_cast<uint8_t>(t.setup.wIndex >> 8),
                                  static_cast<uint8_t>(t.setup.wLength & 0xFF),
                                  static_cast<uint8_t>(t.setup.wLength >> 8)};
        out << when << "SETUP  " << FormatHex(setup, sizeof setup) << "\n";
        if (!t.dataOut.empty())
            out << when << "OUT    " << FormatHex(t.dataOut.data(), t.dataOut.size()) << "\n";
    } else {
        char ep[8];
        std::snprintf(ep, sizeof ep, "0x%02X", t.endpoint);
        out << when << "IN     endpoint " << ep << ", up to " << requested << " bytes\n";
    }
    if (!t.dataIn.empty())
        out << when << "IN     " << FormatHex(t.dataIn.data(), t.dataIn.size()) << "\n";
    const std::string end = BusTime((t.completed ? t.completedMs : t.submittedMs) - baseMs);
    if (!t.completed)
        out << end << "(still pending)\n";
    else
        out << end << (t.cancelled ? "CANCEL " : "DONE   ") << t.bytes << " bytes, status "
            << Hex32(static_cast<uint32_t>(t.ntStatus)) << ", USB status "
            << Hex32(static_cast<uint32_t>(t.usbdStatus)) << "\n";
}

} // namespace talvik::cli
