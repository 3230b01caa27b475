// The stack's cost without the framework, for scale: the tests' own WDM driver (one IRP straight
// to the bus) under the same machine and the same requests as the Talvik2 stack bench.
#include "BenchLoop.h"

#include "FunctionDriver.h"

int main(int argc, char** argv) {
    sim::MachineOptions options;
    options.service = "FnTest";
    options.driverEntry = FnDriverEntry;
    options.interfaceGuid = FnInterfaceGuid;
    options.hardwareIds = {"USB\\VID_1234&PID_5678"};
    sim::Machine machine(options);
    sim::ColorimeterConfig config;
    config.vendorId = 0x1234;
    config.productId = 0x5678;
    sim::Colorimeter* device = machine.PlugIn(config);
    sim::Machine::Handle handle = 0;
    if (device == nullptr || machine.Open(&handle) != STATUS_SUCCESS)
        return bench::SetupFailed(machine, "no interface to open");
    device->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<std::uint8_t>&) {
        return sim::ControlReply::Data(std::vector<std::uint8_t>(12, 0x5A));
    });
    const std::vector<std::uint8_t> report(8, 0x11);
    std::uint8_t buffer[64];
    bench::Request request;
    request.vendor = [&] {
        FN_VENDOR_REQUEST in{1, 0, 0};
        ULONG_PTR bytes = 0;
        return machine.DeviceIoControl(handle, IOCTL_FN_VENDOR_IN, &in, sizeof in, buffer,
                                       sizeof buffer, &bytes) == STATUS_SUCCESS &&
               bytes == 12;
    };
    request.read = [&] {
        ULONG_PTR bytes = 0;
        return device->PushInterrupt(report) == STATUS_SUCCESS &&
               machine.DeviceIoControl(handle, IOCTL_FN_READ_INTERRUPT, nullptr, 0, buffer,
                                       sizeof buffer, &bytes) == STATUS_SUCCESS &&
               bytes == 8;
    };
    return bench::Run(argc, argv, machine, request);
}
