// A fixture that runs Talvik2 in a fresh simulated machine with the verifier failing the test,
// and helpers to talk to the colorimeter as an application does.
#pragma once

#include "Talvik.h"
#include <wdfldr.h>
#include "kmdf/sim/World.h"
#include "kmdf/usermode/DeviceIo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik_test {

using kmdf::sim::ColorimeterConfig;
using kmdf::sim::ControlReply;
using kmdf::sim::PipeKind;
using kmdf::sim::PipeConfig;
using kmdf::sim::PnpDevice;
using kmdf::sim::PnpState;
using kmdf::sim::PowerState;
using kmdf::sim::SetupPacket;
using kmdf::sim::TransferRecord;
using kmdf::sim::World;

VENDOR_OR_CLASS_REQUEST_CONTROL Block(UCHAR direction, UCHAR requestType, UCHAR recipient,
                                      UCHAR request, USHORT value, USHORT index);

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    World& world() { return *world_; }
    // Loads the driver, plugs in a colorimeter and starts it; fails the test otherwise.
    PnpDevice& StartColorimeter(const ColorimeterConfig& config = {});
    PDEVICE_CONTEXT Context(PnpDevice& device);
    kmdf::um::Handle Open(PnpDevice& device);

    // Vendor transfers seen on the bus (the standard enumeration requests left out).
    static std::vector<TransferRecord> VendorTraffic(PnpDevice& device);
    static std::vector<TransferRecord> ReadTraffic(PnpDevice& device);
    bool HasEvent(const std::string& text) const;
    long EventIndex(const std::string& text) const;

    // Expect a verifier violation containing `text` instead of failing on it.
    void ExpectViolation(const std::string& text);

    std::unique_ptr<World> world_;
    std::vector<std::string> expected_;
    std::vector<std::string> seen_;
};

} // namespace talvik_test
