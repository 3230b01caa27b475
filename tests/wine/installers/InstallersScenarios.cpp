// wt_installers: the installer steps of the setup under Wine, through InstallersProbe.exe on media
// laid out around it with the stand-in tool at every tool path. The checks read the probe's
// output (result, exit code, the dialog afterwards) and what each tool logged of its start (its
// path, architecture, command line, current directory, the dialog seen from outside).
//
//   wt_installers x64 --probe=InstallersProbe.exe --stub32=KldrStub.exe --stub64=KldrStub.exe
//   wt_installers x86 --probe=... --stub32=... --stub64=...
//
// x64: a 64-bit system (the shared WoW64 prefix), with media whose paths have blanks or end in a
// CP932 character whose second byte is 0x5C; x86: a 32-bit one (a WINEARCH=win32 prefix).
#include "Harness.h"
#include "SetupRun.h"

#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

using seq::ToolRun;
using wt::Check;

// What the 64-bit part puts on C: besides its media; the planted program first.
const wchar_t kPlanted[] = L"C:\\KLDR.exe";
const wchar_t* const kLeftOnC[] = {kPlanted, L"C:\\KLDR ACC", L"C:\\KLDR表", L"C:\\KLDRソ"};

struct Options {
    std::string system;
    seq::Kit kit; // the probe in the setup's place
};

bool Parse(int argc, char** argv, Options* options) {
    if (argc < 2)
        return false;
    options->system = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        std::wstring path =
            equals == std::string::npos ? L"" : wt::HostPath(arg.substr(equals + 1));
        if (name == "--probe")
            options->kit.setup = path;
        else if (name == "--stub32")
            options->kit.stub32 = path;
        else if (name == "--stub64")
            options->kit.stub64 = path;
        else
            return false;
    }
    return (options->system == "x64" || options->system == "x86") && !options->kit.setup.empty() &&
           !options->kit.stub32.empty() && !options->kit.stub64.empty();
}

bool StartsWith(const std::wstring& text, const std::wstring& head) {
    return text.compare(0, head.size(), head) == 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The argument as the probe's C runtime reads it back: quoted, backslashes before a quote
// doubled, the quote escaped.
std::wstring QuotedArgument(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// An environment variable set for the programs started while it lives.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const wchar_t* name_;
};

struct ProbeRun {
    std::wstring out; // its output line
    std::vector<ToolRun> tools;
};

class Bed {
public:
    explicit Bed(const seq::Kit& kit) : kit_(kit), work_(wt::ScratchDir(L"installers-work")) {}

    // The tools' current directory: the probe's, which is not the tools' own folder.
    std::wstring WorkDir() const { return work_.substr(0, work_.size() - 1); }

    bool LayOut(const std::wstring& root, const std::vector<std::wstring>& without = {}) {
        seq::MediumLayout layout;
        layout.root = root;
        layout.setupName = L"InstallersProbe.exe";
        layout.packages = {{L"A", {L"a1.inf", L"a2.inf"}, L""}, {L"B", {L"b.v2.inf"}, L""}};
        layout.without = without;
        return Check(seq::LayOut(kit_, layout, &medium_), "medium laid out in " + wt::Utf8(root));
    }

    ProbeRun Probe(const std::wstring& arguments) {
        ProbeRun run;
        DeleteFileW(medium_.log.c_str());
        ScopedVariable log(L"KLDR_STUB_LOG", medium_.log);
        std::string output;
        if (!wt::RunForOutput(medium_.setup, arguments, work_, 60000, &output))
            wt::Note("the probe did not end: " + wt::Utf8(arguments));
        for (char c : output)
            if (c != '\r')
                run.out += static_cast<wchar_t>(static_cast<unsigned char>(c));
        while (!run.out.empty() && run.out.back() == L'\n')
            run.out.pop_back();
        run.tools = seq::ReadToolLog(medium_, 0);
        return run;
    }

private:
    seq::Kit kit_;
    std::wstring work_;
    seq::Medium medium_;
};

std::string Describe(const std::vector<ToolRun>& tools) {
    std::string text = std::to_string(tools.size()) + " started";
    for (const auto& t : tools)
        text += "; " + wt::Utf8(t.path) + " arch=" + wt::Utf8(t.arch) + " cwd=" + wt::Utf8(t.cwd) +
                " visible=" + std::to_string(t.visible) + " exit=" + std::to_string(t.exitCode) +
                " status=" + wt::Utf8(t.status) + " cmd=" + wt::Utf8(t.cmd);
    return text;
}

// Exactly `count` of the logged starts are as described.
void CheckStarts(
    const std::vector<ToolRun>& tools, size_t count, const std::string& what,
    const std::function<bool(const ToolRun&)>& as = [](const ToolRun&) { return true; }) {
    size_t matching = 0;
    for (const auto& t : tools)
        matching += as(t) ? 1 : 0;
    Check(matching == count, what, Describe(tools));
}

// The steps on one medium, its program folder `d` (no trailing backslash); `arch` is the copy of
// the tools the system must pick. Returns every tool start of the steps.
std::vector<ToolRun> CheckSteps(Bed& bed, const std::string& label, const std::wstring& d,
                                const std::wstring& arch) {
    std::vector<ToolRun> all;
    auto keep = [&](const ProbeRun& run) {
        all.insert(all.end(), run.tools.begin(), run.tools.end());
    };
    // The setup's program folder ends in a backslash and it adds the display driver's and the
    // product installer's paths with a leading one: their command lines hold both, the tools'
    // own paths neither.
    const std::wstring dpinst = d + L"\\DisplayDriver\\" + arch + L"\\DPInst.exe";
    ProbeRun display = bed.Probe(L"display");
    keep(display);
    wt::CheckText(display.out, L"result=1 visible=1",
                  label + ": display-driver step ran, dialog shown again");
    CheckStarts(display.tools, 1,
                label + ": " + wt::Utf8(arch) +
                    " DPInst started by its quoted path, dialog hidden meanwhile",
                [&](const ToolRun& t) {
                    return t.path == dpinst && t.arch == arch && t.cwd == bed.WorkDir() &&
                           t.dialogFound && !t.visible &&
                           StartsWith(t.cmd, L"\"" + d + L"\\\\DisplayDriver\\" + arch +
                                                 L"\\DPInst.exe\"");
                });
    CheckStarts(display.tools, 1, label + ": display-driver step started one program");

    ProbeRun product;
    {
        ScopedVariable exit(L"KLDR_STUB_EXIT_SETUP", L"3");
        product = bed.Probe(L"product");
    }
    keep(product);
    wt::CheckText(product.out, L"result=1",
                  label + ": product installer ending with 3 counts as run");
    CheckStarts(product.tools, 1,
                label + ": Program\\Setup.exe started by its quoted path, dialog visible",
                [&](const ToolRun& t) {
                    return t.path == d + L"\\Program\\Setup.exe" && t.arch == L"x86" &&
                           t.exitCode == 3 && t.visible &&
                           StartsWith(t.cmd, L"\"" + d + L"\\\\Program\\Setup.exe\"");
                });
    CheckStarts(product.tools, 1, label + ": product step started one program");

    const std::wstring installer = d + L"\\SensorDrivers\\" + arch + L"\\SensorInst.exe";
    const std::wstring packages = d + L"\\SensorDrivers\\Package";
    ProbeRun sensors = bed.Probe(L"sensors");
    keep(sensors);
    wt::CheckText(sensors.out, L"result=1 status=", label + ": sensor phase ran, status emptied");
    CheckStarts(sensors.tools, 1, label + ": first INF of package A, status names it",
                [&](const ToolRun& t) {
                    return t.path == installer && t.arch == arch &&
                           t.status == seq::InstallingText(L"a1") &&
                           StartsWith(t.cmd,
                                      L"\"" + installer + L"\" \"" + packages + L"\\A\\a1.inf\"");
                });
    CheckStarts(
        sensors.tools, 1, label + ": INF of package B, status names it", [&](const ToolRun& t) {
            return t.status == seq::InstallingText(L"b.v2") &&
                   StartsWith(t.cmd, L"\"" + installer + L"\" \"" + packages + L"\\B\\b.v2.inf\"");
        });
    CheckStarts(sensors.tools, 2, label + ": one installer run per package");

    ProbeRun uninstall = bed.Probe(L"sensors uninstall");
    keep(uninstall);
    wt::CheckText(uninstall.out, L"result=1 status=", label + ": uninstall phase ran");
    CheckStarts(
        uninstall.tools, 2, label + ": uninstall command lines and texts", [&](const ToolRun& t) {
            return t.path == installer && EndsWith(t.status, L"をアンインストールしています...") &&
                   StartsWith(t.cmd, L"\"" + installer + L"\" /uninstall \"" + packages + L"\\");
        });
    return all;
}

void SixtyFourBit(Bed& bed, const seq::Kit& kit) {
    std::wstring d = L"C:\\KLDR ACC\\disk 1";
    if (!bed.LayOut(d))
        return;
    // Planted where an unquoted "C:\KLDR ACC\..." looks first.
    Check(wt::CopyTo(kit.stub32, kPlanted), "C:\\KLDR.exe planted");
    wt::CheckText(bed.Probe(L"is64").out, L"is64=1", "64-bit prefix: probe says 64-bit");
    std::vector<ToolRun> steps = CheckSteps(bed, "64-bit, blanks", d, L"x64");
    CheckStarts(steps, 0, "64-bit, blanks: the planted C:\\KLDR.exe never ran",
                [](const ToolRun& t) { return t.path == kPlanted; });

    // What the tools' command lines did before they were quoted: the planted program runs.
    const std::wstring unquoted = d + L"\\\\DisplayDriver\\x64\\DPInst.exe";
    ProbeRun planted = bed.Probe(L"run " + QuotedArgument(unquoted));
    wt::CheckText(planted.out, L"ran=1 exit=0", "unquoted line counts as run");
    CheckStarts(
        planted.tools, 1, "unquoted line starts the planted C:\\KLDR.exe instead of DPInst.exe",
        [&](const ToolRun& t) { return t.path == kPlanted && StartsWith(t.cmd, unquoted); });

    // The runner: any exit code lands in the caller's place; a missing program fails at once.
    for (const wchar_t* code : {L"0", L"1", L"1603", L"0xC0000005"}) {
        const unsigned long value = std::wcstoul(code, nullptr, 0);
        const std::string label = "runner: child exit " + wt::Utf8(code);
        ProbeRun run;
        {
            ScopedVariable exit(L"KLDR_STUB_EXIT", code);
            run = bed.Probe(L"run " + QuotedArgument(L"\"" + d + L"\\Program\\Setup.exe\" /x"));
        }
        wt::CheckText(run.out, L"ran=1 exit=" + std::to_wstring(value), label);
        CheckStarts(run.tools, 1, label + " ran the named program", [&](const ToolRun& t) {
            return t.path == d + L"\\Program\\Setup.exe" && t.exitCode == value;
        });
    }
    ProbeRun missing = bed.Probe(L"run " + QuotedArgument(L"\"" + d + L"\\Program\\Missing.exe\""));
    wt::CheckText(missing.out, L"ran=0 exit=3735928559",
                  "runner: missing program fails, exit place untouched");
    CheckStarts(missing.tools, 0, "runner: missing program started nothing");

    // Tools missing from the medium (the x86 copies present must not stand in for the x64 ones).
    if (bed.LayOut(L"C:\\KLDR ACC\\disk 2",
                   {L"DisplayDriver\\x64", L"Program", L"SensorDrivers\\x64"})) {
        ProbeRun display = bed.Probe(L"display");
        wt::CheckText(display.out, L"result=0 visible=1",
                      "missing DPInst: step fails, dialog shown again");
        CheckStarts(display.tools, 0, "missing DPInst: nothing started");
        ProbeRun product = bed.Probe(L"product");
        wt::CheckText(product.out, L"result=0", "missing product installer: step fails");
        CheckStarts(product.tools, 0, "missing product installer: nothing started");
        ProbeRun sensors = bed.Probe(L"sensors");
        wt::CheckText(sensors.out, L"result=0 status=",
                      "missing sensor installer: every package fails, status emptied");
        CheckStarts(sensors.tools, 0, "missing sensor installer: nothing started");
    }

    // Program folders ending in a character whose second byte is 0x5C (表 95 5C, ソ 83 5C).
    struct TrailByte {
        const wchar_t* character;
        const wchar_t* bytes;
    };
    for (const TrailByte& entry : {TrailByte{L"表", L"955C"}, TrailByte{L"ソ", L"835C"}}) {
        const std::string label = "CP932 " + wt::Utf8(entry.character);
        d = std::wstring(L"C:\\KLDR") + entry.character;
        if (!bed.LayOut(d))
            continue;
        wt::CheckText(bed.Probe(L"moduledir").out,
                      std::wstring(L"moduledir=433A5C4B4C4452") + entry.bytes + L"5C",
                      label + ": program directory keeps its trail byte");
        CheckSteps(bed, label, d, L"x64");
    }
}

void ThirtyTwoBit(Bed& bed) {
    const std::wstring d = L"C:\\KLDR ACC\\disk 1";
    if (!bed.LayOut(d))
        return;
    wt::CheckText(bed.Probe(L"is64").out, L"is64=0", "32-bit prefix: probe says 32-bit");
    CheckSteps(bed, "32-bit", d, L"x86");
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: wt_installers x64|x86 --probe=InstallersProbe.exe "
                             "--stub32=KldrStub.exe --stub64=KldrStub.exe\n");
        return 2;
    }
    for (const wchar_t* left : kLeftOnC)
        wt::RemoveAll(left);
    {
        Bed bed(options.kit);
        if (options.system == "x64")
            SixtyFourBit(bed, options.kit);
        else
            ThirtyTwoBit(bed);
    }
    for (const wchar_t* left : kLeftOnC)
        wt::RemoveAll(left);
    return wt::Finish();
}
