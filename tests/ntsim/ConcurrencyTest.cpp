// Many callers at once on the bus: interrupt reads fed and cancelled, vendor requests answered
// later on the clock, from several threads; every request completes once (built under TSan too).
#include "FunctionDriver.h"
#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <usbbus/UsbBus.h>

#include <atomic>
#include <thread>

using ntsim::Overlapped;
using ntsim::UserIo;

namespace {

using ConcurrencyTest = KernelFixture;

TEST_F(ConcurrencyTest, EveryRequestCompletesOnceUnderConcurrentTraffic) {
    PDEVICE_OBJECT busPdo = AddBusWithTestFunctionDriver();
    PDEVICE_OBJECT bus = busPdo->AttachedDevice;
    TestUsbDevice device;
    device.SetControlHandler([](const USB_SETUP_PACKET& s, UCHAR* data) {
        if (s.wLength > 0)
            data[0] = s.bRequest;
        return UsbReplyOf(UsbReplyData, s.wLength > 0 ? 1 : 0, s.bRequest % 3);
    });
    ULONG port = 0;
    ASSERT_EQ(UsbBusPlugIn(bus, &device, &port), STATUS_SUCCESS);
    kernel().WaitIdle();
    std::vector<std::string> paths = kernel().User().FindInterfaces(FnInterfaceGuid);
    ASSERT_EQ(paths.size(), 1u);

    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> completed{0}, clients{kThreads};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            UserIo::Handle h = 0;
            ASSERT_EQ(kernel().User().CreateFile(paths[0], UserIo::kGenericRead, &h),
                      STATUS_SUCCESS);
            for (int i = 0; i < kRounds; ++i) {
                UCHAR in[8], out[8];
                FN_VENDOR_REQUEST request{static_cast<UCHAR>(i), 0, 0};
                Overlapped read, vendor;
                NTSTATUS r = kernel().User().DeviceIoControl(h, IOCTL_FN_READ_INTERRUPT, nullptr, 0,
                                                             in, sizeof in, &read);
                NTSTATUS v = kernel().User().DeviceIoControl(
                    h, IOCTL_FN_VENDOR_IN, &request, sizeof request, out, sizeof out, &vendor);
                if ((i + t) % 2 == 0)
                    kernel().User().CancelIoEx(h, &read);
                EXPECT_TRUE(r == STATUS_PENDING || r == STATUS_SUCCESS);
                EXPECT_TRUE(v == STATUS_PENDING || v == STATUS_SUCCESS);
                NTSTATUS readStatus = read.Wait();
                EXPECT_TRUE(readStatus == STATUS_SUCCESS || readStatus == STATUS_CANCELLED);
                EXPECT_EQ(vendor.Wait(), STATUS_SUCCESS);
                EXPECT_EQ(out[0], request.Request);
                completed += 2;
            }
            kernel().User().CloseHandle(h);
            clients--;
        });
    std::thread feeder([&] {
        const UCHAR packet[2] = {1, 2};
        while (clients > 0) {
            UsbBusFeedIn(bus, port, 0x81, packet, sizeof packet);
            kernel().AdvanceMs(1);
            std::this_thread::yield();
        }
        stop = true;
    });
    for (auto& thread : threads)
        thread.join();
    feeder.join();
    EXPECT_EQ(completed, 2 * kThreads * kRounds);
    EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo), STATUS_SUCCESS);
    kernel().WaitIdle();
    EXPECT_EQ(kernel().PoolOutstanding(), 0u);
}

} // namespace
