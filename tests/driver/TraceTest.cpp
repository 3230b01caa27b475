// A checked build routes the driver's trace lines to the debugger output: statuses rendered,
// each line at the debugger level of its trace level and with its category in the filter mask.
#include "Talvik.h"
#include <wdfldr.h>
#include "kmdf/sim/World.h"
#include "kmdf/usermode/DeviceIo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

using kmdf::sim::ControlReply;
using kmdf::sim::DebugLine;
using kmdf::sim::SetupPacket;
namespace um = kmdf::um;

// Every line the driver writes: the format, its trace level and its category.
struct KnownLine {
    const char* format;
    ULONG level;
    ULONG category;
};
const KnownLine kLines[] = {
    {"Talvik Driver - Driver Framework Edition.\n", 2, 0x1},
    {"Built %s %s\n", 4, 0x1},
    {"WdfDriverCreate failed with status 0x%x\n", 2, 0x1},
    {"WdfDeviceCreate failed with Status code %!STATUS!\n", 2, 0x2},
    {"WdfIoQueueCreate failed  %!STATUS!\n", 2, 0x2},
    {"WdfDeviceCreateDeviceInterface failed  %!STATUS!\n", 2, 0x2},
    {"WdfUsbTargetDeviceCreate failed with Status code %!STATUS!\n", 2, 0x2},
    {"SelectInterfaces failed 0x%x\n", 2, 0x2},
    {"IsDeviceSelfPowered: %s\n", 2, 0x2},
    {"IsDeviceRemoteWakeable: %s\n", 2, 0x2},
    {"TalvikSetPowerPolicy failed  %!STATUS!\n", 2, 0x2},
    {"TalvikEvtDevicePrepareHardware:Urb  memory created\n", 2, 0x20},
    {"URB_FUNCTION_VENDOR_DEVICE:User's urb  memory create failed\n", 2, 0x20},
    {"TalvikEvtDevicePrepareHardware:WDF  memory created\n", 2, 0x20},
    {"WdfMemoryCreatePreallocated: User's WDF memory failed\n", 2, 0x20},
    {"WdfUsbTargetDeviceSelectConfig failed %!STATUS!\n", 2, 0x2},
    {"Device Interface can not set %!STATUS!\n", 2, 0x2},
    {"WdfUsbInterfaceSelectSetting failed %!STATUS!\n", 2, 0x2},
    {"Wrong number of pipes %d\n", 2, 0x2},
    {"Device is not configured properly %!STATUS!\n", 2, 0x2},
    {"WdfDeviceSetPowerPolicyS0IdlePolicy failed %x\n", 2, 0x2},
    {"WdfDeviceAssignSxWakeSettings failed %x\n", 2, 0x2},
    {"TalvikEvtDeviceReleaseHardware:Urb memory deleted\n", 2, 0x20},
    {"TalvikEvtDeviceReleaseHardware: WDF memory deleted\n", 2, 0x20},
    {"--> TalvikEvtIoDeviceControl\n", 4, 0x20},
    {"<-- TalvikEvtIoDeviceControl\n", 4, 0x20},
    {"--> TalvikEvtIoVendorRequest\n", 4, 0x20},
    {"<-- TalvikEvtIoVendorRequest\n", 4, 0x20},
    {"User's input buffer is too small for this IOCTL, expecting an "
     "VENDOR_OR_CLASS_REQUEST_CONTROL\n",
     2, 0x20},
    {"Request control request 0x%x\n", 4, 0x20},
    {"input buffer size %d\n", 2, 0x20},
    {"Request Direction IN\n", 2, 0x20},
    {"User's output buffer is too small for this IOCTL\n", 2, 0x20},
    {"WDFSend request control: %x\n", 2, 0x20},
    {"WDFSend request value: %x\n", 2, 0x20},
    {"WDFSend request index: %x\n", 2, 0x20},
    {"WdfUsbTargetDeviceFormatRequestForUrb:failed %x\n", 2, 0x20},
    {"WDFSend status %d\n", 2, 0x20},
    {"URB_FUNCTION_VENDOR_DEVICE:WDFSend status %d\n", 2, 0x20},
    {"TalvikIoctlCompletionRoutine:Request failed - %x\n", 2, 0x20},
    {"TalvikIoctlCompletionRoutine:Read failed - request status 0x%x UsbdStatus 0x%x\n", 2, 0x80},
    {"bytes  - %d \n", 2, 0x20},
    {"WdfRequestRetrieveOutputMemory failed %!STATUS!\n", 2, 0x80},
    {"WdfRequestRetrieveOutputMemory goes good\n", 2, 0x80},
    {"WdfUsbTargetPipeFormatRequestForRead failed 0x%x\n", 2, 0x80},
    {"WdfUsbTargetPipeFormatRequestForRead goes good\n", 2, 0x80},
    {"WdfRequestSend failed\n", 2, 0x80},
    {"Number of bytes read: %d\n", 4, 0x80},
    {"Read failed - request status 0x%x UsbdStatus 0x%x\n", 2, 0x80},
    // Refusing a buffer the caller cannot write, in the caller's context.
    {"WdfRequestProbeAndLockUserBufferForWrite failed %!STATUS!\n", 2, 0x20},
    {"WdfDeviceEnqueueRequest failed %!STATUS!\n", 2, 0x20},
    {"User's output buffer is not locked for writing\n", 2, 0x20},
};

// The fixed text of a format up to its first conversion.
std::string Prefix(const char* format) {
    const char* pct = std::strchr(format, '%');
    return pct ? std::string(format, pct) : std::string(format);
}

// The line a debug line comes from: the longest matching fixed text.
const KnownLine* KnownLineOf(const std::string& text) {
    const KnownLine* best = nullptr;
    size_t bestLength = 0;
    for (const KnownLine& l : kLines) {
        std::string p = Prefix(l.format);
        bool exact = std::strchr(l.format, '%') == nullptr;
        if ((exact ? text == p : text.rfind(p, 0) == 0) && p.size() >= bestLength) {
            best = &l;
            bestLength = p.size();
        }
    }
    return best;
}

ULONG DebuggerLevel(ULONG traceLevel) {
    return traceLevel == 2 ? DPFLTR_ERROR_LEVEL : DPFLTR_INFO_LEVEL;
}

class CheckedBuild : public ::testing::Test {
protected:
    void SetUp() override {
        w_.verifier().SetHandler([](const std::string& v) { ADD_FAILURE() << "verifier: " << v; });
    }
    bool Logged(const std::string& line) const {
        auto log = w_.DebugLog();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    // Every line so far: known, at the debugger level of its trace level, with its category,
    // for the driver's component. Returns the formats seen.
    std::set<std::string> CheckEveryLine() const {
        std::set<std::string> seen;
        for (const DebugLine& l : w_.DebugLines()) {
            SCOPED_TRACE(l.text);
            const KnownLine* known = KnownLineOf(l.text);
            if (!known) {
                ADD_FAILURE() << "a line the driver should not write";
                continue;
            }
            seen.insert(known->format);
            EXPECT_EQ(l.component, static_cast<uint32_t>(DPFLTR_IHVDRIVER_ID));
            EXPECT_EQ(l.level, DPFLTR_MASK | (1u << DebuggerLevel(known->level)) |
                                   (known->category << TALVIK_TRACE_CATEGORY_SHIFT));
            EXPECT_EQ(l.text.find("%!"), std::string::npos);
        }
        return seen;
    }
    kmdf::sim::World w_;
};

TEST_F(CheckedBuild, EveryLineCarriesItsLevelAndCategoryAndShowsStatuses) {
    ASSERT_EQ(w_.LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    auto log = w_.DebugLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "Talvik Driver - Driver Framework Edition.\n");
    EXPECT_EQ(log[1].rfind("Built ", 0), 0u); // the compiler's date and time follow

    w_.faults().Fail("WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(w_.PlugIn().AddStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Logged("WdfDeviceCreate failed with Status code 0xc000009a\n"));
    w_.faults().Fail("WdfUsbTargetDeviceSelectConfig", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w_.PlugIn().Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("WdfUsbTargetDeviceSelectConfig failed 0xc0000001\n"));

    kmdf::sim::ColorimeterConfig noWake;
    noWake.remoteWake = false;
    kmdf::sim::PnpDevice& d = w_.PlugIn(noWake);
    ASSERT_EQ(d.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("IsDeviceSelfPowered: FALSE\n"));
    EXPECT_TRUE(Logged("IsDeviceRemoteWakeable: FALSE\n"));

    // Requests down each path: served both ways, refused, stalled, timed out, read, failed.
    int calls = 0;
    d.Usb().SetVendorHandler([&](const SetupPacket&, const std::vector<uint8_t>&) {
        switch (calls++) {
        case 0:
            return ControlReply::Data({1, 2, 3});
        case 1:
            return ControlReply::Custom(STATUS_SUCCESS, static_cast<int32_t>(0xC0000004));
        default:
            return ControlReply::Stall();
        }
    });
    um::Handle h;
    ASSERT_EQ(um::Open(d.Interfaces()[0], um::kAccessReadWrite, &h), STATUS_SUCCESS);
    VENDOR_OR_CLASS_REQUEST_CONTROL block = {1, 2, 0, 0, 5, 0, 0x12, 0x34};
    uint8_t out[8] = {};
    auto vendor = [&](uint32_t inLength) {
        return um::DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, inLength, out,
                                   sizeof out, nullptr);
    };
    EXPECT_EQ(vendor(sizeof block), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("bytes  - 3 \n"));
    EXPECT_EQ(vendor(sizeof block), STATUS_UNSUCCESSFUL);
    block.Direction = 0;
    EXPECT_EQ(vendor(sizeof block), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vendor(9), STATUS_BUFFER_TOO_SMALL);
    block.RequestType = 1;
    EXPECT_EQ(vendor(sizeof block), STATUS_INVALID_DEVICE_REQUEST);
    block.RequestType = 2;
    block.Direction = 1;
    um::ProtectReadOnly(out, sizeof out);
    EXPECT_EQ(vendor(sizeof block), STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(Logged("WdfRequestProbeAndLockUserBufferForWrite failed 0xc0000005\n"));
    um::ProtectReadWrite(out, sizeof out);
    w_.faults().Fail("WdfRequestSend", STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(vendor(sizeof block), STATUS_DEVICE_NOT_READY);

    uint8_t in[8];
    um::IoOperation read;
    ASSERT_EQ(
        um::DeviceIoControlAsync(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, &read),
        STATUS_PENDING);
    d.Usb().PushInterrupt({7, 7});
    EXPECT_EQ(read.GetStatus(), STATUS_SUCCESS);
    EXPECT_EQ(um::DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, nullptr),
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(um::DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, nullptr, 0, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(Logged("WdfRequestRetrieveOutputMemory failed 0xc0000023\n"));
    w_.faults().Fail("WdfRequestSend", STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(um::DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, nullptr),
              STATUS_DEVICE_NOT_READY);
    um::Close(h);
    d.Remove();

    std::set<std::string> seen = CheckEveryLine();
    for (const char* format :
         {"--> TalvikEvtIoDeviceControl\n", "Request control request 0x%x\n",
          "Request Direction IN\n", "WDFSend status %d\n",
          "TalvikIoctlCompletionRoutine:Request failed - %x\n",
          "TalvikIoctlCompletionRoutine:Read failed - request status 0x%x "
          "UsbdStatus 0x%x\n",
          "URB_FUNCTION_VENDOR_DEVICE:WDFSend status %d\n", "Number of bytes read: %d\n",
          "WdfRequestSend failed\n", "Read failed - request status 0x%x UsbdStatus 0x%x\n",
          "TalvikEvtDeviceReleaseHardware: WDF memory deleted\n"})
        EXPECT_EQ(seen.count(format), 1u) << format;
}

// The debugger renders printf conversions only; the layer's vDbgPrintEx does the same and
// reports a format that still carries "%!STATUS!".
TEST(DebuggerOutput, PrintsWhatItIsGivenAndCatchesAnUnrenderedStatus) {
    kmdf::sim::World w;
    std::vector<std::string> seen;
    w.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "value %d\n", 5);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "failed %!STATUS!\n", 5);
    auto lines = w.DebugLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "value 5\n");
    EXPECT_EQ(lines[0].level, static_cast<uint32_t>(DPFLTR_INFO_LEVEL));
    EXPECT_EQ(lines[1].text, "failed %!STATUS!\n");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("trace-format extension"), std::string::npos);
}

} // namespace
