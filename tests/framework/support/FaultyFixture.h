// The verifier tests' machine: a kernel with the virtual bus and the faulty KMDF driver installed
// for the test USB device. Kernel violations and framework findings fail the test unless the test
// takes them; the host is asked only about faultable calls, and a test can make one of them fail.
#pragma once

#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <wdf.h>

#include "FaultyKmdfDriver.h"

#include <FxHost.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class FaultyFixture : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        FX_HOST_HOOKS hooks = {};
        hooks.Event = &FaultyFixture::OnEvent;
        hooks.Violation = &FaultyFixture::OnViolation;
        hooks.InjectFault = &FaultyFixture::OnInjectFault;
        hooks.Context = this;
        FxHostSetHooks(&hooks);
        for (const PCSTR* call = FxHostFaultableCalls(); *call != NULL; ++call)
            faultable_.insert(*call);
        kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
        kernel().Pnp().InstallDriver("Faulty", FaultyDriverEntry, {"USB\\VID_1234&PID_5678"});
        busPdo_ = kernel().Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
        ASSERT_NE(busPdo_, nullptr);
        bus_ = busPdo_->AttachedDevice;
    }

    void TearDown() override {
        for (ntsim::UserIo::Handle h : handles_)
            kernel().User().CloseHandle(h);
        kernel().WaitIdle();
        if (busPdo_ != nullptr) {
            EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo_), STATUS_SUCCESS);
        }
        KernelFixture::TearDown();
        FxHostSetHooks(nullptr);
        for (const std::string& f : findings_)
            ADD_FAILURE() << "unexpected framework finding: " << f;
        for (const std::string& api : asked_)
            if (faultable_.count(api) == 0)
                ADD_FAILURE() << "the host was asked about " << api << ", not a faultable call";
        FaultyConfig = FAULTY_CONFIG{};
    }

    // Plugs the test device in; opens the driver's interface when it has one.
    ntsim::UserIo::Handle PlugAndOpen() {
        EXPECT_EQ(UsbBusPlugIn(bus_, &device_, &port_), STATUS_SUCCESS);
        kernel().WaitIdle();
        std::vector<std::string> paths = kernel().User().FindInterfaces(FaultyInterfaceGuid);
        ntsim::UserIo::Handle h = 0;
        if (paths.size() == 1 &&
            kernel().User().CreateFile(paths[0],
                                       ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite,
                                       &h) == STATUS_SUCCESS)
            handles_.push_back(h);
        return h;
    }

    PDEVICE_OBJECT Pdo() {
        for (const auto& d : kernel().Pnp().Devices())
            if (d.deviceId == "USB\\VID_1234&PID_5678")
                return d.pdo;
        return nullptr;
    }

    NTSTATUS Read(ntsim::UserIo::Handle h, ntsim::Overlapped* op) {
        return kernel().User().DeviceIoControl(h, IOCTL_FAULTY_READ, nullptr, 0, out_, sizeof out_,
                                               op);
    }
    NTSTATUS Ioctl(ntsim::UserIo::Handle h, ULONG code, const void* in = nullptr,
                   ULONG inLength = 0) {
        ULONG_PTR bytes;
        return kernel().User().DeviceIoControl(h, code, in, inLength, nullptr, 0, &bytes);
    }
    NTSTATUS FeedInterrupt(std::vector<UCHAR> bytes) {
        return UsbBusFeedIn(bus_, port_, 0x81, bytes.data(), static_cast<ULONG>(bytes.size()));
    }

    // Takes the framework findings containing `text` (they no longer fail the test).
    size_t TakeFindings(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t before = findings_.size();
        findings_.erase(
            std::remove_if(findings_.begin(), findings_.end(),
                           [&](const std::string& f) { return f.find(text) != std::string::npos; }),
            findings_.end());
        return before - findings_.size();
    }
    std::vector<std::string> Findings() {
        std::lock_guard<std::mutex> lock(mu_);
        return findings_;
    }
    bool HasEvent(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        return std::any_of(events_.begin(), events_.end(),
                           [&](const std::string& e) { return e.find(text) != std::string::npos; });
    }

    // Every later call of `api` fails with `status`; the host refuses a name no call has.
    void FailCall(const std::string& api, NTSTATUS status) {
        ASSERT_EQ(faultable_.count(api), 1u) << api << " is not a faultable call";
        std::lock_guard<std::mutex> lock(mu_);
        failApi_ = api;
        failStatus_ = status;
    }
    void FailNothing() {
        std::lock_guard<std::mutex> lock(mu_);
        failApi_.clear();
    }

    TestUsbDevice device_;
    ULONG port_ = 0;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;
    UCHAR out_[8] = {};

private:
    static VOID OnEvent(PVOID context, PCSTR text) {
        auto* self = static_cast<FaultyFixture*>(context);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->events_.push_back(text);
    }
    static VOID OnViolation(PVOID context, PCSTR text) {
        auto* self = static_cast<FaultyFixture*>(context);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->findings_.push_back(text);
    }
    static BOOLEAN OnInjectFault(PVOID context, PCSTR api, NTSTATUS* status) {
        auto* self = static_cast<FaultyFixture*>(context);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->asked_.insert(api);
        if (self->failApi_.empty() || self->failApi_ != api)
            return FALSE;
        *status = self->failStatus_;
        return TRUE;
    }

    std::mutex mu_;
    std::set<std::string> faultable_;
    std::set<std::string> asked_;
    std::string failApi_;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    std::vector<std::string> findings_;
    std::vector<std::string> events_;
    std::vector<ntsim::UserIo::Handle> handles_;
};
