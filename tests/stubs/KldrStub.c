/* A stand-in for the outside tools of the installation medium (DPInst.exe, Program\Setup.exe,
 * SensorInst.exe). Whatever name it is copied to, it appends one line to a log and exits with the
 * code the test chose, so that tests and the demo medium can see which file the setup started,
 * how, and what the setup dialog looked like at that moment.
 *
 * Log line (UTF-8, fields separated by tabs, the command line last since it is free text):
 *   tool=<own path>  arch=x86|x64  cwd=<current directory>  exit=<code>
 *   dialog=found|none  visible=0|1  topmost=0|1  ok=0|1  status=<text of control 1000>
 *   cmd=<GetCommandLineW>
 *
 * Environment:
 *   KLDR_STUB_LOG             log file (default: kldr-stub.log beside the stub)
 *   KLDR_STUB_EXIT_<NAME>     exit code for the copy named <NAME>.exe (upper case, e.g.
 *                             KLDR_STUB_EXIT_DPINST), decimal or 0x-hexadecimal
 *   KLDR_STUB_EXIT            exit code for every copy
 *   otherwise the number in the file <own path>.exit, otherwise 0
 *   KLDR_STUB_CAPTION         caption of the dialog to observe (default "Kaleidra Setup")
 */
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#if defined(_WIN64)
#define STUB_ARCH L"x64"
#else
#define STUB_ARCH L"x86"
#endif

enum { kTextMax = 32768, kLineMax = 5 * kTextMax };

static wchar_t g_line[kLineMax];
static size_t g_length;

static void Put(const wchar_t* text) {
    while (*text && g_length + 1 < kLineMax)
        g_line[g_length++] = *text++;
    g_line[g_length] = 0;
}

static void PutField(const wchar_t* name, const wchar_t* value) {
    if (g_length)
        Put(L"\t");
    Put(name);
    Put(L"=");
    Put(value);
}

static void PutNumber(const wchar_t* name, unsigned long value) {
    wchar_t text[16];
    _snwprintf(text, 16, L"%lu", value);
    text[15] = 0;
    PutField(name, text);
}

/* Copies the variable into `out` (kTextMax characters); FALSE when it is not set. */
static BOOL GetVariable(const wchar_t* name, wchar_t* out) {
    DWORD n = GetEnvironmentVariableW(name, out, kTextMax);
    return n > 0 && n < kTextMax;
}

static BOOL ParseCode(const wchar_t* text, DWORD* code) {
    wchar_t* end = NULL;
    unsigned long value = wcstoul(text, &end, 0);
    if (end == text)
        return FALSE;
    *code = (DWORD)value;
    return TRUE;
}

static BOOL ReadCodeFile(const wchar_t* path, DWORD* code) {
    char bytes[32] = {0};
    wchar_t text[32];
    DWORD read = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    ReadFile(file, bytes, sizeof(bytes) - 1, &read, NULL);
    CloseHandle(file);
    MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, 32);
    return ParseCode(text, code);
}

static DWORD ChooseExitCode(const wchar_t* modulePath) {
    static wchar_t name[kTextMax], value[kTextMax];
    const wchar_t* base = wcsrchr(modulePath, L'\\');
    wchar_t* dot;
    size_t i;
    DWORD code = 0;

    base = base ? base + 1 : modulePath;
    wcscpy(name, L"KLDR_STUB_EXIT_");
    wcsncat(name, base, kTextMax - 32);
    dot = wcsrchr(name, L'.');
    if (dot)
        *dot = 0;
    for (i = 0; name[i]; ++i)
        name[i] = towupper(name[i]);
    if (GetVariable(name, value) && ParseCode(value, &code))
        return code;
    if (GetVariable(L"KLDR_STUB_EXIT", value) && ParseCode(value, &code))
        return code;
    wcscpy(value, modulePath);
    wcsncat(value, L".exit", kTextMax - wcslen(value) - 1);
    if (ReadCodeFile(value, &code))
        return code;
    return 0;
}

/* The setup dialog seen from outside: its texts are read without a message to its thread, which
 * is blocked waiting for us. */
static void ObserveDialog(void) {
    static wchar_t caption[kTextMax], status[1024];
    HWND dialog, ok, line;

    if (!GetVariable(L"KLDR_STUB_CAPTION", caption))
        wcscpy(caption, L"Kaleidra Setup");
    dialog = FindWindowW(NULL, caption);
    if (!dialog) {
        PutField(L"dialog", L"none");
        return;
    }
    PutField(L"dialog", L"found");
    PutNumber(L"visible", IsWindowVisible(dialog) ? 1 : 0);
    PutNumber(L"topmost", (GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0);
    ok = GetDlgItem(dialog, IDOK);
    PutNumber(L"ok", ok && IsWindowEnabled(ok) ? 1 : 0);
    status[0] = 0;
    line = GetDlgItem(dialog, 1000);
    if (line)
        GetWindowTextW(line, status, 1024);
    PutField(L"status", status);
}

static void AppendToLog(const wchar_t* modulePath) {
    static wchar_t path[kTextMax];
    static char utf8[4 * kLineMax];
    HANDLE file;
    DWORD written = 0;
    int size;

    if (!GetVariable(L"KLDR_STUB_LOG", path)) {
        wchar_t* slash;
        wcscpy(path, modulePath);
        slash = wcsrchr(path, L'\\');
        if (slash)
            slash[1] = 0;
        else
            path[0] = 0;
        wcsncat(path, L"kldr-stub.log", kTextMax - wcslen(path) - 1);
    }
    size = WideCharToMultiByte(CP_UTF8, 0, g_line, (int)g_length, utf8, sizeof(utf8), NULL, NULL);
    file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteFile(file, utf8, (DWORD)size, &written, NULL);
    CloseHandle(file);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    static wchar_t modulePath[kTextMax], directory[kTextMax];
    DWORD exitCode;

    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    GetModuleFileNameW(NULL, modulePath, kTextMax);
    modulePath[kTextMax - 1] = 0;
    directory[0] = 0;
    GetCurrentDirectoryW(kTextMax, directory);
    exitCode = ChooseExitCode(modulePath);

    PutField(L"tool", modulePath);
    PutField(L"arch", STUB_ARCH);
    PutField(L"cwd", directory);
    PutNumber(L"exit", exitCode);
    ObserveDialog();
    PutField(L"cmd", GetCommandLineW());
    Put(L"\n");
    AppendToLog(modulePath);
    return (int)exitCode;
}
