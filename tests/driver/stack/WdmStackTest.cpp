// The machine under the tests' own WDM function driver: what the stack does for any driver, from
// the colorimeter's arrival to its surprise removal, seen from user mode, on the bus and as the
// IRPs' path.
#include "StackFixture.h"

#include "FunctionDriver.h"

#include <usbioctl.h>
#include <usburb.h>

#include <cstring>
#include <iostream>
#include <mutex>

using sim::ColorimeterConfig;
using sim::ControlReply;
using sim::TransferRecord;

namespace {

sim::MachineOptions WdmOptions() {
    sim::MachineOptions options;
    options.service = "FnTest";
    options.driverEntry = FnDriverEntry;
    options.interfaceGuid = FnInterfaceGuid;
    options.hardwareIds = {"USB\\VID_1234&PID_5678"};
    return options;
}

// The tests' driver serves this one: an interrupt IN pipe and a bulk OUT pipe.
ColorimeterConfig WdmConfig() {
    ColorimeterConfig config;
    config.vendorId = 0x1234;
    config.productId = 0x5678;
    config.pipes = {sim::PipeConfig{sim::PipeKind::Interrupt, true, 8, 10},
                    sim::PipeConfig{sim::PipeKind::Bulk, false, 64, 0}};
    return config;
}

class WdmStack : public StackFixture<sim::Machine> {
protected:
    void SetUp() override {
        Boot(WdmOptions());
        device_ = machine().PlugIn(WdmConfig());
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(machine().Open(&handle_), STATUS_SUCCESS);
        device_->ClearTraffic();
    }

    std::vector<TransferRecord> Vendor() {
        std::vector<TransferRecord> vendor;
        for (const TransferRecord& t : device_->Traffic())
            if (t.kind == TransferRecord::Kind::Control && (t.setup.bmRequestType & 0x60) == 0x40)
                vendor.push_back(t);
        return vendor;
    }

    sim::Colorimeter* device_ = nullptr;
    sim::Machine::Handle handle_ = 0;
};

TEST(WdmStackArrival, TheDriverConfiguresTheDeviceOverUrbsBeforeTheInterfaceAppears) {
    sim::Machine machine(WdmOptions());
    EXPECT_TRUE(machine.Interfaces().empty());
    sim::Colorimeter* device = machine.PlugIn(WdmConfig());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Port(), 1u);
    EXPECT_EQ(machine.Interfaces().size(), 1u);
    std::vector<TransferRecord> t = device->Traffic();
    ASSERT_EQ(t.size(), 3u);
    // The configuration's header, then all of it, then SET_CONFIGURATION.
    EXPECT_EQ(t[0].setup.bRequest, 0x06);
    EXPECT_EQ(t[0].setup.wValue, 0x0200);
    EXPECT_EQ(t[0].bytes, 9u);
    EXPECT_EQ(t[1].bytes, 9u + 9 + 7 + 7);
    const auto* config = device->ConfigurationDescriptor();
    const auto* raw = reinterpret_cast<const uint8_t*>(config);
    EXPECT_EQ(t[1].dataIn, std::vector<uint8_t>(raw, raw + config->wTotalLength));
    EXPECT_EQ(t[2].setup.bRequest, 0x09);
    EXPECT_EQ(t[2].setup.wValue, 1);
    EXPECT_TRUE(t[2].completed);
    // A device the driver is not installed for gets a stack without it: no interface.
    ColorimeterConfig other = WdmConfig();
    other.productId = 0x5679;
    ASSERT_NE(machine.PlugIn(other), nullptr);
    EXPECT_EQ(machine.Interfaces().size(), 1u);
    EXPECT_TRUE(machine.Findings().empty());
}

TEST_F(WdmStack, VendorRequestsCarryTheirDataBothWaysAndZeroLengthHasNoDataStage) {
    std::vector<uint8_t> seenOut;
    device_->SetVendorHandler([&](const USB_SETUP_PACKET& setup, const std::vector<uint8_t>& out) {
        if (setup.bmRequestType & 0x80)
            return ControlReply::Data({0xA1, 0xA2, 0xA3, 0xA4, 0xA5});
        seenOut = out;
        return ControlReply::Ack();
    });
    FN_VENDOR_REQUEST in{7, 0x0102, 0x0304};
    uint8_t data[16] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_IN, &in, sizeof in, data,
                                        sizeof data, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(data[4], 0xA5);

    uint8_t block[sizeof(FN_VENDOR_REQUEST) + 3] = {};
    FN_VENDOR_REQUEST out{8, 0, 0};
    std::memcpy(block, &out, sizeof out);
    block[sizeof out] = 0x31;
    block[sizeof out + 2] = 0x33;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_OUT, block, sizeof block, nullptr,
                                        0, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(seenOut, (std::vector<uint8_t>{0x31, 0, 0x33}));
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_OUT, &out, sizeof out, nullptr, 0,
                                        &bytes),
              STATUS_SUCCESS);
    EXPECT_TRUE(seenOut.empty());

    std::vector<TransferRecord> t = Vendor();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].setup.bmRequestType, 0xC0);
    EXPECT_EQ(t[0].setup.bRequest, 7);
    EXPECT_EQ(t[0].setup.wValue, 0x0102);
    EXPECT_EQ(t[0].setup.wIndex, 0x0304);
    EXPECT_EQ(t[0].setup.wLength, 16);
    EXPECT_EQ(t[0].dataIn.size(), 5u);
    EXPECT_EQ(t[1].setup.bmRequestType, 0x40);
    EXPECT_EQ(t[1].dataOut, (std::vector<uint8_t>{0x31, 0, 0x33}));
    EXPECT_EQ(t[2].setup.wLength, 0);
    EXPECT_TRUE(t[2].dataOut.empty() && t[2].dataIn.empty());
    EXPECT_TRUE(t[2].completed);
}

TEST_F(WdmStack, RefusedAndLateAnswersReachTheCallerAsTheBusCompletesThem) {
    struct Row {
        const char* name;
        ControlReply reply;
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG_PTR bytes;
    } rows[] = {
        {"stall", ControlReply::Stall(), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
        {"USB error", ControlReply::UsbError(USBD_STATUS_TIMEOUT), STATUS_UNSUCCESSFUL,
         USBD_STATUS_TIMEOUT, 0},
        {"more than asked", ControlReply::Data(std::vector<uint8_t>(40, 1)), STATUS_SUCCESS,
         USBD_STATUS_SUCCESS, 16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        device_->ClearTraffic();
        device_->SetVendorHandler(
            [&](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) { return row.reply; });
        FN_VENDOR_REQUEST in{1, 0, 0};
        uint8_t data[16];
        ULONG_PTR bytes = 99;
        EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_IN, &in, sizeof in, data,
                                            sizeof data, &bytes),
                  row.status);
        EXPECT_EQ(bytes, row.bytes);
        std::vector<TransferRecord> t = Vendor();
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].usbdStatus, row.usbd);
        EXPECT_EQ(t[0].bytes, row.bytes);
    }

    // A late answer arrives on virtual time.
    device_->ClearTraffic();
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data({1, 2}).After(30);
    });
    FN_VENDOR_REQUEST in{2, 0, 0};
    uint8_t data[8];
    ntsim::Overlapped op;
    const std::int64_t start = machine().NowMs();
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_IN, &in, sizeof in, data,
                                        sizeof data, &op),
              STATUS_PENDING);
    machine().AdvanceMs(29);
    EXPECT_FALSE(op.Done());
    machine().AdvanceMs(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Information(), 2u);
    std::vector<TransferRecord> t = Vendor();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].submittedMs, static_cast<std::uint64_t>(start));
    EXPECT_EQ(t[0].completedMs - t[0].submittedMs, 30u);
}

TEST_F(WdmStack, InterruptDataCompletesAReadAndCancelIoExEndsTheNext) {
    uint8_t first[8] = {}, second[8] = {};
    ntsim::Overlapped read1, read2;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, first,
                                        sizeof first, &read1),
              STATUS_PENDING);
    EXPECT_EQ(device_->PushInterrupt({9, 8, 7}), STATUS_SUCCESS);
    ASSERT_TRUE(read1.Done());
    EXPECT_EQ(read1.Information(), 3u);
    EXPECT_EQ(first[2], 7);
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, second,
                                        sizeof second, &read2),
              STATUS_PENDING);
    EXPECT_EQ(machine().CancelIoEx(handle_, &read2), STATUS_SUCCESS);
    ASSERT_TRUE(read2.Done());
    EXPECT_EQ(read2.Status(), STATUS_CANCELLED);

    std::vector<TransferRecord> t = device_->Traffic();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, TransferRecord::Kind::InterruptIn);
    EXPECT_EQ(t[0].endpoint, 0x81);
    EXPECT_EQ(t[0].dataIn, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_FALSE(t[0].cancelled);
    EXPECT_TRUE(t[1].cancelled);
    EXPECT_EQ(t[1].ntStatus, STATUS_CANCELLED);
    EXPECT_EQ(t[1].usbdStatus, USBD_STATUS_CANCELED);
}

TEST_F(WdmStack, AnUnansweredRequestTimesOutAfterFiveSecondsOfVirtualTime) {
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::NoAnswer();
    });
    FN_VENDOR_REQUEST in{3, 0, 0};
    uint8_t data[4];
    ntsim::Overlapped op;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_IN_TIMED, &in, sizeof in, data,
                                        sizeof data, &op),
              STATUS_PENDING);
    machine().AdvanceMs(4999);
    EXPECT_FALSE(op.Done());
    EXPECT_FALSE(Vendor().at(0).completed);
    machine().AdvanceMs(1);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_IO_TIMEOUT);
    std::vector<TransferRecord> t = Vendor();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].cancelled);
    EXPECT_EQ(t[0].completedMs - t[0].submittedMs, 5000u);
}

TEST_F(WdmStack, UnpluggedWithAReadInFlightTheReadFailsAndTheStackGoes) {
    uint8_t buffer[8];
    ntsim::Overlapped read;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, buffer,
                                        sizeof buffer, &read),
              STATUS_PENDING);
    EXPECT_EQ(machine().Unplug(device_), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(machine().Interfaces().empty());
    std::vector<TransferRecord> t = device_->Traffic();
    ASSERT_FALSE(t.empty());
    EXPECT_TRUE(t.back().cancelled);
    EXPECT_EQ(t.back().usbdStatus, USBD_STATUS_DEVICE_GONE);
    ULONG_PTR bytes;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, buffer,
                                        sizeof buffer, &bytes),
              STATUS_DELETE_PENDING);
    // The colorimeter can come back, on the same port.
    sim::Colorimeter* again = machine().PlugIn(WdmConfig());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Port(), device_->Port());
    EXPECT_EQ(machine().Interfaces().size(), 1u);
}

// The path of one vendor request: user mode to the driver's device, a URB to the bus's PDO, the
// bus's completion back to the caller.
TEST_F(WdmStack, AVendorRequestsIrpGoesFromTheDriverToTheBusPdoAndBack) {
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data({1, 2, 3});
    });
    std::vector<ntsim::IrpStep> steps;
    std::mutex mu;
    machine().Kernel().TraceIrps([&](const ntsim::IrpStep& step) {
        std::lock_guard<std::mutex> lock(mu);
        steps.push_back(step);
    });
    FN_VENDOR_REQUEST in{4, 0, 0};
    uint8_t data[8];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_VENDOR_IN, &in, sizeof in, data,
                                        sizeof data, &bytes),
              STATUS_SUCCESS);
    machine().Kernel().TraceIrps(nullptr);
    for (const ntsim::IrpStep& step : steps)
        std::cout << "  " << ntsim::IrpStepText(step) << "\n";
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].kind, ntsim::IrpStep::Kind::Call);
    EXPECT_EQ(steps[0].driver, "FnTest");
    EXPECT_EQ(steps[0].major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(steps[0].controlCode, IOCTL_FN_VENDOR_IN);
    EXPECT_EQ(steps[1].kind, ntsim::IrpStep::Kind::Call);
    EXPECT_EQ(steps[1].driver, "VirtualUsb");
    EXPECT_EQ(steps[1].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(steps[1].controlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
    EXPECT_EQ(steps[1].urbFunction, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(steps[1].irp, steps[0].irp); // the caller's IRP, one location down
    // The bus's PDO is the device the PnP manager enumerated.
    bool pdo = false;
    for (const auto& d : machine().Kernel().Pnp().Devices())
        pdo = pdo || (d.pdo == steps[1].device && d.service == "FnTest");
    EXPECT_TRUE(pdo);
    EXPECT_EQ(steps[2].kind, ntsim::IrpStep::Kind::Complete);
    EXPECT_EQ(steps[2].driver, "VirtualUsb");
    EXPECT_EQ(steps[2].status, STATUS_SUCCESS);
    // The completion reaches the owner with what the driver's completion routine reported.
    EXPECT_EQ(steps[3].kind, ntsim::IrpStep::Kind::CompletedToTop);
    EXPECT_EQ(steps[3].irp, steps[0].irp);
    EXPECT_EQ(steps[3].driver, "FnTest");
    EXPECT_EQ(steps[3].major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(steps[3].status, STATUS_SUCCESS);
    EXPECT_EQ(steps[3].information, 3u);
}

TEST_F(WdmStack, TwoColorimetersAreServedApartAndTheMachineStopsWithRequestsInFlight) {
    sim::Colorimeter* second = machine().PlugIn(WdmConfig());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Port(), 2u);
    ASSERT_EQ(machine().Interfaces().size(), 2u);
    sim::Machine::Handle other = 0;
    ASSERT_EQ(machine().Open(&other, 1), STATUS_SUCCESS);
    sim::Machine::Handle none = 0;
    EXPECT_EQ(machine().Open(&none, 2), STATUS_NO_SUCH_DEVICE);
    second->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data({2});
    });
    FN_VENDOR_REQUEST in{1, 0, 0};
    uint8_t data[4];
    ULONG_PTR bytes = 0;
    // Interfaces are listed by link; each handle reaches its own colorimeter.
    device_->ClearTraffic();
    second->ClearTraffic();
    EXPECT_EQ(machine().DeviceIoControl(other, IOCTL_FN_VENDOR_IN, &in, sizeof in, data,
                                        sizeof data, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(device_->Traffic().size() + second->Traffic().size(), 1u);
    // A read pending on each and both handles open: the machine stops cleanly anyway.
    ntsim::Overlapped read1, read2;
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_FN_READ_INTERRUPT, nullptr, 0, data,
                                        sizeof data, &read1),
              STATUS_PENDING);
    EXPECT_EQ(machine().DeviceIoControl(other, IOCTL_FN_READ_INTERRUPT, nullptr, 0, data,
                                        sizeof data, &read2),
              STATUS_PENDING);
}

TEST(WdmStackFindings, TheKernelVerifiersFindingsAreTheMachines) {
    sim::Machine machine(WdmOptions());
    std::vector<std::string> seen;
    machine.SetFindingHandler([&](const sim::Finding& f) { seen.push_back(f.text); });
    machine.Kernel().verifier().Report(ntsim::ViolationKind::Pool, "pool freed twice");
    ASSERT_EQ(machine.Findings().size(), 1u);
    EXPECT_EQ(machine.Findings()[0].source, sim::Finding::Source::Kernel);
    EXPECT_EQ(seen, std::vector<std::string>{"pool freed twice"});
    machine.ClearFindings();
    EXPECT_TRUE(machine.Findings().empty());
}

} // namespace
