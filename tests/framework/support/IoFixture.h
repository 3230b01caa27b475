// The I/O tests' machine: a kernel with the virtual bus, the I/O test driver installed for the
// test USB device, the device plugged in and opened. Findings of the framework's verifier fail
// the test unless the test takes them.
#pragma once

#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <wdf.h>
#include <wdfusb.h>

#include "IoTestDriver.h"

#include <FxHost.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

class IoFixture : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        Start(options_);
        hooks_.Violation = &IoFixture::OnViolation;
        hooks_.InjectFault = &IoFixture::OnInjectFault;
        if (std::getenv("FX_TRACE") != nullptr)
            hooks_.Event = &IoFixture::OnEvent;
        hooks_.Context = this;
        FxHostSetHooks(&hooks_);
        kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
        kernel().Pnp().InstallDriver("IoTest", IoTestDriverEntry, {"USB\\VID_1234&PID_5678"});
        busPdo_ = kernel().Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
        ASSERT_NE(busPdo_, nullptr);
        bus_ = busPdo_->AttachedDevice;
    }

    void TearDown() override {
        for (ntsim::UserIo::Handle h : handles_)
            kernel().User().CloseHandle(h);
        kernel().WaitIdle(); // a close deferred until the handle's last request is done
        if (busPdo_ != nullptr) {
            EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo_), STATUS_SUCCESS);
        }
        KernelFixture::TearDown();
        FxHostSetHooks(nullptr);
        for (const std::string& v : findings_)
            ADD_FAILURE() << "unexpected framework finding: " << v;
        IoTestConfig = IOTEST_CONFIG{};
    }

    // Plugs the test device in and opens the driver's interface.
    ntsim::UserIo::Handle PlugAndOpen() {
        EXPECT_EQ(UsbBusPlugIn(bus_, &device_, &port_), STATUS_SUCCESS);
        kernel().WaitIdle();
        std::vector<std::string> paths = kernel().User().FindInterfaces(IoTestInterfaceGuid);
        EXPECT_EQ(paths.size(), 1u);
        ntsim::UserIo::Handle h = 0;
        if (!paths.empty()) {
            EXPECT_EQ(kernel().User().CreateFile(
                          paths[0], ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite, &h),
                      STATUS_SUCCESS);
        }
        handles_.push_back(h);
        return h;
    }

    // Closes a handle PlugAndOpen gave.
    NTSTATUS Close(ntsim::UserIo::Handle h) {
        handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
        return kernel().User().CloseHandle(h);
    }

    // Takes the findings containing `text` (they no longer fail the test).
    size_t TakeFindings(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t before = findings_.size();
        findings_.erase(
            std::remove_if(findings_.begin(), findings_.end(),
                           [&](const std::string& f) { return f.find(text) != std::string::npos; }),
            findings_.end());
        return before - findings_.size();
    }

    // The next calls of `api` fail with `status` (an empty name injects nothing).
    void FailCall(const std::string& api, NTSTATUS status) {
        std::lock_guard<std::mutex> lock(mu_);
        failApi_ = api;
        failStatus_ = status;
    }

    std::vector<USBBUS_LOG_ENTRY> BusLog(UCHAR kind) {
        std::vector<USBBUS_LOG_ENTRY> all(USBBUS_LOG_ENTRIES), some;
        all.resize(UsbBusReadLog(bus_, 0, all.data(), USBBUS_LOG_ENTRIES));
        std::copy_if(all.begin(), all.end(), std::back_inserter(some),
                     [kind](const USBBUS_LOG_ENTRY& e) { return e.Kind == kind; });
        return some;
    }

    ntsim::KernelOptions options_; // set before SetUp
    TestUsbDevice device_;
    ULONG port_ = 0;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;

private:
    static VOID OnEvent(PVOID, PCSTR text) { std::fprintf(stderr, "fx: %s\n", text); }

    static VOID OnViolation(PVOID context, PCSTR text) {
        auto* self = static_cast<IoFixture*>(context);
        if (std::getenv("FX_TRACE") != nullptr)
            std::fprintf(stderr, "fx finding: %s\n", text);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->findings_.push_back(text);
    }

    static BOOLEAN OnInjectFault(PVOID context, PCSTR api, NTSTATUS* status) {
        auto* self = static_cast<IoFixture*>(context);
        std::lock_guard<std::mutex> lock(self->mu_);
        if (self->failApi_.empty() || self->failApi_ != api)
            return FALSE;
        *status = self->failStatus_;
        return TRUE;
    }

    FX_HOST_HOOKS hooks_{};
    std::string failApi_;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    std::mutex mu_;
    std::vector<std::string> findings_;
    std::vector<ntsim::UserIo::Handle> handles_;
};
