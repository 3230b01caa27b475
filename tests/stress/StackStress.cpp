// A seeded random run of Talvik2 on the kernel stack (the simulated kernel, the framework over it,
// the virtual USB bus): several user-mode threads send vendor requests both ways, interrupt
// reads, refused codes and malformed blocks, synchronously and overlapped, cancel some with
// CancelIoEx and open and close handles; a control thread feeds interrupt data, lets virtual time
// pass (send timeouts, S0 idle, remote wake), stops and restarts the device, puts the system to
// sleep and wakes it, and unplugs the colorimeter and plugs it in again. Every request must end
// exactly once with a status and a count the driver's contract allows and the data the device
// sent or received; the kernel's and the framework's verifiers must stay silent, no two vendor
// requests of a device may hold its URB block at once (from formatting to completion), the pool
// and the framework's objects must be gone at shutdown, and a watchdog on real time ends a run
// that stops moving.
//
//   talvik_stack_stress [--seed N] [--ops N] [--threads N] [--quiet]
#include "StressContract.h"
#include "UrbWatch.h"

#include "sim/Talvik2Image.h"
#include "sim/Talvik2Machine.h"

#include <FxHost.h>
#include <TalvikPublic.h>
#include <usbioctl.h>
#include <usburb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Handle = ntsim::UserIo::Handle;
using Clock = std::chrono::steady_clock;

using stress::IsGone;
using stress::kBufferTooSmall;
using stress::Kind;
using stress::kInvalidDeviceRequest;
using stress::kInvalidParameter;
using stress::kIoTimeout;
using stress::kPending;
using stress::kSuccess;
using stress::kUnsuccessful;

// Real time without a request ending before the watchdog calls the run stuck.
constexpr int kStuckSeconds = 60;

constexpr uint32_t kVendorCode = IOCTL_VENDOR_OR_CLASS_REQUEST;
constexpr uint32_t kReadCode = IOCTL_READ_INTERRUPT_PIPE;

std::string Hex(uint32_t v) {
    return stress::Hex(v);
}

// ------------------------------------------------------------------------ the stress firmware
// Its answer follows from the setup packet alone, so that the thread that sent the request
// knows what must come back.
enum class Answer { Data, Delayed, Stall, UsbError, Short, NoAnswer };

Answer AnswerFor(uint8_t request, uint16_t value) {
    switch (request % 8) {
    case 3:
        return Answer::Delayed;
    case 4:
        return Answer::Stall;
    case 5:
        return Answer::UsbError;
    case 6:
        return Answer::Short;
    case 7:
        return (value & 0x3F) == 0 ? Answer::NoAnswer : Answer::Data;
    default:
        return Answer::Data;
    }
}

uint32_t InLengthFor(uint8_t request, uint16_t index, uint16_t wLength) {
    const uint32_t offered = index % 97;
    return AnswerFor(request, 0) == Answer::Short ? std::min<uint32_t>(offered, wLength / 2)
                                                  : offered;
}

uint8_t InByte(uint8_t request, uint16_t value, size_t i) {
    return static_cast<uint8_t>(request * 31 + value + i * 7);
}
uint8_t OutByte(uint16_t index, size_t i) {
    return static_cast<uint8_t>(index + i * 13 + 5);
}

// ------------------------------------------------------------------------ one request
struct Op {
    Kind kind = Kind::Refused;
    uint32_t code = 0;
    Bytes in;
    Bytes out;
    bool cancelled = false;
    bool closedUnder = false; // its handle was closed while it was in flight
    uint64_t epoch = 0;
    int64_t startMs = 0; // virtual time when sent
    ntsim::Overlapped io;
    // Expected outcome when nothing disturbs the request.
    NTSTATUS status = kSuccess;
    uint32_t bytes = 0;
    // Vendor IN data to check (request, value), or none.
    bool checkIn = false;
    uint8_t request = 0;
    uint16_t value = 0;
};

struct Counters {
    std::atomic<uint64_t> ops{0}, vendor{0}, reads{0}, refused{0}, sync{0}, cancels{0}, opens{0},
        closesInFlight{0}, steps{0}, idleDowns{0}, wakes{0}, restarts{0}, sleeps{0}, removals{0},
        interrupts{0}, timeAdvances{0};
};

// What a thread is doing, for the watchdog's report.
struct Activity {
    std::mutex mu;
    std::string what = "starting";
    int64_t sinceMs = 0;
};

class Stress {
public:
    Stress(uint64_t seed, uint64_t ops, int threads, bool quiet)
        : seed_(seed), target_(ops), threads_(threads), quiet_(quiet),
          activity_(static_cast<size_t>(threads) + 1) {}
    int Run();

private:
    void Worker(int index);
    void Controller();
    void Watchdog();
    void Violation(const std::string& text);
    void MakeOp(std::mt19937_64& rng, Op& op);
    void Check(const Op& op, NTSTATUS status, uint64_t bytes, bool disturbed, int64_t elapsedMs);
    void Park();
    void Quiesce(bool on);
    sim::Colorimeter* PlugInColorimeter();
    enum class Progress { Made, Stalled, Over };
    Progress WaitForProgress(uint64_t until);
    bool ScanPower();
    void FeedInterrupts(sim::Colorimeter* device, std::mt19937_64& rng, uint16_t& sequence,
                        uint32_t count);
    void WatchUrbs(const ntsim::IrpStep& step);
    void HookFramework();
    PDEVICE_OBJECT ColorimeterPdo();
    NTSTATUS WhileTimePasses(const std::function<NTSTATUS()>& action);
    void Doing(int slot, const std::string& what) {
        Activity& a = activity_[static_cast<size_t>(slot)];
        std::lock_guard<std::mutex> lk(a.mu);
        a.what = what;
        a.sinceMs = machine_->NowMs();
    }
    void Counted() {
        const uint64_t n = ++count_.ops;
        if (n % 64 == 0 || n >= target_) {
            std::lock_guard<std::mutex> lk(mu_);
            cv_.notify_all();
        }
    }
    bool Finished() const { return count_.ops.load() >= target_; }

    uint64_t seed_, target_;
    int threads_;
    bool quiet_;
    std::unique_ptr<sim::Talvik2Machine> machine_;
    Counters count_;
    std::atomic<uint64_t> completions_{0}; // the watchdog's measure of progress
    std::atomic<int> blocked_{0};          // workers in a call that may need virtual time
    // Talvik2 has one URB block per device: its vendor URBs reach the bus one at a time.
    std::mutex urbMu_;
    std::vector<PIRP> vendorUrbsAtBus_;
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> epoch_{0}; // odd while the controller disturbs the device
    std::atomic<uint64_t> violations_{0};
    std::mutex mu_; // guards what follows
    std::condition_variable cv_;
    std::vector<std::string> violationTexts_;
    std::map<uint32_t, uint64_t> byStatus_;
    sim::Colorimeter* device_ = nullptr;
    uint64_t generation_ = 0;
    int workersLeft_ = 0;
    bool pause_ = false; // workers finish their requests and wait
    int parked_ = 0;
    bool powered_ = true;                 // the controller's view of the device's power state
    std::vector<std::string> idleEvents_; // what the last power scan saw
    std::vector<Activity> activity_;      // one per worker, then the controller's
};

void Stress::Violation(const std::string& text) {
    ++violations_;
    std::lock_guard<std::mutex> lk(mu_);
    if (violationTexts_.size() < 20)
        violationTexts_.push_back(text);
}

// The firmware comes with the device: a worker may open it as soon as its interface appears.
sim::Colorimeter* Stress::PlugInColorimeter() {
    sim::ColorimeterConfig config;
    config.vendorHandler = [this](const USB_SETUP_PACKET& s, const Bytes& host) {
        const Answer answer = AnswerFor(s.bRequest, s.wValue);
        const bool in = (s.bmRequestType & 0x80) != 0;
        if (!in) {
            for (size_t i = 0; i < host.size(); ++i) {
                if (host[i] != OutByte(s.wIndex, i)) {
                    Violation("vendor OUT data stage differs from the caller's buffer at byte " +
                              std::to_string(i));
                    break;
                }
            }
            if (host.size() != s.wLength)
                Violation("vendor OUT data stage of " + std::to_string(host.size()) +
                          " bytes for wLength " + std::to_string(s.wLength));
        }
        Bytes data;
        if (in) {
            data.resize(InLengthFor(s.bRequest, s.wIndex, s.wLength));
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = InByte(s.bRequest, s.wValue, i);
        }
        switch (answer) {
        case Answer::Data:
            return in ? sim::ControlReply::Data(data) : sim::ControlReply::Ack();
        case Answer::Delayed:
            return (in ? sim::ControlReply::Data(data) : sim::ControlReply::Ack())
                .After(1 + s.wValue % 3000);
        case Answer::Stall:
            return sim::ControlReply::Stall();
        case Answer::UsbError:
            return sim::ControlReply::UsbError(USBD_STATUS_BABBLE_DETECTED);
        case Answer::Short: {
            if (in)
                return sim::ControlReply::Data(data);
            sim::ControlReply reply = sim::ControlReply::Ack();
            reply.acceptedOut = s.wLength / 2;
            return reply;
        }
        case Answer::NoAnswer:
            return sim::ControlReply::NoAnswer();
        }
        return sim::ControlReply::Stall();
    };
    sim::Colorimeter* device = machine_->PlugIn(config);
    if (device == nullptr) {
        Violation("the colorimeter did not arrive");
        return nullptr;
    }
    if (machine_->Interfaces().empty())
        Violation("the colorimeter arrived without its device interface");
    return device;
}

// A random request and what it must end with if nothing disturbs it.
void Stress::MakeOp(std::mt19937_64& rng, Op& op) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t roll = pick(100);
    if (roll < 50) {
        op.kind = Kind::Vendor;
        op.code = kVendorCode;
        const bool in = pick(2) == 0;
        op.request = static_cast<uint8_t>(rng());
        op.value = static_cast<uint16_t>(rng());
        const uint16_t index = static_cast<uint16_t>(rng());
        uint32_t length = pick(4) == 0 ? 0 : pick(129);
        if (pick(200) == 0)
            length = 0x10000 + pick(64); // longer than a setup packet can state
        const uint32_t inLength = pick(8) == 0 ? 10 + pick(7) : 10; // extra bytes are ignored
        op.in.assign(inLength, static_cast<uint8_t>(rng()));
        op.in[0] = in ? static_cast<uint8_t>(1 + pick(255)) : 0;
        // RequestType/Recipient pairs whose key is 8.
        static const uint8_t served[][2] = {{2, 0}, {0, 8}, {2, 8}};
        const auto& pair = served[pick(3)];
        op.in[1] = pair[0];
        op.in[2] = pair[1];
        op.in[4] = op.request;
        op.in[6] = static_cast<uint8_t>(op.value);
        op.in[7] = static_cast<uint8_t>(op.value >> 8);
        op.in[8] = static_cast<uint8_t>(index);
        op.in[9] = static_cast<uint8_t>(index >> 8);
        op.out.resize(length);
        for (size_t i = 0; i < length; ++i)
            op.out[i] = OutByte(index, i);
        if (length > 0xFFFF) {
            op.status = kInvalidParameter; // the USB stack refuses wLength beyond 16 bits
            return;
        }
        switch (AnswerFor(op.request, op.value)) {
        case Answer::Data:
        case Answer::Delayed:
        case Answer::Short:
            if (in) {
                op.bytes = std::min<uint32_t>(InLengthFor(op.request, index, length), length);
                op.checkIn = true;
            } else {
                op.bytes = AnswerFor(op.request, op.value) == Answer::Short ? length / 2 : length;
            }
            break;
        case Answer::Stall:
        case Answer::UsbError:
            op.status = kUnsuccessful;
            break;
        case Answer::NoAnswer:
            op.status = kIoTimeout;
            break;
        }
        return;
    }
    if (roll < 75) {
        op.kind = Kind::Read;
        op.code = kReadCode;
        op.out.resize(pick(10) == 0 ? 0 : 1 + pick(64));
        op.status = op.out.empty() ? kBufferTooSmall : kSuccess;
        return;
    }
    op.kind = Kind::Refused;
    op.status = kInvalidDeviceRequest;
    const uint32_t what = pick(4);
    if (what == 0) {
        // A vendor block shorter than 10 bytes.
        op.code = kVendorCode;
        op.in.assign(pick(10), static_cast<uint8_t>(rng()));
        op.out.resize(pick(16));
        op.status = kBufferTooSmall;
    } else if (what == 1) {
        // A block whose key is not 8.
        op.code = kVendorCode;
        op.in.assign(10, 0);
        for (auto& b : op.in)
            b = static_cast<uint8_t>(rng());
        while ((static_cast<uint32_t>(op.in[1]) * 4 | op.in[2]) == 8)
            op.in[2] = static_cast<uint8_t>(rng());
        op.out.resize(pick(16));
    } else if (what == 2) {
        // One of the two codes with other method or access bits (access the handle has).
        const uint32_t base = pick(2) ? kVendorCode : kReadCode;
        uint32_t code;
        do
            code = (base & ~0xC003u) | pick(4) | (pick(4) << 14);
        while (code == base);
        op.code = code;
        op.in.assign(pick(12), 0);
        op.out.resize(pick(16));
    } else {
        do
            op.code = static_cast<uint32_t>(rng()) & 0xFFFF3FFF;
        while (op.code == kVendorCode || op.code == kReadCode);
        op.in.assign(pick(12), 0);
        op.out.resize(pick(16));
    }
}

void Stress::Check(const Op& op, NTSTATUS status, uint64_t bytes, bool disturbed,
                   int64_t elapsedMs) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++byStatus_[static_cast<uint32_t>(status)];
    }
    const stress::Expected expected{op.kind, static_cast<uint32_t>(op.out.size()), op.status,
                                    op.bytes};
    const stress::Circumstances c{op.cancelled, op.closedUnder, disturbed, elapsedMs};
    const stress::Judgement j = stress::Judge(expected, op.out.data(), status, bytes, c);
    std::string why = j.why;
    if (j.verdict == stress::Verdict::AsExpected && op.checkIn && status == kSuccess) {
        for (size_t i = 0; i < bytes && why.empty(); ++i)
            if (op.out[i] != InByte(op.request, op.value, i))
                why = "vendor IN data differs from what the device sent";
    }
    if (!why.empty())
        Violation(std::string(stress::KindName(op.kind)) + " code " + Hex(op.code) + " in " +
                  std::to_string(op.in.size()) + " out " + std::to_string(op.out.size()) + ": " +
                  why + " (status " + Hex(static_cast<uint32_t>(status)) + ", " +
                  std::to_string(bytes) + " bytes, " + std::to_string(elapsedMs) + " ms)");
}

void Stress::Worker(int index) {
    std::mt19937_64 rng(seed_ * 1000003u + static_cast<uint64_t>(index) + 1);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    ntsim::UserIo& user = machine_->Kernel().User();
    Handle handle = 0;
    bool open = false;
    uint64_t generation = ~0ull;
    std::deque<std::unique_ptr<Op>> outstanding;
    std::string lastOpen = "none";
    // Recently finished requests: their result must not change after it was read.
    struct Ended {
        std::unique_ptr<Op> op;
        NTSTATUS status;
        ULONG_PTR bytes;
    };
    std::deque<Ended> finished;

    auto describe = [](const Op& op) {
        return std::string(op.kind == Kind::Vendor ? "vendor"
                           : op.kind == Kind::Read ? "read"
                                                   : "refused") +
               " " + Hex(op.code) + " in " + std::to_string(op.in.size()) + " out " +
               std::to_string(op.out.size()) + (op.cancelled ? " cancelled" : "") +
               (op.closedUnder ? " handle closed" : "") + " sent at " + std::to_string(op.startMs) +
               " ms";
    };
    auto check = [&](std::unique_ptr<Op> op, NTSTATUS status, ULONG_PTR bytes, bool overlapped) {
        bool unplugged;
        {
            std::lock_guard<std::mutex> lk(mu_);
            unplugged = generation_ != generation;
        }
        const bool disturbed = unplugged || (op->epoch & 1) != 0 || epoch_.load() != op->epoch;
        Check(*op, status, bytes, disturbed, machine_->NowMs() - op->startMs);
        ++completions_;
        const bool gone = IsGone(status);
        if (!overlapped)
            return gone;
        finished.push_back({std::move(op), status, bytes});
        if (finished.size() > 16) {
            const Ended& f = finished.front();
            if (f.op->io.Status() != f.status || f.op->io.Information() != f.bytes)
                Violation("a finished request completed again: " + Hex(f.status) + " then " +
                          Hex(static_cast<uint32_t>(f.op->io.Status())));
            finished.pop_front();
        }
        return gone;
    };
    auto finish = [&](std::unique_ptr<Op> op) {
        Doing(index, "waiting for " + describe(*op));
        ++blocked_;
        const NTSTATUS status = op->io.Wait();
        --blocked_;
        const ULONG_PTR bytes = op->io.Information();
        return check(std::move(op), status, bytes, true);
    };
    auto close = [&] {
        if (!open)
            return;
        if (user.CloseHandle(handle) != kSuccess)
            Violation("closing a handle failed");
        open = false;
    };
    auto drop = [&] {
        while (!outstanding.empty()) {
            finish(std::move(outstanding.front()));
            outstanding.pop_front();
        }
        close();
    };

    while (!Finished()) {
        bool pause;
        {
            std::lock_guard<std::mutex> lk(mu_);
            pause = pause_;
        }
        if (pause) {
            bool gone = false;
            while (!outstanding.empty()) {
                gone = finish(std::move(outstanding.front())) || gone;
                outstanding.pop_front();
            }
            if (gone) {
                close();
                generation = ~0ull;
            }
            Doing(index, "parked");
            Park();
            continue;
        }
        if (!open) {
            Doing(index, "waiting for a colorimeter (last: " + lastOpen + ")");
            {
                std::unique_lock<std::mutex> lk(mu_);
                cv_.wait(lk, [&] { return Finished() || generation_ != generation || pause_; });
                if (Finished())
                    break;
                if (pause_)
                    continue;
                generation = generation_;
            }
            const std::vector<std::string> paths = machine_->Interfaces();
            if (paths.empty()) {
                lastOpen = "no interface";
                continue;
            }
            Doing(index, "opening");
            const ULONG access = ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite;
            const NTSTATUS opened = user.CreateFile(paths.back(), access, &handle);
            lastOpen = "open " + paths.back() + ": " + Hex(static_cast<uint32_t>(opened));
            if (opened == kSuccess) {
                open = true;
                ++count_.opens;
            }
            continue;
        }
        // Now and then a handle is closed and opened again, at times with requests in flight.
        if (pick(200) == 0) {
            if (!outstanding.empty()) {
                ++count_.closesInFlight;
                for (auto& op : outstanding)
                    op->closedUnder = true;
            }
            Doing(index, "closing");
            close();
            drop();
            generation = ~0ull; // open again at once
            continue;
        }
        auto op = std::make_unique<Op>();
        MakeOp(rng, *op);
        (op->kind == Kind::Vendor ? count_.vendor
         : op->kind == Kind::Read ? count_.reads
                                  : count_.refused)++;
        op->epoch = epoch_.load();
        op->startMs = machine_->NowMs();
        const void* in = op->in.empty() ? nullptr : op->in.data();
        void* out = op->out.empty() ? nullptr : op->out.data();
        const ULONG inLength = static_cast<ULONG>(op->in.size());
        const ULONG outLength = static_cast<ULONG>(op->out.size());
        bool gone = false;
        if (pick(6) == 0) {
            // Synchronous: the call returns when the request has ended.
            ++count_.sync;
            Doing(index, "synchronous " + describe(*op));
            ULONG_PTR bytes = 0;
            ++blocked_;
            const NTSTATUS status =
                user.DeviceIoControl(handle, op->code, in, inLength, out, outLength, &bytes);
            --blocked_;
            Counted();
            gone = check(std::move(op), status, bytes, false);
        } else {
            Doing(index, "sending " + describe(*op));
            const NTSTATUS started =
                user.DeviceIoControl(handle, op->code, in, inLength, out, outLength, &op->io);
            Counted();
            if (started != kPending) {
                if (!op->io.Done() || op->io.Status() != started)
                    Violation("a request that ended at once is not done with its status " +
                              Hex(static_cast<uint32_t>(started)));
                const ULONG_PTR bytes = op->io.Information();
                gone = check(std::move(op), started, bytes, true);
            } else {
                if (pick(8) == 0) {
                    op->cancelled = true;
                    ++count_.cancels;
                    user.CancelIoEx(handle, &op->io);
                }
                outstanding.push_back(std::move(op));
                // Keep up to four requests in flight; finish one at random beyond that.
                while (outstanding.size() > pick(5)) {
                    const size_t i = pick(static_cast<uint32_t>(outstanding.size()));
                    if (pick(6) == 0 && !outstanding[i]->cancelled) {
                        outstanding[i]->cancelled = true;
                        ++count_.cancels;
                        user.CancelIoEx(handle, &outstanding[i]->io);
                    }
                    std::unique_ptr<Op> done = std::move(outstanding[i]);
                    outstanding.erase(outstanding.begin() + static_cast<long>(i));
                    gone = finish(std::move(done)) || gone;
                }
            }
        }
        if (gone) {
            drop();
            generation = ~0ull; // try again: the interface may be another device's by now
        }
    }
    drop();
    Doing(index, "finished");
    std::lock_guard<std::mutex> lk(mu_);
    --workersLeft_;
    cv_.notify_all();
}

// A worker with nothing in flight waits while the controller lets the machine idle.
void Stress::Park() {
    std::unique_lock<std::mutex> lk(mu_);
    ++parked_;
    cv_.notify_all();
    cv_.wait(lk, [&] { return !pause_ || Finished(); });
    --parked_;
}

void Stress::Quiesce(bool on) {
    std::unique_lock<std::mutex> lk(mu_);
    pause_ = on;
    cv_.notify_all();
    if (!on)
        return;
    // Parked workers wait for the pause to end; the others may be waiting for time to pass.
    while (parked_ != workersLeft_) {
        lk.unlock();
        machine_->AdvanceMs(1000);
        lk.lock();
        cv_.wait_for(lk, std::chrono::milliseconds(1), [&] { return parked_ == workersLeft_; });
    }
}

// Waits for `until` operations. Stalled: the workers stand still, all waiting for answers that
// take virtual time.
Stress::Progress Stress::WaitForProgress(uint64_t until) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(5);
    uint64_t ops = count_.ops.load();
    auto moved = Clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (Finished() || workersLeft_ == 0)
                return Progress::Over;
            if (count_.ops.load() >= until)
                return Progress::Made;
            const auto now = Clock::now();
            if (count_.ops.load() != ops) {
                ops = count_.ops.load();
                moved = now;
            }
            const bool allBlocked = blocked_.load() + parked_ >= workersLeft_;
            if ((allBlocked && now - moved > std::chrono::microseconds(300)) || now > deadline)
                return Progress::Stalled;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// Follows the device's power state through the framework's events since the last scan; whether
// it is in D0.
bool Stress::ScanPower() {
    idleEvents_ = machine_->Events();
    for (const std::string& e : idleEvents_) {
        if (e.rfind("EvtDeviceD0Exit(", 0) == 0)
            powered_ = false;
        else if (e.rfind("EvtDeviceD0Entry(", 0) == 0)
            powered_ = true;
    }
    machine_->ClearEvents();
    return powered_;
}

// Interrupt transfers: a length byte, a sequence number, a checksum last.
void Stress::FeedInterrupts(sim::Colorimeter* device, std::mt19937_64& rng, uint16_t& sequence,
                            uint32_t count) {
    for (uint32_t n = count; n != 0; --n) {
        const Bytes packet = stress::InterruptPacket(sequence++, 1 + rng() % 12);
        device->PushInterrupt(packet);
        ++count_.interrupts;
    }
}

void Stress::Controller() {
    std::mt19937_64 rng(seed_);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const int slot = threads_;
    uint16_t sequence = 0;
    for (;;) {
        const Progress progress = WaitForProgress(count_.ops.load() + 8 + pick(64));
        if (progress == Progress::Over)
            break;
        if (progress == Progress::Stalled) {
            // Reads wait for interrupt data, delayed answers and timeouts for time.
            sim::Colorimeter* device;
            {
                std::lock_guard<std::mutex> lk(mu_);
                device = device_;
            }
            Doing(slot, "moving stalled workers on");
            if (pick(3) == 0)
                FeedInterrupts(device, rng, sequence, 1);
            else
                machine_->AdvanceMs(1 + pick(500));
            continue;
        }
        ++count_.steps;
        sim::Colorimeter* device;
        {
            std::lock_guard<std::mutex> lk(mu_);
            device = device_;
        }
        const uint32_t roll = pick(1000);
        if (roll < 600) {
            // Interrupt transfers: a length byte, a sequence number, a checksum last.
            Doing(slot, "feeding interrupt data");
            FeedInterrupts(device, rng, sequence, 1 + pick(6));
        } else if (roll < 830) {
            // Time passes under load: requests may run into their 5 s timeout.
            Doing(slot, "advancing time");
            machine_->AdvanceMs(pick(7000));
            ++count_.timeAdvances;
        } else if (roll < 890) {
            // No I/O for more than 10 s: the idle policy takes the device to D2 through the
            // bus's idle notification; the next request, or the device's remote wake, brings it
            // back.
            Doing(slot, "quiescing for S0 idle");
            Quiesce(true);
            // The 10 s count from the last power reference; a work item that powered the
            // device up may still be finishing after the worker that waited for it parked.
            machine_->WaitIdle();
            const bool wasUp = ScanPower();
            Doing(slot, "idling");
            machine_->AdvanceMs(10000 + pick(5000));
            machine_->WaitIdle();
            if (ScanPower()) {
                std::string seen;
                for (const std::string& e : idleEvents_)
                    seen += " [" + e + "]";
                Violation("the device stayed in D0 after more than 10 s without I/O; events:" +
                          seen);
            } else {
                if (wasUp)
                    ++count_.idleDowns;
                if (pick(2) == 0) {
                    Doing(slot, "waking the device");
                    if (device->SignalRemoteWake() != kSuccess)
                        Violation("the idle device had no idle notification to complete");
                    machine_->WaitIdle();
                    ++count_.wakes;
                    if (!ScanPower())
                        Violation("the device's remote wake did not bring it back to D0");
                }
            }
            Quiesce(false);
        } else if (roll < 930) {
            // A resource rebalance under load: stop (the power-managed queues hold what comes)
            // and start again, the hardware prepared anew.
            Doing(slot, "restarting");
            ++epoch_;
            PDEVICE_OBJECT pdo = ColorimeterPdo();
            const NTSTATUS restarted = WhileTimePasses([&] {
                const NTSTATUS stopped = machine_->Kernel().Pnp().StopDevice(pdo);
                return NT_SUCCESS(stopped) ? machine_->Kernel().Pnp().StartDevice(pdo) : stopped;
            });
            if (restarted != kSuccess)
                Violation("restarting the colorimeter failed: " +
                          Hex(static_cast<uint32_t>(restarted)));
            machine_->ClearEvents();
            powered_ = true;
            ++epoch_;
            ++count_.restarts;
        } else if (roll < 960) {
            // The system sleeps (the device goes to its wake Dx) and wakes (back to D0).
            Doing(slot, "sleeping");
            ++epoch_;
            for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemWorking}) {
                const NTSTATUS slept =
                    WhileTimePasses([&] { return machine_->Kernel().Pnp().SetSystemPower(state); });
                if (slept != kSuccess)
                    Violation("system power state S" + std::to_string(state - 1) +
                              " failed: " + Hex(static_cast<uint32_t>(slept)));
            }
            if (!ScanPower())
                Violation("the device did not come back to D0 when the system woke");
            ++epoch_;
            ++count_.sleeps;
        } else {
            // Surprise removal, then a colorimeter again.
            Doing(slot, "unplugging");
            ++epoch_;
            if (machine_->Unplug(device) != kSuccess)
                Violation("unplugging failed");
            Doing(slot, "plugging in");
            sim::Colorimeter* next = PlugInColorimeter();
            machine_->ClearEvents();
            powered_ = true;
            {
                std::lock_guard<std::mutex> lk(mu_);
                if (next != nullptr)
                    device_ = next;
                ++generation_;
            }
            cv_.notify_all();
            ++epoch_;
            ++count_.removals;
            if (next == nullptr)
                break;
        }
        Doing(slot, "waiting for progress");
    }
    // Workers may still wait for answers that take time.
    Doing(slot, "letting the last requests end");
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(mu_);
            if (cv_.wait_for(lk, std::chrono::milliseconds(2), [&] { return workersLeft_ == 0; }))
                break;
        }
        machine_->AdvanceMs(1000);
    }
}

// Ends a run that makes no progress for a long while of real time, saying what each thread waits
// for.
void Stress::Watchdog() {
    const auto limit = std::chrono::seconds(kStuckSeconds);
    uint64_t seen = completions_.load() + count_.ops.load();
    auto last = Clock::now();
    while (!done_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const uint64_t now = completions_.load() + count_.ops.load();
        if (now != seen) {
            seen = now;
            last = Clock::now();
            continue;
        }
        if (Clock::now() - last < limit)
            continue;
        std::fprintf(stderr,
                     "stack stress: no progress for %lld s of real time at %llu operations, "
                     "virtual time %lld ms; stuck:\n",
                     static_cast<long long>(limit.count()),
                     static_cast<unsigned long long>(count_.ops.load()),
                     static_cast<long long>(machine_->NowMs()));
        for (size_t i = 0; i < activity_.size(); ++i) {
            std::lock_guard<std::mutex> lk(activity_[i].mu);
            std::fprintf(stderr, "  %s %zu: %s (since %lld ms)\n",
                         i + 1 == activity_.size() ? "controller" : "worker", i,
                         activity_[i].what.c_str(), static_cast<long long>(activity_[i].sinceMs));
        }
        {
            std::lock_guard<std::mutex> lk(mu_);
            for (const std::string& v : violationTexts_)
                std::fprintf(stderr, "  violation: %s\n", v.c_str());
        }
        std::fflush(stderr);
        std::_Exit(3);
    }
}

void Stress::WatchUrbs(const ntsim::IrpStep& step) {
    std::lock_guard<std::mutex> lk(urbMu_);
    if (step.kind == ntsim::IrpStep::Kind::Call && step.driver == "VirtualUsb" &&
        step.major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        step.controlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        step.urbFunction == URB_FUNCTION_VENDOR_DEVICE) {
        if (!vendorUrbsAtBus_.empty())
            Violation("two vendor URBs at the bus at once");
        vendorUrbsAtBus_.push_back(step.irp);
    } else if (step.kind == ntsim::IrpStep::Kind::Complete && step.driver == "VirtualUsb") {
        vendorUrbsAtBus_.erase(
            std::remove(vendorUrbsAtBus_.begin(), vendorUrbsAtBus_.end(), step.irp),
            vendorUrbsAtBus_.end());
    }
}

// The machine's framework hooks, with the URB block's watch put into the driver's function
// table each time it binds (WdfDriverCreate runs on the PnP thread before any device exists, so
// no request can be calling through the table meanwhile).
void Stress::HookFramework() {
    FX_HOST_HOOKS hooks = {};
    hooks.Event = [](PVOID context, PCSTR text) {
        if (std::strcmp(text, "WdfDriverCreate") == 0)
            talvik_stress::InstallUrbWatch();
        static_cast<sim::Talvik2Machine*>(context)->RecordEvent(text);
    };
    hooks.Violation = [](PVOID context, PCSTR text) {
        static_cast<sim::Talvik2Machine*>(context)->ReportFinding(sim::Finding::Source::Framework,
                                                                  text);
    };
    hooks.InjectFault = [](PVOID context, PCSTR api, NTSTATUS* status) -> BOOLEAN {
        return static_cast<sim::Talvik2Machine*>(context)->Injected(api, status) ? TRUE : FALSE;
    };
    hooks.Context = machine_.get();
    FxHostSetHooks(&hooks);
    talvik_stress::SetUrbWatchHandler([this](const std::string& v) { Violation(v); });
}

// The started colorimeter's PDO (one is plugged in at a time).
PDEVICE_OBJECT Stress::ColorimeterPdo() {
    for (const auto& d : machine_->Kernel().Pnp().Devices())
        if (d.service == sim::kTalvik2Service && d.started)
            return d.pdo;
    return nullptr;
}

// A PnP or power action that may wait for requests the driver owns, some of which end only when
// their timeout passes: virtual time moves on while it runs.
NTSTATUS Stress::WhileTimePasses(const std::function<NTSTATUS()>& action) {
    std::atomic<bool> done{false};
    NTSTATUS status = kUnsuccessful;
    std::thread acting([&] {
        status = action();
        done = true;
    });
    while (!done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!done.load())
            machine_->AdvanceMs(100);
    }
    acting.join();
    return status;
}

int Stress::Run() {
    const auto began = Clock::now();
    machine_ = std::make_unique<sim::Talvik2Machine>();
    machine_->SetFindingHandler([this](const sim::Finding& f) {
        Violation(
            std::string(f.source == sim::Finding::Source::Kernel ? "kernel: " : "framework: ") +
            f.text);
    });
    HookFramework();
    machine_->Kernel().TraceIrps([this](const ntsim::IrpStep& step) { WatchUrbs(step); });
    device_ = PlugInColorimeter();
    if (device_ == nullptr) {
        std::fprintf(stderr, "stack stress: the colorimeter did not arrive\n");
        return 2;
    }
    machine_->ClearEvents();
    generation_ = 1;
    workersLeft_ = threads_;
    std::thread watchdog([this] { Watchdog(); });
    std::vector<std::thread> workers;
    for (int i = 0; i < threads_; ++i)
        workers.emplace_back([this, i] { Worker(i); });
    Controller();
    for (auto& t : workers)
        t.join();

    machine_->Kernel().TraceIrps(nullptr);
    if (talvik_stress::UrbBlocksHeld() != 0)
        Violation("a URB block is still held by a request after every request ended");
    const unsigned long long completed = machine_->RequestsCompleted();
    // Shutdown removes the bus and its children, unloads the driver and stops the kernel: leaks
    // become findings.
    machine_.reset();
    done_ = true;
    watchdog.join();
    talvik_stress::SetUrbWatchHandler(nullptr);
    FX_HOST_COUNTERS counters = {};
    FxHostGetCounters(&counters);
    if (counters.LiveObjects != 0)
        Violation(std::to_string(counters.LiveObjects) + " framework objects left at unload");
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

    const Counters& c = count_;
    std::printf("stack stress: seed %llu, %d threads: %llu operations (%llu vendor requests, "
                "%llu reads, %llu refused codes and blocks, %llu synchronous, %llu cancels, "
                "%llu opens, %llu closes with requests in flight; %llu controller steps: %llu "
                "interrupt transfers, %llu time steps, %llu idle power-downs, %llu remote "
                "wakes, %llu restarts, %llu sleeps, %llu surprise removals; %llu URB block "
                "uses), %llu requests completed by the framework, %llu violations, %.1f s\n",
                static_cast<unsigned long long>(seed_), threads_,
                static_cast<unsigned long long>(c.ops.load()),
                static_cast<unsigned long long>(c.vendor.load()),
                static_cast<unsigned long long>(c.reads.load()),
                static_cast<unsigned long long>(c.refused.load()),
                static_cast<unsigned long long>(c.sync.load()),
                static_cast<unsigned long long>(c.cancels.load()),
                static_cast<unsigned long long>(c.opens.load()),
                static_cast<unsigned long long>(c.closesInFlight.load()),
                static_cast<unsigned long long>(c.steps.load()),
                static_cast<unsigned long long>(c.interrupts.load()),
                static_cast<unsigned long long>(c.timeAdvances.load()),
                static_cast<unsigned long long>(c.idleDowns.load()),
                static_cast<unsigned long long>(c.wakes.load()),
                static_cast<unsigned long long>(c.restarts.load()),
                static_cast<unsigned long long>(c.sleeps.load()),
                static_cast<unsigned long long>(c.removals.load()), talvik_stress::UrbFormats(),
                completed, static_cast<unsigned long long>(violations_.load()), seconds);
    std::printf("  completions by status:");
    for (const auto& s : byStatus_)
        std::printf(" %s %llu", Hex(s.first).c_str(), static_cast<unsigned long long>(s.second));
    std::printf("\n");
    if (!quiet_ || violations_.load() != 0)
        for (const std::string& v : violationTexts_)
            std::printf("  violation: %s\n", v.c_str());
    return violations_.load() == 0 ? 0 : 1;
}

bool ParseCount(const char* text, uint64_t& value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (!end || *end != '\0' || end == text)
        return false;
    value = v;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1, ops = 20000, threads = 4;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool ok = true;
        if (arg == "--quiet")
            quiet = true;
        else if (arg == "--seed" && i + 1 < argc)
            ok = ParseCount(argv[++i], seed);
        else if (arg == "--ops" && i + 1 < argc)
            ok = ParseCount(argv[++i], ops);
        else if (arg == "--threads" && i + 1 < argc)
            ok = ParseCount(argv[++i], threads) && threads >= 1 && threads <= 16;
        else
            ok = false;
        if (!ok) {
            std::fprintf(
                stderr,
                "usage: talvik_stack_stress [--seed N] [--ops N] [--threads 1-16] [--quiet]\n");
            return 2;
        }
    }
    Stress stress(seed, ops, static_cast<int>(threads), quiet);
    return stress.Run();
}
