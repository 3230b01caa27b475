// Runs a console tool to its end and keeps what it wrote (stdout and stderr together).
#pragma once

#include <windows.h>

#include <string>

namespace wk {

struct ToolResult {
    bool started = false;
    DWORD exitCode = 0;
    std::string output; // as written, UTF-8
};

// `commandLine` is passed verbatim, program name included. The output is read until the tool
// closes it; then its end is awaited for up to `timeoutMs`.
ToolResult RunTool(const std::wstring& commandLine, DWORD timeoutMs);

// The run as the scenarios check it: "exit N: <output>", or "not run".
std::string ToolTranscript(const std::wstring& commandLine, DWORD timeoutMs);
bool Contains(const std::string& text, const std::string& part);

// A tool run on a thread of its own while the scenario goes on (e.g. unplugs the device the tool
// is using); Finish waits for it and gives its transcript.
class BackgroundTool {
public:
    BackgroundTool(std::wstring commandLine, DWORD timeoutMs);
    ~BackgroundTool();
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;
    std::string Finish();

private:
    static DWORD WINAPI Run(void* self);
    std::wstring commandLine_;
    DWORD timeoutMs_;
    std::string transcript_ = "not run";
    HANDLE thread_ = nullptr;
};

} // namespace wk
