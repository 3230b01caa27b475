// Requests from several threads while the device idles, the system sleeps, the device is stopped
// and restarted and at last unplugged: every request ends exactly once (the kernel's verifier
// watches each IRP) with a status the driver allows, and nothing leaks.
#include "Talvik2Test.h"

#include <atomic>
#include <random>
#include <set>
#include <thread>

using namespace talvik_test;

namespace {

class Concurrency : public Talvik2Test {};

bool Allowed(NTSTATUS s) {
    static const std::set<NTSTATUS> allowed = {
        STATUS_SUCCESS,
        STATUS_UNSUCCESSFUL,
        STATUS_IO_TIMEOUT,
        STATUS_CANCELLED,
        STATUS_DELETE_PENDING,
        STATUS_NO_SUCH_DEVICE,
        STATUS_BUFFER_TOO_SMALL,
        STATUS_INVALID_DEVICE_REQUEST,
        STATUS_INVALID_DEVICE_STATE, // sent to a removed target
        STATUS_WDF_BUSY};            // refused by a queue of the removed device
    return allowed.count(s) != 0;
}

TEST_F(Concurrency, ClientsPowerTransitionsAndRemovalTogether) {
    Colorimeter* d = StartColorimeter();
    ASSERT_NE(d, nullptr);
    std::atomic<int> answers{0};
    d->SetVendorHandler([&](const USB_SETUP_PACKET& s, const std::vector<uint8_t>&) {
        switch (answers++ % 4) {
        case 0:
            return ControlReply::Data(std::vector<uint8_t>(s.wLength, 1));
        case 1:
            return ControlReply::Ack().After(3);
        case 2:
            return ControlReply::Stall();
        default:
            return ControlReply::NoAnswer();
        }
    });
    Handle h = Open();
    constexpr int kThreads = 3, kOps = 150;
    std::atomic<int> done{0}, bad{0};
    std::atomic<bool> stop{false}, stopClock{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 rng(1234u + static_cast<unsigned>(t));
            for (int i = 0; i < kOps; ++i) {
                uint8_t out[32];
                auto block = Block(static_cast<UCHAR>(rng() % 2), 2, 0, 1, 0, 0);
                bool read = rng() % 3 == 0;
                ULONG outLength = static_cast<ULONG>(rng() % 33);
                ntsim::Overlapped op;
                NTSTATUS s = machine().DeviceIoControl(
                    h, read ? IOCTL_READ_INTERRUPT_PIPE : IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                    sizeof block, outLength ? out : nullptr, outLength, &op);
                if (s == STATUS_PENDING && rng() % 4 == 0)
                    machine().CancelIoEx(h, &op);
                if (s == STATUS_PENDING)
                    s = op.Wait();
                if (!Allowed(s) || op.Information() > outLength) {
                    bad++;
                    ADD_FAILURE() << std::hex << "status " << s << " bytes " << op.Information()
                                  << " of " << outLength << (read ? " read" : " vendor");
                }
                done++;
            }
        });
    }
    // Time runs on a thread of its own, so that a transition waiting for the driver's requests
    // (their 5 s timeouts) always sees it move.
    std::thread clock([&] {
        std::mt19937 rng(7);
        while (!stopClock) {
            machine().AdvanceMs(rng() % 40);
            std::this_thread::yield();
        }
    });
    std::thread power([&] {
        std::mt19937 rng(99);
        while (!stop) {
            switch (rng() % 5) {
            case 0:
                machine().AdvanceMs(rng() % 12000);
                break;
            case 1:
                d->PushInterrupt({1, 2, 3});
                break;
            case 2:
                if (machine().Sleep() == STATUS_SUCCESS)
                    machine().Wake();
                break;
            case 3:
                if (machine().Stop(d) == STATUS_SUCCESS)
                    machine().Start(d);
                break;
            default:
                std::this_thread::yield();
            }
        }
    });
    while (done < kThreads * kOps / 2)
        std::this_thread::yield();
    stop = true;
    power.join(); // with the clock still running: a transition may be waiting for it
    stopClock = true;
    clock.join();
    // Unplugged: what the bus holds fails, the queues are purged, later requests fail at once.
    EXPECT_EQ(machine().Unplug(d), STATUS_SUCCESS);
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(done.load(), kThreads * kOps);
    EXPECT_FALSE(State(d).present);
    EXPECT_EQ(Close(h), STATUS_SUCCESS);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
}

} // namespace
