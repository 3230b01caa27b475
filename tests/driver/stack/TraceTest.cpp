// The driver's checked build on the kernel stack routes its trace lines to the debugger output:
// statuses rendered, each line at the debugger level of its trace level and with its category in
// the filter mask. (The debugger's own rendering, and a format that reaches it unrendered, are
// the kernel's: ntsim KernelTest.DebugOutputIsRenderedAndATraceFormatExtensionIsReported.)
#include "StackFixture.h"

#include "sim/Talvik2Machine.h"

#include <ntddk.h>

#include <Talvik.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

using sim::ControlReply;

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

VENDOR_OR_CLASS_REQUEST_CONTROL Block(UCHAR direction, UCHAR type) {
    VENDOR_OR_CLASS_REQUEST_CONTROL block = {};
    block.Direction = direction;
    block.RequestType = type;
    block.Request = 5;
    block.Value = 0x1234;
    return block;
}

class CheckedBuild : public StackFixture<sim::Talvik2Machine> {
protected:
    std::vector<ntsim::DebugLine> Lines() { return machine().Kernel().DebugOutput(); }
    bool Logged(const std::string& text) {
        std::vector<ntsim::DebugLine> lines = Lines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const ntsim::DebugLine& l) { return l.text == text; });
    }
    // Every line so far: known, at the debugger level of its trace level, with its category,
    // for the driver's component. Returns the formats seen.
    std::set<std::string> CheckEveryLine() {
        std::set<std::string> seen;
        for (const ntsim::DebugLine& l : Lines()) {
            SCOPED_TRACE(l.text);
            const KnownLine* known = KnownLineOf(l.text);
            if (!known) {
                ADD_FAILURE() << "a line the driver should not write";
                continue;
            }
            seen.insert(known->format);
            EXPECT_EQ(l.component, static_cast<ULONG>(DPFLTR_IHVDRIVER_ID));
            EXPECT_EQ(l.level, DPFLTR_MASK | (1u << DebuggerLevel(known->level)) |
                                   (known->category << TALVIK_TRACE_CATEGORY_SHIFT));
            EXPECT_EQ(l.text.find("%!"), std::string::npos);
        }
        return seen;
    }
};

TEST_F(CheckedBuild, EveryLineCarriesItsLevelAndCategoryAndShowsStatuses) {
    Boot();
    // The driver loads with the first colorimeter, whose device add fails.
    machine().FailCall("WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_NE(machine().PlugIn(), nullptr);
    EXPECT_TRUE(machine().Interfaces().empty());
    std::vector<ntsim::DebugLine> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Talvik Driver - Driver Framework Edition.\n");
    EXPECT_EQ(lines[1].text.rfind("Built ", 0), 0u); // the compiler's date and time follow
    EXPECT_TRUE(Logged("WdfDeviceCreate failed with Status code 0xc000009a\n"));
    machine().FailCall("WdfUsbTargetDeviceSelectConfig", STATUS_UNSUCCESSFUL);
    ASSERT_NE(machine().PlugIn(), nullptr);
    EXPECT_TRUE(Logged("WdfUsbTargetDeviceSelectConfig failed 0xc0000001\n"));
    EXPECT_TRUE(machine().Interfaces().empty());

    sim::ColorimeterConfig noWake;
    noWake.remoteWake = false;
    sim::Colorimeter* d = machine().PlugIn(noWake);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(machine().Interfaces().size(), 1u);
    EXPECT_TRUE(Logged("IsDeviceSelfPowered: FALSE\n"));
    EXPECT_TRUE(Logged("IsDeviceRemoteWakeable: FALSE\n"));

    // Requests down each path: served both ways, refused, stalled, timed out, read, failed.
    int calls = 0;
    d->SetVendorHandler([&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        switch (calls++) {
        case 0:
            return ControlReply::Data({1, 2, 3});
        case 1:
            return ControlReply::UsbError(USBD_STATUS_STALL_PID);
        default:
            return ControlReply::Stall();
        }
    });
    sim::Machine::Handle h = 0;
    ASSERT_EQ(machine().Open(&h), STATUS_SUCCESS);
    VENDOR_OR_CLASS_REQUEST_CONTROL block = Block(1, 2);
    alignas(4096) static uint8_t page[4096];
    uint8_t* out = page;
    auto vendor = [&](ULONG inLength) {
        ULONG_PTR bytes = 0;
        return machine().DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, inLength, out, 8,
                                         &bytes);
    };
    EXPECT_EQ(vendor(sizeof block), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("bytes  - 3 \n"));
    EXPECT_EQ(vendor(sizeof block), STATUS_UNSUCCESSFUL);
    block.Direction = 0;
    EXPECT_EQ(vendor(sizeof block), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vendor(9), STATUS_BUFFER_TOO_SMALL);
    block.RequestType = 1;
    EXPECT_EQ(vendor(sizeof block), STATUS_INVALID_DEVICE_REQUEST);
    block = Block(1, 2);
    machine().Kernel().User().Protect(page, sizeof page, ntsim::Protection::ReadOnly);
    EXPECT_EQ(vendor(sizeof block), STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(Logged("WdfRequestProbeAndLockUserBufferForWrite failed 0xc0000005\n"));
    machine().Kernel().User().Protect(page, sizeof page, ntsim::Protection::ReadWrite);
    machine().FailCall("WdfRequestSend", STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(vendor(sizeof block), STATUS_DEVICE_NOT_READY);

    uint8_t in[8];
    ntsim::Overlapped read, empty;
    ASSERT_EQ(
        machine().DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, &read),
        STATUS_PENDING);
    EXPECT_EQ(d->PushInterrupt({7, 7}), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(
        machine().DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, &empty),
        STATUS_PENDING);
    machine().AdvanceMs(5000);
    EXPECT_EQ(empty.Wait(), STATUS_IO_TIMEOUT);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(
        machine().DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, nullptr, 0, &bytes),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(Logged("WdfRequestRetrieveOutputMemory failed 0xc0000023\n"));
    machine().FailCall("WdfRequestSend", STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(
        machine().DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in, sizeof in, &bytes),
        STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(machine().Close(h), STATUS_SUCCESS);
    EXPECT_EQ(machine().Unplug(d), STATUS_SUCCESS);

    std::set<std::string> seen = CheckEveryLine();
    // Not among them: the completion routine's line for a success carrying a USB error, which
    // no host stack gives (a USB error comes with a failed status).
    for (const char* format :
         {"--> TalvikEvtIoDeviceControl\n", "Request control request 0x%x\n",
          "Request Direction IN\n", "WDFSend status %d\n",
          "TalvikIoctlCompletionRoutine:Request failed - %x\n",
          "URB_FUNCTION_VENDOR_DEVICE:WDFSend status %d\n", "Number of bytes read: %d\n",
          "WdfRequestSend failed\n", "Read failed - request status 0x%x UsbdStatus 0x%x\n",
          "TalvikEvtDeviceReleaseHardware: WDF memory deleted\n"})
        EXPECT_EQ(seen.count(format), 1u) << format;
}

} // namespace
