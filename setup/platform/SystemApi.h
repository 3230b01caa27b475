// The seam between the setup's logic and Windows.
//
// Every platform call that a decision depends on goes through CSystemApi, so that a test can put
// a scripted world in its place with one CScopedSystemApi. The real implementation
// (win32/Win32SystemApi.cpp) forwards each call to the function of the same name and nothing else.
#pragma once

#include <windows.h>

class CSystemApi {
public:
    virtual ~CSystemApi() = default;

    // Kernel objects and processes
    virtual HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner,
                                LPCSTR name) = 0;
    virtual BOOL ReleaseMutex(HANDLE mutex) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual DWORD GetLastError() = 0;
    virtual DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) = 0;
    virtual HMODULE GetModuleHandleA(LPCSTR name) = 0;
    virtual FARPROC GetProcAddress(HMODULE module, LPCSTR name) = 0;
    // Stands for calling the GetSystemWow64DirectoryW that GetProcAddress returned.
    virtual UINT CallGetSystemWow64DirectoryW(FARPROC function, LPWSTR buffer, UINT size) = 0;
    virtual BOOL CreateProcessA(LPCSTR application, LPSTR commandLine,
                                LPSECURITY_ATTRIBUTES processAttributes,
                                LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                                LPSTARTUPINFOA startupInfo,
                                LPPROCESS_INFORMATION processInformation) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual BOOL IsDBCSLeadByte(BYTE byte) = 0;

    // Files
    virtual HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) = 0;
    virtual BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) = 0;
    virtual BOOL FindClose(HANDLE find) = 0;

    // System requirement probes
    virtual BOOL GetVersionExA(LPOSVERSIONINFOA info) = 0;
    virtual BOOL IsUserAnAdmin() = 0;
    virtual INT MsiQueryProductStateA(LPCSTR productCode) = 0;

    // Displays and the registry
    virtual BOOL EnumDisplayDevicesA(LPCSTR device, DWORD index, PDISPLAY_DEVICEA displayDevice,
                                     DWORD flags) = 0;
    virtual LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired,
                               PHKEY result) = 0;
    virtual LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize,
                               LPDWORD reserved, LPSTR className, LPDWORD classSize,
                               PFILETIME lastWriteTime) = 0;
    virtual LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                  LPBYTE data, LPDWORD dataSize) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
    virtual LPSTR CharUpperA(LPSTR text) = 0;

    // Resources
    virtual HICON LoadIconA(HINSTANCE instance, LPCSTR name) = 0;
    // The string table entry as stored (UTF-16), or null with length 0 when the id is missing.
    virtual int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) = 0;
    virtual int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                                    LPSTR narrow, int narrowLength, LPCSTR defaultChar,
                                    LPBOOL usedDefault) = 0;

    // Windows and dialogs
    virtual INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent,
                                    DLGPROC dialogProc, LPARAM initParam) = 0;
    virtual BOOL EndDialog(HWND dialog, INT_PTR result) = 0;
    virtual int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) = 0;
    virtual BOOL ShowWindow(HWND window, int command) = 0;
    virtual BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy,
                              UINT flags) = 0;
    virtual HWND GetDlgItem(HWND dialog, int id) = 0;
    virtual BOOL EnableWindow(HWND window, BOOL enable) = 0;
    virtual UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int max) = 0;
    virtual BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) = 0;
    virtual BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax,
                              UINT remove) = 0;
    virtual BOOL IsDialogMessageA(HWND dialog, LPMSG msg) = 0;
    virtual BOOL TranslateMessage(const MSG* msg) = 0;
    virtual LRESULT DispatchMessageA(const MSG* msg) = 0;
    virtual HMENU GetSystemMenu(HWND window, BOOL revert) = 0;
    virtual BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR item) = 0;
    virtual BOOL IsIconic(HWND window) = 0;
    virtual HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) = 0;
    virtual BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) = 0;
    virtual int GetSystemMetrics(int index) = 0;
    virtual BOOL GetClientRect(HWND window, LPRECT rect) = 0;
    virtual BOOL DrawIcon(HDC dc, int x, int y, HICON icon) = 0;
    // Per-window data of dialogs (DWLP_USER, DWLP_MSGRESULT).
    virtual LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) = 0;
    virtual LONG_PTR GetWindowLongPtrA(HWND window, int index) = 0;
    virtual BOOL GetWindowRect(HWND window, LPRECT rect) = 0;
    virtual HMONITOR MonitorFromWindow(HWND window, DWORD flags) = 0;
    virtual BOOL GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) = 0;
};

// The implementation in force: the real one unless a test has put another in its place.
CSystemApi& SystemApi();

// The program's own module handle, as the entry point received it (null in native tests).
HINSTANCE AppInstance();
void SetAppInstance(HINSTANCE instance);

// Puts another implementation in force for the lifetime of this object.
class CScopedSystemApi {
public:
    explicit CScopedSystemApi(CSystemApi& replacement);
    ~CScopedSystemApi();
    CScopedSystemApi(const CScopedSystemApi&) = delete;
    CScopedSystemApi& operator=(const CScopedSystemApi&) = delete;

private:
    CSystemApi* m_previous;
};
