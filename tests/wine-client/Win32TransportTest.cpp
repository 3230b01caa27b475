// The Windows transport against the real system calls (run under Wine): enumeration by interface
// class, open failures, and the overlapped request paths - pending, cancelled, completed at once,
// completed with a count - on a named pipe, which answers file-system control codes through the
// same DeviceIoControl path a device does.
#include "Cli.h"
#include "talvik/Client.h"
#include "talvik/SystemErrors.h"
#include "transport/win32/Win32Transport.h"

#include <winioctl.h>

#include <cstdio>
#include <string>

namespace {

// From the public driver-kit headers, which user-mode MinGW does not include.
constexpr DWORD kFsctlPipeListen =
    CTL_CODE(FILE_DEVICE_NAMED_PIPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kFsctlPipePeek =
    CTL_CODE(FILE_DEVICE_NAMED_PIPE, 3, METHOD_BUFFERED, FILE_READ_DATA);
struct PipePeekBuffer {
    ULONG namedPipeState;
    ULONG readDataAvailable;
    ULONG numberOfMessages;
    ULONG messageLength;
    char data[16];
};

int g_failures = 0;

void Check(bool ok, const char* what, unsigned long detail = 0) {
    std::printf("%s %s (%lu)\n", ok ? "ok  " : "FAIL", what, detail);
    if (!ok)
        ++g_failures;
}

std::string PipeName() {
    return "\\\\.\\pipe\\talvik-transport-test-" + std::to_string(GetCurrentProcessId());
}

HANDLE MakePipe(const std::string& name) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
}

void Enumeration() {
    talvik::Win32Transport transport;
    talvik::Client client(transport);
    std::vector<std::string> paths{"stale"};
    const talvik::Result r = client.ListDevices(paths);
    Check(r.Ok(), "listing by the colorimeter's interface class succeeds", r.error);
    Check(paths.empty(), "no colorimeter is present", static_cast<unsigned long>(paths.size()));

    std::unique_ptr<talvik::Device> device;
    const talvik::Result o = client.Open("\\\\.\\TalvikNoSuchDevice", device);
    Check(o.status == talvik::Status::DeviceGone && !device, "opening a missing path fails",
          o.error);
}

void Overlapped() {
    const std::string name = PipeName();
    HANDLE pipe = MakePipe(name);
    Check(pipe != INVALID_HANDLE_VALUE, "pipe created", GetLastError());
    if (pipe == INVALID_HANDLE_VALUE)
        return;
    talvik::Win32Channel channel(pipe);

    // Waiting for a client pends until cancelled (a finished listen would report 0 or 535).
    auto listen = channel.Submit(kFsctlPipeListen, nullptr, 0, nullptr, 0);
    Check(!listen->WaitFor(100), "a bounded wait on a pending request comes back unfinished");
    listen->Cancel();
    Check(listen->WaitFor(5000), "the cancelled request ends within a bounded wait");
    const talvik::IoOutcome cancelled = listen->Wait();
    Check(cancelled.error == talvik::syserr::kOperationAborted, "cancelled request reports 995",
          cancelled.error);

    // An unknown code is refused without pending.
    auto refused = channel.Submit(talvik::VendorRequestCode(), "0123456789", 10, nullptr, 0);
    Check(refused->WaitFor(0), "a refused request has ended");
    const talvik::IoOutcome r = refused->Wait();
    Check(r.error != 0 && r.bytes == 0, "unknown code refused at once", r.error);

    // Listening again completes when a client connects; then a peek reports its count.
    listen = channel.Submit(kFsctlPipeListen, nullptr, 0, nullptr, 0);
    HANDLE peer = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    Check(peer != INVALID_HANDLE_VALUE, "client connected", GetLastError());
    const talvik::IoOutcome connected = listen->Wait();
    Check(connected.error == 0, "listen completes when the client connects", connected.error);
    DWORD written = 0;
    WriteFile(peer, "hello", 5, &written, nullptr);
    PipePeekBuffer peek;
    auto peeked = channel.Submit(kFsctlPipePeek, nullptr, 0, &peek, sizeof peek);
    const talvik::IoOutcome p = peeked->Wait();
    Check(p.error == 0 && p.bytes == offsetof(PipePeekBuffer, data) + 5,
          "completed request reports its count", p.bytes);

    // Dropped while pending: cancelled and waited for, not left writing into freed memory.
    HANDLE second = MakePipe(name + "-2");
    {
        talvik::Win32Channel other(second);
        auto abandoned = other.Submit(kFsctlPipeListen, nullptr, 0, nullptr, 0);
    }
    Check(true, "an abandoned pending request is cancelled on release");
    CloseHandle(peer);
}

// talvikctl's commands over this transport, with no colorimeter attached.
void Commands() {
    talvik::Win32Transport transport;
    talvik::Client client(transport);
    talvik::cli::StringOutput out, err;
    int rc = talvik::cli::Run({"list"}, client, out, err);
    Check(rc == 0 && out.str() == "0 colorimeters\n", "talvikctl list",
          static_cast<unsigned long>(rc));
    out.str("");
    rc = talvik::cli::Run({"read", "--count", "2"}, client, out, err);
    Check(rc == talvik::cli::kExitRequestFailed && out.str() == "no colorimeter 0 (0 present)\n",
          "talvikctl read without a colorimeter", static_cast<unsigned long>(rc));
}

} // namespace

int main() {
    Enumeration();
    Overlapped();
    Commands();
    std::printf("%d failure(s)\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
