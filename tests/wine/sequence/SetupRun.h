// Setup.exe on an installation medium, driven from outside as a user would: the medium is laid
// out with the stand-in tools, the setup is started, every message box is read and answered with
// OK, the dialog's state is followed until its last text, and OK ends it. What happened is kept
// as a timeline: the dialog's states and texts as seen from outside, the boxes, and each tool's
// start as the tool logged it (with what it saw of the dialog at that moment).
#pragma once

#include "Harness.h"

#include <functional>
#include <string>
#include <vector>

namespace seq {

// The setup's texts as a user reads them.
extern const wchar_t kDialogCaption[];
extern const wchar_t kAboutCaption[];
extern const wchar_t kOsUnsupported[];      // box, error icon
extern const wchar_t kNoSupportedDisplay[]; // box, error icon
extern const wchar_t kAlreadyInstalled[];   // box, information icon
extern const wchar_t kAborted[];            // status line
extern const wchar_t kFinished[];           // status line
std::wstring InstallingText(const std::wstring& infBaseName);
std::wstring UninstallingText(const std::wstring& infBaseName);

extern const char kProductCode[];

// The built programs a medium is made of (Windows paths).
struct Kit {
    std::wstring setup, stub32, stub64;
};

struct Package {
    std::wstring folder;
    std::vector<std::wstring> infs; // stand-in INFs written into it
    std::wstring from;              // a folder whose files it holds as well (a real package)
};

struct MediumLayout {
    std::wstring name = L"medium"; // folder C:\wt\<name>\, emptied first
    std::wstring root;             // a full path in place of C:\wt\<name>\, emptied first too
    std::wstring setupName = L"Setup.exe";
    bool displayDriverTool = true, productInstaller = true, sensorInstaller = true;
    std::wstring sensorInstaller64; // the real x64 SensorInst.exe in place of the stand-in
    std::vector<Package> packages = DefaultPackages();
    std::vector<std::wstring>
        without; // parts taken off the medium again, e.g. L"DisplayDriver\\x64"
    static std::vector<Package> DefaultPackages(); // three packages, one with a Japanese name
};

struct Medium {
    std::wstring root;  // with a trailing backslash
    std::wstring setup; // the setup program on it
    std::wstring log;   // where the stand-in tools log their starts
};

bool LayOut(const Kit& kit, const MediumLayout& layout, Medium* medium);

// Seconds on the performance counter, the clock the stand-in tools log with.
double Now();

// One start of a stand-in tool, as the tool logged it.
struct ToolRun {
    std::wstring path, relative, arch, cwd, status, cmd;
    bool dialogFound = false, visible = false, topmost = false, okEnabled = false;
    unsigned long exitCode = 0;
    double time = 0;                            // seconds since the setup was started
    bool Is(const wchar_t* relativeTail) const; // e.g. L"DPInst.exe", L"Program\\Setup.exe"
};
std::vector<ToolRun> ReadToolLog(const Medium& medium, double origin);

struct Event {
    enum Kind {
        Start,
        Shown,
        Hidden,
        Topmost,
        OkDisabled,
        OkEnabled,
        Status,
        Tool,
        Box,
        UserOk,
        About,
        Exit,
        Note
    };
    Kind kind;
    double time;
    std::wstring text;
    ToolRun tool;
    wt::MessageBoxInfo box;
};

struct DriveOptions {
    std::wstring arguments;
    std::wstring shots;       // folder for BMP screenshots (with trailing backslash); empty: none
    bool aboutAtEnd = false;  // at the last text: open the about box, picture it, close it
    bool pressOkAtEnd = true; // at the last text: press OK and wait for the program to end
    DWORD timeoutMs = 90000;
    DWORD pollMs = 2;                       // each look at the dialog costs the wineserver too
    std::function<void(HWND dialog)> atEnd; // runs at the last text, before OK
};

struct Run {
    bool started = false, reachedEnd = false, ended = false;
    DWORD exitCode = 0;
    double origin = 0;          // Now() when the setup was started; times count from it
    std::vector<Event> events;  // in time order
    std::vector<ToolRun> tools; // in start order
    std::vector<wt::MessageBoxInfo> boxes;
    std::vector<std::wstring> statuses; // status texts seen from outside, in order, no repeats
    // The dialog at its last text (when reachedEnd).
    std::wstring endStatus;
    bool endOkEnabled = false, endTopmost = false, endVisible = false;
    std::vector<std::wstring> shots; // files written

    std::vector<const ToolRun*> ToolsNamed(const wchar_t* relativeTail) const;
};

// Sets the tools' log for the setup's children, starts the setup, follows it to its end.
Run DriveSetup(const Medium& medium, const DriveOptions& options);

// A readable account of the run: each tool with its command line and what it saw, each status
// text, each box with its icon and text, and what the user did.
void PrintTranscript(const Run& run, const Medium& medium, const std::wstring& arguments);

// Windows Installer: installs or removes the product package (msiexec, quiet); its state.
bool InstallProduct(const std::wstring& msi);
bool RemoveProduct();
int ProductState();

// The EDID Setup.exe will read: a supported model, another model, or none at all.
enum class Display { Supported, Unsupported, None };
bool SetDisplay(Display display);
bool DisplayStill(Display display); // the value is still as set (Wine did not rebuild the key)

} // namespace seq
