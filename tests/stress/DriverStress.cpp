// A seeded random run over the driver's whole device-control surface in the simulated machine:
// several application threads send vendor requests, reads, malformed blocks and foreign control
// codes, synchronously and overlapped, and cancel some; meanwhile the machine idles the device
// down and wakes it, stops and restarts it, suspends and resumes it, and unplugs it and plugs in
// another. Every request must end exactly once with a status and a count the driver's contract
// allows (and the data the device sent or received), the framework's verifier must stay silent,
// no two vendor requests may hold the URB block at once, and nothing may remain allocated when
// the driver unloads.
//
//   talvik_driver_stress [--seed N] [--ops N] [--threads N] [--quiet]
#include "UrbWatch.h"

#include "kmdf/sim/World.h"
#include "kmdf/usermode/DeviceIo.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

// The driver image's entry point: the framework bind stub around the driver's DriverEntry.
extern "C" kmdf::sim::Status FxDriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

namespace {

using kmdf::sim::ControlReply;
using kmdf::sim::PnpDevice;
using kmdf::sim::PnpState;
using kmdf::sim::PowerState;
using kmdf::sim::SetupPacket;
using kmdf::um::Handle;
using kmdf::um::IoOperation;
using Status = kmdf::um::Status;
using Bytes = std::vector<uint8_t>;

constexpr Status S(uint32_t v) {
    return static_cast<Status>(v);
}
constexpr Status kSuccess = 0;
constexpr Status kPending = 0x103;
constexpr Status kUnsuccessful = S(0xC0000001);
constexpr Status kInvalidHandle = S(0xC0000008);
constexpr Status kInvalidParameter = S(0xC000000D);
constexpr Status kNoSuchDevice = S(0xC000000E);
constexpr Status kInvalidDeviceRequest = S(0xC0000010);
constexpr Status kBufferTooSmall = S(0xC0000023);
constexpr Status kDeletePending = S(0xC0000056);
constexpr Status kIoTimeout = S(0xC00000B5);
constexpr Status kCancelled = S(0xC0000120);
constexpr Status kInvalidDeviceState = S(0xC0000184);
constexpr Status kWdfBusy = S(0xC0200203);

constexpr uint32_t kVendorCode = 0x00222059;
constexpr uint32_t kReadCode = 0x0022204E;
constexpr uint8_t kGuid[16] = {0x19, 0x4c, 0x7a, 0x2d, 0xe3, 0x85, 0x6f, 0x4b,
                               0x9a, 0x02, 0xc4, 0x1e, 0x7b, 0x5d, 0x38, 0xf6};

// ------------------------------------------------------------------------ the stress firmware
// Its answer follows from the setup packet alone, so that the thread that sent the request
// knows what must come back.
enum class Answer { Data, Delayed, Stall, UsbErrorOnSuccess, Short, NoAnswer };

Answer AnswerFor(uint8_t request, uint16_t value) {
    switch (request % 8) {
    case 3:
        return Answer::Delayed;
    case 4:
        return Answer::Stall;
    case 5:
        return Answer::UsbErrorOnSuccess;
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
enum class Kind { Vendor, Read, Refused };

struct Op {
    Kind kind = Kind::Refused;
    uint32_t code = 0;
    Bytes in;
    Bytes out;
    bool cancelled = false;
    uint64_t epoch = 0;
    uint64_t startMs = 0; // virtual time when sent
    IoOperation io;
    // Expected outcome when nothing disturbs the request.
    Status status = kSuccess;
    uint32_t bytes = 0;
    // Vendor IN data to check (request, value), or none.
    bool checkIn = false;
    uint8_t request = 0;
    uint16_t value = 0;
};

struct Counters {
    std::atomic<uint64_t> ops{0}, vendor{0}, reads{0}, refused{0}, cancels{0}, idleDowns{0},
        stops{0}, sleeps{0}, removals{0}, interrupts{0}, wakes{0}, timeAdvances{0};
};

class Stress {
public:
    Stress(uint64_t seed, uint64_t ops, int threads, bool quiet)
        : m_seed(seed), m_target(ops), m_threads(threads), m_quiet(quiet) {}
    int Run();

private:
    void Worker(int index);
    void Controller();
    void Violation(const std::string& text);
    void MakeOp(std::mt19937_64& rng, Op& op);
    void Check(const Op& op, Status status, uint64_t bytes, bool disturbed, uint64_t elapsedMs);
    void Park();
    void Quiesce(bool on);
    PnpDevice* PlugInColorimeter();
    bool WaitForProgress(uint64_t until);
    void Counted() {
        const uint64_t n = ++m_count.ops;
        if (n % 64 == 0 || n >= m_target) {
            std::lock_guard<std::mutex> lk(m_mu);
            m_cv.notify_all();
        }
    }
    bool Finished() const { return m_count.ops.load() >= m_target; }

    uint64_t m_seed, m_target;
    int m_threads;
    bool m_quiet;
    kmdf::sim::World m_world;
    Counters m_count;
    std::atomic<uint64_t> m_epoch{0}; // odd while the controller disturbs the device
    std::atomic<uint64_t> m_violations{0};
    std::mutex m_mu; // guards the list below, the current device and its generation
    std::condition_variable m_cv;
    std::vector<std::string> m_violationTexts;
    PnpDevice* m_device = nullptr;
    uint64_t m_generation = 0;
    std::atomic<int> m_workersLeft{0};
    bool m_pause = false; // guarded by m_mu: workers finish their requests and wait
    int m_parked = 0;
};

void Stress::Violation(const std::string& text) {
    ++m_violations;
    std::lock_guard<std::mutex> lk(m_mu);
    if (m_violationTexts.size() < 20)
        m_violationTexts.push_back(text);
}

std::string Hex(uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08X", v);
    return t;
}

PnpDevice* Stress::PlugInColorimeter() {
    PnpDevice& device = m_world.PlugIn();
    device.Usb().SetVendorHandler([this](const SetupPacket& s, const Bytes& host) {
        const Answer answer = AnswerFor(s.bRequest, s.wValue);
        const bool in = (s.bmRequestType & 0x80) != 0;
        if (!in && answer != Answer::Stall && answer != Answer::NoAnswer) {
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
            return in ? ControlReply::Data(data) : ControlReply::Ack();
        case Answer::Delayed:
            return (in ? ControlReply::Data(data) : ControlReply::Ack()).After(1 + s.wValue % 3000);
        case Answer::Stall:
            return ControlReply::Stall();
        case Answer::UsbErrorOnSuccess:
            return ControlReply::Custom(kSuccess, static_cast<int32_t>(0xC0000011), data);
        case Answer::Short: {
            if (in)
                return ControlReply::Data(data);
            ControlReply reply = ControlReply::Ack();
            reply.acceptedOut = s.wLength / 2;
            return reply;
        }
        case Answer::NoAnswer:
            return ControlReply::NoAnswer();
        }
        return ControlReply::Stall();
    });
    const Status started = device.Start();
    if (started != kSuccess)
        Violation("colorimeter did not start: " + Hex(static_cast<uint32_t>(started)));
    return &device;
}

// A random request and what it must end with if nothing disturbs it.
void Stress::MakeOp(std::mt19937_64& rng, Op& op) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t roll = pick(100);
    if (roll < 50) {
        // A vendor request to the device, served unless the device says otherwise.
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
            op.bytes = 0;
            return;
        }
        switch (AnswerFor(op.request, op.value)) {
        case Answer::Data:
        case Answer::Delayed:
        case Answer::Short:
            op.status = kSuccess;
            if (in) {
                op.bytes = std::min<uint32_t>(InLengthFor(op.request, index, length), length);
                op.checkIn = true;
            } else {
                op.bytes = AnswerFor(op.request, op.value) == Answer::Short ? length / 2 : length;
            }
            break;
        case Answer::Stall:
        case Answer::UsbErrorOnSuccess:
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

// What requests of an unplugged device end with: refused by the I/O manager, failed at the
// removed USB target, or refused by a queue of the removed device.
bool IsGone(Status s) {
    return s == kDeletePending || s == kNoSuchDevice || s == kInvalidHandle ||
           s == kInvalidDeviceState || s == kWdfBusy;
}

void Stress::Check(const Op& op, Status status, uint64_t bytes, bool disturbed,
                   uint64_t elapsedMs) {
    const char* name = op.kind == Kind::Vendor ? "vendor"
                       : op.kind == Kind::Read ? "read"
                                               : "refused";
    auto fail = [&](const std::string& why) {
        Violation(std::string(name) + " code " + Hex(op.code) + " in " +
                  std::to_string(op.in.size()) + " out " + std::to_string(op.out.size()) + ": " +
                  why + " (status " + Hex(static_cast<uint32_t>(status)) + ", " +
                  std::to_string(bytes) + " bytes, " + std::to_string(elapsedMs) + " ms)");
    };
    if (status == kPending)
        return fail("still pending after its wait");
    if (bytes > op.out.size())
        return fail("more bytes than the buffer holds");
    // Whatever was handed to the USB stack may run into its 5 s timeout, and only then.
    const bool mayTimeOut = elapsedMs >= 5000 && op.kind != Kind::Refused;
    if (status == kIoTimeout && !mayTimeOut)
        return fail("timed out before 5 s had passed");
    if (op.kind == Kind::Read && op.status == kSuccess) {
        // Reads end with data, or fail: nothing came within 5 s, cancellation, D0 exit, a
        // transfer longer than the buffer; a failed read passes on the count reported for it.
        if (status == kSuccess) {
            if (bytes == 0 || op.out[0] != bytes)
                fail("interrupt data of another length than its packet says");
            uint8_t sum = 0;
            for (size_t i = 0; i + 1 < bytes; ++i)
                sum = static_cast<uint8_t>(sum + op.out[i]);
            if (bytes >= 2 && op.out[bytes - 1] != sum)
                fail("interrupt data corrupted");
            return;
        }
        if (status == kIoTimeout || status == kUnsuccessful)
            return;
        if (status == kCancelled && (op.cancelled || disturbed))
            return;
        if (disturbed && IsGone(status))
            return;
        return fail("a read failure nothing explains");
    }
    if (status == op.status && bytes == op.bytes) {
        if (op.checkIn && status == kSuccess) {
            for (size_t i = 0; i < bytes; ++i)
                if (op.out[i] != InByte(op.request, op.value, i))
                    return fail("vendor IN data differs from what the device sent");
        }
        return;
    }
    if (bytes != 0)
        return fail("a failed request with a count");
    if (status == kIoTimeout || (op.cancelled && status == kCancelled))
        return;
    if (disturbed && (status == kCancelled || IsGone(status)))
        return;
    fail("expected " + Hex(static_cast<uint32_t>(op.status)) + " with " + std::to_string(op.bytes) +
         " bytes");
}

void Stress::Worker(int index) {
    std::mt19937_64 rng(m_seed * 1000003u + static_cast<uint64_t>(index) + 1);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    Handle handle;
    uint64_t generation = ~0ull;
    std::deque<std::unique_ptr<Op>> outstanding;

    auto finish = [&](std::unique_ptr<Op> op) {
        const Status status = op->io.Wait();
        const uint64_t bytes = op->io.Information();
        // Requests on a handle of an unplugged device count as disturbed whenever they ran.
        bool unplugged;
        {
            std::lock_guard<std::mutex> lk(m_mu);
            unplugged = m_generation != generation;
        }
        const bool disturbed = unplugged || (op->epoch & 1) != 0 || m_epoch.load() != op->epoch;
        Check(*op, status, bytes, disturbed, m_world.NowMs() - op->startMs);
        if (IsGone(status))
            return true;
        return false;
    };
    auto drop = [&] {
        while (!outstanding.empty()) {
            finish(std::move(outstanding.front()));
            outstanding.pop_front();
        }
        kmdf::um::Close(handle);
        handle.reset();
    };

    while (!Finished()) {
        bool pause;
        {
            std::lock_guard<std::mutex> lk(m_mu);
            pause = m_pause;
        }
        if (pause) {
            while (!outstanding.empty()) {
                const bool gone = finish(std::move(outstanding.front()));
                outstanding.pop_front();
                if (gone)
                    drop();
            }
            Park();
            continue;
        }
        if (!handle) {
            std::string link;
            {
                std::unique_lock<std::mutex> lk(m_mu);
                m_cv.wait(lk, [&] { return Finished() || m_generation != generation; });
                if (Finished())
                    break;
                generation = m_generation;
            }
            const auto links = kmdf::um::FindDeviceInterfaces(kGuid);
            if (links.empty())
                continue;
            if (kmdf::um::Open(links.back(), kmdf::um::kAccessReadWrite, &handle) != kSuccess)
                handle.reset();
            continue;
        }
        auto op = std::make_unique<Op>();
        MakeOp(rng, *op);
        (op->kind == Kind::Vendor ? m_count.vendor
         : op->kind == Kind::Read ? m_count.reads
                                  : m_count.refused)++;
        op->epoch = m_epoch.load();
        op->startMs = m_world.NowMs();
        const Status started = kmdf::um::DeviceIoControlAsync(
            handle, op->code, op->in.empty() ? nullptr : op->in.data(),
            static_cast<uint32_t>(op->in.size()), op->out.empty() ? nullptr : op->out.data(),
            static_cast<uint32_t>(op->out.size()), &op->io);
        Counted();
        bool gone = false;
        if (started != kPending) {
            gone = finish(std::move(op));
        } else {
            if (pick(8) == 0) {
                op->cancelled = true;
                ++m_count.cancels;
                kmdf::um::CancelIo(handle, &op->io);
            }
            outstanding.push_back(std::move(op));
            // Keep up to four requests in flight; finish one at random beyond that.
            while (outstanding.size() > pick(5)) {
                const size_t i = pick(static_cast<uint32_t>(outstanding.size()));
                if (pick(6) == 0 && !outstanding[i]->cancelled) {
                    outstanding[i]->cancelled = true;
                    ++m_count.cancels;
                    kmdf::um::CancelIo(handle, &outstanding[i]->io);
                }
                std::unique_ptr<Op> done = std::move(outstanding[i]);
                outstanding.erase(outstanding.begin() + static_cast<long>(i));
                gone = finish(std::move(done)) || gone;
            }
        }
        if (gone)
            drop();
    }
    if (handle)
        drop();
    {
        std::lock_guard<std::mutex> lk(m_mu);
        --m_workersLeft;
        m_cv.notify_all();
    }
}

// A worker with nothing in flight waits while the controller lets the machine idle.
void Stress::Park() {
    std::unique_lock<std::mutex> lk(m_mu);
    ++m_parked;
    m_cv.notify_all();
    m_cv.wait(lk, [&] { return !m_pause || Finished(); });
    --m_parked;
}

void Stress::Quiesce(bool on) {
    std::unique_lock<std::mutex> lk(m_mu);
    m_pause = on;
    m_cv.notify_all();
    if (on)
        m_cv.wait(lk, [&] { return m_parked == m_workersLeft.load(); });
}

bool Stress::WaitForProgress(uint64_t until) {
    std::unique_lock<std::mutex> lk(m_mu);
    m_cv.wait(lk, [&] { return m_count.ops.load() >= until || m_workersLeft.load() == 0; });
    return !Finished() && m_workersLeft.load() > 0;
}

void Stress::Controller() {
    std::mt19937_64 rng(m_seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    uint16_t sequence = 0;
    while (WaitForProgress(m_count.ops.load() + 8 + pick(64))) {
        PnpDevice* device;
        {
            std::lock_guard<std::mutex> lk(m_mu);
            device = m_device;
        }
        const uint32_t roll = pick(1000);
        Counted();
        if (roll < 600) {
            // Interrupt transfers: a length byte, a sequence number, a checksum last.
            for (uint32_t n = 1 + pick(6); n != 0; --n) {
                Bytes packet(1 + pick(12));
                packet[0] = static_cast<uint8_t>(packet.size());
                uint8_t sum = packet[0];
                for (size_t i = 1; i + 1 < packet.size(); ++i) {
                    packet[i] = static_cast<uint8_t>(sequence + i);
                    sum = static_cast<uint8_t>(sum + packet[i]);
                }
                if (packet.size() >= 2)
                    packet.back() = sum;
                ++sequence;
                device->Usb().PushInterrupt(packet);
                ++m_count.interrupts;
            }
        } else if (roll < 760) {
            // Time passes under load: requests may run into their 5 s timeout.
            m_world.AdvanceMs(pick(7000));
            ++m_count.timeAdvances;
        } else if (roll < 820) {
            // No I/O for more than 10 s: the idle policy powers the device down; a request or
            // the device's wake signal powers it up again.
            Quiesce(true);
            m_world.AdvanceMs(10000 + pick(5000));
            ++m_count.timeAdvances;
            if (device->State() == PnpState::Started) {
                if (device->Power() != PowerState::Dx)
                    Violation("the device stayed in D0 after more than 10 s without I/O");
                else
                    ++m_count.idleDowns;
                if (pick(2) == 0) {
                    device->Usb().SignalRemoteWake();
                    ++m_count.wakes;
                    if (device->Power() != PowerState::D0)
                        Violation("the device's wake signal did not bring it back to D0");
                }
            }
            Quiesce(false);
        } else if (roll < 900) {
            ++m_epoch;
            device->Stop();
            device->Start();
            ++m_epoch;
            ++m_count.stops;
        } else if (roll < 975) {
            ++m_epoch;
            device->Sleep();
            device->Resume();
            ++m_epoch;
            ++m_count.sleeps;
        } else {
            ++m_epoch;
            device->SurpriseRemove();
            device->Remove(); // finishes when the last handle closes
            PnpDevice* next = PlugInColorimeter();
            {
                std::lock_guard<std::mutex> lk(m_mu);
                m_device = next;
                ++m_generation;
            }
            m_cv.notify_all();
            ++m_epoch;
            ++m_count.removals;
        }
    }
}

int Stress::Run() {
    m_world.verifier().SetHandler([this](const std::string& v) { Violation("verifier: " + v); });
    talvik_stress::SetUrbWatchHandler([this](const std::string& v) { Violation(v); });
    if (m_world.LoadDriver(&FxDriverEntry) != kSuccess) {
        std::fprintf(stderr, "driver stress: the driver did not load\n");
        return 2;
    }
    talvik_stress::InstallUrbWatch();
    m_device = PlugInColorimeter();
    m_generation = 1;
    m_workersLeft = m_threads;
    std::vector<std::thread> workers;
    for (int i = 0; i < m_threads; ++i)
        workers.emplace_back([this, i] { Worker(i); });
    Controller();
    for (auto& t : workers)
        t.join();

    if (talvik_stress::UrbBlocksHeld() != 0)
        Violation("a URB block is still held by a request after every request ended");
    m_world.UnloadDriver();
    if (m_world.PoolBlocksOutstanding() != 0)
        Violation(std::to_string(m_world.PoolBlocksOutstanding()) + " pool blocks left at unload");
    if (m_world.LiveObjects() != 0)
        Violation(std::to_string(m_world.LiveObjects()) + " framework objects left at unload");
    talvik_stress::SetUrbWatchHandler(nullptr);

    const Counters& c = m_count;
    std::printf("driver stress: seed %llu, %d threads: %llu operations (%llu vendor requests, "
                "%llu reads, %llu refused codes and blocks, %llu cancels, %llu URB uses; "
                "%llu interrupt transfers, %llu time steps with %llu idle power-downs, %llu "
                "remote wakes, %llu stop/restarts, %llu sleep/resumes, %llu surprise removals), "
                "%llu requests completed, %llu violations\n",
                static_cast<unsigned long long>(m_seed), m_threads,
                static_cast<unsigned long long>(c.ops.load()),
                static_cast<unsigned long long>(c.vendor.load()),
                static_cast<unsigned long long>(c.reads.load()),
                static_cast<unsigned long long>(c.refused.load()),
                static_cast<unsigned long long>(c.cancels.load()),
                static_cast<unsigned long long>(talvik_stress::UrbFormats()),
                static_cast<unsigned long long>(c.interrupts.load()),
                static_cast<unsigned long long>(c.timeAdvances.load()),
                static_cast<unsigned long long>(c.idleDowns.load()),
                static_cast<unsigned long long>(c.wakes.load()),
                static_cast<unsigned long long>(c.stops.load()),
                static_cast<unsigned long long>(c.sleeps.load()),
                static_cast<unsigned long long>(c.removals.load()),
                static_cast<unsigned long long>(m_world.RequestsCompleted()),
                static_cast<unsigned long long>(m_violations.load()));
    if (!m_quiet || m_violations.load() != 0)
        for (const std::string& v : m_violationTexts)
            std::printf("  violation: %s\n", v.c_str());
    return m_violations.load() == 0 ? 0 : 1;
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
                "usage: talvik_driver_stress [--seed N] [--ops N] [--threads 1-16] [--quiet]\n");
            return 2;
        }
    }
    Stress stress(seed, ops, static_cast<int>(threads), quiet);
    return stress.Run();
}
