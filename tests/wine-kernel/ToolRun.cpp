#include "ToolRun.h"

#include <utility>
#include <vector>

namespace wk {

ToolResult RunTool(const std::wstring& commandLine, DWORD timeoutMs) {
    ToolResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    result.started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process) != FALSE;
    CloseHandle(writeEnd);
    if (result.started) {
        // Read to the end first: a full pipe would block the tool.
        char chunk[4096];
        DWORD read = 0;
        while (ReadFile(readEnd, chunk, sizeof(chunk), &read, nullptr) && read)
            result.output.append(chunk, read);
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            result.started = false;
        }
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return result;
}

std::string ToolTranscript(const std::wstring& commandLine, DWORD timeoutMs) {
    ToolResult run = RunTool(commandLine, timeoutMs);
    return run.started ? "exit " + std::to_string(run.exitCode) + ": " + run.output : "not run";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

BackgroundTool::BackgroundTool(std::wstring commandLine, DWORD timeoutMs)
    : commandLine_(std::move(commandLine)), timeoutMs_(timeoutMs) {
    thread_ = CreateThread(nullptr, 0, &BackgroundTool::Run, this, 0, nullptr);
}

BackgroundTool::~BackgroundTool() {
    Finish();
}

std::string BackgroundTool::Finish() {
    if (thread_) {
        WaitForSingleObject(thread_, INFINITE); // RunTool's own timeout bounds it
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return transcript_;
}

DWORD WINAPI BackgroundTool::Run(void* self) {
    auto* tool = static_cast<BackgroundTool*>(self);
    tool->transcript_ = ToolTranscript(tool->commandLine_, tool->timeoutMs_);
    return 0;
}

} // namespace wk
