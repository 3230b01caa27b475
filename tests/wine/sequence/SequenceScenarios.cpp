// wt_sequence: Setup.exe end to end on a medium of stand-in tools, driven from outside, one
// scenario per outcome the setup can have under Wine; and the demo, which prints the run as a
// transcript and saves screenshots.
//
//   wt_sequence SCENARIO --setup=Setup.exe --stub32=KldrStub.exe --stub64=KldrStub.exe
//               [--msi=product.msi]
//   wt_sequence driver_package --setup=... --stub32=... --stub64=... --sensorinst64=SensorInst.exe
//               --package=FOLDER [--uninstall]
//   wt_sequence demo --setup=... --stub32=... --stub64=... [--msi=...] --out=FOLDER
//               [--uninstall] [--display=supported|unsupported|none] [--installed]
//               [--without=DisplayDriver|Program] [--exit=CODE] [--tool-ms=MS]
//
// Scenarios: os_unsupported, goes_on, no_display, no_display_tool, no_product_installer,
// installed, install, exit_codes, uninstall, cancel_during_sensors; driver_package, which the
// kernel test bed runs (the real SensorInst.exe on a real driver package).
#include "Harness.h"
#include "SetupRun.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

using seq::Display;
using seq::Run;
using wt::Check;
using wt::CheckText;

struct Options {
    std::string scenario;
    seq::Kit kit;
    std::wstring msi, out, without, sensorInst64, package;
    bool uninstall = false, installed = false;
    Display display = Display::Supported;
    std::wstring exitCode;
    int toolMs = 700;
};

bool Parse(int argc, char** argv, Options* options) {
    if (argc < 2)
        return false;
    options->scenario = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        std::wstring value = equals == std::string::npos ? L"" : wt::Wide(arg.substr(equals + 1));
        std::wstring path =
            equals == std::string::npos ? L"" : wt::HostPath(arg.substr(equals + 1));
        if (name == "--setup")
            options->kit.setup = path;
        else if (name == "--stub32")
            options->kit.stub32 = path;
        else if (name == "--stub64")
            options->kit.stub64 = path;
        else if (name == "--msi")
            options->msi = path;
        else if (name == "--out")
            options->out = path;
        else if (name == "--sensorinst64")
            options->sensorInst64 = path;
        else if (name == "--package")
            options->package = path;
        else if (name == "--uninstall")
            options->uninstall = true;
        else if (name == "--installed")
            options->installed = true;
        else if (name == "--without")
            options->without = value;
        else if (name == "--exit")
            options->exitCode = value;
        else if (name == "--tool-ms")
            options->toolMs = std::atoi(arg.substr(equals + 1).c_str());
        else if (name == "--display" && value == L"supported")
            options->display = Display::Supported;
        else if (name == "--display" && value == L"unsupported")
            options->display = Display::Unsupported;
        else if (name == "--display" && value == L"none")
            options->display = Display::None;
        else {
            std::fprintf(stderr, "wt_sequence: unknown argument %s\n", arg.c_str());
            return false;
        }
    }
    return !options->kit.setup.empty() && !options->kit.stub32.empty() &&
           !options->kit.stub64.empty();
}

// ---- Checks shared by the scenarios ---------------------------------------------------------

std::wstring Join(const std::vector<const seq::ToolRun*>& tools) {
    std::wstring names;
    for (const auto* t : tools)
        names += (names.empty() ? L"" : L", ") + t->relative;
    return names;
}

std::wstring Names(const Run& run) {
    std::vector<const seq::ToolRun*> all;
    for (const auto& t : run.tools)
        all.push_back(&t);
    return Join(all);
}

void CheckStopsWithBox(const Run& run, const std::wstring& text, const std::string& what,
                       const std::wstring& caption = L"Setup") {
    if (Check(run.boxes.size() == 1, what + ": one message box",
              std::to_string(run.boxes.size()) + " boxes")) {
        CheckText(run.boxes[0].text, text, what + ": its text");
        CheckText(run.boxes[0].icon, L"error", what + ": error icon");
        CheckText(run.boxes[0].caption, caption, what + ": caption is the program's base name");
        Check(run.boxes[0].buttons == std::vector<std::wstring>{L"OK"}, what + ": only OK");
    }
    Check(run.tools.empty(), what + ": no tool runs", wt::Utf8(Names(run)));
    // Wine shows a dialog from a visible template once its initialisation has returned, even
    // when it has already been ended, and destroys it right after: a flash nobody can use.
    bool shownBeforeAnswer = false, answered = false;
    for (const auto& e : run.events) {
        answered = answered || e.kind == seq::Event::UserOk;
        shownBeforeAnswer = shownBeforeAnswer || (e.kind == seq::Event::Shown && !answered);
    }
    Check(!shownBeforeAnswer, what + ": the dialog is not on screen while the box is open");
    Check(!run.reachedEnd, what + ": the dialog never becomes usable");
    Check(run.ended && run.exitCode == 0, what + ": the program ends after the box",
          "ended " + std::to_string(run.ended) + ", exit " + std::to_string(run.exitCode));
}

// The last state of a finished setup: closing text, OK enabled, topmost; OK ends the program.
void CheckFinished(const Run& run, const std::string& what) {
    if (!Check(run.reachedEnd, what + ": the dialog reaches its last text"))
        return;
    CheckText(run.endStatus, seq::kFinished, what + ": the closing text");
    Check(run.endOkEnabled, what + ": OK enabled at the end");
    Check(run.endTopmost, what + ": the dialog still topmost at the end");
    Check(run.ended && run.exitCode == 0, what + ": OK ends the program");
}

// Every package's first INF went to the sensor installer, each with the dialog as the handler
// sets it up: on screen, topmost, OK disabled, the file's name on the status line.
void CheckSensorPhase(const Run& run, const seq::Medium& medium, bool uninstall,
                      const std::string& what) {
    auto sensors = run.ToolsNamed(L"SensorInst.exe");
    auto packages = seq::MediumLayout::DefaultPackages();
    if (!Check(sensors.size() == packages.size(), what + ": one sensor installer run per package",
               std::to_string(sensors.size()) + " runs: " + wt::Utf8(Join(sensors))))
        return;
    for (const auto& package : packages) {
        const std::wstring& inf = package.infs.front();
        std::wstring base = inf.substr(0, inf.rfind(L'.'));
        std::wstring infPath =
            medium.root + L"SensorDrivers\\Package\\" + package.folder + L"\\" + inf;
        const seq::ToolRun* found = nullptr;
        for (const auto* t : sensors)
            if (t->cmd.find(infPath) != std::wstring::npos)
                found = t;
        std::string label = what + ": " + wt::Utf8(inf);
        if (!Check(found != nullptr, label + " is installed"))
            continue;
        std::wstring installer = medium.root + L"SensorDrivers\\x64\\SensorInst.exe";
        std::wstring expected = L"\"" + installer + L"\" " + (uninstall ? L"/uninstall " : L"") +
                                L"\"" + infPath + L"\"";
        CheckText(found->cmd, expected, label + ": command line");
        Check(found->visible && found->topmost && !found->okEnabled,
              label + ": meanwhile the dialog is on screen, topmost, OK disabled",
              "visible " + std::to_string(found->visible) + ", topmost " +
                  std::to_string(found->topmost) + ", ok " + std::to_string(found->okEnabled));
        CheckText(found->status,
                  uninstall ? seq::UninstallingText(base) : seq::InstallingText(base),
                  label + ": status line names the file");
    }
}

void CheckDisplayDriverRan(const Run& run, const std::string& what) {
    auto dpinst = run.ToolsNamed(L"DPInst.exe");
    if (!Check(dpinst.size() == 1, what + ": DPInst.exe runs once", std::to_string(dpinst.size())))
        return;
    CheckText(dpinst[0]->relative, L"DisplayDriver\\x64\\DPInst.exe",
              what + ": the x64 copy on a 64-bit system");
    Check(dpinst[0]->dialogFound && !dpinst[0]->visible,
          what + ": the dialog is hidden while DPInst.exe runs");
    Check(&run.tools.front() == dpinst[0], what + ": DPInst.exe is the first tool");
}

// ---- Scenarios ------------------------------------------------------------------------------

struct Scenario {
    seq::MediumLayout layout;
    seq::DriveOptions drive;
    seq::Medium medium;
};

bool Prepare(const Options& options, Scenario* s, const std::wstring& name) {
    s->layout.name = name;
    bool laidOut = seq::LayOut(options.kit, s->layout, &s->medium);
    return Check(laidOut, "medium laid out in " + wt::Utf8(s->medium.root));
}

bool SetDisplayChecked(Display display) {
    const char* names[] = {"a supported", "an unsupported", "no"};
    return Check(seq::SetDisplay(display),
                 std::string(names[static_cast<int>(display)]) + " EDID in place");
}

// The EDID must be as it was set when the setup read it: Wine did not rebuild the key.
void CheckDisplayKept(Display display) {
    Check(seq::DisplayStill(display), "the EDID was still in place after the run");
}

int OsUnsupported(const Options& options) {
    Scenario s;
    if (!Prepare(options, &s, L"seq os") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    CheckStopsWithBox(run, seq::kOsUnsupported, "unsupported Windows");
    return wt::Finish();
}

int GoesOn(const Options& options) {
    Scenario s;
    if (!Prepare(options, &s, L"seq version") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    Check(run.boxes.empty(), "no message box");
    CheckDisplayDriverRan(run, "supported Windows");
    Check(run.ToolsNamed(L"Program\\Setup.exe").size() == 1, "the product installer runs");
    Check(run.ToolsNamed(L"SensorInst.exe").size() == 3, "the sensor phase runs");
    CheckFinished(run, "supported Windows");
    CheckDisplayKept(Display::Supported);
    return wt::Finish();
}

int NoDisplay(const Options& options) {
    struct Case {
        Display display;
        const wchar_t* setupName;
        const wchar_t* caption;
        const char* what;
    } cases[] = {{Display::None, L"Setup.exe", L"Setup", "no EDID"},
                 {Display::Unsupported, L"Setup.exe", L"Setup", "an unsupported model"},
                 {Display::Unsupported, L"KLDRSetup.exe", L"KLDRSetup", "a copy named KLDRSetup"}};
    for (const auto& c : cases) {
        Scenario s;
        s.layout.setupName = c.setupName;
        if (!Prepare(options, &s, L"seq display") || !SetDisplayChecked(c.display))
            continue;
        Run run = seq::DriveSetup(s.medium, s.drive);
        CheckStopsWithBox(run, seq::kNoSupportedDisplay, c.what, c.caption);
        CheckDisplayKept(c.display);
    }
    seq::SetDisplay(Display::None);
    return wt::Finish();
}

int NoDisplayTool(const Options& options) {
    Scenario s;
    s.layout.displayDriverTool = false;
    if (!Prepare(options, &s, L"seq no dpinst") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    Check(run.boxes.empty(), "no message box");
    Check(run.tools.empty(), "no tool runs: no product installer, no sensor phase",
          wt::Utf8(Names(run)));
    if (Check(run.reachedEnd, "the dialog stops with a status text")) {
        CheckText(run.endStatus, seq::kAborted, "status: setup aborted");
        Check(run.endOkEnabled, "OK enabled");
        Check(run.endVisible, "the dialog is on screen");
        Check(!run.endTopmost, "the dialog is not topmost (no sensor phase)");
    }
    Check(run.ended && run.exitCode == 0, "OK ends the program");
    return wt::Finish();
}

int NoProductInstaller(const Options& options) {
    Scenario s;
    s.layout.productInstaller = false;
    if (!Prepare(options, &s, L"seq no product") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    Check(run.boxes.empty(), "no message box");
    CheckDisplayDriverRan(run, "product installer missing");
    Check(run.tools.size() == 1, "no other tool runs", wt::Utf8(Names(run)));
    if (Check(run.reachedEnd, "the dialog stops with a status text")) {
        CheckText(run.endStatus, seq::kAborted, "status: setup aborted");
        Check(run.endOkEnabled && !run.endTopmost, "OK enabled, not topmost");
    }
    Check(run.ended && run.exitCode == 0, "OK ends the program");
    return wt::Finish();
}

int Installed(const Options& options) {
    if (!Check(!options.msi.empty(), "a product package is given"))
        return wt::Finish();
    Scenario s;
    if (!Prepare(options, &s, L"seq installed") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    if (!Check(seq::InstallProduct(options.msi), "the product is installed with msiexec"))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    if (Check(run.boxes.size() == 1, "one message box", std::to_string(run.boxes.size()))) {
        CheckText(run.boxes[0].text, seq::kAlreadyInstalled, "box: already installed");
        CheckText(run.boxes[0].icon, L"information", "box: information icon");
        CheckText(run.boxes[0].caption, L"Setup", "box: caption is the program's base name");
    }
    CheckDisplayDriverRan(run, "product installed");
    Check(run.ToolsNamed(L"Program\\Setup.exe").empty(), "Program\\Setup.exe is not started");
    CheckSensorPhase(run, s.medium, false, "product installed");
    // The box comes before the sensor phase.
    double boxAt = -1, firstSensor = -1;
    for (const auto& e : run.events) {
        if (e.kind == seq::Event::Box && boxAt < 0)
            boxAt = e.time;
        if (e.kind == seq::Event::Tool && e.tool.Is(L"SensorInst.exe") && firstSensor < 0)
            firstSensor = e.time;
    }
    Check(boxAt >= 0 && firstSensor > boxAt, "the sensor phase follows the box");
    CheckFinished(run, "product installed");
    Check(seq::RemoveProduct(), "the product is removed again");
    return wt::Finish();
}

int Install(const Options& options) {
    Scenario s;
    if (!Prepare(options, &s, L"seq install") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Check(seq::ProductState() != 5, "the product is not installed");
    Run run = seq::DriveSetup(s.medium, s.drive);
    Check(run.boxes.empty(), "no message box");
    CheckDisplayDriverRan(run, "install");
    auto dpinst = run.ToolsNamed(L"DPInst.exe");
    if (!dpinst.empty()) {
        CheckText(dpinst[0]->cmd, L"\"" + s.medium.root + L"\\DisplayDriver\\x64\\DPInst.exe\"",
                  "DPInst.exe: its path alone, quoted");
        CheckText(dpinst[0]->status, L"", "DPInst.exe: the status line is still empty");
        CheckText(dpinst[0]->cwd + L"\\", s.medium.root, "DPInst.exe: the setup's own folder");
    }
    auto product = run.ToolsNamed(L"Program\\Setup.exe");
    if (Check(product.size() == 1, "Program\\Setup.exe runs once")) {
        CheckText(product[0]->cmd, L"\"" + s.medium.root + L"\\Program\\Setup.exe\"",
                  "Program\\Setup.exe: its path alone, quoted");
        Check(product[0]->visible, "the dialog is on screen while Program\\Setup.exe runs");
        Check(!product[0]->topmost && product[0]->okEnabled,
              "... not yet topmost, OK still enabled");
        Check(run.tools.size() > 1 && &run.tools[1] == product[0],
              "Program\\Setup.exe comes right after DPInst.exe");
    }
    CheckSensorPhase(run, s.medium, false, "install");
    if (!product.empty() && !run.ToolsNamed(L"SensorInst.exe").empty())
        Check(run.ToolsNamed(L"SensorInst.exe").front()->time > product[0]->time,
              "the sensor phase follows the product installer");
    Check(run.tools.size() == 5, "five tools in all", wt::Utf8(Names(run)));
    CheckFinished(run, "install");
    CheckDisplayKept(Display::Supported);
    return wt::Finish();
}

int ExitCodes(const Options& options) {
    Scenario s;
    if (!Prepare(options, &s, L"seq exit codes") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    SetEnvironmentVariableW(L"KLDR_STUB_EXIT", L"1603");
    Run run = seq::DriveSetup(s.medium, s.drive);
    SetEnvironmentVariableW(L"KLDR_STUB_EXIT", nullptr);
    bool allFailed = !run.tools.empty();
    for (const auto& t : run.tools)
        allFailed = allFailed && t.exitCode == 1603;
    Check(allFailed, "every tool ends with exit code 1603");
    Check(run.ToolsNamed(L"DPInst.exe").size() == 1 &&
              run.ToolsNamed(L"Program\\Setup.exe").size() == 1,
          "the sequence goes on after DPInst.exe and Program\\Setup.exe");
    CheckSensorPhase(run, s.medium, false, "failing tools");
    CheckFinished(run, "failing tools");
    return wt::Finish();
}

int Uninstall(const Options& options) {
    Scenario s;
    s.drive.arguments = L"/uninstall";
    if (!Prepare(options, &s, L"seq uninstall") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    Check(run.boxes.empty(), "no message box");
    CheckDisplayDriverRan(run, "uninstall");
    auto product = run.ToolsNamed(L"Program\\Setup.exe");
    if (Check(product.size() == 1, "the product installer still runs"))
        CheckText(product[0]->cmd, L"\"" + s.medium.root + L"\\Program\\Setup.exe\"",
                  "... without arguments");
    CheckSensorPhase(run, s.medium, true, "uninstall");
    CheckFinished(run, "uninstall");
    return wt::Finish();
}

// Esc or the close box during the sensor phase ends the dialog only after the phase: every
// package is still handled, then the program ends by itself.
int CancelDuringSensors(const Options& options) {
    Scenario s;
    if (!Prepare(options, &s, L"seq cancel") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    DeleteFileW(s.medium.log.c_str());
    SetEnvironmentVariableW(L"KLDR_STUB_LOG", s.medium.log.c_str());
    SetEnvironmentVariableW(L"KLDR_STUB_WAIT_MS", L"300"); // time to cancel while one runs
    const double origin = seq::Now();
    wt::Process setup = wt::Start(s.medium.setup, L"", s.medium.root);
    HWND dialog = nullptr;
    bool inPhase = wt::WaitUntil(
        [&] {
            if (!dialog)
                for (HWND w : wt::TopLevelWindows(setup.pid, false))
                    if (wt::Text(w) == seq::kDialogCaption)
                        dialog = w;
            return dialog && wt::ControlText(dialog, 1000).find(L"をインストールしています") !=
                                 std::wstring::npos;
        },
        60000, 5);
    SetEnvironmentVariableW(L"KLDR_STUB_WAIT_MS", nullptr);
    if (Check(inPhase, "the sensor phase is under way"))
        wt::Click(dialog, IDCANCEL);
    DWORD exitCode = 1;
    Check(wt::WaitForExit(setup, 60000, &exitCode), "the program ends by itself after the phase");
    Check(exitCode == 0, "exit code 0", std::to_string(exitCode));
    wt::Kill(setup);
    std::vector<seq::ToolRun> tools = seq::ReadToolLog(s.medium, origin);
    int sensors = 0, sawHidden = 0;
    for (const auto& t : tools)
        if (t.Is(L"SensorInst.exe")) {
            ++sensors;
            sawHidden += !t.visible;
        }
    Check(sensors == 3, "every package is still installed", std::to_string(sensors) + " runs");
    Check(sawHidden >= 1, "the later runs find the dialog closed",
          std::to_string(sawHidden) + " of them");
    return wt::Finish();
}

// The medium's one package is a real one (FOLDER, with its INF Talvik2.inf) and its x64
// SensorInst.exe the real tool: the setup runs through to its closing text, the sensor phase
// naming the INF on the status line. What the tool did to the system the caller checks.
int DriverPackage(const Options& options) {
    if (!Check(!options.sensorInst64.empty() && !options.package.empty(),
               "--sensorinst64 and --package are given"))
        return wt::Finish();
    Scenario s;
    s.layout.sensorInstaller64 = options.sensorInst64;
    s.layout.packages = {{L"Talvik2", {}, options.package}};
    s.drive.arguments = options.uninstall ? L"/uninstall" : L"";
    if (!Prepare(options, &s, L"seq driver package") || !SetDisplayChecked(Display::Supported))
        return wt::Finish();
    Run run = seq::DriveSetup(s.medium, s.drive);
    seq::PrintTranscript(run, s.medium, s.drive.arguments);
    Check(run.boxes.empty(), "no message box");
    CheckDisplayDriverRan(run, "driver package");
    const std::wstring status =
        options.uninstall ? seq::UninstallingText(L"Talvik2") : seq::InstallingText(L"Talvik2");
    Check(std::find(run.statuses.begin(), run.statuses.end(), status) != run.statuses.end(),
          "the sensor phase names Talvik2.inf on the status line");
    CheckFinished(run, options.uninstall ? "driver package removed" : "driver package installed");
    CheckDisplayKept(Display::Supported);
    seq::SetDisplay(Display::None);
    return wt::Finish();
}

// ---- The demo -------------------------------------------------------------------------------

int Demo(const Options& options) {
    if (options.out.empty()) {
        std::fprintf(stderr, "wt_sequence demo: --out=FOLDER is needed\n");
        return 2;
    }
    std::wstring out = options.out.back() == L'\\' ? options.out : options.out + L'\\';
    Scenario s;
    s.layout.name = L"Kaleidra デモ";
    s.layout.displayDriverTool = options.without != L"DisplayDriver";
    s.layout.productInstaller = options.without != L"Program";
    if (!seq::LayOut(options.kit, s.layout, &s.medium)) {
        std::fprintf(stderr, "demo: the medium could not be laid out\n");
        return 1;
    }
    if (!seq::SetDisplay(options.display)) {
        std::fprintf(stderr, "demo: the EDID could not be set\n");
        return 1;
    }
    if (options.installed) {
        if (options.msi.empty() || !seq::InstallProduct(options.msi)) {
            std::fprintf(stderr, "demo: the product package could not be installed\n");
            return 1;
        }
    } else if (!seq::RemoveProduct()) {
        std::fprintf(stderr, "demo: an installed product could not be removed\n");
        return 1;
    }
    // Each stand-in tool takes a moment, so that a person watching sees each step.
    SetEnvironmentVariableW(L"KLDR_STUB_WAIT_MS", std::to_wstring(options.toolMs).c_str());
    if (!options.exitCode.empty())
        SetEnvironmentVariableW(L"KLDR_STUB_EXIT", options.exitCode.c_str());

    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    const wchar_t* displays[] = {L"a supported display (VQT, product 5C26)",
                                 L"an unsupported display (VQT, product 265C)",
                                 L"a display without EDID"};
    std::wstring arguments = options.uninstall ? L"/uninstall" : L"";
    std::string intro =
        "Windows " + std::to_string(version.dwMajorVersion) + "." +
        std::to_string(version.dwMinorVersion) + ", " +
        wt::Utf8(displays[static_cast<int>(options.display)]) + ", product " +
        (options.installed ? "installed" : "not installed") + "; medium " +
        wt::Utf8(s.medium.root) + " with DPInst.exe " +
        (s.layout.displayDriverTool ? "x86/x64" : "missing") + ", Program\\Setup.exe " +
        (s.layout.productInstaller ? "present" : "missing") +
        ", SensorInst.exe x86/x64, 3 sensor packages (stand-in tools, " +
        std::to_string(options.toolMs) + " ms each" +
        (options.exitCode.empty() ? "" : ", exit code " + wt::Utf8(options.exitCode)) + ")";
    std::printf("%s\n\n", intro.c_str());
    std::fflush(stdout);

    s.drive.arguments = arguments;
    s.drive.shots = out;
    s.drive.aboutAtEnd = true;
    Run run = seq::DriveSetup(s.medium, s.drive);
    seq::PrintTranscript(run, s.medium, arguments);

    if (options.installed)
        seq::RemoveProduct();
    seq::SetDisplay(Display::None);
    return run.started && (run.reachedEnd || run.ended) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: wt_sequence SCENARIO|demo --setup=EXE --stub32=EXE "
                             "--stub64=EXE [--msi=MSI] [demo options]\n");
        return 2;
    }
    const std::map<std::string, int (*)(const Options&)> scenarios = {
        {"os_unsupported", OsUnsupported},
        {"goes_on", GoesOn},
        {"no_display", NoDisplay},
        {"no_display_tool", NoDisplayTool},
        {"no_product_installer", NoProductInstaller},
        {"installed", Installed},
        {"install", Install},
        {"exit_codes", ExitCodes},
        {"uninstall", Uninstall},
        {"cancel_during_sensors", CancelDuringSensors},
        {"driver_package", DriverPackage},
        {"demo", Demo},
    };
    auto found = scenarios.find(options.scenario);
    if (found == scenarios.end()) {
        std::fprintf(stderr, "wt_sequence: unknown scenario %s\n", options.scenario.c_str());
        return 2;
    }
    return found->second(options);
}
