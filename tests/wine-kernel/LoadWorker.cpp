#include "LoadWorker.h"

#include "FloorInterface.h"
#include "LoadFirmware.h"

#include <initguid.h>
#include <winioctl.h>
#include <winternl.h>

#include <TalvikPublic.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace load {

namespace {

// How long a request may stay in flight before the run calls it stuck and cancels it: vendor
// requests wait on the device's one-at-a-time queue behind every other thread's, some of them
// the 5 s timeouts of unanswered ones.
constexpr DWORD kStuckMs = 60000;
// After CancelIoEx: a request still not ended then may never end.
constexpr DWORD kCancelGraceMs = 10000;
// What the I/O status block holds until the request has ended.
constexpr ULONG_PTR kUnwritten = ~ULONG_PTR(0);

// MinGW's win32 thread model has no std::mutex: a slim reader/writer lock, exclusive.
class Lock {
public:
    explicit Lock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Lock() { ReleaseSRWLockExclusive(&lock_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    SRWLOCK& lock_;
};

struct Op {
    Request r;
    std::vector<std::uint8_t> out;
    OVERLAPPED io = {};
    bool cancelled = false;
    bool closedUnder = false;
    bool read = false; // counted in the shared reads in flight
    LONG64 epoch = 0, generation = 0;
    LONG64 openedAt = 0; // the generation its handle was opened in
    ULONGLONG startMs = 0;
    stress::Status status = stress::kPending;
    ULONG_PTR bytes = 0;
};

class Process {
public:
    Process(Shared& shared, const WorkerOptions& options)
        : shared_(shared), options_(options), totals_(shared.process[options.slot]),
          cancelLock_(OpenCancelLock(options.cancelLock)) {}
    ~Process() { CloseHandle(cancelLock_); }
    void Thread(int index);
    void Summary();
    std::uint64_t Violations() const { return totals_.violations; }

private:
    void Violation(const std::string& text);
    void Judge(const Op& op);
    bool Disturbed(const Op& op) const {
        return (op.epoch & 1) != 0 || shared_.epoch != op.epoch ||
               shared_.generation != op.generation || op.openedAt != op.generation;
    }
    // Waits for the op's end; false when it never ended (its buffers must then stay).
    bool Finish(HANDLE handle, Op& op);

    Shared& shared_;
    const WorkerOptions options_;
    ProcessTotals& totals_;
    HANDLE cancelLock_;
    SRWLOCK mu_ = SRWLOCK_INIT;
    std::vector<std::string> violations_;
    std::map<std::uint32_t, std::uint64_t> byStatus_;
};

void Process::Violation(const std::string& text) {
    InterlockedIncrement64(&totals_.violations);
    Lock lk(mu_);
    if (violations_.size() < 20)
        violations_.push_back(text);
}

void Process::Judge(const Op& op) {
    {
        Lock lk(mu_);
        ++byStatus_[static_cast<std::uint32_t>(op.status)];
    }
    const stress::Circumstances c{op.cancelled, op.closedUnder, Disturbed(op),
                                  static_cast<std::int64_t>(GetTickCount64() - op.startMs)};
    const stress::Judgement j = stress::Judge(op.r.expected, op.out.data(), op.status, op.bytes, c);
    std::string why = j.why;
    if (j.verdict == stress::Verdict::AsExpected && op.r.checkIn && op.status == 0)
        for (size_t i = 0; i < op.bytes && why.empty(); ++i)
            if (op.out[i] != InByte(op.r.request, i))
                why = "vendor IN data differs from what the device sent";
    if (!why.empty())
        Violation(std::string(stress::KindName(op.r.expected.kind)) + " code " +
                  stress::Hex(op.r.code) + " in " + std::to_string(op.r.in.size()) + " out " +
                  std::to_string(op.out.size()) + (op.cancelled ? " cancelled" : "") +
                  (op.closedUnder ? " handle closed" : "") + ": " + why + " (status " +
                  stress::Hex(static_cast<std::uint32_t>(op.status)) + ", " +
                  std::to_string(op.bytes) + " bytes, " + std::to_string(c.elapsedMs) + " ms)");
}

bool Process::Finish(HANDLE handle, Op& op) {
    if (WaitForSingleObject(op.io.hEvent, kStuckMs) != WAIT_OBJECT_0) {
        if (handle != INVALID_HANDLE_VALUE)
            CancelIoEx(handle, &op.io);
        if (WaitForSingleObject(op.io.hEvent, kCancelGraceMs) != WAIT_OBJECT_0) {
            InterlockedIncrement64(&totals_.stuck);
            Violation(std::string(stress::KindName(op.r.expected.kind)) + " code " +
                      stress::Hex(op.r.code) + " never ended (" +
                      std::to_string(kStuckMs + kCancelGraceMs) + " ms, CancelIoEx included)");
            return false;
        }
    }
    op.status = static_cast<stress::Status>(op.io.Internal);
    op.bytes = op.io.InternalHigh;
    return true;
}

void Process::Thread(int index) {
    std::mt19937_64 rng(options_.seed * 1000003u + options_.slot * 101u +
                        static_cast<std::uint64_t>(index) + 1);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    HANDLE handle = INVALID_HANDLE_VALUE;
    LONG64 openedAt = -1;
    std::deque<std::unique_ptr<Op>> outstanding;
    // Recently ended requests: their result must not change after it was read.
    std::deque<std::unique_ptr<Op>> ended;

    auto settle = [&](std::unique_ptr<Op> op) {
        if (op->read)
            InterlockedDecrement(&shared_.readsPending);
        Judge(*op);
        const bool gone = stress::IsGone(op->status);
        ended.push_back(std::move(op));
        if (ended.size() > 16) {
            const Op& f = *ended.front();
            if (static_cast<stress::Status>(f.io.Internal) != f.status ||
                f.io.InternalHigh != f.bytes)
                Violation("an ended request completed again: " +
                          stress::Hex(static_cast<std::uint32_t>(f.status)) + " then " +
                          stress::Hex(static_cast<std::uint32_t>(f.io.Internal)));
            CloseHandle(f.io.hEvent);
            ended.pop_front();
        }
        return gone;
    };
    auto finish = [&](std::unique_ptr<Op> op) {
        if (!Finish(handle, *op)) {
            op.release(); // the kernel host may still write into its buffers
            return false;
        }
        return settle(std::move(op));
    };
    auto close = [&] {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    };
    auto drop = [&] {
        bool gone = false;
        while (!outstanding.empty()) {
            gone = finish(std::move(outstanding.front())) || gone;
            outstanding.pop_front();
        }
        return gone;
    };

    // Sends one request. One that ended at once is judged here and null comes back (`gone` set
    // when it says the device went).
    auto submit = [&](Request r, bool& gone) -> std::unique_ptr<Op> {
        auto op = std::make_unique<Op>();
        op->r = std::move(r);
        op->out.assign(op->r.outLength, 0);
        if (op->r.expected.kind == stress::Kind::Vendor && op->r.in[0] == 0)
            for (size_t i = 0; i < op->out.size(); ++i)
                op->out[i] = OutByte(op->r.index, i);
        InterlockedIncrement64(op->r.expected.kind == stress::Kind::Vendor ? &totals_.vendor
                               : op->r.expected.kind == stress::Kind::Read ? &totals_.reads
                                                                           : &totals_.refused);
        op->io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        op->io.Internal = static_cast<ULONG_PTR>(stress::kPending);
        op->io.InternalHigh = kUnwritten;
        op->epoch = shared_.epoch;
        op->generation = shared_.generation;
        op->openedAt = openedAt;
        op->startMs = GetTickCount64();
        op->read = op->r.expected.kind == stress::Kind::Read && op->r.outLength != 0;
        if (op->read)
            InterlockedIncrement(&shared_.readsPending);
        IO_STATUS_BLOCK* iosb = reinterpret_cast<IO_STATUS_BLOCK*>(&op->io);
        const NTSTATUS started = NtDeviceIoControlFile(
            handle, op->io.hEvent, nullptr, nullptr, iosb, op->r.code,
            op->r.in.empty() ? nullptr : op->r.in.data(), static_cast<ULONG>(op->r.in.size()),
            op->out.empty() ? nullptr : op->out.data(), static_cast<ULONG>(op->out.size()));
        InterlockedIncrement64(&totals_.ops);
        if (started == static_cast<NTSTATUS>(stress::kPending))
            return op;
        // The block holds the count when the host wrote it (success).
        op->status = started;
        op->bytes = op->io.InternalHigh == kUnwritten ? 0 : op->io.InternalHigh;
        op->io.Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(op->status));
        op->io.InternalHigh = op->bytes;
        SetEvent(op->io.hEvent);
        gone = settle(std::move(op)) || gone;
        return nullptr;
    };
    // A vendor request the device never answers holds the device's vendor queue: the requests
    // sent after it wait behind it, and nothing can end them but a cancellation (or, after 5 s,
    // the driver's timeout). CancelIoEx is sent to such requests only: on this host a
    // cancellation that meets the request's completion may reach another request, or freed
    // memory. Nor while the controller unplugs a colorimeter, which ends requests too.
    auto park = [&](std::unique_ptr<Op> silent) {
        InterlockedIncrement64(&totals_.parked);
        std::vector<std::unique_ptr<Op>> parked;
        parked.push_back(std::move(silent));
        bool gone = false;
        for (std::uint32_t n = pick(4); n != 0; --n)
            if (std::unique_ptr<Op> behind = submit(MakeVendorRequest(rng), gone))
                parked.push_back(std::move(behind));
        Sleep(pick(20));
        const bool cancel = pick(16) != 0;
        if (cancel) {
            WaitForSingleObject(cancelLock_, INFINITE);
            // Well before the timeout, which would meet the cancellation.
            if (GetTickCount64() - parked.front()->startMs < 3000) {
                for (auto p = parked.rbegin(); p != parked.rend(); ++p) {
                    (*p)->cancelled = true;
                    InterlockedIncrement64(&totals_.cancels);
                    CancelIoEx(handle, &(*p)->io);
                }
            }
        }
        for (auto p = parked.rbegin(); p != parked.rend(); ++p)
            gone = finish(std::move(*p)) || gone;
        if (cancel)
            ReleaseMutex(cancelLock_);
        return gone;
    };

    while (!shared_.stop) {
        if (handle == INVALID_HANDLE_VALUE) {
            const std::vector<std::wstring> paths = wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK);
            if (paths.empty()) {
                Sleep(10);
                continue;
            }
            const LONG64 generation = shared_.generation;
            handle = CreateFileW(paths[pick(static_cast<std::uint32_t>(paths.size()))].c_str(),
                                 GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                Sleep(10); // removed between the listing and the open
                continue;
            }
            openedAt = generation;
            InterlockedIncrement64(&totals_.opens);
            continue;
        }
        // Now and then a handle is closed and opened again, at times with requests in flight.
        if (pick(150) == 0) {
            if (!outstanding.empty()) {
                InterlockedIncrement64(&totals_.closesInFlight);
                for (auto& op : outstanding)
                    op->closedUnder = true;
            }
            close();
            drop();
            continue;
        }
        bool gone = false;
        std::unique_ptr<Op> op = submit(MakeRequest(rng, options_.silentOneIn), gone);
        if (op == nullptr) {
            // ended at once
        } else if (op->r.expected.kind == stress::Kind::Vendor && op->r.request == kSilentCode) {
            gone = park(std::move(op));
        } else if (pick(6) == 0) {
            // Waited for at once, as a synchronous caller does.
            InterlockedIncrement64(&totals_.sync);
            gone = finish(std::move(op));
        } else {
            if (options_.cancelOneIn != 0 && pick(options_.cancelOneIn) == 0) {
                op->cancelled = true;
                InterlockedIncrement64(&totals_.cancels);
                CancelIoEx(handle, &op->io);
            }
            outstanding.push_back(std::move(op));
            // Up to four requests in flight; one at random finished beyond that.
            while (outstanding.size() > pick(5)) {
                const size_t i = pick(static_cast<std::uint32_t>(outstanding.size()));
                if (options_.cancelOneIn != 0 && pick(6) == 0 && !outstanding[i]->cancelled) {
                    outstanding[i]->cancelled = true;
                    InterlockedIncrement64(&totals_.cancels);
                    CancelIoEx(handle, &outstanding[i]->io);
                }
                std::unique_ptr<Op> done = std::move(outstanding[i]);
                outstanding.erase(outstanding.begin() + static_cast<long>(i));
                gone = finish(std::move(done)) || gone;
            }
        }
        if (gone || (openedAt != shared_.generation && pick(4) == 0)) {
            // The device went (or may have): a new handle, perhaps on another colorimeter.
            drop();
            close();
        }
    }
    drop();
    close();
    for (auto& op : ended)
        CloseHandle(op->io.hEvent);
}

void Process::Summary() {
    const ProcessTotals& t = totals_;
    std::printf("load: process %d: %lld operations (%lld vendor requests, %lld reads, %lld "
                "refused codes and blocks, %lld waited at once, %lld unanswered ones with %lld "
                "cancels, %lld opens, %lld closes with requests in flight), %lld violations, "
                "%lld stuck\n",
                options_.slot, t.ops, t.vendor, t.reads, t.refused, t.sync, t.parked, t.cancels,
                t.opens, t.closesInFlight, t.violations, t.stuck);
    std::printf("  process %d completions by status:", options_.slot);
    for (const auto& s : byStatus_)
        std::printf(" %s %llu", stress::Hex(s.first).c_str(),
                    static_cast<unsigned long long>(s.second));
    std::printf("\n");
    for (const std::string& v : violations_)
        std::printf("  violation: %s\n", v.c_str());
    std::fflush(stdout);
}

} // namespace

std::uint64_t RunWorkers(Shared& shared, const WorkerOptions& options) {
    Process process(shared, options);
    struct Start {
        Process* process;
        int index;
    };
    std::vector<Start> starts(static_cast<size_t>(options.threads));
    std::vector<HANDLE> threads;
    for (int i = 0; i < options.threads; ++i) {
        starts[static_cast<size_t>(i)] = {&process, i};
        threads.push_back(CreateThread(
            nullptr, 0,
            [](void* p) -> DWORD {
                auto* s = static_cast<Start*>(p);
                s->process->Thread(s->index);
                return 0;
            },
            &starts[static_cast<size_t>(i)], 0, nullptr));
    }
    WaitForMultipleObjects(DWORD(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    process.Summary();
    return process.Violations();
}

HANDLE OpenCancelLock(const std::wstring& name) {
    return CreateMutexW(nullptr, FALSE, name.c_str());
}

Shared* MapShared(const wchar_t* name, bool create, HANDLE& section) {
    section = create ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(Shared), name)
                     : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (section == nullptr)
        return nullptr;
    void* view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared));
    if (view == nullptr) {
        CloseHandle(section);
        return nullptr;
    }
    return static_cast<Shared*>(view);
}

} // namespace load
