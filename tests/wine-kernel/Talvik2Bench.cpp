// The figure: N round trips of a device-to-host vendor request through the whole stack on the
// kernel host (client -> Wine's I/O manager -> Talvik2.sys -> WDFLDR.SYS -> the virtual bus ->
// back) against N round trips of a null request to the floor driver (KldrFloor.sys) on the same
// host, interleaved in blocks; the means, medians and their ratio. To show where the time goes,
// also two requests Talvik2 refuses: a control code it lacks (the framework's default queue
// turns it away) and a class request (the vendor queue does, after the in-caller step and the
// forward), neither of which reaches the bus.
//
//   wt_talvik2_bench.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> <Talvik2.sys>
//                        <WdfCoInstaller01001.dll> <KldrFloor.inf> [N]
#include "BusClient.h"
#include "FloorInterface.h"
#include "FloorIoctl.h"
#include "RootDevice.h"
#include "Talvik2Bed.h"
#include "ToolRun.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <initguid.h>
#include <tlhelp32.h>
#include <winioctl.h>

#include <TalvikPublic.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

const wchar_t kFloorId[] = L"Root\\KldrFloor";
// {4D36E97D-E325-11CE-BFC1-08002BE10318}
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const UCHAR kVendorIn = 0xC0;
const UCHAR kBenchRequest = 0x61;
const int kBlock = 50;

double NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1e6 / double(frequency.QuadPart);
}

struct Series {
    Series(const char* n, std::function<bool()> t) : name(n), trip(std::move(t)) {}
    const char* name;
    std::function<bool()> trip; // one round trip; false when it did not end as it should
    std::vector<double> us;
    int failures = 0;
    double Mean() const { return std::accumulate(us.begin(), us.end(), 0.0) / double(us.size()); }
    double Median() const {
        std::vector<double> sorted = us;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[sorted.size() / 2];
    }
    double Percentile(double p) const {
        std::vector<double> sorted = us;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[size_t(p * double(sorted.size() - 1))];
    }
};

// The kernel-host process whose modules include `image` (0 when none does).
DWORD HostOf(const wchar_t* image) {
    DWORD found = 0;
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W p = {};
    p.dwSize = sizeof p;
    for (BOOL more = Process32FirstW(processes, &p); more && found == 0;
         more = Process32NextW(processes, &p)) {
        if (_wcsicmp(p.szExeFile, L"winedevice.exe") != 0)
            continue;
        HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, p.th32ProcessID);
        MODULEENTRY32W m = {};
        m.dwSize = sizeof m;
        for (BOOL next = Module32FirstW(modules, &m); next && found == 0;
             next = Module32NextW(modules, &m))
            if (_wcsicmp(m.szModule, image) == 0)
                found = p.th32ProcessID;
        CloseHandle(modules);
    }
    CloseHandle(processes);
    return found;
}

bool InstallFloor(const std::wstring& sensorInst, const std::wstring& inf) {
    if (int left = wk::RemoveDevicesWithId(kFloorId))
        wt::Note("removed " + std::to_string(left) + " floor device(s) left from an earlier run");
    wt::Check(wk::CreateRootDevice(kSystemClass, L"System", kFloorId),
              "a root device with the floor driver's id is registered");
    wk::ToolResult run = wk::RunTool(L"\"" + sensorInst + L"\" \"" + inf + L"\"", 60000);
    wt::Check(run.started && run.exitCode == 0, "SensorInst installs the floor driver",
              "exit " + std::to_string(run.exitCode) + ": " + run.output);
    return wt::Check(
        wt::WaitUntil([] { return !wk::PresentInterfaces(wk::kFloorInterface).empty(); },
                      wk::kPnpTimeoutMs, 100),
        "the host loaded the floor driver: its interface is present");
}

void Print(const Series& s) {
    std::printf("  %-46s mean %8.1f us  median %8.1f us  p10 %8.1f  p90 %8.1f  (%zu trips%s)\n",
                s.name, s.Mean(), s.Median(), s.Percentile(0.1), s.Percentile(0.9), s.us.size(),
                s.failures ? ", some failed" : "");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        wt::Note("usage: wt_talvik2_bench.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> "
                 "<Talvik2.sys> <WdfCoInstaller01001.dll> <KldrFloor.inf> [N]");
        return 2;
    }
    const int n = argc == 8 ? std::max(kBlock, std::atoi(argv[7])) : 2000;
    const wk::Talvik2Files files = wk::Talvik2FilesFrom(argv + 1);
    wk::Talvik2Bed bed;
    if (!bed.Install(files, wt::ScratchDir(L"talvik2-bench")) ||
        !InstallFloor(files.sensorInst, wt::HostPath(argv[6])))
        return wt::Finish();
    ULONG port = 0;
    std::wstring path;
    std::string why;
    const bool plugged = bed.Plug(port, path, why, [&](ULONG p, std::string& failed) {
        std::vector<BYTE> script = wk::ScriptRequest(
            p,
            {{kVendorIn, kBenchRequest, UsbBusAnswerData, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0, true}});
        DWORD returned = 0;
        DWORD error = wk::Control(bed.Bus(), IOCTL_USBBUS_SCRIPT, script.data(),
                                  DWORD(script.size()), nullptr, 0, returned);
        failed = wk::Error(error);
        return error == 0;
    });
    if (!wt::Check(plugged, "a colorimeter is plugged and Talvik2 started on it", why))
        return wt::Finish();
    HANDLE colorimeter = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    HANDLE floor = CreateFileW(wk::PresentInterfaces(wk::kFloorInterface)[0].c_str(),
                               GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!wt::Check(colorimeter != INVALID_HANDLE_VALUE && floor != INVALID_HANDLE_VALUE,
                   "both devices open"))
        return wt::Finish();
    const DWORD talvikHost = HostOf(L"talvik2.sys"), floorHost = HostOf(L"kldrfloor.sys");
    wt::Check(talvikHost != 0 && talvikHost == floorHost,
              "Talvik2.sys and KldrFloor.sys run in the same kernel host",
              "winedevice " + std::to_string(talvikHost) + " and " + std::to_string(floorHost));

    BYTE data[8];
    DWORD returned = 0;
    VENDOR_OR_CLASS_REQUEST_CONTROL vendor = {1, 2, 0, 0, kBenchRequest, 0, 0, 0};
    VENDOR_OR_CLASS_REQUEST_CONTROL classRequest = {1, 1, 0, 0, kBenchRequest, 0, 0, 0};
    const DWORD unknownCode =
        CTL_CODE(FILE_DEVICE_UNKNOWN, TALVIK_IOCTL_INDEX + 0x3F, METHOD_BUFFERED, FILE_ANY_ACCESS);
    std::vector<Series> series = {
        {"Talvik2 vendor IN request, 8 bytes, via the bus",
         [&] {
             return DeviceIoControl(colorimeter, IOCTL_VENDOR_OR_CLASS_REQUEST, &vendor,
                                    sizeof vendor, data, sizeof data, &returned, nullptr) &&
                    returned == 8;
         }},
        {"floor driver null request",
         [&] {
             return DeviceIoControl(floor, IOCTL_FLOOR_NULL, nullptr, 0, nullptr, 0, &returned,
                                    nullptr) != FALSE;
         }},
        {"Talvik2 unknown code (default queue refuses)",
         [&] {
             return !DeviceIoControl(colorimeter, unknownCode, &vendor, sizeof vendor, data,
                                     sizeof data, &returned, nullptr) &&
                    GetLastError() == ERROR_INVALID_FUNCTION;
         }},
        {"Talvik2 class request (vendor queue refuses)",
         [&] {
             return !DeviceIoControl(colorimeter, IOCTL_VENDOR_OR_CLASS_REQUEST, &classRequest,
                                     sizeof classRequest, data, sizeof data, &returned, nullptr) &&
                    GetLastError() == ERROR_INVALID_FUNCTION;
         }},
    };
    // Warm-up, then blocks of each in turn, so that a busy moment of the machine falls on all.
    for (Series& s : series)
        for (int i = 0; i < 100; ++i)
            s.trip();
    for (int done = 0; done < n; done += kBlock)
        for (Series& s : series)
            for (int i = 0; i < kBlock; ++i) {
                const double start = NowUs();
                const bool ok = s.trip();
                s.us.push_back(NowUs() - start);
                s.failures += !ok;
            }
    for (const Series& s : series)
        wt::Check(s.failures == 0, std::string("every round trip ended as it should: ") + s.name,
                  std::to_string(s.failures) + " did not");

    const Series& full = series[0];
    const Series& null = series[1];
    std::printf("\n== Kernel-host bench: round trips on Wine's kernel (%d each, interleaved in "
                "blocks of %d, one process, synchronous DeviceIoControl)\n",
                n, kBlock);
    for (const Series& s : series)
        Print(s);
    std::printf("  ratio Talvik2 vendor request / floor null request: median %.2f, mean %.2f "
                "(goal <= 1.5)\n",
                full.Median() / null.Median(), full.Mean() / null.Mean());
    std::printf("  where the time goes (medians): I/O manager round trip %.1f us; Talvik2 and "
                "the framework up to the default queue's refusal +%.1f us; the in-caller step, "
                "the forward and the vendor queue +%.1f us; the URB through the bus and back "
                "+%.1f us\n",
                null.Median(), series[2].Median() - null.Median(),
                series[3].Median() - series[2].Median(), full.Median() - series[3].Median());
    std::fflush(stdout);

    CloseHandle(colorimeter);
    CloseHandle(floor);
    wt::Check(bed.Unplug(port, why), "the colorimeter is unplugged", why);
    wt::WaitUntil([] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).empty(); },
                  wk::kPnpTimeoutMs, 100);
    wk::RemoveDevicesWithId(kFloorId);
    bed.Uninstall();
    return wt::Finish();
}
