// The real side of the system seam: each method forwards to the Win32 function of its name.
#include "platform/SystemApi.h"
#include "platform/win32/SystemMsi.h"

#include <shlobj.h>
#include <msi.h>

namespace {

class CWin32SystemApi final : public CSystemApi {
public:
    HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES a, BOOL owner, LPCSTR name) override {
        return ::CreateMutexA(a, owner, name);
    }
    BOOL ReleaseMutex(HANDLE h) override { return ::ReleaseMutex(h); }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    DWORD GetLastError() override { return ::GetLastError(); }
    DWORD GetModuleFileNameA(HMODULE m, LPSTR b, DWORD n) override {
        return ::GetModuleFileNameA(m, b, n);
    }
    HMODULE GetModuleHandleA(LPCSTR name) override { return ::GetModuleHandleA(name); }
    FARPROC GetProcAddress(HMODULE m, LPCSTR name) override { return ::GetProcAddress(m, name); }
    UINT CallGetSystemWow64DirectoryW(FARPROC f, LPWSTR b, UINT n) override {
        using Fn = UINT(WINAPI*)(LPWSTR, UINT);
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(f))(b, n);
    }
    BOOL CreateProcessA(LPCSTR app, LPSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                        BOOL inherit, DWORD flags, LPVOID env, LPCSTR dir, LPSTARTUPINFOA si,
                        LPPROCESS_INFORMATION pi) override {
        return ::CreateProcessA(app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
    }
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override { return ::WaitForSingleObject(h, ms); }
    BOOL GetExitCodeProcess(HANDLE h, LPDWORD code) override {
        return ::GetExitCodeProcess(h, code);
    }
    void Sleep(DWORD ms) override { ::Sleep(ms); }
    BOOL IsDBCSLeadByte(BYTE b) override { return ::IsDBCSLeadByteEx(CP_THREAD_ACP, b); }

    HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA d) override {
        return ::FindFirstFileA(pattern, d);
    }
    BOOL FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA d) override { return ::FindNextFileA(h, d); }
    BOOL FindClose(HANDLE h) override { return ::FindClose(h); }

    BOOL GetVersionExA(LPOSVERSIONINFOA info) override { return ::GetVersionExA(info); }
    BOOL IsUserAnAdmin() override { return ::IsUserAnAdmin(); }
    INT MsiQueryProductStateA(LPCSTR code) override {
        if (!LoadSystemMsi()) // never let the delay-load helper look for msi.dll itself
            return INSTALLSTATE_UNKNOWN;
        return ::MsiQueryProductStateA(code);
    }

    BOOL EnumDisplayDevicesA(LPCSTR dev, DWORD i, PDISPLAY_DEVICEA d, DWORD flags) override {
        return ::EnumDisplayDevicesA(dev, i, d, flags);
    }
    LONG RegOpenKeyExA(HKEY k, LPCSTR sub, DWORD opt, REGSAM sam, PHKEY out) override {
        return ::RegOpenKeyExA(k, sub, opt, sam, out);
    }
    LONG RegEnumKeyExA(HKEY k, DWORD i, LPSTR name, LPDWORD size, LPDWORD r, LPSTR cls,
                       LPDWORD clsSize, PFILETIME t) override {
        return ::RegEnumKeyExA(k, i, name, size, r, cls, clsSize, t);
    }
    LONG RegQueryValueExA(HKEY k, LPCSTR name, LPDWORD r, LPDWORD type, LPBYTE data,
                          LPDWORD size) override {
        return ::RegQueryValueExA(k, name, r, type, data, size);
    }
    LONG RegCloseKey(HKEY k) override { return ::RegCloseKey(k); }
    LPSTR CharUpperA(LPSTR text) override { return ::CharUpperA(text); }

    HICON LoadIconA(HINSTANCE inst, LPCSTR name) override { return ::LoadIconA(inst, name); }
    int LoadStringW(HINSTANCE inst, UINT id, LPWSTR b, int max) override {
        return ::LoadStringW(inst, id, b, max);
    }
    int WideCharToMultiByte(UINT cp, DWORD flags, LPCWSTR w, int wl, LPSTR n, int nl, LPCSTR def,
                            LPBOOL used) override {
        return ::WideCharToMultiByte(cp, flags, w, wl, n, nl, def, used);
    }

    INT_PTR DialogBoxParamA(HINSTANCE inst, LPCSTR name, HWND parent, DLGPROC proc,
                            LPARAM param) override {
        return ::DialogBoxParamA(inst, name, parent, proc, param);
    }
    BOOL EndDialog(HWND d, INT_PTR r) override { return ::EndDialog(d, r); }
    int MessageBoxA(HWND o, LPCSTR text, LPCSTR caption, UINT type) override {
        return ::MessageBoxA(o, text, caption, type);
    }
    BOOL ShowWindow(HWND w, int cmd) override { return ::ShowWindow(w, cmd); }
    BOOL SetWindowPos(HWND w, HWND after, int x, int y, int cx, int cy, UINT f) override {
        return ::SetWindowPos(w, after, x, y, cx, cy, f);
    }
    HWND GetDlgItem(HWND d, int id) override { return ::GetDlgItem(d, id); }
    BOOL EnableWindow(HWND w, BOOL e) override { return ::EnableWindow(w, e); }
    UINT GetDlgItemTextA(HWND d, int id, LPSTR t, int max) override {
        return ::GetDlgItemTextA(d, id, t, max);
    }
    BOOL SetDlgItemTextA(HWND d, int id, LPCSTR t) override { return ::SetDlgItemTextA(d, id, t); }
    BOOL PostMessageA(HWND w, UINT m, WPARAM wp, LPARAM lp) override {
        return ::PostMessageA(w, m, wp, lp);
    }
    LRESULT SendMessageA(HWND w, UINT m, WPARAM wp, LPARAM lp) override {
        return ::SendMessageA(w, m, wp, lp);
    }
    BOOL PeekMessageA(LPMSG msg, HWND w, UINT lo, UINT hi, UINT rm) override {
        return ::PeekMessageA(msg, w, lo, hi, rm);
    }
    BOOL IsDialogMessageA(HWND d, LPMSG msg) override { return ::IsDialogMessageA(d, msg); }
    BOOL TranslateMessage(const MSG* msg) override { return ::TranslateMessage(msg); }
    LRESULT DispatchMessageA(const MSG* msg) override { return ::DispatchMessageA(msg); }
    HMENU GetSystemMenu(HWND w, BOOL revert) override { return ::GetSystemMenu(w, revert); }
    BOOL AppendMenuA(HMENU m, UINT f, UINT_PTR id, LPCSTR item) override {
        return ::AppendMenuA(m, f, id, item);
    }
    BOOL IsIconic(HWND w) override { return ::IsIconic(w); }
    HDC BeginPaint(HWND w, LPPAINTSTRUCT ps) override { return ::BeginPaint(w, ps); }
    BOOL EndPaint(HWND w, const PAINTSTRUCT* ps) override { return ::EndPaint(w, ps); }
    int GetSystemMetrics(int i) override { return ::GetSystemMetrics(i); }
    BOOL GetClientRect(HWND w, LPRECT r) override { return ::GetClientRect(w, r); }
    BOOL DrawIcon(HDC dc, int x, int y, HICON icon) override { return ::DrawIcon(dc, x, y, icon); }
    LONG_PTR SetWindowLongPtrA(HWND w, int i, LONG_PTR v) override {
        return ::SetWindowLongPtrA(w, i, v);
    }
    LONG_PTR GetWindowLongPtrA(HWND w, int i) override { return ::GetWindowLongPtrA(w, i); }
    BOOL GetWindowRect(HWND w, LPRECT r) override { return ::GetWindowRect(w, r); }
    HMONITOR MonitorFromWindow(HWND w, DWORD flags) override {
        return ::MonitorFromWindow(w, flags);
    }
    BOOL GetMonitorInfoA(HMONITOR m, LPMONITORINFO info) override {
        return ::GetMonitorInfoA(m, info);
    }
};

} // namespace

CSystemApi& DefaultSystemApi() {
    // Never destroyed: the application object's destructor, run among the static destructors
    // at exit, still releases the mutex through here.
    static CWin32SystemApi* api = new CWin32SystemApi;
    return *api;
}
