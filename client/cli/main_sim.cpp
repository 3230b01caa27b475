// talvikctl in the simulated system: the process makes its own machine - the simulated kernel with
// the virtual USB bus and Talvik2 installed, virtual colorimeters running the demo firmware
// plugged in - and then runs the same commands as the Windows build, over the simulated I/O
// manager. With --bus it prints the traffic on the virtual bus after each request: setup packets,
// data stages, statuses, at the bus log's virtual times.
#include "Cli.h"
#include "sim/DemoFirmware.h"
#include "sim/PipeSubmissions.h"
#include "transport/sim/SimTransport.h"

#include "sim/Talvik2Machine.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

using ::sim::TransferRecord;

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

// `requested`: what a pipe transfer asked for (the bus log has only what it moved).
void PrintTransfer(talvik::cli::Output& out, const TransferRecord& t, uint32_t requested) {
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
        out << when << "IN     endpoint " << ep << ", up to " << requested << " bytes\n";
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

// The PDOs of devices on the virtual bus (the bus's own is the root's).
std::set<PDEVICE_OBJECT> BusDevices(::sim::Machine& machine) {
    std::set<PDEVICE_OBJECT> pdos;
    for (const ntsim::PnpManager::DeviceInfo& d : machine.Kernel().Pnp().Devices())
        if (d.pdo != machine.BusFdo() && d.service != "VirtualUsb")
            pdos.insert(d.pdo);
    return pdos;
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

    // Findings (kernel and framework verifiers) are kept past the machine: leaks and what the
    // driver leaves at unload are found as it shuts down. The firmware outlives the machine that
    // calls it.
    std::mutex findingsMu;
    std::vector<std::string> findings;
    std::vector<std::unique_ptr<talvik::sim::DemoFirmware>> firmware;
    int rc;
    {
        ::sim::Talvik2Machine machine;
        machine.SetFindingHandler([&](const ::sim::Finding& f) {
            std::lock_guard<std::mutex> lock(findingsMu);
            findings.push_back(f.text);
        });
        talvik::sim::PipeSubmissions submissions(machine.Kernel());
        struct Plugged {
            ::sim::Colorimeter* device;
            PDEVICE_OBJECT pdo; // its end of the stack on the bus
        };
        std::vector<Plugged> colorimeters;
        std::set<PDEVICE_OBJECT> known = BusDevices(machine);
        for (uint32_t i = 0; i < count; ++i) {
            // PnP loads the driver with the first one and starts each stack as it arrives.
            ::sim::Colorimeter* device = machine.PlugIn();
            if (device == nullptr) {
                g_err << "talvikctl: colorimeter " << i << " found no free port\n";
                break;
            }
            firmware.push_back(std::make_unique<talvik::sim::DemoFirmware>(*device));
            firmware.back()->Install();
            // Only the session's own traffic is shown, not the enumeration and configuration.
            device->ClearTraffic();
            PDEVICE_OBJECT pdo = nullptr;
            for (PDEVICE_OBJECT p : BusDevices(machine))
                if (known.insert(p).second)
                    pdo = p;
            colorimeters.push_back({device, pdo});
        }
        const size_t started = machine.Interfaces().size();
        if (started != colorimeters.size())
            g_err << "talvikctl: " << colorimeters.size() << " colorimeters plugged in, " << started
                  << " started\n";

        talvik::SimTransport transport(machine);
        if (bus) {
            transport.SetAfterRequest([&colorimeters, &submissions] {
                for (const Plugged& c : colorimeters) {
                    for (TransferRecord t : c.device->Traffic()) {
                        uint32_t requested = t.bytes;
                        talvik::sim::PipeSubmissions::Submission sent;
                        if (t.kind != TransferRecord::Kind::Control && (t.endpoint & 0x80) &&
                            submissions.Take(c.pdo, &sent)) {
                            t.submittedMs = std::min<uint64_t>(t.submittedMs, sent.ms);
                            requested = sent.length;
                        }
                        PrintTransfer(g_out, t, requested);
                    }
                    c.device->ClearTraffic();
                }
            });
        }
        talvik::Client client(transport);
        rc = talvik::cli::Run(args, client, g_out, g_err);
    }
    std::lock_guard<std::mutex> lock(findingsMu);
    for (const std::string& f : findings)
        g_err << "verifier: " << f << "\n";
    return findings.empty() ? rc : 3;
}
