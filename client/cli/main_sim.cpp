// talvikctl in the simulated system: the process makes its own machine - the simulated kernel with
// the virtual USB bus and Talvik2 installed, virtual colorimeters running the demo firmware
// plugged in - and then runs the same commands as the Windows build, over the simulated I/O
// manager. With --bus it prints the traffic on the virtual bus after each request: setup packets,
// data stages, statuses, at the bus log's virtual times.
#include "BusPrint.h"
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
                        talvik::cli::PrintTransfer(g_out, t, requested);
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
