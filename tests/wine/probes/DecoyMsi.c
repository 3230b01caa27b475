/* A planted msi.dll: exports ordinal 112 like the real one, and leaves a marker file beside
   itself when it is loaded and when that export is called. */
#include <windows.h>

#include <string.h>

static HMODULE g_self;

static void Mark(const char* name) {
    char path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(g_self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char* slash = strrchr(path, '\\');
    if (!slash)
        return;
    strcpy(slash + 1, name);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

int WINAPI DecoyQueryProductState(const char* product) {
    (void)product;
    Mark("decoy-called.txt");
    return 5; /* "installed": what an attacker would answer to skip the real installer */
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        Mark("decoy-loaded.txt");
    }
    return TRUE;
}
