#include "Harness.h"

#include "MenuProbeShared.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace wt {

namespace {

int g_passed = 0, g_failed = 0;

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct EnumContext {
    DWORD pid;
    bool visibleOnly;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<EnumContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == context->pid && (!context->visibleOnly || IsWindowVisible(window)))
        context->windows.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

struct Bitmap {
    int width = 0, height = 0;
    std::vector<BYTE> pixels; // BGR, 3 bytes a pixel, rows top-down, no padding
};

// Copies a screen rectangle into memory; works for any window the screen shows.
bool CaptureScreen(const RECT& rect, Bitmap* out) {
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<BYTE> bgra(static_cast<size_t>(width) * height * 4);
    int lines =
        copied ? GetDIBits(memory, bitmap, 0, height, bgra.data(), &info, DIB_RGB_COLORS) : 0;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (lines != height)
        return false;
    out->width = width;
    out->height = height;
    out->pixels.resize(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
        out->pixels[i * 3] = bgra[i * 4];
        out->pixels[i * 3 + 1] = bgra[i * 4 + 1];
        out->pixels[i * 3 + 2] = bgra[i * 4 + 2];
    }
    return true;
}

// Draws a system icon over a plain background, as a message box shows it.
Bitmap RenderIcon(LPCWSTR iconName, int size, COLORREF background) {
    Bitmap out;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all{0, 0, size, size};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconW(nullptr, iconName), size, size, 0, nullptr, DI_NORMAL);
    GdiFlush();
    out.width = out.height = size;
    out.pixels.resize(static_cast<size_t>(size) * size * 3);
    const BYTE* bgra = static_cast<const BYTE*>(bits);
    for (size_t i = 0, n = static_cast<size_t>(size) * size; i < n; ++i) {
        out.pixels[i * 3] = bgra[i * 4];
        out.pixels[i * 3 + 1] = bgra[i * 4 + 1];
        out.pixels[i * 3 + 2] = bgra[i * 4 + 2];
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return out;
}

// Mean absolute difference per channel of two equal-sized pictures.
double Difference(const Bitmap& a, const Bitmap& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.empty())
        return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        sum += std::abs(static_cast<int>(a.pixels[i]) - static_cast<int>(b.pixels[i]));
    return sum / static_cast<double>(a.pixels.size());
}

// Which system icon a message box shows, told from what the screen shows of it: the icon's
// handle belongs to the box's process and cannot be drawn from here under Wine.
std::wstring IdentifyIcon(HWND iconControl) {
    RECT rect;
    if (!GetWindowRect(iconControl, &rect))
        return L"unknown";
    int size = GetSystemMetrics(SM_CXICON);
    rect.right = rect.left + size;
    rect.bottom = rect.top + size;
    Bitmap shown;
    if (!CaptureScreen(rect, &shown))
        return L"unknown";
    // The icon's corners are transparent: they show the background.
    COLORREF background = RGB(shown.pixels[2], shown.pixels[1], shown.pixels[0]);
    struct {
        LPCWSTR id;
        const wchar_t* name;
    } candidates[] = {{IDI_HAND, L"error"},
                      {IDI_ASTERISK, L"information"},
                      {IDI_EXCLAMATION, L"warning"},
                      {IDI_QUESTION, L"question"}};
    std::wstring best = L"unknown";
    double bestDifference = 12.0; // above this, no candidate counts as a match
    for (const auto& c : candidates) {
        double d = Difference(shown, RenderIcon(c.id, size, background));
        if (d < bestDifference) {
            bestDifference = d;
            best = c.name;
        }
    }
    return best;
}

} // namespace

// ---- Checks and report ----------------------------------------------------------------------

bool Check(bool ok, const std::string& what, const std::string& detail) {
    ++(ok ? g_passed : g_failed);
    PrintLine((ok ? "ok   " : "FAIL ") + what + (ok || detail.empty() ? "" : ": " + detail));
    return ok;
}

bool CheckText(const std::wstring& actual, const std::wstring& expected, const std::string& what) {
    return Check(actual == expected, what,
                 "got \"" + Utf8(actual) + "\", expected \"" + Utf8(expected) + "\"");
}

void Note(const std::string& text) {
    PrintLine("#    " + text);
}

int Finish() {
    PrintLine(std::to_string(g_passed) + " passed, " + std::to_string(g_failed) + " failed");
    return g_failed == 0 ? 0 : 1;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

// ---- Files ----------------------------------------------------------------------------------

std::wstring HostPath(const std::string& path) {
    std::wstring wide = Wide(path);
    if (wide.empty() || wide[0] != L'/')
        return wide;
    for (auto& c : wide)
        if (c == L'/')
            c = L'\\';
    return L"Z:" + wide;
}

std::wstring HarnessDir() {
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

namespace {
void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = dir + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full + L"\\");
                RemoveDirectoryW(full.c_str());
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
}
} // namespace

std::wstring ScratchDir(const std::wstring& name) {
    return FreshDir(L"C:\\wt\\" + name);
}

std::wstring FreshDir(const std::wstring& path) {
    std::wstring dir = path;
    if (dir.empty() || dir.back() != L'\\')
        dir += L'\\';
    // Each parent in turn, past the drive's root.
    for (size_t at = dir.find(L'\\', 3); at != std::wstring::npos; at = dir.find(L'\\', at + 1))
        CreateDirectoryW(dir.substr(0, at).c_str(), nullptr);
    RemoveTree(dir);
    return dir;
}

void RemoveAll(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path.back() == L'\\' ? path : path + L'\\');
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

bool CopyTo(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// ---- Processes ------------------------------------------------------------------------------

Process::Process(Process&& other) noexcept : handle(other.handle), pid(other.pid) {
    other.handle = nullptr;
    other.pid = 0;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (handle)
            CloseHandle(handle);
        handle = other.handle;
        pid = other.pid;
        other.handle = nullptr;
        other.pid = 0;
    }
    return *this;
}

Process::~Process() {
    if (handle)
        CloseHandle(handle);
}

namespace {
// The program quoted, then its arguments, as a writable buffer for CreateProcessW.
std::vector<wchar_t> CommandLine(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring line = L"\"" + exe + L"\"";
    if (!arguments.empty())
        line += L" " + arguments;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    return buffer;
}
} // namespace

Process Start(const std::wstring& exe, const std::wstring& arguments,
              const std::wstring& directory) {
    std::vector<wchar_t> buffer = CommandLine(exe, arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    Process process;
    if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        Note("CreateProcessW failed for " + Utf8(exe) + ": error " +
             std::to_string(GetLastError()));
        return process;
    }
    CloseHandle(info.hThread);
    process.handle = info.hProcess;
    process.pid = info.dwProcessId;
    return process;
}

bool RunForOutput(const std::wstring& exe, const std::wstring& arguments,
                  const std::wstring& directory, DWORD timeoutMs, std::string* output,
                  DWORD* exitCode) {
    output->clear();
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::vector<wchar_t> buffer = CommandLine(exe, arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    BOOL started = CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  directory.empty() ? nullptr : directory.c_str(), &startup, &info);
    CloseHandle(writeEnd);
    if (!started) {
        Note("CreateProcessW failed for " + Utf8(exe) + ": error " +
             std::to_string(GetLastError()));
        CloseHandle(readEnd);
        return false;
    }
    CloseHandle(info.hThread);
    // Read while it runs, so that a full pipe never stalls it. Its children may hold the write
    // end after it has ended: its end, not the pipe's, ends the reading.
    auto drain = [&] {
        DWORD available = 0, read = 0;
        char chunk[4096];
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd, chunk, sizeof(chunk), &read, nullptr) && read > 0)
            output->append(chunk, read);
    };
    DWORD start = GetTickCount();
    bool ended = false;
    for (;;) {
        drain();
        if (WaitForSingleObject(info.hProcess, 5) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        if (GetTickCount() - start > timeoutMs)
            break;
    }
    drain();
    if (ended && exitCode)
        GetExitCodeProcess(info.hProcess, exitCode);
    if (!ended) {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, 5000);
    }
    CloseHandle(info.hProcess);
    CloseHandle(readEnd);
    return ended;
}

bool IsRunning(const Process& process) {
    return process.handle && WaitForSingleObject(process.handle, 0) == WAIT_TIMEOUT;
}

bool WaitForExit(const Process& process, DWORD timeoutMs, DWORD* exitCode) {
    if (!process.handle || WaitForSingleObject(process.handle, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process.handle, exitCode);
    return true;
}

void Kill(const Process& process) {
    if (IsRunning(process)) {
        TerminateProcess(process.handle, 1);
        WaitForSingleObject(process.handle, 5000);
    }
}

// ---- Polling --------------------------------------------------------------------------------

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(intervalMs);
    }
}

// ---- Windows --------------------------------------------------------------------------------

std::vector<HWND> TopLevelWindows(DWORD pid, bool visibleOnly) {
    EnumContext context{pid, visibleOnly, {}};
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&context));
    return context.windows;
}

HWND FindWindowOf(DWORD pid, const std::wstring& caption) {
    for (HWND w : TopLevelWindows(pid))
        if (Text(w) == caption)
            return w;
    return nullptr;
}

HWND WaitForWindow(DWORD pid, const std::wstring& caption, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindWindowOf(pid, caption)) != nullptr; }, timeoutMs);
    return found;
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs) {
    return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, timeoutMs);
}

std::wstring Text(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int n = GetWindowTextW(window, &text[0], length + 1);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

HWND Control(HWND dialog, int id) {
    return GetDlgItem(dialog, id);
}

std::wstring ControlText(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    return control ? Text(control) : std::wstring();
}

bool IsEnabled(HWND window) {
    return IsWindowEnabled(window) != FALSE;
}
bool IsVisible(HWND window) {
    return IsWindowVisible(window) != FALSE;
}
bool IsTopmost(HWND window) {
    return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

void Click(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void PostSysCommand(HWND window, UINT command) {
    PostMessageW(window, WM_SYSCOMMAND, command, 0);
}

// ---- System menu ----------------------------------------------------------------------------

namespace {

bool ReadMenu(HMENU menu, std::vector<MenuItem>* items) {
    int count = GetMenuItemCount(menu);
    if (count < 0)
        return false;
    items->clear();
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE;
        GetMenuItemInfoW(menu, i, TRUE, &info);
        wchar_t text[WtMenuProbeRequest::kTextMax] = {};
        GetMenuStringW(menu, i, text, WtMenuProbeRequest::kTextMax, MF_BYPOSITION);
        items->push_back({info.wID, (info.fType & MFT_SEPARATOR) != 0, info.fState, text});
    }
    return true;
}

// Runs `function(parameter)` on a new thread of the process and returns its exit code.
bool RunRemote(HANDLE process, LPTHREAD_START_ROUTINE function, void* parameter, DWORD* exitCode) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, function, parameter, 0, nullptr);
    if (!thread)
        return false;
    bool done =
        WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, exitCode);
    CloseHandle(thread);
    return done;
}

struct RemoteMemory {
    HANDLE process;
    void* address;
    RemoteMemory(HANDLE p, size_t size)
        : process(p),
          address(VirtualAllocEx(p, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteMemory() {
        if (address)
            VirtualFreeEx(process, address, 0, MEM_RELEASE);
    }
};

bool ReadMenuInOwner(HWND window, std::vector<MenuItem>* items) {
    std::wstring dll = HarnessDir() + L"wt_menuprobe.dll";
    HMODULE local = LoadLibraryW(dll.c_str());
    if (!local)
        return false;
    auto probe = reinterpret_cast<BYTE*>(GetProcAddress(local, "WtReadSystemMenu"));
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION |
                                     PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                                 FALSE, pid);
    bool ok = false;
    if (probe && process) {
        // kernel32 lies at the same address in every process, so LoadLibraryW does too.
        auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        auto freeLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "FreeLibrary")));
        size_t pathBytes = (dll.size() + 1) * sizeof(wchar_t);
        RemoteMemory path(process, pathBytes);
        RemoteMemory request(process, sizeof(WtMenuProbeRequest));
        auto local_request = std::make_unique<WtMenuProbeRequest>();
        *local_request = WtMenuProbeRequest{};
        local_request->window = window;
        DWORD remoteBase = 0;
        if (path.address && request.address &&
            WriteProcessMemory(process, path.address, dll.c_str(), pathBytes, nullptr) &&
            RunRemote(process, loadLibrary, path.address, &remoteBase) && remoteBase) {
            // The probe sits at the same offset from the DLL's base there as here.
            auto remoteProbe = reinterpret_cast<LPTHREAD_START_ROUTINE>(
                reinterpret_cast<BYTE*>(static_cast<UINT_PTR>(remoteBase)) +
                (probe - reinterpret_cast<BYTE*>(local)));
            DWORD result = 0;
            if (WriteProcessMemory(process, request.address, local_request.get(),
                                   sizeof(WtMenuProbeRequest), nullptr) &&
                RunRemote(process, remoteProbe, request.address, &result) &&
                ReadProcessMemory(process, request.address, local_request.get(),
                                  sizeof(WtMenuProbeRequest), nullptr)) {
                ok = result == 1 && local_request->count >= 0;
                items->clear();
                for (LONG i = 0; ok && i < local_request->count; ++i) {
                    const auto& item = local_request->items[i];
                    items->push_back(
                        {item.id, (item.type & MFT_SEPARATOR) != 0, item.state, item.text});
                }
            }
            DWORD ignored;
            RunRemote(process, freeLibrary,
                      reinterpret_cast<void*>(static_cast<UINT_PTR>(remoteBase)), &ignored);
        }
    }
    if (process)
        CloseHandle(process);
    FreeLibrary(local);
    return ok;
}

} // namespace

bool ReadSystemMenu(HWND window, std::vector<MenuItem>* items) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (menu && ReadMenu(menu, items))
        return true;
    return ReadMenuInOwner(window, items);
}

// ---- Message boxes --------------------------------------------------------------------------

std::vector<HWND> DialogWindows(DWORD pid) {
    std::vector<HWND> dialogs;
    for (HWND w : TopLevelWindows(pid))
        if (ClassOf(w) == L"#32770")
            dialogs.push_back(w);
    return dialogs;
}

HWND WaitForMessageBox(DWORD pid, const std::wstring& caption, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : DialogWindows(pid))
                if (Text(w) == caption)
                    found = w;
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

MessageBoxInfo ReadMessageBox(HWND box) {
    MessageBoxInfo info;
    info.window = box;
    info.caption = Text(box);
    info.icon = L"none";
    std::vector<HWND> children;
    EnumChildWindows(box, &CollectChild, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        std::wstring cls = ClassOf(child);
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_wcsicmp(cls.c_str(), L"Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                // The handle is only a number here, but tells whether there is an icon at all.
                DWORD_PTR icon = 0;
                SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
                // A box that has just appeared may not have painted its icon yet.
                if (icon && IsWindowVisible(child))
                    WaitUntil([&] { return (info.icon = IdentifyIcon(child)) != L"unknown"; },
                              3000);
                else
                    info.icon = L"none";
            } else {
                std::wstring text = Text(child);
                if (text.size() > info.text.size())
                    info.text = text;
            }
        } else if (_wcsicmp(cls.c_str(), L"Button") == 0 && IsWindowVisible(child)) {
            info.buttons.push_back(Text(child));
        }
    }
    return info;
}

// ---- Screenshots ----------------------------------------------------------------------------

bool SaveScreenshot(HWND window, const std::wstring& bmpPath) {
    RECT rect;
    Bitmap shot, previous;
    if (!GetWindowRect(window, &rect))
        return false;
    // A window is on screen before it has painted everything: take the picture once two
    // captures in a row agree.
    bool settled = WaitUntil(
        [&] {
            previous = std::move(shot);
            return CaptureScreen(rect, &shot) && shot.pixels == previous.pixels;
        },
        5000, 150);
    if (!settled && shot.pixels.empty())
        return false;
    int rowBytes = (shot.width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = shot.width;
    header.biHeight = shot.height; // bottom-up rows
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(rowBytes * shot.height);
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + header.biSizeImage;
    HANDLE out = CreateFileW(bmpPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(out, &file, sizeof(file), &written, nullptr) &&
              WriteFile(out, &header, sizeof(header), &written, nullptr);
    std::vector<BYTE> row(static_cast<size_t>(rowBytes), 0);
    for (int y = shot.height - 1; ok && y >= 0; --y) {
        std::copy_n(&shot.pixels[static_cast<size_t>(y) * shot.width * 3], shot.width * 3,
                    row.begin());
        ok = WriteFile(out, row.data(), static_cast<DWORD>(rowBytes), &written, nullptr) != FALSE;
    }
    CloseHandle(out);
    return ok;
}

} // namespace wt
