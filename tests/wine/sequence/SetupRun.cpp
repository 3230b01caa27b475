#include "SetupRun.h"

#include "EdidInjection.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace seq {

const wchar_t kDialogCaption[] = L"Kaleidra Setup";
const wchar_t kAboutCaption[] = L"バージョン情報 KLDRSetup";
const wchar_t kOsUnsupported[] =
    L"ご使用のシステムはオペレーティングシステム要件を満たしていません。セットアップを中止します。";
const wchar_t kNoSupportedDisplay[] =
    L"対応ディスプレイを検出できません。セットアップを中止します。";
const wchar_t kAlreadyInstalled[] =
    L"すでに同じバージョンのKaleidra "
    L"がインストールされていますので、インストールする必要はありませ"
    L"ん。";
const wchar_t kAborted[] = L"セットアップを中止しました。";
const wchar_t kFinished[] = L"Kaleidra のセットアップが終了しました。";
const char kProductCode[] = "{5E0A7B21-3C94-4D6F-8A12-B7C4E9F03D58}";

std::wstring InstallingText(const std::wstring& infBaseName) {
    return infBaseName + L" をインストールしています...";
}

std::wstring UninstallingText(const std::wstring& infBaseName) {
    return infBaseName + L" をアンインストールしています...";
}

std::vector<Package> MediumLayout::DefaultPackages() {
    return {{L"Talvik2", {L"Talvik2.inf"}, L""},
            {L"Spectro", {L"分光センサー.inf"}, L""},
            {L"Ambient", {L"AmbientLight.inf"}, L""}};
}

namespace {

bool WriteFileText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

bool MakeDirs(const std::wstring& root, const std::vector<std::wstring>& dirs) {
    for (const auto& d : dirs)
        if (!CreateDirectoryW((root + d).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    return true;
}

bool CopyFolderFiles(const std::wstring& from, const std::wstring& to) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ok = ok && wt::CopyTo(from + L"\\" + found.cFileName, to + L"\\" + found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return ok;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

} // namespace

bool LayOut(const Kit& kit, const MediumLayout& layout, Medium* medium) {
    medium->root = layout.root.empty() ? wt::ScratchDir(layout.name) : wt::FreshDir(layout.root);
    medium->setup = medium->root + layout.setupName;
    medium->log = medium->root + L"tools.log";
    const std::wstring& r = medium->root;
    bool ok = MakeDirs(r, {L"DisplayDriver", L"DisplayDriver\\x86", L"DisplayDriver\\x64",
                           L"Program", L"SensorDrivers", L"SensorDrivers\\x86",
                           L"SensorDrivers\\x64", L"SensorDrivers\\Package"});
    ok = ok && wt::CopyTo(kit.setup, medium->setup);
    if (layout.displayDriverTool)
        ok = ok && wt::CopyTo(kit.stub32, r + L"DisplayDriver\\x86\\DPInst.exe") &&
             wt::CopyTo(kit.stub64, r + L"DisplayDriver\\x64\\DPInst.exe");
    if (layout.productInstaller)
        ok = ok && wt::CopyTo(kit.stub32, r + L"Program\\Setup.exe");
    if (layout.sensorInstaller)
        ok = ok && wt::CopyTo(kit.stub32, r + L"SensorDrivers\\x86\\SensorInst.exe") &&
             wt::CopyTo(layout.sensorInstaller64.empty() ? kit.stub64 : layout.sensorInstaller64,
                        r + L"SensorDrivers\\x64\\SensorInst.exe");
    // A plain file among the packages, as media carry them; the setup passes over it.
    ok = ok &&
         WriteFileText(r + L"SensorDrivers\\Package\\readme.txt", "Sensor driver packages\r\n");
    for (const auto& package : layout.packages) {
        std::wstring folder = L"SensorDrivers\\Package\\" + package.folder;
        ok = ok && MakeDirs(r, {folder});
        for (const auto& inf : package.infs)
            ok = ok && WriteFileText(r + folder + L"\\" + inf,
                                     "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Sensor\r\n");
        if (!package.from.empty())
            ok = ok && CopyFolderFiles(package.from, r + folder);
    }
    for (const auto& part : layout.without)
        wt::RemoveAll(r + part);
    return ok;
}

double Now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool ToolRun::Is(const wchar_t* relativeTail) const {
    return EndsWithNoCase(path, std::wstring(L"\\") + relativeTail);
}

std::vector<const ToolRun*> Run::ToolsNamed(const wchar_t* relativeTail) const {
    std::vector<const ToolRun*> named;
    for (const auto& tool : tools)
        if (tool.Is(relativeTail))
            named.push_back(&tool);
    return named;
}

std::vector<ToolRun> ReadToolLog(const Medium& medium, double origin) {
    std::vector<ToolRun> runs;
    HANDLE file = CreateFileW(medium.log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return runs;
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);

    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::wstring line = wt::Wide(bytes.substr(start, end - start));
        start = end + 1;
        std::map<std::wstring, std::wstring> fields;
        size_t at = 0;
        while (at <= line.size()) {
            size_t tab = line.find(L'\t', at);
            // The command line is the last field and free text: it runs to the end of the line.
            if (line.compare(at, 4, L"cmd=") == 0)
                tab = std::wstring::npos;
            std::wstring field =
                line.substr(at, tab == std::wstring::npos ? std::wstring::npos : tab - at);
            size_t equals = field.find(L'=');
            if (equals != std::wstring::npos)
                fields[field.substr(0, equals)] = field.substr(equals + 1);
            if (tab == std::wstring::npos)
                break;
            at = tab + 1;
        }
        if (fields.count(L"tool") == 0)
            continue;
        ToolRun run;
        run.path = fields[L"tool"];
        run.relative =
            run.path.size() > medium.root.size() &&
                    _wcsnicmp(run.path.c_str(), medium.root.c_str(), medium.root.size()) == 0
                ? run.path.substr(medium.root.size())
                : run.path;
        run.arch = fields[L"arch"];
        run.cwd = fields[L"cwd"];
        run.exitCode = std::wcstoul(fields[L"exit"].c_str(), nullptr, 10);
        run.dialogFound = fields[L"dialog"] == L"found";
        run.visible = fields[L"visible"] == L"1";
        run.topmost = fields[L"topmost"] == L"1";
        run.okEnabled = fields[L"ok"] == L"1";
        run.status = fields[L"status"];
        run.cmd = fields[L"cmd"];
        run.time = std::wcstod(fields[L"time"].c_str(), nullptr) / 1e6 - origin;
        runs.push_back(run);
    }
    std::stable_sort(runs.begin(), runs.end(),
                     [](const ToolRun& a, const ToolRun& b) { return a.time < b.time; });
    return runs;
}

namespace {

// What the setup dialog shows, read from outside.
struct DialogState {
    bool exists = false, visible = false, topmost = false, okEnabled = false;
    std::wstring status;
};

DialogState ReadDialog(HWND dialog) {
    DialogState state;
    if (!dialog || !IsWindow(dialog))
        return state;
    // The dialog counts once its controls exist.
    HWND ok = wt::Control(dialog, IDOK);
    if (!ok)
        return state;
    state.exists = true;
    state.visible = wt::IsVisible(dialog);
    state.topmost = wt::IsTopmost(dialog);
    state.okEnabled = wt::IsEnabled(ok);
    state.status = wt::ControlText(dialog, 1000);
    return state;
}

HWND FindDialog(DWORD pid) {
    for (HWND w : wt::TopLevelWindows(pid, false))
        if (wt::Text(w) == kDialogCaption)
            return w;
    return nullptr;
}

// A visible dialog-class window of the process other than the setup dialog: a message box.
HWND FindBox(DWORD pid, HWND dialog) {
    for (HWND w : wt::DialogWindows(pid))
        if (w != dialog && wt::Text(w) != kAboutCaption)
            return w;
    return nullptr;
}

std::wstring ShotPath(const DriveOptions& options, const std::wstring& name) {
    return options.shots.empty() ? std::wstring() : options.shots + name + L".bmp";
}

} // namespace

Run DriveSetup(const Medium& medium, const DriveOptions& options) {
    Run run;
    DeleteFileW(medium.log.c_str());
    SetEnvironmentVariableW(L"KLDR_STUB_LOG", medium.log.c_str());

    const double origin = run.origin = Now();
    auto at = [&] { return Now() - origin; };
    auto add = [&](Event::Kind kind, const std::wstring& text = L"") {
        Event e{kind, at(), text, {}, {}};
        run.events.push_back(e);
    };
    auto shoot = [&](HWND window, const std::wstring& name) {
        std::wstring path = ShotPath(options, name);
        if (!path.empty() && wt::SaveScreenshot(window, path))
            run.shots.push_back(path);
    };

    // Started from its own folder, as from a file manager.
    run.events.push_back({Event::Start, 0.0, medium.setup, {}, {}});
    wt::Process setup = wt::Start(medium.setup, options.arguments, medium.root);
    run.started = static_cast<bool>(setup);
    if (!run.started)
        return run;

    HWND dialog = nullptr;
    DialogState seen;
    bool sensorShot = false;
    int boxCount = 0;
    double lastBoxLook = -1;
    for (;;) {
        if (!wt::IsRunning(setup))
            break;
        if (at() * 1000 > options.timeoutMs) {
            add(Event::Note, L"gave up waiting: the setup did not reach its last text");
            break;
        }
        if (!dialog)
            dialog = FindDialog(setup.pid);
        DialogState now = ReadDialog(dialog);
        if (now.exists) {
            if (now.visible != seen.visible)
                add(now.visible ? Event::Shown : Event::Hidden);
            if (now.topmost && !seen.topmost)
                add(Event::Topmost);
            if (now.okEnabled != seen.okEnabled && (seen.exists || !now.okEnabled))
                add(now.okEnabled ? Event::OkEnabled : Event::OkDisabled);
            if (now.status != seen.status) {
                add(Event::Status, now.status);
                run.statuses.push_back(now.status);
            }
            seen = now;
        }

        // Looking for boxes walks every window: less often than the dialog is read.
        HWND box = nullptr;
        if (at() - lastBoxLook > 0.025) {
            lastBoxLook = at();
            box = FindBox(setup.pid, dialog);
        }
        if (box) {
            // The picture waits until the box has painted, so its icon can be told.
            ++boxCount;
            std::wstring name = L"box" + std::to_wstring(boxCount);
            std::wstring path = ShotPath(options, name);
            if (path.empty())
                path = medium.root + L"box.bmp";
            if (wt::SaveScreenshot(box, path) && !options.shots.empty())
                run.shots.push_back(path);
            Event e{Event::Box, at(), L"", {}, wt::ReadMessageBox(box)};
            run.events.push_back(e);
            run.boxes.push_back(e.box);
            wt::Click(box, IDOK);
            add(Event::UserOk, L"box");
            wt::WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10000, 2);
            continue;
        }

        if (now.exists && now.visible && now.topmost && !now.okEnabled && !now.status.empty() &&
            !sensorShot) {
            sensorShot = true;
            shoot(dialog, L"sensor-phase");
        }

        if (now.exists && now.visible && now.okEnabled &&
            (now.status == kFinished || now.status == kAborted)) {
            run.reachedEnd = true;
            run.endStatus = now.status;
            run.endOkEnabled = now.okEnabled;
            run.endTopmost = now.topmost;
            run.endVisible = now.visible;
            shoot(dialog, L"dialog");
            if (options.aboutAtEnd) {
                wt::PostSysCommand(dialog, 16);
                HWND about = wt::WaitForWindow(setup.pid, kAboutCaption, 15000);
                if (about) {
                    add(Event::About, L"opens the about box from the system menu");
                    shoot(about, L"about");
                    wt::Click(about, IDOK);
                    wt::WaitForWindowGone(about, 10000);
                }
            }
            if (options.atEnd)
                options.atEnd(dialog);
            if (options.pressOkAtEnd) {
                wt::Click(dialog, IDOK);
                add(Event::UserOk, L"dialog");
                wt::WaitForExit(setup, 15000);
            }
            break;
        }
        Sleep(options.pollMs);
    }

    DWORD exitCode = 0;
    run.ended =
        wt::WaitForExit(setup, options.pressOkAtEnd || !run.reachedEnd ? 15000 : 0, &exitCode);
    run.exitCode = exitCode;
    if (run.ended)
        add(Event::Exit, std::to_wstring(exitCode));
    else if (options.pressOkAtEnd || !run.reachedEnd)
        wt::Kill(setup);

    run.tools = ReadToolLog(medium, origin);
    for (const auto& tool : run.tools) {
        Event e{Event::Tool, tool.time, L"", tool, {}};
        run.events.push_back(e);
    }
    std::stable_sort(run.events.begin(), run.events.end(),
                     [](const Event& a, const Event& b) { return a.time < b.time; });
    return run;
}

namespace {

void Print(const std::wstring& line) {
    std::string text = wt::Utf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
}

std::wstring Seconds(double t) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%8.3f", t < 0 ? 0.0 : t);
    return text;
}

std::wstring Quoted(const std::wstring& text) {
    return text.empty() ? L"(empty)" : L"\"" + text + L"\"";
}

std::wstring WhatToolSaw(const ToolRun& tool) {
    if (!tool.dialogFound)
        return L"no setup dialog";
    if (!tool.visible)
        return L"the setup dialog hidden";
    return std::wstring(L"the setup dialog on screen") + (tool.topmost ? L", topmost" : L"") +
           (tool.okEnabled ? L", OK enabled" : L", OK disabled") + L", status " +
           Quoted(tool.status);
}

} // namespace

void PrintTranscript(const Run& run, const Medium& medium, const std::wstring& arguments) {
    const std::wstring pad(19, L' ');
    Print(L"    time  what");
    for (const auto& e : run.events) {
        std::wstring t = Seconds(e.time) + L"  ";
        switch (e.kind) {
        case Event::Start:
            Print(t + L"start    " + medium.setup.substr(medium.root.size()) +
                  (arguments.empty() ? L"" : L" " + arguments) + L"   (in " + medium.root + L")");
            break;
        case Event::Shown:
            Print(t + L"dialog   on screen");
            break;
        case Event::Hidden:
            Print(t + L"dialog   hidden");
            break;
        case Event::Topmost:
            Print(t + L"dialog   topmost");
            break;
        case Event::OkDisabled:
            Print(t + L"dialog   OK disabled");
            break;
        case Event::OkEnabled:
            Print(t + L"dialog   OK enabled");
            break;
        case Event::Status:
            Print(t + L"status   " + Quoted(e.text));
            break;
        case Event::Tool:
            Print(t + L"tool     " + e.tool.relative + L" (" + e.tool.arch + L") started");
            Print(pad + L"command line: " + e.tool.cmd);
            Print(pad + L"it sees " + WhatToolSaw(e.tool) + L"; it exits with " +
                  std::to_wstring(e.tool.exitCode));
            break;
        case Event::Box:
            Print(t + L"box      \"" + e.box.caption + L"\", " + e.box.icon + L" icon: " +
                  e.box.text);
            break;
        case Event::UserOk:
            Print(t + L"user     presses OK" + (e.text == L"box" ? L" on the box" : L""));
            break;
        case Event::About:
            Print(t + L"user     " + e.text);
            break;
        case Event::Exit:
            Print(t + L"end      the setup has ended (exit code " + e.text + L")");
            break;
        case Event::Note:
            Print(t + L"note     " + e.text);
            break;
        }
    }
    std::fflush(stdout);
}

namespace {

std::wstring SystemProgram(const wchar_t* name) {
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, length) + L"\\" + name;
}

bool RunMsiexec(const std::wstring& arguments) {
    wt::Process msiexec = wt::Start(SystemProgram(L"msiexec.exe"), arguments);
    DWORD exitCode = 1;
    bool ended = wt::WaitForExit(msiexec, 120000, &exitCode);
    if (!ended)
        wt::Kill(msiexec);
    return ended && exitCode == 0;
}

} // namespace

bool InstallProduct(const std::wstring& msi) {
    return RunMsiexec(L"/i \"" + msi + L"\" /qn") && ProductState() == 5;
}

bool RemoveProduct() {
    if (ProductState() != 5)
        return true;
    return RunMsiexec(L"/x " + wt::Wide(kProductCode) + L" /qn") && ProductState() != 5;
}

int ProductState() {
    // Looked up at run time: the scenarios link no import library of msi.dll.
    HMODULE msi = LoadLibraryW(L"msi.dll");
    if (!msi)
        return -3;
    using Query = INT(WINAPI*)(LPCSTR);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(msi, "MsiQueryProductStateA")));
    int state = query ? query(kProductCode) : -3;
    FreeLibrary(msi);
    return state;
}

namespace {

bool ReadEdid(std::vector<BYTE>* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, edid::kWineMonitorParameters, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    value->assign(1024, 0);
    DWORD size = static_cast<DWORD>(value->size());
    LONG result = RegQueryValueExA(key, "EDID", nullptr, nullptr, value->data(), &size);
    RegCloseKey(key);
    value->resize(result == ERROR_SUCCESS ? size : 0);
    return result == ERROR_SUCCESS;
}

} // namespace

bool SetDisplay(Display display) {
    // This program's own first display query comes first: with a virtual desktop it would
    // rebuild the key here, not later.
    DISPLAY_DEVICEA first{};
    first.cb = sizeof(first);
    EnumDisplayDevicesA(nullptr, 0, &first, 0);
    switch (display) {
    case Display::Supported:
        return edid::InjectEveryMonitor(edid::Supported()) == ERROR_SUCCESS;
    case Display::Unsupported:
        return edid::InjectEveryMonitor(edid::Unsupported()) == ERROR_SUCCESS;
    case Display::None:
        return edid::Remove() == ERROR_SUCCESS;
    }
    return false;
}

bool DisplayStill(Display display) {
    std::vector<BYTE> value;
    bool present = ReadEdid(&value);
    switch (display) {
    case Display::Supported:
        return present && value == edid::Supported();
    case Display::Unsupported:
        return present && value == edid::Unsupported();
    case Display::None:
        return !present;
    }
    return false;
}

} // namespace seq
