// Talvik2 on the kernel stack: loaded through its image entry by the PnP manager when the
// colorimeter arrives, running on the framework over the kernel, its URBs served by the virtual
// bus, driven from user mode through the I/O manager.
#include "StackFixture.h"
#include "Talvik2Test.h"

#include "sim/Talvik2Image.h"
#include "sim/Talvik2Machine.h"

#include <wdm.h>

#include <TalvikPublic.h>
#include <usbioctl.h>
#include <usburb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

using sim::ControlReply;
using sim::TransferRecord;
using talvik_test::Block;

namespace {

class Talvik2Stack : public StackFixture<sim::Talvik2Machine> {
protected:
    void SetUp() override {
        Boot();
        device_ = machine().PlugIn();
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(machine().Interfaces().size(), 1u);
        ASSERT_EQ(machine().Open(&handle_), STATUS_SUCCESS);
        device_->ClearTraffic();
    }

    NTSTATUS Vendor(const VENDOR_OR_CLASS_REQUEST_CONTROL& block, void* out, ULONG outLength,
                    ULONG_PTR* bytes) {
        return machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                         sizeof block, out, outLength, bytes);
    }

    NTSTATUS Read(void* out, ULONG outLength, ntsim::Overlapped* op) {
        return machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out,
                                         outLength, op);
    }

    std::vector<TransferRecord> Traffic(TransferRecord::Kind kind, bool vendorOnly = false) {
        std::vector<TransferRecord> some;
        for (const TransferRecord& t : device_->Traffic())
            if (t.kind == kind && (!vendorOnly || (t.setup.bmRequestType & 0x60) == 0x40))
                some.push_back(t);
        return some;
    }

    sim::Colorimeter* device_ = nullptr;
    sim::Machine::Handle handle_ = 0;
};

TEST(Talvik2StackArrival, PrepareHardwareConfiguresTheDeviceOverUrbsThenTheInterfaceAppears) {
    sim::Talvik2Machine machine;
    std::vector<std::string> findings;
    machine.SetFindingHandler([&](const sim::Finding& f) { findings.push_back(f.text); });
    EXPECT_EQ(machine.Kernel().Pnp().Driver(sim::kTalvik2Service), nullptr); // not loaded yet
    sim::Colorimeter* device = machine.PlugIn();
    ASSERT_NE(device, nullptr);
    EXPECT_NE(machine.Kernel().Pnp().Driver(sim::kTalvik2Service), nullptr);
    EXPECT_EQ(machine.Interfaces().size(), 1u);
    bool configuration = false, selected = false;
    for (const TransferRecord& t : device->Traffic()) {
        if (t.setup.bRequest == 0x06 && (t.setup.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            configuration = !selected;
        if (t.setup.bmRequestType == 0x00 && t.setup.bRequest == 0x09 && t.setup.wValue == 1)
            selected = true;
    }
    EXPECT_TRUE(configuration) << "the configuration is read before it is selected";
    EXPECT_TRUE(selected);
    sim::Machine::Handle h = 0;
    ASSERT_EQ(machine.Open(&h), STATUS_SUCCESS);
    // A configuration without its interface fails the start: no interface for that one.
    sim::ColorimeterConfig bare;
    bare.hasInterface = false;
    ASSERT_NE(machine.PlugIn(bare), nullptr);
    EXPECT_EQ(machine.Interfaces().size(), 1u);
    EXPECT_TRUE(findings.empty()) << findings.front();
}

// A colorimeter whose device add fails, then one that works: nothing of the first is left, and
// the framework's state does not outlive its kernel. Run in a child process, since a framework
// that keeps state past its kernel corrupts the heap of the next.
size_t FailedAddThenAnother(const char* api) {
    size_t findings = 0;
    {
        sim::Talvik2Machine machine;
        machine.SetFindingHandler([&](const sim::Finding& f) {
            ++findings;
            std::fprintf(stderr, "finding: %s\n", f.text.c_str());
        });
        machine.FailCall(api, STATUS_INSUFFICIENT_RESOURCES);
        if (machine.PlugIn() == nullptr || !machine.Interfaces().empty())
            ++findings;
    }
    sim::Talvik2Machine machine;
    machine.SetFindingHandler([&](const sim::Finding& f) {
        ++findings;
        std::fprintf(stderr, "finding: %s\n", f.text.c_str());
    });
    if (machine.PlugIn() == nullptr || machine.Interfaces().size() != 1)
        ++findings;
    return findings;
}

TEST(Talvik2StackFailedAdd, AFailedDeviceAddLeavesNothingBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char* api : {"WdfIoQueueCreate", "WdfDeviceCreateDeviceInterface"}) {
        SCOPED_TRACE(api);
        EXPECT_EXIT(std::_Exit(FailedAddThenAnother(api) == 0 ? 0 : 1),
                    ::testing::ExitedWithCode(0), "");
    }
}

// A fault asked for a call the framework cannot fail would never come: the test is told so.
TEST(Talvik2StackFaults, AFaultForACallTheFrameworkCannotFailIsAFinding) {
    sim::Talvik2Machine machine;
    std::vector<std::string> findings;
    machine.SetFindingHandler([&](const sim::Finding& f) { findings.push_back(f.text); });
    machine.FailCall("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("ExAllocatePoolWithTag"), std::string::npos);
    // One the framework can fail, after the calls to skip.
    machine.FailCall("WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES, 1, 1);
    sim::Colorimeter* device = machine.PlugIn();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(machine.StateOf(device).problem, ntsim::kProblemFailedAdd);
    EXPECT_TRUE(machine.Interfaces().empty());
    EXPECT_EQ(findings.size(), 1u);
}

TEST_F(Talvik2Stack, AVendorRequestCarriesItsDataStageBothWays) {
    std::vector<uint8_t> hostData;
    device_->SetVendorHandler([&](const USB_SETUP_PACKET& setup, const std::vector<uint8_t>& out) {
        if (setup.bmRequestType & 0x80)
            return ControlReply::Data(std::vector<uint8_t>(12, 0x5A));
        hostData = out;
        return ControlReply::Ack();
    });
    uint8_t data[64] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0x1234, 0x0005), data, sizeof data, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(data[11], 0x5A);
    EXPECT_EQ(data[12], 0);

    uint8_t payload[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(Vendor(Block(0, 2, 0, 2, 0, 0), payload, sizeof payload, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(hostData, std::vector<uint8_t>(payload, payload + 5));

    std::vector<TransferRecord> t = Traffic(TransferRecord::Kind::Control, true);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].setup.bmRequestType, 0xC0);
    EXPECT_EQ(t[0].setup.bRequest, 1);
    EXPECT_EQ(t[0].setup.wValue, 0x1234);
    EXPECT_EQ(t[0].setup.wIndex, 5);
    EXPECT_EQ(t[0].setup.wLength, 64);
    EXPECT_EQ(t[0].dataIn.size(), 12u);
    EXPECT_EQ(t[1].setup.bmRequestType, 0x40);
    EXPECT_EQ(t[1].dataOut, std::vector<uint8_t>(payload, payload + 5));
}

TEST_F(Talvik2Stack, AZeroLengthRequestHasNoDataStage) {
    for (UCHAR direction : {0, 1}) {
        SCOPED_TRACE(int(direction));
        device_->ClearTraffic();
        ULONG_PTR bytes = 99;
        EXPECT_EQ(Vendor(Block(direction, 2, 0, 3, 0, 0), nullptr, 0, &bytes), STATUS_SUCCESS);
        EXPECT_EQ(bytes, 0u);
        std::vector<TransferRecord> t = Traffic(TransferRecord::Kind::Control, true);
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].setup.wLength, 0);
        EXPECT_TRUE(t[0].dataIn.empty() && t[0].dataOut.empty());
    }
    device_->ClearTraffic();
    device_->SetVendorHandler(
        [](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) { return ControlReply::Stall(); });
    ULONG_PTR bytes = 99;
    EXPECT_EQ(Vendor(Block(0, 2, 0, 3, 0, 0), nullptr, 0, &bytes), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(Talvik2Stack, RefusedCodesAndKeysNeverReachTheBus) {
    uint8_t out[16];
    ULONG_PTR bytes = 99;
    // Class requests and other recipients than the device.
    EXPECT_EQ(Vendor(Block(1, 1, 0, 3, 0, 0), out, sizeof out, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Vendor(Block(1, 2, 1, 3, 0, 0), out, sizeof out, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    // A block shorter than ten bytes.
    auto block = Block(1, 2, 0, 1, 0, 0);
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, 9, out,
                                        sizeof out, &bytes),
              STATUS_BUFFER_TOO_SMALL);
    // Codes the driver does not serve.
    const ULONG codes[] = {IOCTL_VENDOR_OR_CLASS_REQUEST & ~3u,
                           CTL_CODE(FILE_DEVICE_UNKNOWN, 0x814, METHOD_BUFFERED, FILE_ANY_ACCESS)};
    for (ULONG code : codes) {
        SCOPED_TRACE(code);
        bytes = 99;
        EXPECT_EQ(
            machine().DeviceIoControl(handle_, code, &block, sizeof block, out, sizeof out, &bytes),
            STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(bytes, 0u);
    }
    EXPECT_TRUE(device_->Traffic().empty());
}

TEST_F(Talvik2Stack, AReadReturnsOneInterruptTransferAndCancelIoExEndsAPendingOne) {
    uint8_t first[64] = {}, second[64] = {};
    ntsim::Overlapped read1, read2;
    ASSERT_EQ(Read(first, sizeof first, &read1), STATUS_PENDING);
    EXPECT_EQ(device_->PushInterrupt(std::vector<uint8_t>(8, 0x11)), STATUS_SUCCESS);
    ASSERT_TRUE(read1.Done());
    EXPECT_EQ(read1.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read1.Information(), 8u);
    EXPECT_EQ(first[7], 0x11);

    ASSERT_EQ(Read(second, sizeof second, &read2), STATUS_PENDING);
    EXPECT_EQ(machine().CancelIoEx(handle_, &read2), STATUS_SUCCESS);
    machine().WaitIdle();
    ASSERT_TRUE(read2.Done());
    EXPECT_EQ(read2.Status(), STATUS_CANCELLED);
    std::vector<TransferRecord> t = Traffic(TransferRecord::Kind::InterruptIn);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].bytes, 8u);
    EXPECT_TRUE(t[1].cancelled);
}

TEST_F(Talvik2Stack, AnUnansweredRequestFailsAfterFiveSecondsOfVirtualTimeAndTheNextWorks) {
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::NoAnswer();
    });
    auto block = Block(1, 2, 0, 1, 0, 0);
    uint8_t out[8];
    ntsim::Overlapped op;
    ASSERT_EQ(machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                        sizeof block, out, sizeof out, &op),
              STATUS_PENDING);
    machine().AdvanceMs(4999);
    EXPECT_FALSE(op.Done());
    machine().AdvanceMs(1);
    machine().WaitIdle();
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_IO_TIMEOUT);
    std::vector<TransferRecord> t = Traffic(TransferRecord::Kind::Control, true);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].cancelled);
    EXPECT_EQ(t[0].completedMs - t[0].submittedMs, 5000u);

    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data({7});
    });
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Vendor(block, out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 1u);
}

TEST_F(Talvik2Stack, UnpluggedWithAReadInFlightTheReadEndsAndTheInterfaceGoes) {
    uint8_t buffer[64];
    ntsim::Overlapped read;
    ASSERT_EQ(Read(buffer, sizeof buffer, &read), STATUS_PENDING);
    machine().ClearEvents();
    EXPECT_EQ(machine().Unplug(device_), STATUS_SUCCESS);
    // The bus fails the transfer as the device goes; the driver completes the read with that.
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(read.Information(), 0u);
    EXPECT_TRUE(machine().Interfaces().empty());
    // Surprise removal, then D0 exit and hardware release, then the removal (as Wine sends it).
    std::vector<std::string> events = machine().Events();
    auto at = [&](const std::string& text) {
        auto found = std::find(events.begin(), events.end(), text);
        return found == events.end() ? -1 : found - events.begin();
    };
    EXPECT_GE(at("device surprise-removed"), 0);
    EXPECT_GT(at("EvtDeviceD0Exit(D3Final) -> 0x00000000"), at("device surprise-removed"));
    EXPECT_GT(at("EvtDeviceReleaseHardware -> 0x00000000"),
              at("EvtDeviceD0Exit(D3Final) -> 0x00000000"));
    EXPECT_GT(at("device removed"), at("EvtDeviceReleaseHardware -> 0x00000000"));
    // The handle outlives the stack; its requests fail without reaching the bus.
    ULONG_PTR bytes = 0;
    auto block = Block(1, 2, 0, 1, 0, 0);
    EXPECT_EQ(Vendor(block, buffer, sizeof buffer, &bytes), STATUS_DELETE_PENDING);
    EXPECT_TRUE(Traffic(TransferRecord::Kind::Control, true).empty());
    // It comes back, Talvik2 loaded again.
    sim::Colorimeter* again = machine().PlugIn();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(machine().Interfaces().size(), 1u);
}

// S0 idle: after its 10 s idle timeout the device goes to D2 through the bus's idle
// notification; a request brings it back to D0 before it is sent. A pending interrupt read is
// work the device owns: it stays in D0 while the read lasts.
TEST_F(Talvik2Stack, IdleTheDeviceSuspendsAndARequestWakesItButAPendingReadKeepsItUp) {
    auto has = [&](const std::string& text) {
        std::vector<std::string> events = machine().Events();
        return std::find(events.begin(), events.end(), text) != events.end();
    };
    machine().ClearEvents();
    machine().AdvanceMs(9999);
    machine().WaitIdle();
    EXPECT_FALSE(has("EvtDeviceD0Exit(D2) -> 0x00000000"));
    machine().AdvanceMs(1);
    machine().WaitIdle();
    EXPECT_TRUE(has("EvtDeviceD0Exit(D2) -> 0x00000000"));

    machine().ClearEvents();
    device_->ClearTraffic();
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data({4, 5});
    });
    uint8_t out[8];
    ntsim::Overlapped op;
    auto block = Block(1, 2, 0, 1, 0, 0);
    machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block, out,
                              sizeof out, &op);
    machine().WaitIdle();
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_SUCCESS);
    EXPECT_EQ(op.Information(), 2u);
    EXPECT_TRUE(has("EvtDeviceD0Entry(D2) -> 0x00000000"));
    EXPECT_EQ(Traffic(TransferRecord::Kind::Control, true).size(), 1u);

    // Past the idle timeout with a read pending (reads, too, time out after 5 s): still in D0.
    machine().AdvanceMs(9000);
    ntsim::Overlapped read;
    ASSERT_EQ(Read(out, sizeof out, &read), STATUS_PENDING);
    machine().ClearEvents();
    machine().AdvanceMs(4999);
    machine().WaitIdle();
    EXPECT_FALSE(has("EvtDeviceD0Exit(D2) -> 0x00000000"));
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(device_->PushInterrupt({1}), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Information(), 1u);

    // A read with nothing to read fails after 5 s; the device idles out 10 s later.
    ntsim::Overlapped empty;
    ASSERT_EQ(Read(out, sizeof out, &empty), STATUS_PENDING);
    machine().AdvanceMs(5000);
    machine().WaitIdle();
    ASSERT_TRUE(empty.Done());
    EXPECT_EQ(empty.Status(), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(has("EvtDeviceD0Exit(D2) -> 0x00000000"));
    machine().AdvanceMs(10000);
    machine().WaitIdle();
    EXPECT_TRUE(has("EvtDeviceD0Exit(D2) -> 0x00000000"));
}

// user DeviceIoControl -> IRP_MJ_DEVICE_CONTROL at Talvik2's device -> the framework -> a URB on
// IRP_MJ_INTERNAL_DEVICE_CONTROL at the bus's PDO -> the completion back to the caller.
TEST_F(Talvik2Stack, TheIrpPathOfAVendorRequest) {
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data(std::vector<uint8_t>(12, 1));
    });
    std::vector<ntsim::IrpStep> steps;
    std::mutex mu;
    machine().Kernel().TraceIrps([&](const ntsim::IrpStep& step) {
        std::lock_guard<std::mutex> lock(mu);
        steps.push_back(step);
    });
    uint8_t out[64];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
    machine().Kernel().TraceIrps(nullptr);
    std::lock_guard<std::mutex> lock(mu);
    for (const ntsim::IrpStep& step : steps)
        std::cout << "  " << ntsim::IrpStepText(step) << "\n";

    ASSERT_FALSE(steps.empty());
    const ntsim::IrpStep& user = steps.front();
    EXPECT_EQ(user.kind, ntsim::IrpStep::Kind::Call);
    EXPECT_EQ(user.driver, sim::kTalvik2Service);
    EXPECT_EQ(user.major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(user.controlCode, IOCTL_VENDOR_OR_CLASS_REQUEST);
    PDEVICE_OBJECT pdo = nullptr;
    for (const auto& d : machine().Kernel().Pnp().Devices())
        if (d.service == sim::kTalvik2Service)
            pdo = d.pdo;
    size_t urb = steps.size(), completed = steps.size(), top = steps.size();
    for (size_t i = 1; i < steps.size(); ++i) {
        const ntsim::IrpStep& s = steps[i];
        if (urb == steps.size() && s.kind == ntsim::IrpStep::Kind::Call &&
            s.major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            s.controlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            s.urbFunction == URB_FUNCTION_VENDOR_DEVICE)
            urb = i;
        if (urb < i && completed == steps.size() && s.kind == ntsim::IrpStep::Kind::Complete &&
            s.irp == steps[urb].irp)
            completed = i;
        if (s.kind == ntsim::IrpStep::Kind::CompletedToTop && s.irp == user.irp)
            top = i;
    }
    ASSERT_LT(urb, steps.size()) << "no URB reached the bus";
    EXPECT_EQ(steps[urb].device, pdo);
    EXPECT_EQ(steps[urb].driver, "VirtualUsb");
    ASSERT_LT(completed, steps.size());
    EXPECT_EQ(steps[completed].driver, "VirtualUsb");
    EXPECT_EQ(steps[completed].status, STATUS_SUCCESS);
    ASSERT_LT(top, steps.size()) << "the caller's IRP never completed to the top";
    EXPECT_GT(top, completed);
    EXPECT_EQ(steps[top].status, STATUS_SUCCESS);
    EXPECT_EQ(steps[top].information, 12u);
}

} // namespace

namespace {

// A colorimeter plugged in again on the same port has the same instance id, so the same
// interface link: opening it must reach the new stack, whether or not a handle of the old one
// is still open.
TEST_F(Talvik2Stack, TheSameLinkOpensTheNewStackAfterAReplug) {
    for (bool keepOldHandle : {true, false}) {
        SCOPED_TRACE(keepOldHandle);
        const std::vector<std::string> before = machine().Interfaces();
        ASSERT_EQ(before.size(), 1u);
        if (!keepOldHandle) {
            ASSERT_EQ(machine().Close(handle_), STATUS_SUCCESS);
        }
        ASSERT_EQ(machine().Unplug(device_), STATUS_SUCCESS);
        device_ = machine().PlugIn();
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(machine().Interfaces(), before);
        device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
            return ControlReply::Data({9, 8});
        });
        ASSERT_EQ(machine().Open(&handle_), STATUS_SUCCESS);
        uint8_t out[8];
        ULONG_PTR bytes = 0;
        EXPECT_EQ(Vendor(Block(1, 2, 0, 1, 0, 0), out, sizeof out, &bytes), STATUS_SUCCESS);
        EXPECT_EQ(bytes, 2u);
    }
}

// wLength is 16 bits: a longer data stage is refused by the bus, not cut to its low 16 bits.
TEST_F(Talvik2Stack, ADataStageLongerThanWLengthCanStateIsRefused) {
    std::vector<uint8_t> big(0x10000 + 12);
    for (UCHAR direction : {0, 1}) {
        SCOPED_TRACE(int(direction));
        ULONG_PTR bytes = 99;
        EXPECT_EQ(Vendor(Block(direction, 2, 0, 1, 0, 0), big.data(),
                         static_cast<ULONG>(big.size()), &bytes),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bytes, 0u);
    }
    EXPECT_TRUE(Traffic(TransferRecord::Kind::Control, true).empty());
}

} // namespace
