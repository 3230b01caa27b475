#include "installers/ProcessRunner.h"

#include "platform/ScopedHandle.h"
#include "platform/SystemApi.h"

#include <cstring>
#include <vector>

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
    // Whatever the start gave is closed on every way out, the process handle before the thread
    // handle (destroyed in the reverse order of declaration).
    CScopedKernelHandle thread(process.hThread);
    CScopedKernelHandle child(process.hProcess);
    if (!started || !child.IsValid())
        return FALSE;

    api.WaitForSingleObject(child.Get(), INFINITE);
    DWORD code = 0;
    if (!api.GetExitCodeProcess(child.Get(), &code))
        return FALSE;
    exitCode = code;
    return TRUE;
}
