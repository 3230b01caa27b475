// Drives the Talvik2 driver through a steady stream of the two device-control requests, one
// kind at a time, for scripts/bench-driver.sh: run under callgrind for instruction counts, run
// natively for time, and asked for the allocations the driver made while serving them.
//
//   talvik_driver_bench --vendor N | --read N    N requests after a warm-up of 100
// Prints: requests, pool allocations and framework objects created per request during them, and
// the CPU time they took.
#include "kmdf/sim/World.h"
#include "kmdf/usermode/DeviceIo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

// The driver image's entry point: the framework bind stub around the driver's DriverEntry.
extern "C" kmdf::sim::Status FxDriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

namespace {

using kmdf::sim::ControlReply;
using kmdf::sim::SetupPacket;

constexpr uint32_t kVendorCode = 0x00222059;
constexpr uint32_t kReadCode = 0x0022204E;
constexpr uint8_t kGuid[16] = {0x19, 0x4c, 0x7a, 0x2d, 0xe3, 0x85, 0x6f, 0x4b,
                               0x9a, 0x02, 0xc4, 0x1e, 0x7b, 0x5d, 0x38, 0xf6};
// Framework calls that create objects or take memory on the driver's behalf.
const char* const kAllocatingCalls[] = {
    "ExAllocatePoolWithTag",    "WdfMemoryCreatePreallocated",
    "WdfMemoryCreate",          "WdfObjectCreate",
    "WdfRequestCreate",         "WdfIoQueueCreate",
    "WdfUsbTargetDeviceCreate", "WdfDeviceCreate",
};

double CpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

uint64_t AllocatingCalls(kmdf::sim::World& world) {
    uint64_t n = 0;
    for (const char* api : kAllocatingCalls)
        n += world.faults().Calls(api);
    return n;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 ||
        (std::strcmp(argv[1], "--vendor") != 0 && std::strcmp(argv[1], "--read") != 0)) {
        std::fprintf(stderr, "usage: talvik_driver_bench --vendor N | --read N\n");
        return 2;
    }
    const bool vendor = std::strcmp(argv[1], "--vendor") == 0;
    const long count = std::strtol(argv[2], nullptr, 10);
    if (count <= 0)
        return 2;

    kmdf::sim::World world;
    int violations = 0;
    world.verifier().SetHandler([&](const std::string& v) {
        ++violations;
        std::fprintf(stderr, "verifier: %s\n", v.c_str());
    });
    if (world.LoadDriver(&FxDriverEntry) != 0)
        return 1;
    kmdf::sim::PnpDevice& device = world.PlugIn();
    if (device.Start() != 0)
        return 1;
    // The case of the contract: a 64-byte IN buffer, 12 bytes back from the device.
    device.Usb().SetVendorHandler([](const SetupPacket&, const std::vector<uint8_t>&) {
        return ControlReply::Data(std::vector<uint8_t>(12, 0x5A));
    });
    const auto links = kmdf::um::FindDeviceInterfaces(kGuid);
    kmdf::um::Handle handle;
    if (links.empty() || kmdf::um::Open(links[0], kmdf::um::kAccessReadWrite, &handle) != 0)
        return 1;

    // Vendor request: Direction IN, vendor, device, request 1.
    const uint8_t block[10] = {1, 2, 0, 0, 1, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> report(8, 0x11);
    uint8_t buffer[64];
    auto one = [&] {
        uint32_t bytes = 0;
        kmdf::um::Status s;
        if (vendor) {
            s = kmdf::um::DeviceIoControl(handle, kVendorCode, block, sizeof block, buffer,
                                          sizeof buffer, &bytes);
            return s == 0 && bytes == 12;
        }
        device.Usb().PushInterrupt(report);
        s = kmdf::um::DeviceIoControl(handle, kReadCode, nullptr, 0, buffer, sizeof buffer, &bytes);
        return s == 0 && bytes == 8;
    };
    for (int i = 0; i < 100; ++i)
        if (!one())
            return 1;

    const uint64_t pool0 = world.PoolAllocations();
    const uint64_t calls0 = AllocatingCalls(world);
    const size_t objects0 = world.LiveObjects();
    const double t0 = CpuSeconds();
    long failed = 0;
    for (long i = 0; i < count; ++i)
        failed += one() ? 0 : 1;
    const double seconds = CpuSeconds() - t0;
    const uint64_t pool = world.PoolAllocations() - pool0;
    const uint64_t calls = AllocatingCalls(world) - calls0;
    const long objects = static_cast<long>(world.LiveObjects()) - static_cast<long>(objects0);

    kmdf::um::Close(handle);
    world.UnloadDriver();
    // Start-up counts show that the counters see the driver's allocations at all.
    std::printf("startup_pool_allocations %llu startup_allocating_calls %llu "
                "requests %ld failed %ld pool_allocations %llu allocating_calls %llu "
                "objects_left %ld cpu_seconds %.6f violations %d\n",
                static_cast<unsigned long long>(pool0), static_cast<unsigned long long>(calls0),
                count, failed, static_cast<unsigned long long>(pool),
                static_cast<unsigned long long>(calls), objects, seconds, violations);
    return failed == 0 && violations == 0 ? 0 : 1;
}
