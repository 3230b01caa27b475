// Talvik2 on the framework over the simulated kernel, served by the virtual bus: the two requests
// of its contract (a vendor request IN with a 64-byte buffer and 12 bytes back, an interrupt read
// of 8 bytes into 64), each through the I/O manager, the framework and the bus; the driver's pool
// allocations are those with its tag.
#include "BenchLoop.h"

#include "sim/Talvik2Machine.h"

#include <Talvik.h>

int main(int argc, char** argv) {
    sim::Talvik2Machine machine;
    sim::Colorimeter* device = machine.PlugIn();
    sim::Machine::Handle handle = 0;
    if (device == nullptr || machine.Open(&handle) != STATUS_SUCCESS)
        return bench::SetupFailed(machine, "no interface to open");
    device->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<std::uint8_t>&) {
        return sim::ControlReply::Data(std::vector<std::uint8_t>(12, 0x5A));
    });
    const std::vector<std::uint8_t> report(8, 0x11);
    std::uint8_t buffer[64];
    bench::Request request;
    request.driverTag = TALVIK_POOL_TAG;
    request.vendor = [&] {
        VENDOR_OR_CLASS_REQUEST_CONTROL block = {1, 2, 0, 0, 1, 0, 0, 0};
        ULONG_PTR bytes = 0;
        return machine.DeviceIoControl(handle, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block,
                                       buffer, sizeof buffer, &bytes) == STATUS_SUCCESS &&
               bytes == 12;
    };
    request.read = [&] {
        ULONG_PTR bytes = 0;
        return device->PushInterrupt(report) == STATUS_SUCCESS &&
               machine.DeviceIoControl(handle, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, buffer,
                                       sizeof buffer, &bytes) == STATUS_SUCCESS &&
               bytes == 8;
    };
    return bench::Run(argc, argv, machine, request);
}
