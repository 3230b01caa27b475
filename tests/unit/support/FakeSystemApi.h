// A scripted Windows for native tests of the setup's logic.
//
// Tests fill in the world (version, displays, registry, files, processes, windows), put the fake
// in force with CScopedSystemApi, run the logic and read back what it did from `log` and the
// recorded calls. Every handle the logic opens is counted, so a test can check that all were
// closed. Anything not scripted fails the way Windows fails for a missing thing.
#pragma once

#include "platform/SystemApi.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct FakeAdapter {
    DISPLAY_DEVICEA adapter{};
    std::vector<DISPLAY_DEVICEA> monitors;
};

DISPLAY_DEVICEA MakeDisplayDevice(const std::string& name, const std::string& string,
                                  DWORD stateFlags, const std::string& id = "");

struct FakeRegistryKey {
    std::vector<std::string> subKeys; // in the order RegEnumKeyExA reports them
    std::map<std::string, std::vector<BYTE>> values;
};

struct FakeMonitor {
    RECT monitor;
    RECT work; // the monitor less the taskbar and docked bars
};

struct FakeKeyOpen {
    std::string path; // as asked, relative to the parent key
    DWORD options;
    REGSAM desired;
};

struct FakeMutexCreation {
    std::string name;
    bool attributesWereNull;
    BOOL initialOwner;
};

struct FakeProcessRun {
    std::string commandLine;
    std::string currentDirectory; // null passed as ""
    bool currentDirectoryWasNull = true;
    // The remaining arguments, as far as a test can see them.
    bool applicationWasNull = true;
    bool securityAttributesWereNull = true; // process and thread
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool environmentWasNull = true;
    DWORD startupInfoSize = 0;
    bool startupInfoOnlySized = true; // every member besides cb zero
};

class CFakeSystemApi : public CSystemApi {
public:
    CFakeSystemApi();

    // --- The world -------------------------------------------------------------------------
    std::string modulePath = "C:\\Setup\\Setup.exe";
    DWORD lastError = 0;

    // Version: what GetVersionExA reports; which record sizes it accepts.
    OSVERSIONINFOEXA version{};
    bool acceptExtendedVersion = true;
    bool acceptBasicVersion = true;
    BOOL isAdmin = TRUE;
    INT productState = -1;
    std::vector<std::string> productQueries;

    // Mutexes by name: true once created.
    std::map<std::string, bool> mutexes;
    std::vector<FakeMutexCreation> mutexCreations; // every CreateMutexA, in order
    // Non-zero: CreateMutexA fails, returns null and leaves this as the last error.
    DWORD mutexCreationError = 0;

    std::vector<FakeAdapter> adapters;
    std::vector<DWORD> displayQueryFlags; // the flags of every EnumDisplayDevicesA call
    // Runs as every EnumDisplayDevicesA returns (device null for adapter queries): lets a test
    // change the machine, or run it out of memory, in the middle of an enumeration.
    std::function<void(LPCSTR device, DWORD index)> onDisplayQuery;

    // Registry under HKEY_LOCAL_MACHINE, by path relative to it (case-insensitive lookup).
    std::map<std::string, FakeRegistryKey> registry;
    void SetRegistryValue(const std::string& keyPath, const std::string& name,
                          const std::vector<BYTE>& data);
    void SetRegistryString(const std::string& keyPath, const std::string& name,
                           const std::string& text); // stored with its NUL
    std::vector<std::string> openedKeys;             // every successful open, in order
    std::vector<std::string> keyOpenAttempts;        // every open asked for, in order
    std::vector<FakeKeyOpen> keyOpenRequests;        // the same, with options and rights
    // Creates a key without values and makes it a sub-key of its parent (appended to the order).
    void AddRegistryKey(const std::string& keyPath);

    // 64-bit probe.
    bool hasKernel32 = true;
    bool hasWow64Probe = true;
    UINT wow64ProbeResult = 1;
    DWORD wow64ProbeError = 0;
    UINT wow64ProbeBufferSize = 0; // the size of the last probe call

    // Directory listings: pattern -> entries in listing order. A pattern not present fails.
    std::map<std::string, std::vector<WIN32_FIND_DATAA>> listings;
    static WIN32_FIND_DATAA Entry(const std::string& name, bool directory);

    // Processes: decides whether a command line starts (nullopt: start fails) and its exit code.
    std::function<std::optional<DWORD>(const std::string& commandLine)> runProcess;
    std::vector<FakeProcessRun> processRuns;
    bool startWithoutProcessHandle = false; // CreateProcessA succeeds but gives only a thread
    bool exitCodeUnreadable = false;        // GetExitCodeProcess fails

    std::vector<DWORD> sleeps;

    // Code page: CP932 lead bytes when true, single-byte otherwise.
    bool doubleByteCodePage = true;

    // String table (UTF-16) by id.
    std::map<UINT, std::u16string> strings;

    // Windows: one dialog window and its controls.
    HWND dialogWindow;
    std::map<int, std::string> dialogItemTexts;
    // Controls whose text cannot be read: GetDlgItemTextA returns 0 and leaves its buffer
    // undefined (the fake fills it with 0xCC, without a terminator).
    std::set<int> unreadableItems;
    std::map<int, bool> enabledItems;
    bool dialogVisible = true;
    bool dialogTopmost = false;
    struct MessageBoxCall {
        HWND owner;
        std::string text, caption;
        UINT type;
    };
    std::vector<MessageBoxCall> messageBoxes;
    struct PostedMessage {
        HWND window;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<PostedMessage> postedMessages;
    std::vector<MSG> pendingMessages; // what PeekMessageA hands out, front first
    std::vector<UINT> translatedMessages;
    std::vector<UINT> dispatchedMessages;
    std::vector<HWND> dialogMessageWindows; // the window of each IsDialogMessageA call
    bool logPeeks = false;               // log "PeekMessageA(window,min,max,remove)" for each call
    std::vector<std::string> systemMenu; // item texts, "-" for a separator
    std::vector<UINT_PTR> systemMenuIds; // command ids, in the same order
    bool hasSystemMenu = true;
    std::optional<INT_PTR> endDialogResult;
    HWND endDialogWindow = nullptr;

    // Modal dialogs. Each DialogBoxParamA records its template and owner; when runDialog is set
    // it plays the dialog: it gets a window handle (dialogWindow for the outermost dialog, a
    // handle of its own for each nested one) and the dialog procedure, sends it messages and
    // returns what DialogBoxParamA returns. Unset, a dialog fails to show (-1).
    std::function<INT_PTR(UINT templateId, HWND dialog, DLGPROC proc, LPARAM param)> runDialog;
    std::vector<UINT> dialogTemplates;
    std::vector<HWND> dialogOwners;
    std::map<std::pair<HWND, int>, LONG_PTR> windowLongs; // SetWindowLongPtrA by window, index
    std::map<HWND, RECT> windowRects;                     // GetWindowRect fails for others
    // The monitors, primary first; by default one of 1024 x 768 with a 30-pixel taskbar.
    std::vector<FakeMonitor> monitors;
    struct WindowPlacement {
        HWND window, insertAfter;
        int x, y, cx, cy;
        UINT flags;
    };
    std::vector<WindowPlacement> windowPlacements; // every SetWindowPos, in order
    bool dialogIconic = false;
    HDC paintDc = reinterpret_cast<HDC>(static_cast<UINT_PTR>(0xDC)); // what BeginPaint gives
    RECT clientRect{0, 0, 160, 120};
    std::map<int, int> systemMetrics;        // SM_CXICON/SM_CYICON 32, screen 1024 x 768 by default
    std::vector<PostedMessage> sentMessages; // SendMessageA calls, in order

    // Ordered transcript of the calls that change something, e.g. "ShowWindow(0)".
    std::vector<std::string> log;

    // Open handles of every kind (mutex, process, thread, find, registry key).
    int OpenHandleCount() const;
    // Every CloseHandle that closed something, by kind ("mutex", "process", "thread"), in order.
    std::vector<std::string> closedHandles;

    // --- CSystemApi -------------------------------------------------------------------------
    HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) override;
    BOOL ReleaseMutex(HANDLE) override;
    BOOL CloseHandle(HANDLE) override;
    DWORD GetLastError() override { return lastError; }
    DWORD GetModuleFileNameA(HMODULE, LPSTR, DWORD) override;
    HMODULE GetModuleHandleA(LPCSTR) override;
    FARPROC GetProcAddress(HMODULE, LPCSTR) override;
    UINT CallGetSystemWow64DirectoryW(FARPROC, LPWSTR, UINT) override;
    BOOL CreateProcessA(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                        LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) override;
    DWORD WaitForSingleObject(HANDLE, DWORD) override;
    BOOL GetExitCodeProcess(HANDLE, LPDWORD) override;
    void Sleep(DWORD) override;
    BOOL IsDBCSLeadByte(BYTE) override;
    HANDLE FindFirstFileA(LPCSTR, LPWIN32_FIND_DATAA) override;
    BOOL FindNextFileA(HANDLE, LPWIN32_FIND_DATAA) override;
    BOOL FindClose(HANDLE) override;
    BOOL GetVersionExA(LPOSVERSIONINFOA) override;
    BOOL IsUserAnAdmin() override;
    INT MsiQueryProductStateA(LPCSTR) override;
    BOOL EnumDisplayDevicesA(LPCSTR, DWORD, PDISPLAY_DEVICEA, DWORD) override;
    LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) override;
    LONG RegEnumKeyExA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME) override;
    LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override;
    LONG RegCloseKey(HKEY) override;
    LPSTR CharUpperA(LPSTR) override;
    HICON LoadIconA(HINSTANCE, LPCSTR) override;
    int LoadStringW(HINSTANCE, UINT, LPWSTR, int) override;
    int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL) override;
    INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) override;
    BOOL EndDialog(HWND, INT_PTR) override;
    int MessageBoxA(HWND, LPCSTR, LPCSTR, UINT) override;
    BOOL ShowWindow(HWND, int) override;
    BOOL SetWindowPos(HWND, HWND, int, int, int, int, UINT) override;
    HWND GetDlgItem(HWND, int) override;
    BOOL EnableWindow(HWND, BOOL) override;
    UINT GetDlgItemTextA(HWND, int, LPSTR, int) override;
    BOOL SetDlgItemTextA(HWND, int, LPCSTR) override;
    BOOL PostMessageA(HWND, UINT, WPARAM, LPARAM) override;
    LRESULT SendMessageA(HWND, UINT, WPARAM, LPARAM) override;
    BOOL PeekMessageA(LPMSG, HWND, UINT, UINT, UINT) override;
    BOOL IsDialogMessageA(HWND, LPMSG) override;
    BOOL TranslateMessage(const MSG*) override;
    LRESULT DispatchMessageA(const MSG*) override;
    HMENU GetSystemMenu(HWND, BOOL) override;
    BOOL AppendMenuA(HMENU, UINT, UINT_PTR, LPCSTR) override;
    BOOL IsIconic(HWND) override;
    HDC BeginPaint(HWND, LPPAINTSTRUCT) override;
    BOOL EndPaint(HWND, const PAINTSTRUCT*) override;
    int GetSystemMetrics(int) override;
    BOOL GetClientRect(HWND, LPRECT) override;
    BOOL DrawIcon(HDC, int, int, HICON) override;
    LONG_PTR SetWindowLongPtrA(HWND, int, LONG_PTR) override;
    LONG_PTR GetWindowLongPtrA(HWND, int) override;
    BOOL GetWindowRect(HWND, LPRECT) override;
    HMONITOR MonitorFromWindow(HWND, DWORD) override;
    BOOL GetMonitorInfoA(HMONITOR, LPMONITORINFO) override;

private:
    enum class Kind { Mutex, Process, Thread, Find, Key };
    struct OpenHandle {
        Kind kind;
        std::string name; // mutex name, key path or find pattern
        size_t position = 0;
        DWORD exitCode = 0;
    };
    std::map<UINT_PTR, OpenHandle> m_handles;
    UINT_PTR m_nextHandle = 0x1000;
    int m_dialogDepth = 0;
    HANDLE NewHandle(OpenHandle handle);
    size_t SystemCharLength(const char* text, size_t at, size_t size);
    OpenHandle* Find(HANDLE handle, Kind kind);
    const FakeRegistryKey* KeyAt(const std::string& path) const;
    BOOL FindDisplayDevice(LPCSTR device, DWORD index, PDISPLAY_DEVICEA out) const;
};
