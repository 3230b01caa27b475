// Talvik2 on the kernel host under load: the bus and the driver's package installed, a
// colorimeter plugged in whose answers the bus scripts (LoadFirmware), then worker threads in
// two processes (this one and a child copy of it) send random device-control traffic through
// Wine's I/O manager (LoadWorker) while this process's controller feeds the interrupt endpoints,
// watches the OUT data stages on the bus log, and unplugs (a surprise removal on this host) and
// plugs colorimeters, at times two at once. Every request must end once, as the driver's contract
// allows; at the end the devices are unplugged, the kernel host must still be running, and the
// bed's script reads the framework's report of what was left live from the host's log.
//
//   wt_talvik2_load.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> <Talvik2.sys>
//                       <WdfCoInstaller01001.dll> [--ops N] [--seconds S] [--seed N]
//                       [--threads N] [--silent-one-in N] [--cancel-one-in N]
//   wt_talvik2_load.exe worker <section> <seed> <threads> <silent-one-in> <cancel-one-in>
//                              <cancel-lock>                                    (the child)
#include "BusClient.h"
#include "FloorInterface.h"
#include "LoadFirmware.h"
#include "LoadWorker.h"
#include "Talvik2Bed.h"

#include "Harness.h"

#include <usbbus/BusControl.h>

#include <initguid.h>
#include <tlhelp32.h>
#include <winioctl.h>

#include <TalvikPublic.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using load::Shared;

struct Options {
    std::uint64_t ops = 3000;
    std::uint64_t seconds = 45;
    std::uint64_t seed = 1;
    std::uint64_t threads = 3;
    std::uint64_t silentOneIn = 60;
    std::uint64_t cancelOneIn = 0;
};

bool ParseCount(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        return false;
    value = v;
    return true;
}

std::vector<BYTE> LoadScript(ULONG port) {
    std::vector<wk::ScriptRecord> records;
    for (const load::Record& r : load::Script()) {
        wk::ScriptRecord s{r.requestType, r.request, UsbBusAnswerAck, r.data, 0, r.delayMs, true};
        switch (r.answer) {
        case load::Answer::Data:
            s.answer = UsbBusAnswerData;
            break;
        case load::Answer::Ack:
            s.answer = UsbBusAnswerAck;
            break;
        case load::Answer::Error:
            s.answer = UsbBusAnswerError;
            s.usbdStatus = load::kUsbError;
            break;
        case load::Answer::Nothing:
            s.answer = UsbBusAnswerNothing;
            break;
        case load::Answer::Stall:
            s.answer = UsbBusAnswerStall;
            break;
        }
        records.push_back(s);
    }
    return wk::ScriptRequest(port, records);
}

// The bus log as the run goes: every OUT data stage of a vendor request must be the caller's
// buffer (the log keeps its first 64 bytes), and as long as its setup packet says.
class BusWatch {
public:
    explicit BusWatch(HANDLE bus, ULONG first) : bus_(bus), next_(first) {}
    void Poll();
    std::uint64_t violations = 0, outStages = 0, missed = 0;
    std::vector<std::string> texts;

private:
    void Violation(const std::string& text) {
        ++violations;
        if (texts.size() < 10)
            texts.push_back(text);
    }
    HANDLE bus_;
    ULONG next_;
    struct Pending {
        ULONG port;
        USB_SETUP_PACKET setup;
    };
    std::vector<Pending> outSetups_; // vendor OUT setups awaiting their data stage, by port
};

void BusWatch::Poll() {
    for (;;) {
        std::vector<USBBUS_LOG_ENTRY> log = wk::ReadLog(bus_, next_);
        if (log.empty())
            return;
        if (log.front().Sequence != next_) {
            missed += log.front().Sequence - next_; // overwritten before this poll
            outSetups_.clear();
        }
        for (const USBBUS_LOG_ENTRY& e : log) {
            next_ = e.Sequence + 1;
            auto at = std::find_if(outSetups_.begin(), outSetups_.end(),
                                   [&](const Pending& p) { return p.port == e.Port; });
            if (e.EndpointAddress != 0)
                continue;
            if (e.Kind == UsbBusLogSetup) {
                if (at != outSetups_.end())
                    outSetups_.erase(at);
                if (e.Setup.bmRequestType == load::kVendorOut && e.Setup.wLength > 0)
                    outSetups_.push_back({e.Port, e.Setup});
            } else if (e.Kind == UsbBusLogData && at != outSetups_.end()) {
                ++outStages;
                const USB_SETUP_PACKET setup = at->setup;
                outSetups_.erase(at);
                if (e.Length != setup.wLength)
                    Violation("vendor OUT data stage of " + std::to_string(e.Length) +
                              " bytes for wLength " + std::to_string(setup.wLength));
                for (ULONG i = 0; i < e.Length && i < USBBUS_LOG_DATA_BYTES; ++i)
                    if (e.Data[i] != load::OutByte(setup.wIndex, i)) {
                        Violation("vendor OUT data stage differs from the caller's buffer at "
                                  "byte " +
                                  std::to_string(i));
                        break;
                    }
            }
        }
        if (log.size() < USBBUS_LOG_ENTRIES)
            return;
    }
}

bool KernelHostRunning() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = _wcsicmp(entry.szExeFile, L"winedevice.exe") == 0;
    CloseHandle(snapshot);
    return found;
}

class Controller {
public:
    Controller(wk::Talvik2Bed& bed, Shared& shared, const Options& options,
               const std::wstring& cancelLock)
        : bed_(bed), shared_(shared), options_(options), rng_(options.seed),
          watch_(bed.Bus(), bed.NextLogSequence()), cancelLock_(load::OpenCancelLock(cancelLock)) {}
    ~Controller() { CloseHandle(cancelLock_); }
    bool PlugOne();
    bool UnplugOne(size_t which);
    void Run();
    void Feed();
    void UnplugAll();
    BusWatch& Watch() { return watch_; }
    std::uint64_t removals = 0, plugs = 0, fed = 0, twoAtOnce = 0;

private:
    void Disturb(bool on) {
        InterlockedIncrement64(&shared_.epoch);
        if (!on)
            InterlockedIncrement64(&shared_.generation);
    }
    wk::Talvik2Bed& bed_;
    Shared& shared_;
    const Options options_;
    std::mt19937_64 rng_;
    BusWatch watch_;
    std::vector<ULONG> ports_;
    std::uint16_t sequence_ = 0;
    HANDLE cancelLock_;
};

bool Controller::PlugOne() {
    Disturb(true);
    ULONG port = 0;
    std::wstring path;
    std::string why;
    // Scripted before the driver can send it anything: unscripted, the device stalls.
    bool ok = bed_.Plug(port, path, why, [&](ULONG plugged, std::string& failed) {
        std::vector<BYTE> script = LoadScript(plugged);
        DWORD returned = 0;
        DWORD error = wk::Control(bed_.Bus(), IOCTL_USBBUS_SCRIPT, script.data(),
                                  DWORD(script.size()), nullptr, 0, returned);
        if (error != 0)
            failed = "scripting its answers failed: " + wk::Error(error);
        return error == 0;
    });
    if (ok) {
        ports_.push_back(port);
        ++plugs;
    } else {
        wt::Check(false, "the host starts Talvik2 on a plugged, scripted colorimeter", why);
    }
    Disturb(false);
    return ok;
}

bool Controller::UnplugOne(size_t which) {
    // No cancellation is on its way while the removal ends requests (see LoadWorker.cpp).
    WaitForSingleObject(cancelLock_, INFINITE);
    Disturb(true);
    const size_t before = wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).size();
    std::string why;
    bool ok = bed_.Unplug(ports_[which], why);
    ports_.erase(ports_.begin() + static_cast<long>(which));
    ok = ok && wt::WaitUntil(
                   [&] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).size() < before; },
                   wk::kPnpTimeoutMs, 20);
    if (!ok)
        wt::Check(false, "an unplugged colorimeter's stack is removed", why);
    ++removals;
    Disturb(false);
    ReleaseMutex(cancelLock_);
    return ok;
}

// About as many interrupt packets as there are reads in flight, on every plugged colorimeter.
void Controller::Feed() {
    const LONG pending = std::min<LONG>(LONG(shared_.readsPending), 4);
    for (LONG n = 0; n < pending; ++n)
        for (ULONG port : ports_) {
            const std::vector<BYTE> packet = stress::InterruptPacket(sequence_++, 1 + rng_() % 12);
            if (bed_.FeedInterrupt(port, packet) == 0)
                ++fed;
        }
}

void Controller::Run() {
    const ULONGLONG start = GetTickCount64();
    ULONGLONG nextStep = start + 1000 + rng_() % 2000;
    while (load::TotalOps(shared_) < static_cast<LONG64>(options_.ops) &&
           GetTickCount64() - start < options_.seconds * 1000) {
        Sleep(10);
        Feed();
        watch_.Poll();
        if (GetTickCount64() < nextStep)
            continue;
        nextStep = GetTickCount64() + 1000 + rng_() % 2500;
        const std::uint32_t roll = static_cast<std::uint32_t>(rng_() % 10);
        if (ports_.empty() || (ports_.size() == 1 && roll < 3)) {
            if (!PlugOne())
                break;
            twoAtOnce += ports_.size() == 2;
        } else {
            // A surprise removal (the only removal this host makes), and mostly a colorimeter
            // back at once.
            if (!UnplugOne(rng_() % ports_.size()))
                break;
            if (ports_.empty() || roll < 6)
                if (!PlugOne())
                    break;
        }
    }
    InterlockedExchange(&shared_.stop, 1);
}

void Controller::UnplugAll() {
    while (!ports_.empty())
        UnplugOne(ports_.size() - 1);
}

// A copy of this program as the second process of workers, writing to this one's output.
HANDLE StartChild(const std::wstring& arguments) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(path, n) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

int RunChild(int argc, char** argv) {
    std::uint64_t seed = 0, threads = 0, silent = 0, cancel = 0;
    if (argc != 8 || !ParseCount(argv[3], seed) || !ParseCount(argv[4], threads) ||
        !ParseCount(argv[5], silent) || !ParseCount(argv[6], cancel))
        return 2;
    HANDLE section = nullptr;
    Shared* shared = load::MapShared(wt::Wide(argv[2]).c_str(), false, section);
    if (shared == nullptr) {
        std::printf("load: the child found no shared section\n");
        return 2;
    }
    load::WorkerOptions options{seed,
                                static_cast<int>(threads),
                                1,
                                static_cast<std::uint32_t>(silent),
                                static_cast<std::uint32_t>(cancel),
                                wt::Wide(argv[7])};
    return load::RunWorkers(*shared, options) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "worker") == 0)
        return RunChild(argc, argv);
    Options options;
    bool ok = argc >= 6;
    for (int i = 6; ok && i < argc; i += 2) {
        const std::string arg = argv[i];
        std::uint64_t* target = arg == "--ops"             ? &options.ops
                                : arg == "--seconds"       ? &options.seconds
                                : arg == "--seed"          ? &options.seed
                                : arg == "--threads"       ? &options.threads
                                : arg == "--silent-one-in" ? &options.silentOneIn
                                : arg == "--cancel-one-in" ? &options.cancelOneIn
                                                           : nullptr;
        ok = target != nullptr && i + 1 < argc && ParseCount(argv[i + 1], *target);
    }
    if (!ok || options.threads < 1 || options.threads > 16) {
        wt::Note("usage: wt_talvik2_load.exe <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf> "
                 "<Talvik2.sys> <WdfCoInstaller01001.dll> [--ops N] [--seconds S] [--seed N] "
                 "[--threads 1-16] [--silent-one-in N] [--cancel-one-in N]");
        return 2;
    }
    const wk::Talvik2Files files = wk::Talvik2FilesFrom(argv + 1);
    const std::wstring dir = wt::ScratchDir(L"talvik2-load");
    wk::Talvik2Bed bed;
    if (!bed.Install(files, dir))
        return wt::Finish();
    wt::Check(wk::ProvideInstallMedia(dir),
              "the package's files are where Wine looks for them on a second install");

    const std::wstring name = L"Local\\TalvikLoad." + std::to_wstring(GetCurrentProcessId());
    HANDLE section = nullptr;
    Shared* shared = load::MapShared(name.c_str(), true, section);
    if (!wt::Check(shared != nullptr, "the processes' shared section is made"))
        return wt::Finish();
    shared->opsTarget = static_cast<LONG64>(options.ops);
    Controller controller(bed, *shared, options, name + L".cancel");
    if (!controller.PlugOne())
        return wt::Finish();

    const ULONGLONG began = GetTickCount64();
    HANDLE child =
        StartChild(L"worker " + name + L" " + std::to_wstring(options.seed) + L" " +
                   std::to_wstring(options.threads) + L" " + std::to_wstring(options.silentOneIn) +
                   L" " + std::to_wstring(options.cancelOneIn) + L" " + name + L".cancel");
    wt::Check(child != nullptr, "a second process of workers is started",
              wk::Error(GetLastError()));
    struct Parent {
        Shared* shared;
        load::WorkerOptions options;
        std::uint64_t violations;
    } parent{shared,
             {options.seed, static_cast<int>(options.threads), 0,
              static_cast<std::uint32_t>(options.silentOneIn),
              static_cast<std::uint32_t>(options.cancelOneIn), name + L".cancel"},
             0};
    HANDLE workers = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* w = static_cast<Parent*>(p);
            w->violations = load::RunWorkers(*w->shared, w->options);
            return 0;
        },
        &parent, 0, nullptr);
    controller.Run();
    // The last requests may still wait for interrupt data or a timeout.
    DWORD childExit = ~0u;
    bool childEnded = false;
    for (int i = 0; i < 9000 && !childEnded; ++i) {
        controller.Feed();
        childEnded = child == nullptr || WaitForSingleObject(child, 10) == WAIT_OBJECT_0;
    }
    if (child != nullptr) {
        GetExitCodeProcess(child, &childExit);
        CloseHandle(child);
    }
    WaitForSingleObject(workers, INFINITE);
    CloseHandle(workers);
    const std::uint64_t parentViolations = parent.violations;
    controller.Watch().Poll();
    const double seconds = double(GetTickCount64() - began) / 1000.0;
    wt::Check(childEnded && childExit == 0, "the second process ends without violations",
              "exit " + std::to_string(childExit));
    controller.UnplugAll();
    wt::Check(wt::WaitUntil([] { return wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK).empty(); },
                            wk::kPnpTimeoutMs, 100),
              "every colorimeter is gone at the end");

    BusWatch& watch = controller.Watch();
    const LONG64 ops = load::TotalOps(*shared);
    const LONG64 violations = shared->process[0].violations + shared->process[1].violations +
                              static_cast<LONG64>(watch.violations);
    std::printf("load: seed %llu, 2 processes of %llu threads: %lld operations in %.1f s; "
                "controller: %llu plugs, %llu surprise removals, %llu times two colorimeters, "
                "%llu interrupt packets fed, %llu OUT data stages checked on the bus log "
                "(%llu entries missed); %lld violations\n",
                static_cast<unsigned long long>(options.seed),
                static_cast<unsigned long long>(options.threads), ops, seconds,
                static_cast<unsigned long long>(controller.plugs),
                static_cast<unsigned long long>(controller.removals),
                static_cast<unsigned long long>(controller.twoAtOnce),
                static_cast<unsigned long long>(controller.fed),
                static_cast<unsigned long long>(watch.outStages),
                static_cast<unsigned long long>(watch.missed), violations);
    for (const std::string& v : watch.texts)
        std::printf("  violation: bus log: %s\n", v.c_str());
    std::fflush(stdout);
    wt::Check(ops > 0 && parentViolations == 0 && watch.violations == 0,
              "every request ended as the driver's contract allows",
              std::to_string(violations) + " violations");
    std::vector<USBBUS_LOG_ENTRY> log = wk::ReadLog(bed.Bus(), 0);
    wt::Check(!log.empty() && KernelHostRunning(),
              "the kernel host is alive at the end: winedevice.exe runs, the bus answers");
    bed.Uninstall();
    return wt::Finish();
}
