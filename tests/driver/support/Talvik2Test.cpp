#include "Talvik2Test.h"

#include <cstring>

namespace talvik_test {

VENDOR_OR_CLASS_REQUEST_CONTROL Block(UCHAR direction, UCHAR requestType, UCHAR recipient,
                                      UCHAR request, USHORT value, USHORT index) {
    VENDOR_OR_CLASS_REQUEST_CONTROL b;
    std::memset(&b, 0, sizeof b);
    b.Direction = direction;
    b.RequestType = requestType;
    b.Recipient = recipient;
    b.Request = request;
    b.Value = value;
    b.Index = index;
    return b;
}

void Talvik2Test::SetUp() {
    sim::Talvik2Machine& m = Boot();
    m.SetEventHandler([this](const std::string& text) {
        if (text.rfind("EvtDeviceD0Entry(", 0) == 0)
            ++d0Entries_;
        else if (text.rfind("EvtDeviceD0Exit(", 0) == 0)
            ++d0Exits_;
    });
    m.Kernel().TracePool([&m](const ntsim::PoolStep& step) {
        if (step.tag != TALVIK_POOL_TAG)
            return;
        const std::string tag = " tag " + ntsim::TagText(step.tag);
        switch (step.kind) {
        case ntsim::PoolStep::Kind::Allocate:
            m.RecordEvent("ExAllocatePoolWithTag " + std::to_string(step.size) + tag);
            break;
        case ntsim::PoolStep::Kind::AllocateFailed:
            m.RecordEvent("ExAllocatePoolWithTag failed" + tag);
            break;
        case ntsim::PoolStep::Kind::Free:
            m.RecordEvent("ExFreePoolWithTag" + tag);
            break;
        }
    });
}

Colorimeter* Talvik2Test::PlugIn(const ColorimeterConfig& config) {
    Colorimeter* device = machine().PlugIn(config);
    EXPECT_NE(device, nullptr) << "no port left on the bus";
    return device;
}

Colorimeter* Talvik2Test::StartColorimeter(const ColorimeterConfig& config) {
    Colorimeter* device = PlugIn(config);
    if (device != nullptr) {
        EXPECT_TRUE(State(device).started)
            << "problem " << State(device).problem << " status " << std::hex
            << static_cast<unsigned>(State(device).problemStatus);
    }
    return device;
}

NTSTATUS Talvik2Test::Outcome(const Colorimeter* device) const {
    sim::Machine::DeviceState state = State(device);
    return state.started ? STATUS_SUCCESS : state.problemStatus;
}

PDEVICE_CONTEXT Talvik2Test::Context(const Colorimeter* device) {
    WDFDEVICE handle = static_cast<WDFDEVICE>(machine().WdfDeviceOf(device));
    EXPECT_NE(handle, nullptr) << "the colorimeter has no framework device";
    return handle != nullptr ? GetDeviceContext(handle) : nullptr;
}

Handle Talvik2Test::Open(size_t index) {
    Handle h = 0;
    EXPECT_EQ(machine().Open(&h, index), STATUS_SUCCESS);
    return h;
}

void Talvik2Test::Advance(std::int64_t ms) {
    // Work still running (a power-up on the worker thread whose request has just completed)
    // finishes at the time it began, not later.
    machine().WaitIdle();
    machine().AdvanceMs(ms);
    machine().WaitIdle();
}

std::vector<TransferRecord> Talvik2Test::VendorTraffic(const Colorimeter& device) {
    std::vector<TransferRecord> out;
    for (const TransferRecord& t : device.Traffic())
        if (t.kind == TransferRecord::Kind::Control && (t.setup.bmRequestType & 0x60) != 0)
            out.push_back(t);
    return out;
}

std::vector<TransferRecord> Talvik2Test::ReadTraffic(const Colorimeter& device) {
    std::vector<TransferRecord> out;
    for (const TransferRecord& t : device.Traffic())
        if (t.kind == TransferRecord::Kind::InterruptIn)
            out.push_back(t);
    return out;
}

long Talvik2Test::EventIndex(const std::string& text) const {
    std::vector<std::string> events = machine().Events();
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].find(text) != std::string::npos)
            return static_cast<long>(i);
    return -1;
}

size_t Talvik2Test::CountEvents(const std::string& text) const {
    size_t n = 0;
    for (const std::string& e : machine().Events())
        n += e.find(text) != std::string::npos;
    return n;
}

size_t Talvik2Test::DriverPoolBlocks() const {
    return const_cast<sim::Talvik2Machine&>(machine()).Kernel().PoolOutstandingWithTag(
        TALVIK_POOL_TAG);
}

} // namespace talvik_test
