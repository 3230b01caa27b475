// wt_bench: two figures of Setup.exe, measured from outside under Wine.
//
//   wt_bench startup --setup=EXE --stub32=EXE --stub64=EXE --minimal=EXE [--runs=N]
//       Time from the process start to its dialog on screen (visible), median of N runs, for
//       Setup.exe and for a minimal dialog program of the same shape; their ratio.
//   wt_bench sensors --setup=EXE --stub32=EXE --stub64=EXE [--packages=N]
//       The sensor phase's own time per package beyond the tool's run and the pause: Setup.exe
//       on a medium of N packages whose tool exits at once. Measured from the status line seen
//       from outside: from the line emptied after a package to the next package's text, less
//       the pause as Wine sleeps it. Cross-check: the gap between two tool starts, less the same
//       tool started back to back by this program, less the pause.
#include "Harness.h"
#include "SetupRun.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Ms(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", seconds * 1000);
    return text;
}

std::string List(const std::vector<double>& values) {
    std::string text;
    for (double v : values) {
        char one[16];
        std::snprintf(one, sizeof(one), "%.0f", v * 1000);
        text += (text.empty() ? "" : " ") + std::string(one);
    }
    return text;
}

HWND VisibleWindow(DWORD pid, const wchar_t* caption) {
    for (HWND w : wt::TopLevelWindows(pid, true))
        if (wt::Text(w) == caption)
            return w;
    return nullptr;
}

// Seconds from the start of the process to its dialog on screen; -1 when it does not show.
// `untilText`: before closing, wait until the status line shows it (the setup's last text).
double TimeToDialog(const std::wstring& exe, const std::wstring& directory, const wchar_t* caption,
                    const wchar_t* untilText) {
    const double start = seq::Now();
    wt::Process process = wt::Start(exe, L"", directory);
    HWND dialog = nullptr;
    double shown = -1;
    while (process && wt::IsRunning(process) && seq::Now() - start < 60) {
        if ((dialog = VisibleWindow(process.pid, caption)) != nullptr) {
            shown = seq::Now() - start;
            break;
        }
        Sleep(1);
    }
    if (dialog && untilText)
        wt::WaitUntil([&] { return wt::ControlText(dialog, 1000) == untilText; }, 60000, 5);
    if (dialog)
        wt::Click(dialog, IDOK);
    if (!wt::WaitForExit(process, 15000))
        wt::Kill(process);
    return shown;
}

struct Args {
    std::map<std::string, std::string> values;
    std::string Get(const std::string& name, const std::string& fallback = "") const {
        auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    }
};

int Startup(const Args& args) {
    seq::Kit kit{wt::HostPath(args.Get("--setup")), wt::HostPath(args.Get("--stub32")),
                 wt::HostPath(args.Get("--stub64"))};
    std::wstring minimal = wt::HostPath(args.Get("--minimal"));
    int runs = std::max(3, std::atoi(args.Get("--runs", "9").c_str()));

    // The setup's own start: every check passes, and the display-driver tool is missing, so
    // the dialog comes on screen without waiting for any tool.
    seq::MediumLayout bareLayout;
    bareLayout.name = L"bench start";
    bareLayout.displayDriverTool = false;
    seq::Medium bareMedium;
    // For reference: the usual medium, where the dialog comes back after DPInst.exe.
    seq::MediumLayout fullLayout;
    fullLayout.name = L"bench start full";
    seq::Medium fullMedium;
    if (!seq::LayOut(kit, bareLayout, &bareMedium) || !seq::LayOut(kit, fullLayout, &fullMedium) ||
        !seq::SetDisplay(seq::Display::Supported)) {
        std::fprintf(stderr, "wt_bench: the media could not be prepared\n");
        return 1;
    }
    SetEnvironmentVariableW(L"KLDR_STUB_LOG", (fullMedium.root + L"tools.log").c_str());
    std::wstring minimalDir = minimal.substr(0, minimal.rfind(L'\\') + 1);

    // One run of each first, not counted: the first start of a program loads its files.
    TimeToDialog(bareMedium.setup, bareMedium.root, seq::kDialogCaption, nullptr);
    TimeToDialog(minimal, minimalDir, L"Minimal Dialog", nullptr);
    // The same program importing shell32.dll, which the setup's import table also loads.
    std::wstring withShell32 = minimalDir + L"MinimalDialogShell32.exe";
    TimeToDialog(withShell32, minimalDir, L"Minimal Dialog", nullptr);
    std::vector<double> setupTimes, minimalTimes, shell32Times, fullTimes;
    for (int i = 0; i < runs; ++i) {
        setupTimes.push_back(
            TimeToDialog(bareMedium.setup, bareMedium.root, seq::kDialogCaption, nullptr));
        minimalTimes.push_back(TimeToDialog(minimal, minimalDir, L"Minimal Dialog", nullptr));
        shell32Times.push_back(TimeToDialog(withShell32, minimalDir, L"Minimal Dialog", nullptr));
        fullTimes.push_back(
            TimeToDialog(fullMedium.setup, fullMedium.root, seq::kDialogCaption, seq::kFinished));
    }
    seq::SetDisplay(seq::Display::None);
    for (const auto* times : {&setupTimes, &minimalTimes, &shell32Times, &fullTimes})
        if (std::find(times->begin(), times->end(), -1.0) != times->end()) {
            std::fprintf(stderr, "wt_bench: a dialog did not come on screen\n");
            return 1;
        }

    double setup = Median(setupTimes), minimalMedian = Median(minimalTimes);
    double ratio = setup / minimalMedian;
    std::printf("Start to dialog on screen, median of %d runs under Wine:\n", runs);
    std::printf("  Setup.exe (checks, display snapshot, no tool):  %s   [%s]\n", Ms(setup).c_str(),
                List(setupTimes).c_str());
    std::printf("  minimal dialog program:                         %s   [%s]\n",
                Ms(minimalMedian).c_str(), List(minimalTimes).c_str());
    std::printf("  ratio:                                          %.2f   (goal <= 1.20: %s)\n",
                ratio, ratio <= 1.2 ? "met" : "NOT met");
    const double fastestSetup = *std::min_element(setupTimes.begin(), setupTimes.end());
    const double fastestMinimal = *std::min_element(minimalTimes.begin(), minimalTimes.end());
    std::printf("  fastest runs (less touched by other load):      %s / %s = %.2f\n",
                Ms(fastestSetup).c_str(), Ms(fastestMinimal).c_str(),
                fastestSetup / fastestMinimal);
    const double shell32 = Median(shell32Times);
    std::printf("  the minimal program importing shell32.dll as the setup does:\n"
                "                                                  %s   [%s]; ratio %.2f\n",
                Ms(shell32).c_str(), List(shell32Times).c_str(), setup / shell32);
    std::printf("  for reference, Setup.exe whose dialog comes back after DPInst.exe (a\n"
                "  stand-in that exits at once):                   %s   [%s]\n",
                Ms(Median(fullTimes)).c_str(), List(fullTimes).c_str());
    std::fflush(stdout);
    return 0;
}

int Sensors(const Args& args) {
    seq::Kit kit{wt::HostPath(args.Get("--setup")), wt::HostPath(args.Get("--stub32")),
                 wt::HostPath(args.Get("--stub64"))};
    int packages = std::max(3, std::atoi(args.Get("--packages", "16").c_str()));

    seq::MediumLayout layout;
    layout.name = L"bench sensors";
    layout.packages.clear();
    for (int i = 1; i <= packages; ++i) {
        wchar_t name[16];
        std::swprintf(name, 16, L"Sensor%02d", i);
        layout.packages.push_back({name, {std::wstring(name) + L".inf"}, L""});
    }
    seq::Medium medium;
    if (!seq::LayOut(kit, layout, &medium) || !seq::SetDisplay(seq::Display::Supported)) {
        std::fprintf(stderr, "wt_bench: the medium could not be prepared\n");
        return 1;
    }

    // While the finished dialog is still open (the tool looks at it as it did during the phase),
    // the same tool is started back to back with the setup's command lines, and the pause is
    // timed here as well.
    std::vector<std::wstring> commandLines;
    std::vector<double> pauses, created, reaped; // this program's starts, on Now()'s clock
    seq::DriveOptions options;
    options.pollMs = static_cast<DWORD>(std::atoi(args.Get("--poll-ms", "2").c_str()));
    options.atEnd = [&](HWND) {
        for (const auto& line : commandLines) {
            std::vector<wchar_t> buffer(line.begin(), line.end());
            buffer.push_back(0);
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info{};
            created.push_back(seq::Now());
            if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                medium.root.c_str(), &startup, &info))
                continue;
            WaitForSingleObject(info.hProcess, INFINITE);
            reaped.push_back(seq::Now());
            DWORD exitCode = 0;
            GetExitCodeProcess(info.hProcess, &exitCode);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
        for (size_t i = 0; i < commandLines.size(); ++i) {
            double start = seq::Now();
            Sleep(100);
            pauses.push_back(seq::Now() - start);
        }
    };
    // The command lines are known from the medium; the setup quotes both paths.
    for (const auto& package : layout.packages)
        commandLines.push_back(L"\"" + medium.root + L"SensorDrivers\\x64\\SensorInst.exe\" \"" +
                               medium.root + L"SensorDrivers\\Package\\" + package.folder + L"\\" +
                               package.infs.front() + L"\"");
    seq::Run run = seq::DriveSetup(medium, options);
    seq::SetDisplay(seq::Display::None);

    // The setup's runs come first in the log, this program's follow them.
    std::vector<double> starts, setupStarts, ownStarts;
    for (const auto& tool : run.tools)
        if (tool.Is(L"SensorInst.exe"))
            starts.push_back(tool.time);
    std::sort(starts.begin(), starts.end());
    const size_t n = layout.packages.size();
    if (!run.reachedEnd || starts.size() != 2 * n) {
        std::fprintf(stderr, "wt_bench: expected %u tool runs, got %u\n",
                     static_cast<unsigned>(2 * n), static_cast<unsigned>(starts.size()));
        return 1;
    }
    setupStarts.assign(starts.begin(), starts.begin() + n);
    ownStarts.assign(starts.begin() + n, starts.end());
    std::vector<double> setupGaps, ownGaps;
    for (size_t i = 1; i < n; ++i) {
        setupGaps.push_back(setupStarts[i] - setupStarts[i - 1]);
        ownGaps.push_back(ownStarts[i] - ownStarts[i - 1]);
    }

    // From outside, each package shows as its status text while its tool runs, then an empty
    // status line for the pause. From the line emptied after one package to the next package's
    // text the setup does only its own work and the pause: no process starts in between.
    std::vector<double> textAt(n, -1), emptiedAt(n, -1);
    int current = -1;
    for (const auto& e : run.events) {
        if (e.kind != seq::Event::Status)
            continue;
        for (size_t i = 0; i < n; ++i)
            if (e.text == seq::InstallingText(layout.packages[i].folder) && textAt[i] < 0) {
                textAt[i] = e.time;
                current = static_cast<int>(i);
            }
        if (e.text.empty() && current >= 0 && emptiedAt[current] < 0)
            emptiedAt[current] = e.time;
    }
    std::vector<double> between, toolSeen;
    for (size_t i = 0; i < n; ++i) {
        if (textAt[i] >= 0 && emptiedAt[i] > textAt[i])
            toolSeen.push_back(emptiedAt[i] - textAt[i]);
        if (i + 1 < n && emptiedAt[i] >= 0 && textAt[i + 1] > emptiedAt[i])
            between.push_back(textAt[i + 1] - emptiedAt[i]);
    }
    if (between.size() + 1 < n) {
        std::fprintf(stderr, "wt_bench: the status line was not seen for every package\n");
        return 1;
    }
    // Where the tool's run goes: from the start request to the tool's first instruction, and
    // from there until the starter sees it ended; in the setup the requests are its texts.
    std::vector<double> setupLaunch, setupRest, ownLaunch, ownRest;
    for (size_t i = 0; i < n; ++i) {
        if (textAt[i] >= 0 && emptiedAt[i] >= 0) {
            setupLaunch.push_back(setupStarts[i] - textAt[i]);
            setupRest.push_back(emptiedAt[i] - setupStarts[i]);
        }
        if (i < created.size() && i < reaped.size()) {
            ownLaunch.push_back(ownStarts[i] - (created[i] - run.origin));
            ownRest.push_back(reaped[i] - run.origin - ownStarts[i]);
        }
    }
    const double pause = Median(pauses), own = Median(between) - pause;
    const double gap = Median(setupGaps), tool = Median(ownGaps);
    std::printf("Sensor phase, %d packages, the tool exits at once; medians under Wine:\n",
                packages);
    std::printf("  per package, one tool start to the next:        %s\n", Ms(gap).c_str());
    std::printf("    its text on the status line until emptied:    %s   (the tool's run)\n",
                Ms(Median(toolSeen)).c_str());
    std::printf("    emptied until the next package's text:        %s   [%s]\n",
                Ms(Median(between)).c_str(), List(between).c_str());
    std::printf("  the 100 ms pause as Wine sleeps it:             %s\n", Ms(pause).c_str());
    std::printf("  the setup's own time per package:               %s   (goal < 20 ms: %s)\n",
                Ms(own).c_str(), own < 0.020 ? "met" : "NOT met");
    std::printf("  the tool's run, in the setup / started back to back here:\n"
                "    start request to the tool's first instruction: %s / %s\n"
                "    first instruction until seen ended:            %s / %s\n",
                Ms(Median(setupLaunch)).c_str(), Ms(Median(ownLaunch)).c_str(),
                Ms(Median(setupRest)).c_str(), Ms(Median(ownRest)).c_str());
    std::printf("  cross-check: tool starts %s apart in the setup, %s when this program\n"
                "  starts the same tool back to back (Wine's process start varies a lot):\n"
                "  %s beyond the tool and the pause\n",
                Ms(gap).c_str(), Ms(tool).c_str(), Ms(gap - tool - pause).c_str());
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wt_bench startup|sensors --setup=EXE --stub32=EXE "
                             "--stub64=EXE [--minimal=EXE] [--runs=N] [--packages=N]\n");
        return 2;
    }
    Args args;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        size_t equals = arg.find('=');
        args.values[arg.substr(0, equals)] =
            equals == std::string::npos ? "" : arg.substr(equals + 1);
    }
    std::string what = argv[1];
    if (what == "startup")
        return Startup(args);
    if (what == "sensors")
        return Sensors(args);
    std::fprintf(stderr, "wt_bench: unknown measurement %s\n", what.c_str());
    return 2;
}
