// talvikctl for Windows: the commands over the SetupDi/DeviceIoControl transport.
#include "Cli.h"
#include "transport/win32/Win32Transport.h"

#include <cstdio>

int main(int argc, char** argv) {
    talvik::Win32Transport transport;
    talvik::Client client(transport);
    const std::vector<std::string> args(argv + 1, argv + argc);
    talvik::cli::FileOutput out(stdout), err(stderr);
    return talvik::cli::Run(args, client, out, err);
}
