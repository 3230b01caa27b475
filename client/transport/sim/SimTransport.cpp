#include "SimTransport.h"

#include "Win32Errors.h"

#include <cstring>

namespace talvik {

namespace {

static_assert(sizeof(InterfaceClass) == sizeof(GUID), "the standard GUID layout");

using Handle = ntsim::UserIo::Handle;

class SimPendingIo : public PendingIo {
public:
    SimPendingIo(::sim::Machine& machine, Handle handle, const std::function<void()>& after)
        : m_machine(machine), m_handle(handle), m_after(after) {}
    ~SimPendingIo() override {
        if (m_pending && !m_operation.Done()) {
            Cancel();
            RunUntilDone();
        }
    }

    void Start(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
        const NTSTATUS returned = m_machine.Kernel().User().DeviceIoControl(
            m_handle, code, in, inLength, out, outLength, &m_operation);
        // Refused before an IRP was sent: the overlapped result was never set.
        m_pending = returned == STATUS_PENDING || m_operation.Done();
        if (!m_pending)
            m_refused = returned;
    }

    IoOutcome Wait() override {
        IoOutcome outcome;
        if (m_pending) {
            RunUntilDone();
            outcome = {Win32ErrorOf(m_operation.Status()),
                       static_cast<uint32_t>(m_operation.Information())};
        } else {
            outcome = {Win32ErrorOf(m_refused), 0};
        }
        if (m_after)
            m_after();
        return outcome;
    }

    // Virtual time moves as in Wait, but only as far as the caller is prepared to wait.
    bool WaitFor(uint32_t milliseconds) override {
        if (!m_pending)
            return true;
        m_machine.WaitIdle();
        for (uint32_t passed = 0; !m_operation.Done() && passed < milliseconds; ++passed) {
            m_machine.AdvanceMs(1);
            m_machine.WaitIdle();
        }
        return m_operation.Done();
    }

    void Cancel() override {
        if (m_pending && !m_operation.Done())
            m_machine.CancelIoEx(m_handle, &m_operation);
    }

private:
    // The client is the only one to move time: it passes in steps of 1 ms, each one's timers and
    // the work they queue run before the next, so a request ends at its own virtual time. One
    // that nothing ends (the driver's own timeouts are seconds) is a finding and is cancelled,
    // rather than a process spinning for ever.
    void RunUntilDone() {
        constexpr std::int64_t kLongestWaitMs = 10 * 60 * 1000;
        const std::int64_t start = m_machine.NowMs();
        bool cancelled = false;
        m_machine.WaitIdle();
        while (!m_operation.Done()) {
            if (!cancelled && m_machine.NowMs() - start >= kLongestWaitMs) {
                m_machine.ReportFinding(::sim::Finding::Source::Kernel,
                                        "a request still pending after 10 minutes of virtual time");
                m_machine.CancelIoEx(m_handle, &m_operation);
                cancelled = true;
            }
            m_machine.AdvanceMs(1);
            m_machine.WaitIdle();
        }
    }

    ::sim::Machine& m_machine;
    Handle m_handle;
    const std::function<void()>& m_after;
    ntsim::Overlapped m_operation;
    bool m_pending = false;
    NTSTATUS m_refused = STATUS_SUCCESS;
};

class SimChannel : public Channel {
public:
    SimChannel(::sim::Machine& machine, Handle handle, const std::function<void()>& after)
        : m_machine(machine), m_handle(handle), m_after(after) {}
    ~SimChannel() override {
        m_machine.Kernel().User().CloseHandle(m_handle);
        m_machine.WaitIdle(); // a removal waiting for the last handle finishes
    }

    std::unique_ptr<PendingIo> Submit(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength) override {
        auto io = std::make_unique<SimPendingIo>(m_machine, m_handle, m_after);
        io->Start(code, in, inLength, out, outLength);
        return io;
    }

private:
    ::sim::Machine& m_machine;
    Handle m_handle;
    const std::function<void()>& m_after;
};

} // namespace

uint32_t SimTransport::ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) {
    GUID guid;
    std::memcpy(&guid, &cls, sizeof guid);
    paths = m_machine.Kernel().User().FindInterfaces(guid);
    return 0;
}

uint32_t SimTransport::Open(const std::string& path, std::unique_ptr<Channel>& channel) {
    Handle handle = 0;
    const NTSTATUS status = m_machine.Kernel().User().CreateFile(
        path, ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite, &handle);
    if (!NT_SUCCESS(status))
        return Win32ErrorOf(status);
    channel = std::make_unique<SimChannel>(m_machine, handle, m_afterRequest);
    return 0;
}

} // namespace talvik
