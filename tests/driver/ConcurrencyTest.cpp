// Requests from several threads while the device idles, sleeps, stops and is surprise-removed:
// every request ends exactly once with a status the driver allows, and nothing leaks.
#include "DriverTest.h"

#include <atomic>
#include <random>
#include <set>
#include <thread>

using namespace talvik_test;
namespace um = kmdf::um;

namespace {

class Concurrency : public DriverTest {};

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
    PnpDevice& d = StartColorimeter();
    std::atomic<int> answers{0};
    d.Usb().SetVendorHandler([&](const SetupPacket& s, const std::vector<uint8_t>&) {
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
    um::Handle h = Open(d);
    constexpr int kThreads = 3, kOps = 150;
    std::atomic<int> done{0}, bad{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 rng(1234u + static_cast<unsigned>(t));
            for (int i = 0; i < kOps; ++i) {
                uint8_t out[32];
                auto block = Block(static_cast<UCHAR>(rng() % 2), 2, 0, 1, 0, 0);
                bool read = rng() % 3 == 0;
                uint32_t outLength = static_cast<uint32_t>(rng() % 33);
                um::IoOperation op;
                NTSTATUS s = um::DeviceIoControlAsync(
                    h, read ? IOCTL_READ_INTERRUPT_PIPE : IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                    sizeof block, outLength ? out : nullptr, outLength, &op);
                if (s == STATUS_PENDING && rng() % 4 == 0)
                    um::CancelIo(h, &op);
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
    std::thread power([&] {
        std::mt19937 rng(99);
        while (!stop) {
            switch (rng() % 5) {
            case 0:
                world().AdvanceMs(rng() % 12000);
                break;
            case 1:
                d.Usb().PushInterrupt({1, 2, 3});
                break;
            case 2:
                if (d.Sleep() == STATUS_SUCCESS)
                    d.Resume();
                break;
            case 3:
                if (d.Stop() == STATUS_SUCCESS)
                    d.Start();
                break;
            default:
                std::this_thread::yield();
            }
        }
    });
    while (done < kThreads * kOps / 2)
        std::this_thread::yield();
    stop = true;
    power.join();
    d.SurpriseRemove();
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(done.load(), kThreads * kOps);
    um::Close(h);
    EXPECT_EQ(d.State(), PnpState::SurpriseRemoved);
    d.Remove();
    EXPECT_EQ(d.State(), PnpState::Removed);
    EXPECT_EQ(world().PoolBlocksOutstanding(), 0u);
}

} // namespace
