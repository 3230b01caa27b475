// talvikctl for Windows: the commands over the SetupDi/DeviceIoControl transport. With --bus (on
// the test bed's virtual USB bus) it prints the bus's traffic after each request, as the
// simulated build does.
#include "BusWatch.h"
#include "Cli.h"
#include "transport/win32/Win32Transport.h"

#include <cstdio>

int main(int argc, char** argv) {
    talvik::Win32Transport transport;
    std::vector<std::string> args(argv + 1, argv + argc);
    talvik::cli::FileOutput out(stdout), err(stderr);
    if (!args.empty() && args[0] == "--bus") {
        args.erase(args.begin());
        talvik::cli::BusWatch watch(transport, out);
        std::string why;
        if (!watch.Attach(why)) {
            err << "talvikctl: --bus: " << why << "\n";
            return talvik::cli::kExitUsage;
        }
        talvik::Client client(watch);
        return talvik::cli::Run(args, client, out, err);
    }
    talvik::Client client(transport);
    return talvik::cli::Run(args, client, out, err);
}
