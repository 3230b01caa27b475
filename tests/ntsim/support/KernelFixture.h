// A kernel per test whose verifier findings fail the test unless the test expects them.
#pragma once

#include "FunctionDriver.h"
#include "ntsim/Kernel.h"

#include <usbbus/UsbBus.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

class KernelFixture : public ::testing::Test {
protected:
    void SetUp() override { Start({}); }

    void Start(ntsim::KernelOptions options) {
        kernel_.reset();
        kernel_ = std::make_unique<ntsim::Kernel>(options);
        kernel_->verifier().SetHandler([this](const ntsim::Violation& v) {
            std::lock_guard<std::mutex> lock(mu_);
            seen_.push_back(v);
        });
    }

    void TearDown() override {
        kernel_.reset(); // leaks reach the handler here
        for (const ntsim::Violation& v : seen_)
            ADD_FAILURE() << "unexpected violation: " << v.text;
    }

    ntsim::Kernel& kernel() { return *kernel_; }

    // The virtual bus on a root device, with the tests' function driver installed for the test
    // device's id (USB\VID_1234&PID_5678). Returns the bus's PDO.
    PDEVICE_OBJECT AddBusWithTestFunctionDriver() {
        kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
        kernel().Pnp().InstallDriver("FnTest", FnDriverEntry, {"USB\\VID_1234&PID_5678"});
        return kernel().Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
    }

    // Takes the violations of `kind` seen so far (they no longer fail the test).
    size_t Take(ntsim::ViolationKind kind) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t count = 0;
        for (auto it = seen_.begin(); it != seen_.end();) {
            if (it->kind == kind) {
                ++count;
                it = seen_.erase(it);
            } else {
                ++it;
            }
        }
        return count;
    }

private:
    std::unique_ptr<ntsim::Kernel> kernel_;
    std::mutex mu_;
    std::vector<ntsim::Violation> seen_;
};
