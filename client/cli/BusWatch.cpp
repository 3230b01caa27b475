#include "BusWatch.h"

#include "BusPrint.h"

#include <usbbus/BusControl.h>

#include <winioctl.h>

#include <TalvikPublic.h>

#include <vector>

namespace talvik::cli {

namespace {

const GUID kBusControl = USBBUS_CONTROL_INTERFACE_GUID_INIT;

// The bus log from sequence `first` on, as many calls as it takes.
std::vector<USBBUS_LOG_ENTRY> ReadLog(HANDLE bus, ULONG first) {
    std::vector<USBBUS_LOG_ENTRY> log;
    std::vector<USBBUS_LOG_ENTRY> chunk(USBBUS_LOG_ENTRIES);
    for (;;) {
        DWORD returned = 0;
        if (!DeviceIoControl(bus, IOCTL_USBBUS_READ_LOG, &first, sizeof first, chunk.data(),
                             DWORD(chunk.size() * sizeof(USBBUS_LOG_ENTRY)), &returned, nullptr))
            return log;
        const size_t n = returned / sizeof(USBBUS_LOG_ENTRY);
        log.insert(log.end(), chunk.begin(), chunk.begin() + n);
        if (n < chunk.size())
            return log;
        first = chunk[n - 1].Sequence + 1;
    }
}

class WatchedIo : public PendingIo {
public:
    WatchedIo(std::unique_ptr<PendingIo> inner, BusWatch& watch, uint32_t requested)
        : m_inner(std::move(inner)), m_watch(watch), m_requested(requested) {}
    IoOutcome Wait() override {
        IoOutcome outcome = m_inner->Wait();
        m_watch.PrintNew(m_requested);
        return outcome;
    }
    bool WaitFor(uint32_t milliseconds) override { return m_inner->WaitFor(milliseconds); }
    void Cancel() override { m_inner->Cancel(); }

private:
    std::unique_ptr<PendingIo> m_inner;
    BusWatch& m_watch;
    uint32_t m_requested;
};

class WatchedChannel : public Channel {
public:
    WatchedChannel(std::unique_ptr<Channel> inner, BusWatch& watch)
        : m_inner(std::move(inner)), m_watch(watch) {}
    std::unique_ptr<PendingIo> Submit(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength) override {
        return std::make_unique<WatchedIo>(m_inner->Submit(code, in, inLength, out, outLength),
                                           m_watch,
                                           code == IOCTL_READ_INTERRUPT_PIPE ? outLength : 0);
    }

private:
    std::unique_ptr<Channel> m_inner;
    BusWatch& m_watch;
};

} // namespace

BusWatch::~BusWatch() {
    if (m_bus != INVALID_HANDLE_VALUE)
        CloseHandle(m_bus);
}

bool BusWatch::Attach(std::string& why) {
    InterfaceClass cls = {kBusControl.Data1, kBusControl.Data2, kBusControl.Data3, {}};
    for (int i = 0; i < 8; ++i)
        cls.data4[i] = kBusControl.Data4[i];
    std::vector<std::string> paths;
    const uint32_t error = m_inner.ListInterfaces(cls, paths);
    if (error != 0 || paths.empty()) {
        why = "no virtual USB bus is present (its control interface is not)";
        return false;
    }
    m_bus = CreateFileA(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        0, nullptr);
    if (m_bus == INVALID_HANDLE_VALUE) {
        why = "the bus's control interface does not open (error " + std::to_string(GetLastError()) +
              ")";
        return false;
    }
    const std::vector<USBBUS_LOG_ENTRY> log = ReadLog(m_bus, 0);
    m_next = log.empty() ? 0 : log.back().Sequence + 1;
    return true;
}

uint32_t BusWatch::Open(const std::string& path, std::unique_ptr<Channel>& channel) {
    std::unique_ptr<Channel> inner;
    const uint32_t error = m_inner.Open(path, inner);
    if (error == 0)
        channel = std::make_unique<WatchedChannel>(std::move(inner), *this);
    return error;
}

void BusWatch::PrintNew(uint32_t requested) {
    if (m_bus == INVALID_HANDLE_VALUE)
        return;
    const std::vector<USBBUS_LOG_ENTRY> log = ReadLog(m_bus, m_next);
    if (log.empty())
        return;
    m_next = log.back().Sequence + 1;
    std::vector<ULONG> ports;
    for (const USBBUS_LOG_ENTRY& e : log) {
        bool known = false;
        for (ULONG p : ports)
            known = known || p == e.Port;
        if (!known)
            ports.push_back(e.Port);
    }
    for (ULONG port : ports) {
        for (const ::sim::TransferRecord& t : ::sim::TransfersOf(log, port, [](uint8_t endpoint) {
                 return (endpoint & 0x80) ? ::sim::TransferRecord::Kind::InterruptIn
                                          : ::sim::TransferRecord::Kind::Other;
             })) {
            if (!m_haveBase) {
                m_haveBase = true;
                m_baseMs = t.submittedMs;
            }
            PrintTransfer(m_out, t, t.kind == ::sim::TransferRecord::Kind::Control ? 0 : requested,
                          m_baseMs);
        }
    }
}

} // namespace talvik::cli
