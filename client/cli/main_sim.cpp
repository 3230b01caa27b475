// talvikctl in the simulated system: the process makes its own machine - loads the driver,
// plugs in virtual colorimeters running the demo firmware and starts them - and then runs the
// same commands as the Windows build, over the simulated I/O manager. With --bus it prints the
// traffic on the virtual bus after each request: setup packets, data stages, statuses.
#include "Cli.h"
#include "sim/DemoFirmware.h"
#include "transport/sim/SimTransport.h"

#include "kmdf/sim/World.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The driver image's entry point: the framework bind stub around the driver's DriverEntry.
extern "C" kmdf::sim::Status FxDriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

namespace {

using kmdf::sim::TransferRecord;

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// "  bus    5.250 s  ": virtual time of the event.
std::string BusTime(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "  bus %8.3f s  ", static_cast<double>(ms) / 1000.0);
    return text;
}

void PrintTransfer(talvik::cli::Output& out, const TransferRecord& t) {
    const std::string when = BusTime(t.submittedMs);
    if (t.kind == TransferRecord::Kind::Control) {
        const uint8_t setup[8] = {t.setup.bmRequestType,
                                  t.setup.bRequest,
                                  static_cast<uint8_t>(t.setup.wValue & 0xFF),
                                  static_cast<uint8_t>(t.setup.wValue >> 8),
                                  static_cast<uint8_t>(t.setup.wIndex & 0xFF),
                                  static_cast<uint8_t>(t.setup.wIndex >> 8),
                                  static_cast<uint8_t>(t.setup.wLength & 0xFF),
                                  static_cast<uint8_t>(t.setup.wLength >> 8)};
        out << when << "SETUP  " << talvik::cli::FormatHex(setup, sizeof setup) << "\n";
        if (!t.dataOut.empty())
            out << when << "OUT    " << talvik::cli::FormatHex(t.dataOut.data(), t.dataOut.size())
                << "\n";
    } else {
        char ep[8];
        std::snprintf(ep, sizeof ep, "0x%02X", t.endpoint);
        out << when << "IN     endpoint " << ep << ", up to " << t.requestedLength << " bytes\n";
    }
    if (!t.dataIn.empty())
        out << when << "IN     " << talvik::cli::FormatHex(t.dataIn.data(), t.dataIn.size())
            << "\n";
    const std::string end = BusTime(t.completedMs);
    if (!t.completed)
        out << end << "(still pending)\n";
    else
        out << end << (t.cancelled ? "CANCEL " : "DONE   ") << t.bytes << " bytes, status "
            << Hex32(static_cast<uint32_t>(t.ntStatus)) << ", USB status "
            << Hex32(static_cast<uint32_t>(t.usbdStatus)) << "\n";
}

talvik::cli::FileOutput g_out(stdout), g_err(stderr);

void Usage() {
    g_err << "simulated system: talvikctl [--bus] [--colorimeters N] COMMAND...\n"
             "  --bus              print the virtual bus traffic of each request\n"
             "  --colorimeters N   virtual colorimeters plugged in (default 1)\n";
    talvik::cli::PrintUsage(g_err);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool bus = false;
    uint32_t count = 1;
    while (!args.empty() && (args[0] == "--bus" || args[0] == "--colorimeters")) {
        if (args[0] == "--bus") {
            bus = true;
            args.erase(args.begin());
            continue;
        }
        const auto n = args.size() > 1 ? talvik::cli::ParseNumber(args[1], 8) : std::nullopt;
        if (!n) {
            Usage();
            return talvik::cli::kExitUsage;
        }
        count = *n;
        args.erase(args.begin(), args.begin() + 2);
    }

    kmdf::sim::World world;
    const kmdf::sim::Status loaded = world.LoadDriver(&FxDriverEntry);
    if (loaded != 0) {
        g_err << "talvikctl: the driver did not load: " << Hex32(uint32_t(loaded)) << "\n";
        return talvik::cli::kExitRequestFailed;
    }
    std::vector<std::unique_ptr<talvik::sim::DemoFirmware>> firmware;
    for (uint32_t i = 0; i < count; ++i) {
        kmdf::sim::PnpDevice& device = world.PlugIn();
        firmware.push_back(std::make_unique<talvik::sim::DemoFirmware>(device.Usb()));
        firmware.back()->Install();
        const kmdf::sim::Status started = device.Start();
        if (started != 0)
            g_err << "talvikctl: colorimeter " << i
                  << " did not start: " << Hex32(uint32_t(started)) << "\n";
        // Only the session's own traffic is shown, not the enumeration and configuration.
        device.Usb().ClearTraffic();
    }

    talvik::SimTransport transport;
    if (bus) {
        transport.SetAfterRequest([&world] {
            for (kmdf::sim::PnpDevice* device : world.Devices()) {
                for (const TransferRecord& t : device->Usb().Traffic())
                    PrintTransfer(g_out, t);
                device->Usb().ClearTraffic();
            }
        });
    }
    int rc;
    {
        talvik::Client client(transport);
        rc = talvik::cli::Run(args, client, g_out, g_err);
    }
    world.UnloadDriver();
    const std::vector<std::string> violations = world.verifier().Violations();
    for (const std::string& v : violations)
        g_err << "verifier: " << v << "\n";
    return violations.empty() ? rc : 3;
}
