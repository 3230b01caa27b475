// A kernel with the virtual bus on a root device and a KMDF test driver installed for the test
// USB device (USB\VID_1234&PID_5678), the framework's host hooks set: kernel violations and
// framework findings fail the test unless the test takes them, events are kept, one call can be
// made to fail, and the calls the host was asked about are recorded. The I/O and the verifier
// tests' fixtures are this with their drivers.
#pragma once

#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <wdf.h>

#include <FxHost.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class FxDriverFixture : public KernelFixture {
protected:
    // Starts the kernel with `options`, the hooks, the bus, and `entry` installed as `service`.
    void StartWithDriver(ntsim::KernelOptions options, const char* service,
                         PDRIVER_INITIALIZE entry) {
        Start(options);
        trace_ = std::getenv("FX_TRACE") != nullptr;
        FX_HOST_HOOKS hooks = {};
        hooks.Event = &FxDriverFixture::OnEvent;
        hooks.Violation = &FxDriverFixture::OnViolation;
        hooks.InjectFault = &FxDriverFixture::OnInjectFault;
        hooks.Context = this;
        FxHostSetHooks(&hooks);
        kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
        kernel().Pnp().InstallDriver(service, entry, {"USB\\VID_1234&PID_5678"});
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
        for (const std::string& f : findings_)
            ADD_FAILURE() << "unexpected framework finding: " << f;
    }

    // Plugs the test device in; returns a handle to the driver's interface `guid` when exactly one
    // is there and opens (0 otherwise). The fixture closes it at the end.
    ntsim::UserIo::Handle Plug(const GUID& guid, size_t* interfaces = nullptr) {
        EXPECT_EQ(UsbBusPlugIn(bus_, &device_, &port_), STATUS_SUCCESS);
        kernel().WaitIdle();
        std::vector<std::string> paths = kernel().User().FindInterfaces(guid);
        if (interfaces != nullptr)
            *interfaces = paths.size();
        ntsim::UserIo::Handle h = 0;
        if (paths.size() == 1 &&
            kernel().User().CreateFile(paths[0],
                                       ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite,
                                       &h) == STATUS_SUCCESS)
            handles_.push_back(h);
        return h;
    }

    // Closes a handle Plug gave.
    NTSTATUS Close(ntsim::UserIo::Handle h) {
        handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
        return kernel().User().CloseHandle(h);
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

    // Every later call of `api` fails with `status` (an empty name injects nothing).
    void FailCall(const std::string& api, NTSTATUS status) {
        std::lock_guard<std::mutex> lock(mu_);
        failApi_ = api;
        failStatus_ = status;
    }
    // The calls the framework asked the host about.
    std::set<std::string> Asked() {
        std::lock_guard<std::mutex> lock(mu_);
        return asked_;
    }

    std::vector<USBBUS_LOG_ENTRY> BusLog(UCHAR kind) {
        std::vector<USBBUS_LOG_ENTRY> all(USBBUS_LOG_ENTRIES), some;
        all.resize(UsbBusReadLog(bus_, 0, all.data(), USBBUS_LOG_ENTRIES));
        std::copy_if(all.begin(), all.end(), std::back_inserter(some),
                     [kind](const USBBUS_LOG_ENTRY& e) { return e.Kind == kind; });
        return some;
    }

    TestUsbDevice device_;
    ULONG port_ = 0;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;

private:
    static VOID OnEvent(PVOID context, PCSTR text) {
        auto* self = static_cast<FxDriverFixture*>(context);
        if (self->trace_)
            std::fprintf(stderr, "fx: %s\n", text);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->events_.push_back(text);
    }
    static VOID OnViolation(PVOID context, PCSTR text) {
        auto* self = static_cast<FxDriverFixture*>(context);
        if (self->trace_)
            std::fprintf(stderr, "fx finding: %s\n", text);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->findings_.push_back(text);
    }
    static BOOLEAN OnInjectFault(PVOID context, PCSTR api, NTSTATUS* status) {
        auto* self = static_cast<FxDriverFixture*>(context);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->asked_.insert(api);
        if (self->failApi_.empty() || self->failApi_ != api)
            return FALSE;
        *status = self->failStatus_;
        return TRUE;
    }

    bool trace_ = false;
    std::mutex mu_;
    std::set<std::string> asked_;
    std::string failApi_;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    std::vector<std::string> findings_;
    std::vector<std::string> events_;
    std::vector<ntsim::UserIo::Handle> handles_;
};
