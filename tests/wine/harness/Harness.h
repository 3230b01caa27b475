// The Wine test harness: drives Windows programs from outside, as a user would, and reports.
//
// A scenario is a console program built in the i686 MinGW build that links this library. It
// starts the program under test, waits for its windows, reads their texts through the wide
// calls, clicks, and records checks:
//
//     int main(int argc, char** argv) {
//         wt::Process setup = wt::Start(wt::HostPath(argv[1]));
//         HWND dialog = wt::WaitForWindow(setup.pid, L"Kaleidra Setup", 20000);
//         wt::Check(dialog != nullptr, "the setup dialog appears");
//         ...
//         return wt::Finish(); // prints "N passed, M failed"; non-zero exit when M > 0
//     }
//
// Every wait polls a condition with a timeout; nothing waits for a fixed time.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace wt {

// ---- Checks and report ----------------------------------------------------------------------
// One line per check ("ok   what" or "FAIL what: detail"); Finish prints the closing line.
bool Check(bool ok, const std::string& what, const std::string& detail = "");
// Checks that two wide texts are equal; the line shows both on failure.
bool CheckText(const std::wstring& actual, const std::wstring& expected, const std::string& what);
void Note(const std::string& text);
int Finish();

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// ---- Files ----------------------------------------------------------------------------------
// A Unix path as Wine sees it ("/a/b" -> "Z:\a\b"); Windows paths pass unchanged.
std::wstring HostPath(const std::string& path);
// Folder of the running scenario program, with a trailing backslash.
std::wstring HarnessDir();
// A fresh, empty folder C:\wt\<name>\ (with trailing backslash) for copies and media.
std::wstring ScratchDir(const std::wstring& name);
// A fresh, empty folder at this full path, its parents made as needed; with trailing backslash.
std::wstring FreshDir(const std::wstring& path);
// Removes a file, or a folder with everything in it; nothing there is fine.
void RemoveAll(const std::wstring& path);
bool CopyTo(const std::wstring& from, const std::wstring& to);

// ---- Processes ------------------------------------------------------------------------------
struct Process {
    HANDLE handle = nullptr;
    DWORD pid = 0;
    Process() = default;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process(); // closes the handle; the process goes on
    explicit operator bool() const { return handle != nullptr; }
};

// Starts `exe` (quoted on the command line) with `arguments`; in `directory` when given.
Process Start(const std::wstring& exe, const std::wstring& arguments = L"",
              const std::wstring& directory = L"");
// Runs `exe` as Start does, its standard output read through a pipe, until it ends; after the
// timeout it is killed. False when it did not start or did not end in time.
bool RunForOutput(const std::wstring& exe, const std::wstring& arguments,
                  const std::wstring& directory, DWORD timeoutMs, std::string* output,
                  DWORD* exitCode = nullptr);
bool IsRunning(const Process& process);
// True when the process ended within the timeout; its exit code is stored when asked.
bool WaitForExit(const Process& process, DWORD timeoutMs, DWORD* exitCode = nullptr);
void Kill(const Process& process);

// ---- Polling --------------------------------------------------------------------------------
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs = 50);

// ---- Windows --------------------------------------------------------------------------------
std::vector<HWND> TopLevelWindows(DWORD pid, bool visibleOnly = true);
// A visible top-level window of the process with exactly this caption, or null.
HWND FindWindowOf(DWORD pid, const std::wstring& caption);
HWND WaitForWindow(DWORD pid, const std::wstring& caption, DWORD timeoutMs);
bool WaitForWindowGone(HWND window, DWORD timeoutMs);

std::wstring Text(HWND window); // GetWindowTextW: no message reaches the window's thread
std::wstring ClassOf(HWND window);
HWND Control(HWND dialog, int id);
std::wstring ControlText(HWND dialog, int id);
bool IsEnabled(HWND window);
bool IsVisible(HWND window);
bool IsTopmost(HWND window);
// Posts the button's click (WM_COMMAND with BN_CLICKED) to the dialog.
void Click(HWND dialog, int id);
void PostSysCommand(HWND window, UINT command);

// ---- System menu of another process's window ------------------------------------------------
struct MenuItem {
    UINT id = 0;
    bool separator = false;
    UINT state = 0;
    std::wstring text;
};
// Reads the window's system menu. Where GetSystemMenu does not reach into another process
// (Wine), a probe DLL (wt_menuprobe.dll beside the scenario) is loaded into the owner of the
// window to read it there, and unloaded again.
bool ReadSystemMenu(HWND window, std::vector<MenuItem>* items);

// ---- Message boxes --------------------------------------------------------------------------
struct MessageBoxInfo {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    std::wstring icon; // L"error", L"information", L"warning", L"question", L"none", L"unknown"
    std::vector<std::wstring> buttons;
};
// Dialog-class (#32770) top-level windows of the process: message boxes and dialogs alike.
std::vector<HWND> DialogWindows(DWORD pid);
// A message box of the process with this caption (the setup's boxes carry the application name).
HWND WaitForMessageBox(DWORD pid, const std::wstring& caption, DWORD timeoutMs);
MessageBoxInfo ReadMessageBox(HWND box);

// ---- Screenshots ----------------------------------------------------------------------------
// Saves what the screen shows of the window (frame included) as a 24-bit BMP.
bool SaveScreenshot(HWND window, const std::wstring& bmpPath);

} // namespace wt
