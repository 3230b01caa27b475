// The I/O tests' machine: a kernel with the virtual bus, the I/O test driver installed for the
// test USB device, which a test plugs in and opens. Findings of the framework's verifier fail
// the test unless the test takes them.
#pragma once

#include "FxDriverFixture.h"

#include <wdfusb.h>

#include "IoTestDriver.h"

class IoFixture : public FxDriverFixture {
protected:
    void SetUp() override { StartWithDriver(options_, "IoTest", IoTestDriverEntry); }

    void TearDown() override {
        FxDriverFixture::TearDown();
        IoTestConfig = IOTEST_CONFIG{};
    }

    // Plugs the test device in and opens the driver's interface.
    ntsim::UserIo::Handle PlugAndOpen() {
        size_t interfaces = 0;
        ntsim::UserIo::Handle h = Plug(IoTestInterfaceGuid, &interfaces);
        EXPECT_EQ(interfaces, 1u);
        EXPECT_NE(h, 0u);
        return h;
    }

    ntsim::KernelOptions options_; // set before SetUp
};
