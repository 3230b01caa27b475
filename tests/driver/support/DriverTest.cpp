#include "DriverTest.h"

#include <algorithm>
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

void DriverTest::SetUp() {
    world_ = std::make_unique<World>();
    world_->verifier().SetHandler([this](const std::string& v) {
        for (const std::string& e : expected_) {
            if (v.find(e) != std::string::npos) {
                seen_.push_back(v);
                return;
            }
        }
        ADD_FAILURE() << "verifier: " << v;
    });
}

void DriverTest::TearDown() {
    world_.reset(); // removes the devices and unloads: leaks reach the verifier
    for (const std::string& e : expected_) {
        bool found = std::any_of(seen_.begin(), seen_.end(), [&](const std::string& v) {
            return v.find(e) != std::string::npos;
        });
        EXPECT_TRUE(found) << "expected a verifier violation: " << e;
    }
}

void DriverTest::ExpectViolation(const std::string& text) {
    expected_.push_back(text);
}

PnpDevice& DriverTest::StartColorimeter(const ColorimeterConfig& config) {
    if (!world_->DriverLoaded()) {
        EXPECT_EQ(world_->LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    }
    PnpDevice& d = world_->PlugIn(config);
    EXPECT_EQ(d.AddStatus(), STATUS_SUCCESS);
    EXPECT_EQ(d.Start(), STATUS_SUCCESS);
    return d;
}

PDEVICE_CONTEXT DriverTest::Context(PnpDevice& device) {
    return GetDeviceContext(static_cast<WDFDEVICE>(device.Handle()));
}

kmdf::um::Handle DriverTest::Open(PnpDevice& device) {
    kmdf::um::Handle h;
    auto links = device.Interfaces();
    EXPECT_EQ(links.size(), 1u);
    if (links.empty())
        return h;
    EXPECT_EQ(kmdf::um::Open(links[0], kmdf::um::kAccessReadWrite, &h), STATUS_SUCCESS);
    return h;
}

std::vector<TransferRecord> DriverTest::VendorTraffic(PnpDevice& device) {
    std::vector<TransferRecord> out;
    for (const TransferRecord& t : device.Usb().Traffic())
        if (t.kind == TransferRecord::Kind::Control && (t.setup.bmRequestType & 0x60) != 0)
            out.push_back(t);
    return out;
}

std::vector<TransferRecord> DriverTest::ReadTraffic(PnpDevice& device) {
    std::vector<TransferRecord> out;
    for (const TransferRecord& t : device.Usb().Traffic())
        if (t.kind == TransferRecord::Kind::InterruptIn)
            out.push_back(t);
    return out;
}

long DriverTest::EventIndex(const std::string& text) const {
    auto events = world_->Events();
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].find(text) != std::string::npos)
            return static_cast<long>(i);
    return -1;
}

bool DriverTest::HasEvent(const std::string& text) const {
    return EventIndex(text) >= 0;
}

} // namespace talvik_test
