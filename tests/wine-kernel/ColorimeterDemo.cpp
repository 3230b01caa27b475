// The colorimeter part of `make demo` on Wine's kernel: the virtual bus installed, the Talvik2
// package (Talvik2.inf, Talvik2.sys, the catalog and the framework's co-installer stand-in)
// installed by Setup.exe from a medium, a virtual colorimeter plugged in whose answers the bus
// scripts after the demo firmware of the simulated build (client/sim/DemoFirmware), and then the
// shipped talvikctl.exe lists it and runs the session through the installed driver, printing the
// bus traffic; at the end Setup.exe /uninstall takes the package out again.
//
//   wt_colorimeter_demo.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> <Talvik2.sys>
//                           <WdfCoInstaller01001.dll> <talvikctl.exe> <session file>
//                           [<wt_sequence.exe> <Setup.exe> <stub32> <stub64>]
//
// Without the last four (a host without the 32-bit Wine) SensorInst.exe installs the package
// from a medium's folder directly, as the setup's sensor phase would.
#include "BusClient.h"
#include "FloorInterface.h"
#include "SetupDrive.h"
#include "Talvik2Bed.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <initguid.h>
#include <winioctl.h>

#include <TalvikPublic.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const UCHAR kIn = 0xC0;
const UCHAR kOut = 0x40;
// The session's integration time and calibration (scripts/demo-colorimeter.session): the bus
// answers from a script, so the firmware's state is written into it.
const BYTE kIntegrationMs = 250;

std::vector<BYTE> Le32(ULONG value) {
    return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}

// The demo firmware's command set as records: identification, integration time, calibration
// written and read back, a measurement (its report on the interrupt pipe, fed beforehand), and
// a command never answered; anything else stalls.
std::vector<wk::ScriptRecord> DemoFirmware() {
    const std::string id = "TALVIK2 DEMO 1.0";
    std::vector<BYTE> xyz = Le32(95047 + 1), y = Le32(100000 + 1), z = Le32(108883 + 1);
    xyz.insert(xyz.end(), y.begin(), y.end());
    xyz.insert(xyz.end(), z.begin(), z.end());
    return {
        {kIn, 0x01, UsbBusAnswerData, std::vector<BYTE>(id.begin(), id.end()), 0, 0, true},
        {kOut, 0x10, UsbBusAnswerAck, {}, 0, 0, true},
        {kIn, 0x11, UsbBusAnswerData, {kIntegrationMs, 0}, 0, 0, true},
        {kOut, 0x12, UsbBusAnswerAck, {}, 0, 0, true},
        {kIn, 0x13, UsbBusAnswerData, {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4}, 0, 0, true},
        {kOut, 0x20, UsbBusAnswerAck, {}, 0, kIntegrationMs, true},
        {kIn, 0x21, UsbBusAnswerData, xyz, 0, 0, true},
        {kIn, 0x30, UsbBusAnswerNothing, {}, 0, 0, true},
    };
}

// Runs talvikctl with this program's output as its own; its exit code.
DWORD RunShown(const std::wstring& ctl, const std::wstring& args) {
    std::wstring line = L"\"" + ctl + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);
    PROCESS_INFORMATION info = {};
    std::fflush(stdout);
    if (!CreateProcessW(ctl.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info))
        return ~0u;
    WaitForSingleObject(info.hProcess, 120000);
    DWORD code = ~0u;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

// The setup's run as a person would follow it: its transcript, then whether it got through.
bool SetupShown(const wk::SetupKit& kit, bool uninstall) {
    std::printf("\n-- Setup.exe%s from the medium\n", uninstall ? " /uninstall" : "");
    std::fflush(stdout);
    wk::ToolResult run = wk::RunSetup(kit, uninstall);
    // The transcript; the run's own check lines only when one failed.
    size_t at = 0;
    while (at < run.output.size()) {
        size_t end = run.output.find('\n', at);
        end = end == std::string::npos ? run.output.size() : end + 1;
        const std::string line = run.output.substr(at, end - at);
        if (line.compare(0, 5, "ok   ") != 0 && line.find(" passed, 0 failed") == std::string::npos)
            std::printf("%s", line.c_str());
        at = end;
    }
    return wt::Check(run.started && run.exitCode == 0,
                     uninstall ? "Setup.exe /uninstall took the package out"
                               : "Setup.exe installed the package",
                     "exit " + std::to_string(run.exitCode));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 8 && argc != 12) {
        wt::Note("usage: wt_colorimeter_demo.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> "
                 "<Talvik2.sys> <WdfCoInstaller01001.dll> <talvikctl.exe> <session file> "
                 "[<wt_sequence.exe> <Setup.exe> <stub32> <stub64>]");
        return 2;
    }
    const bool bySetup = argc == 12;
    const wk::Talvik2Files files = wk::Talvik2FilesFrom(argv + 1);
    const std::wstring ctl = wt::HostPath(argv[6]);
    const std::wstring session = wt::HostPath(argv[7]);
    const std::wstring medium = wt::ScratchDir(L"colorimeter-demo");
    const std::wstring drivers = medium + L"SensorDrivers\\";
    const std::wstring package = drivers + L"Package\\Talvik2\\";
    CreateDirectoryW(drivers.c_str(), nullptr);
    CreateDirectoryW((drivers + L"Package").c_str(), nullptr);
    const std::wstring busDir = medium + L"VirtualBus\\";
    CreateDirectoryW(busDir.c_str(), nullptr);

    std::printf("== Colorimeter: Talvik2 on Wine's kernel, driven by talvikctl.exe\n");
    wk::Talvik2Bed bed;
    wk::SetupKit kit;
    if (bySetup) {
        // The package folder is the setup medium's SensorDrivers\Package\Talvik2.
        kit = {wt::HostPath(argv[8]),  wt::HostPath(argv[9]),
               wt::HostPath(argv[10]), wt::HostPath(argv[11]),
               files.sensorInst,       package.substr(0, package.size() - 1)};
        std::printf("-- the virtual bus installed; the Talvik2 package laid out in %s\n",
                    wt::Utf8(package).c_str());
        if (!wt::Check(wk::LayOutTalvik2Package(files, package),
                       "Talvik2's package is laid out, its INF naming the virtual colorimeter") ||
            !bed.InstallBus(files, busDir) || !SetupShown(kit, false)) {
            bed.Uninstall();
            return wt::Finish();
        }
    } else {
        std::printf("-- the virtual bus and the medium's package %s, installed with "
                    "SensorInst.exe (no 32-bit Wine here for Setup.exe)\n",
                    wt::Utf8(package).c_str());
        if (!bed.Install(files, package, busDir))
            return wt::Finish();
    }
    ULONG port = 0;
    std::wstring path;
    std::string why;
    const bool plugged = bed.Plug(port, path, why, [&](ULONG p, std::string& failed) {
        std::vector<BYTE> script = wk::ScriptRequest(p, DemoFirmware());
        DWORD returned = 0;
        DWORD error = wk::Control(bed.Bus(), IOCTL_USBBUS_SCRIPT, script.data(),
                                  DWORD(script.size()), nullptr, 0, returned);
        failed = "scripting the demo firmware: " + wk::Error(error);
        return error == 0;
    });
    if (!wt::Check(plugged, "a virtual colorimeter is plugged in and Talvik2 starts on it", why))
        return wt::Finish();
    // The measurement's report (ready, sequence 1, the integration time), held by the bus until
    // the session's first read.
    wt::Check(bed.FeedInterrupt(port, {0x01, 0x01, kIntegrationMs, 0, 0, 0, 0, 0}) == 0,
              "its interrupt endpoint holds the measurement's report");

    std::printf("\n-- talvikctl.exe list\n");
    const DWORD listed = RunShown(ctl, L"list");
    std::printf("\n-- talvikctl.exe --bus script %s\n", wt::Utf8(session).c_str());
    const DWORD ran = RunShown(ctl, L"--bus script \"" + session + L"\"");
    std::printf("\n");
    wt::Check(listed == 0, "talvikctl list found the colorimeter",
              "exit " + std::to_string(listed));
    // The session has a stall and two timeouts on purpose: talvikctl ends with 1.
    wt::Check(ran == 0 || ran == 1, "talvikctl ran the session", "exit " + std::to_string(ran));

    wt::Check(bed.Unplug(port, why), "the colorimeter is unplugged", why);
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).empty(); },
                            wk::kPnpTimeoutMs, 100),
              "the host removed its stack");
    if (bySetup)
        SetupShown(kit, true);
    bed.Uninstall();
    return wt::Finish();
}
