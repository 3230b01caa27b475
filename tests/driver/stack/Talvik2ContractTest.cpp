// What Talvik2 promises the system beyond the answers its callers see: buffered I/O, the bus's
// capabilities with surprise removal allowed, its interrupt pipe stopped whenever it leaves D0,
// the length the stack reported for a failed read passed on, no completion routine left on a
// request whose send failed, vendor requests that follow each other from the completing thread,
// and fault injection that reaches every status-returning framework call it makes.
#include "StackFixture.h"

#include "sim/Talvik2Image.h"
#include "sim/Talvik2Machine.h"

#include <wdm.h>

#include <FxHost.h>
#include <TalvikPublic.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

using sim::ControlReply;
using sim::TransferRecord;

namespace {

VENDOR_OR_CLASS_REQUEST_CONTROL VendorIn(UCHAR request) {
    VENDOR_OR_CLASS_REQUEST_CONTROL block = {};
    block.Direction = 1;
    block.RequestType = 2;
    block.Request = request;
    return block;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRP_MN_QUERY_CAPABILITIES as the PnP manager sends it, to `device` and what is below it.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* caps) {
    RtlZeroMemory(caps, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    caps->Address = caps->UINumber = static_cast<ULONG>(-1);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = caps;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

class Talvik2Contract : public StackFixture<sim::Talvik2Machine> {
protected:
    void SetUp() override {
        Boot();
        device_ = machine().PlugIn();
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(machine().Open(&handle_), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Pdo() {
        for (const auto& d : machine().Kernel().Pnp().Devices())
            if (d.service == sim::kTalvik2Service)
                return d.pdo;
        return nullptr;
    }

    NTSTATUS Vendor(UCHAR request, void* out, ULONG outLength, ntsim::Overlapped* op) {
        VENDOR_OR_CLASS_REQUEST_CONTROL block = VendorIn(request);
        return machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                         sizeof block, out, outLength, op);
    }

    // Index of the first event equal to `text` at or after `from`, or -1.
    int EventAt(const std::vector<std::string>& events, const std::string& text, int from = 0) {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i] == text)
                return static_cast<int>(i);
        return -1;
    }

    sim::Colorimeter* device_ = nullptr;
    sim::Machine::Handle handle_ = 0;
};

TEST_F(Talvik2Contract, TheDeviceDoesBufferedIo) {
    PDEVICE_OBJECT fdo = Pdo()->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    EXPECT_NE(fdo->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(fdo->Flags & DO_DIRECT_IO, 0u);
}

// The bus's answer stands but for surprise removal, which the driver allows.
TEST_F(Talvik2Contract, ItsCapabilitiesAreTheBussWithSurpriseRemovalAllowed) {
    DEVICE_CAPABILITIES bus, stack;
    ASSERT_EQ(QueryCapabilities(Pdo(), &bus), STATUS_SUCCESS);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo());
    ASSERT_EQ(QueryCapabilities(top, &stack), STATUS_SUCCESS);
    ObDereferenceObject(top);
    EXPECT_EQ(stack.SurpriseRemovalOK, 1u);
    bus.SurpriseRemovalOK = 1;
    EXPECT_EQ(stack.Removable, bus.Removable);
    EXPECT_EQ(stack.UniqueID, bus.UniqueID);
    EXPECT_EQ(stack.LockSupported, bus.LockSupported);
    EXPECT_EQ(stack.EjectSupported, bus.EjectSupported);
    EXPECT_EQ(stack.UINumber, bus.UINumber);
    EXPECT_EQ(std::memcmp(&stack, &bus, sizeof bus), 0) << "another capability differs";
}

// Reads on the interrupt pipe must not outlive D0: the driver stops the pipe's target in every
// D0 exit (idle, removal), after the framework has stopped the power-managed queues, and starts
// it in D0 entry.
TEST_F(Talvik2Contract, EveryD0ExitStopsTheInterruptPipeAndD0EntryStartsIt) {
    machine().ClearEvents();
    machine().AdvanceMs(10000); // idle: D2
    machine().WaitIdle();
    uint8_t out[8];
    ntsim::Overlapped op;
    device_->SetVendorHandler([](const USB_SETUP_PACKET&, const std::vector<uint8_t>&) {
        return ControlReply::Data({1});
    });
    Vendor(1, out, sizeof out, &op); // wakes it
    EXPECT_EQ(op.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(machine().Unplug(device_), STATUS_SUCCESS);
    std::vector<std::string> events = machine().Events();
    for (const char* exit :
         {"EvtDeviceD0Exit(D2) -> 0x00000000", "EvtDeviceD0Exit(D3Final) -> 0x00000000"}) {
        SCOPED_TRACE(exit);
        int at = EventAt(events, exit);
        ASSERT_GE(at, 0);
        int stopped = -1;
        for (int i = 0; i < at; ++i)
            if (events[i] == "power-managed queues stopped")
                stopped = i;
        ASSERT_GE(stopped, 0);
        EXPECT_GE(EventAt(events, "WdfIoTargetStop", stopped), stopped);
        EXPECT_LT(EventAt(events, "WdfIoTargetStop", stopped), at);
    }
    int entry = EventAt(events, "EvtDeviceD0Entry(D2) -> 0x00000000");
    ASSERT_GE(entry, 0);
    int start = -1;
    for (int i = 0; i < entry; ++i)
        if (events[i] == "WdfIoTargetStart")
            start = i;
    EXPECT_GT(start, EventAt(events, "EvtDeviceD0Exit(D2) -> 0x00000000"));
}

// A device that sends more than the read's buffer holds fills it and the transfer fails with
// that length: the driver completes the read with it (the caller's buffer has the bytes).
TEST_F(Talvik2Contract, AFailedReadPassesOnTheLengthTheStackReported) {
    std::mutex mu;
    std::vector<ntsim::IrpStep> steps;
    machine().Kernel().TraceIrps([&](const ntsim::IrpStep& s) {
        std::lock_guard<std::mutex> lock(mu);
        steps.push_back(s);
    });
    uint8_t in[4] = {};
    ntsim::Overlapped read;
    ASSERT_EQ(machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, in,
                                        sizeof in, &read),
              STATUS_PENDING);
    EXPECT_EQ(device_->PushInterrupt(std::vector<uint8_t>(6, 0x70)), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), STATUS_UNSUCCESSFUL);
    machine().Kernel().TraceIrps(nullptr);
    EXPECT_EQ(in[3], 0x70);
    std::vector<TransferRecord> t;
    for (const TransferRecord& r : device_->Traffic())
        if (r.kind == TransferRecord::Kind::InterruptIn)
            t.push_back(r);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].usbdStatus, USBD_STATUS_DATA_OVERRUN);
    std::lock_guard<std::mutex> lock(mu);
    PIRP user = nullptr;
    for (const ntsim::IrpStep& s : steps)
        if (user == nullptr && s.kind == ntsim::IrpStep::Kind::Call &&
            s.controlCode == IOCTL_READ_INTERRUPT_PIPE)
            user = s.irp;
    bool completed = false;
    for (const ntsim::IrpStep& s : steps)
        if (s.kind == ntsim::IrpStep::Kind::CompletedToTop && s.irp == user) {
            completed = true;
            EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(s.information, sizeof in);
        }
    EXPECT_TRUE(completed);
}

// A request whose send failed is the driver's to complete, and with no completion routine of
// its own left on it (a later send would run it).
TEST_F(Talvik2Contract, ARequestWhoseSendFailedIsCompletedWithoutItsCompletionRoutine) {
    uint8_t out[8];
    machine().FailCall("WdfRequestSend", STATUS_DEVICE_NOT_READY);
    ULONG_PTR bytes;
    VENDOR_OR_CLASS_REQUEST_CONTROL block = VendorIn(1);
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_VENDOR_OR_CLASS_REQUEST, &block,
                                        sizeof block, out, sizeof out, &bytes),
              STATUS_DEVICE_NOT_READY);
    machine().FailCall("WdfRequestSend", STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(machine().DeviceIoControl(handle_, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out,
                                        sizeof out, &bytes),
              STATUS_DEVICE_NOT_READY);
    for (const std::string& e : machine().Events())
        EXPECT_EQ(e.find("completed after a failed send with its completion routine set"),
                  std::string::npos)
            << e;
}

// Vendor requests share the URB block: each waits for the one before, and the next goes down
// from that one's completion, at DISPATCH_LEVEL, where the block must be resident.
TEST_F(Talvik2Contract, QueuedVendorRequestsGoDownOneAfterAnotherFromTheCompletion) {
    int answered = 0;
    device_->SetVendorHandler([&](const USB_SETUP_PACKET& setup, const std::vector<uint8_t>&) {
        ++answered;
        return ControlReply::Data({setup.bRequest, 2, 3}).After(2);
    });
    constexpr int kRequests = 4;
    uint8_t out[kRequests][8] = {};
    ntsim::Overlapped op[kRequests];
    for (int i = 0; i < kRequests; ++i)
        EXPECT_EQ(Vendor(static_cast<UCHAR>(0x10 + i), out[i], sizeof out[i], &op[i]),
                  STATUS_PENDING);
    for (int i = 0; i < kRequests; ++i) {
        machine().AdvanceMs(2);
        ASSERT_TRUE(op[i].Done()) << i;
        EXPECT_EQ(op[i].Status(), STATUS_SUCCESS);
        EXPECT_EQ(op[i].Information(), 3u);
        EXPECT_EQ(out[i][0], 0x10 + i);
    }
    EXPECT_EQ(answered, kRequests);
    std::vector<TransferRecord> t;
    for (const TransferRecord& r : device_->Traffic())
        if (r.kind == TransferRecord::Kind::Control && (r.setup.bmRequestType & 0x60) == 0x40)
            t.push_back(r);
    ASSERT_EQ(t.size(), static_cast<size_t>(kRequests));
    for (size_t i = 1; i < t.size(); ++i)
        EXPECT_GE(t[i].submittedMs, t[i - 1].completedMs);
}

// Fault injection reaches every framework call of the driver's that returns a status (the
// sources name them; the framework's headers, wdf*.h, say which return NTSTATUS), and
// WdfRequestSend.
TEST(Talvik2FaultableCalls, CoverEveryStatusReturningCallOfTheDriver) {
    auto read = [](const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        EXPECT_FALSE(text.str().empty()) << path;
        return text.str();
    };
    std::string headers;
    for (const auto& entry : std::filesystem::directory_iterator(TALVIK_KMDF_INCLUDE_DIR)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, 3, "wdf") == 0 && entry.path().extension() == ".h")
            headers += read(entry.path().string());
    }
    std::set<std::string> called;
    for (const char* source : {"Driver.cpp", "Device.cpp", "Ioctl.cpp"}) {
        std::string text = read(std::string(TALVIK_DRIVER_SOURCE_DIR "/") + source);
        // Each "Wdf<Upper><letters and digits>" called: an identifier followed by "(".
        for (size_t at = text.find("Wdf"); at != std::string::npos; at = text.find("Wdf", at + 1)) {
            if ((at > 0 &&
                 (std::isalnum(static_cast<unsigned char>(text[at - 1])) || text[at - 1] == '_')) ||
                !std::isupper(static_cast<unsigned char>(text[at + 3])))
                continue;
            size_t end = at + 3;
            while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end])))
                ++end;
            size_t paren = text.find_first_not_of(" \n", end);
            if (paren != std::string::npos && text[paren] == '(')
                called.insert(text.substr(at, end - at));
        }
    }
    std::set<std::string> faultable;
    for (const PCSTR* name = FxHostFaultableCalls(); *name != nullptr; ++name)
        faultable.insert(*name);
    size_t statusReturning = 0;
    for (const std::string& api : called) {
        std::string upper = api;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        bool returnsStatus =
            headers.find("typedef NTSTATUS (*PFN_" + upper + ")") != std::string::npos;
        // A status the request already has is read, not produced: nothing there to fail.
        if (api == "WdfRequestGetStatus")
            continue;
        if (returnsStatus || api == "WdfRequestSend") {
            ++statusReturning;
            EXPECT_EQ(faultable.count(api), 1u) << api << " cannot be made to fail";
        }
    }
    EXPECT_GE(statusReturning, 20u) << "the sources were not read as expected";
}

} // namespace
