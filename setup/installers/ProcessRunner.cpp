#include "installers/ProcessRunner.h"

#include "platform/SystemApi.h"

#include <cstring>
#include <vector>

namespace {

void CloseIfOpen(HANDLE handle) {
    if (handle)
        SystemApi().CloseHandle(handle);
}

} // namespace

BOOL RunAndWait(const std::string& commandLine, DWORD& exitCode) {
    CSystemApi& api = SystemApi();
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof(process));

    // CreateProcessA may write into the command line, so it gets a copy of its own.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');

    BOOL started = api.CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
    if (!started || !process.hProcess) {
        CloseIfOpen(process.hProcess);
        CloseIfOpen(process.hThread);
        return FALSE;
    }

    api.WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    BOOL haveCode = api.GetExitCodeProcess(process.hProcess, &code);
    CloseIfOpen(process.hProcess);
    CloseIfOpen(process.hThread);
    if (!haveCode)
        return FALSE;
    exitCode = code;
    return TRUE;
}
