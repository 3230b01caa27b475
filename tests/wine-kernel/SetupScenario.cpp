// The product's own path onto the kernel host: Setup.exe (32-bit) runs from a medium whose
// SensorDrivers\Package\Talvik2 holds the driver's package and whose x64 SensorInst.exe is the
// real one; its sensor phase puts the package into the store. A colorimeter plugged in then gets
// Talvik2.sys from the INF, and talvikctl.exe reads a vendor request's data and an interrupt
// transfer through it, the bus log showing the setup packets. `Setup.exe /uninstall` takes the
// driver off the device and the package out of the store.
//
//   wt_talvik2_setup.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> <Talvik2.sys>
//                        <WdfCoInstaller01001.dll> <talvikctl.exe> <wt_sequence.exe>
//                        <Setup.exe> <stub32> <stub64>
//
// VirtUsbBus.sys, WDFLDR.SYS and Talvik2.sys must already be in
// %SystemRoot%\system32\drivers; this program keeps the kernel host alive meanwhile.
#include "BusClient.h"
#include "FloorInterface.h"
#include "SetupDrive.h"
#include "Talvik2Bed.h"
#include "ToolRun.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <initguid.h>
#include <winioctl.h>

#include <TalvikPublic.h>

#include <string>
#include <vector>

namespace {

using wk::Contains;

const DWORD kToolTimeoutMs = 60000;

// The setup from the medium, driven to its end; its transcript goes to this scenario's output.
bool SetupChecked(const wk::SetupKit& kit, bool uninstall) {
    wk::ToolResult run = wk::RunSetup(kit, uninstall);
    wt::Note("---- Setup.exe" + std::string(uninstall ? " /uninstall" : "") + " ----\n" +
             run.output + "---- end ----");
    return wt::Check(run.started && run.exitCode == 0,
                     uninstall ? "Setup.exe /uninstall runs to its closing text"
                               : "Setup.exe runs to its closing text, its sensor phase included",
                     "exit " + std::to_string(run.exitCode));
}

std::string Talvikctl(const std::wstring& ctl, const std::wstring& args) {
    return wk::ToolTranscript(L"\"" + ctl + L"\" " + args, kToolTimeoutMs);
}

// Talvik2 serves the colorimeter the setup installed it for.
void CheckServed(wk::Talvik2Bed& bed, const std::wstring& ctl, ULONG port) {
    ULONG first = bed.NextLogSequence();
    std::vector<BYTE> script =
        wk::ScriptRequest(port, {{0xC0, 0x31, UsbBusAnswerData, {0x4B, 0x4C}}});
    DWORD returned = 0;
    DWORD error = wk::Control(bed.Bus(), IOCTL_USBBUS_SCRIPT, script.data(), DWORD(script.size()),
                              nullptr, 0, returned);
    wt::Check(error == 0, "the colorimeter's answer is scripted", wk::Error(error));
    std::string out = Talvikctl(ctl, L"vendor --in --request 0x31 --value 0x0102 --length 8");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "status  success (error 0), 2 bytes") &&
                  Contains(out, "data    4b 4c"),
              "talvikctl gets the device-to-host vendor request's data", out);
    const std::vector<BYTE> fed = {0x21, 0x43, 0x65};
    error = bed.FeedInterrupt(port, fed);
    wt::Check(error == 0, "the interrupt endpoint is fed", wk::Error(error));
    out = Talvikctl(ctl, L"read --length 8");
    wt::Check(Contains(out, "exit 0: ") && Contains(out, "status  success (error 0), 3 bytes") &&
                  Contains(out, "data    21 43 65"),
              "talvikctl reads the interrupt transfer", out);
    std::vector<USBBUS_LOG_ENTRY> log = wk::ReadLog(bed.Bus(), first);
    wt::CheckText(wt::Wide(wk::VendorTraffic(log, port)),
                  L" setup 192/49 value 258 length 8 data 75 76 status 0",
                  "the bus log has the vendor request's setup packet and data on the wire");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 11) {
        wt::Note("usage: wt_talvik2_setup.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> "
                 "<Talvik2.sys> <WdfCoInstaller01001.dll> <talvikctl.exe> <wt_sequence.exe> "
                 "<Setup.exe> <stub32> <stub64>");
        return 2;
    }
    const wk::Talvik2Files files = wk::Talvik2FilesFrom(argv + 1);
    const std::wstring ctl = wt::HostPath(argv[6]);
    const std::wstring dir = wt::ScratchDir(L"talvik2-setup");
    const std::wstring package = wt::ScratchDir(L"talvik2-package");
    const wk::SetupKit kit{wt::HostPath(argv[7]), wt::HostPath(argv[8]),
                           wt::HostPath(argv[9]), wt::HostPath(argv[10]),
                           files.sensorInst,      package.substr(0, package.size() - 1)};
    wk::Talvik2Bed bed;
    if (bed.InstallBus(files, dir) &&
        wt::Check(wk::LayOutTalvik2Package(files, package),
                  "Talvik2's package is laid out, its INF naming the virtual colorimeter") &&
        SetupChecked(kit, false)) {
        ULONG port = 0;
        std::wstring path;
        std::string why;
        if (wt::Check(bed.Plug(port, path, why),
                      "a colorimeter plugged in gets Talvik2.sys from the installed INF: its "
                      "interface is present",
                      why)) {
            CheckServed(bed, ctl, port);
            if (SetupChecked(kit, true))
                wt::Check(
                    wt::WaitUntil(
                        [] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).empty(); },
                        wk::kPnpTimeoutMs, 100),
                    "the uninstall took Talvik2 off the colorimeter: its interface is gone");
            bed.Unplug(port, why);
        }
    }
    bed.Uninstall();
    return wt::Finish();
}
