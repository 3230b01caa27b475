// A kernel per test with the framework's host hooks set: kernel violations and framework
// findings fail the test unless the test takes them; framework events are kept in order.
#pragma once

#include "TestKmdfDriver.h"

#include "FxHost.h"
#include "ntsim/Kernel.h"

#include <usbbus/UsbBus.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../ntsim/support/TestUsbDevice.h"

class FrameworkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        FxTestReset();
        kernel_ = std::make_unique<ntsim::Kernel>();
        kernel_->verifier().SetHandler([this](const ntsim::Violation& v) {
            std::lock_guard<std::mutex> lock(mu_);
            kernelViolations_.push_back(v.text);
        });
        FX_HOST_HOOKS hooks = {};
        hooks.Event = [](PVOID context, PCSTR text) {
            auto* self = static_cast<FrameworkFixture*>(context);
            std::lock_guard<std::mutex> lock(self->mu_);
            self->events_.push_back(text);
        };
        hooks.Violation = [](PVOID context, PCSTR text) {
            auto* self = static_cast<FrameworkFixture*>(context);
            std::lock_guard<std::mutex> lock(self->mu_);
            self->findings_.push_back(text);
        };
        hooks.InjectFault = [](PVOID context, PCSTR api, NTSTATUS* status) -> BOOLEAN {
            auto* self = static_cast<FrameworkFixture*>(context);
            std::lock_guard<std::mutex> lock(self->mu_);
            if (self->failApi_ != api)
                return FALSE;
            *status = self->failStatus_;
            return TRUE;
        };
        hooks.Context = this;
        FxHostSetHooks(&hooks);
    }

    void TearDown() override {
        for (ntsim::UserIo::Handle h : handles_)
            kernel().User().CloseHandle(h);
        if (busPdo_ != nullptr) {
            EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo_), STATUS_SUCCESS);
        }
        kernel_.reset(); // leaks reach the handler here
        FxHostSetHooks(nullptr);
        for (const std::string& v : kernelViolations_)
            ADD_FAILURE() << "unexpected kernel violation: " << v;
        for (const std::string& f : findings_)
            ADD_FAILURE() << "unexpected framework finding: " << f;
    }

    ntsim::Kernel& kernel() { return *kernel_; }

    // The bus on a root device, the test driver installed for the test device, and the device
    // plugged: when this returns the device has been added and started (or failed to).
    void PlugTestDevice() {
        kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
        kernel().Pnp().InstallDriver("FxTest", FxDriverEntry, {"USB\\VID_1234&PID_5678"});
        busPdo_ = kernel().Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
        ASSERT_NE(busPdo_, nullptr);
        ASSERT_EQ(UsbBusPlugIn(busPdo_->AttachedDevice, &usb_, &port_), STATUS_SUCCESS);
        kernel().WaitIdle();
        for (const auto& d : kernel().Pnp().Devices())
            for (const std::string& id : d.hardwareIds)
                if (id == "USB\\VID_1234&PID_5678")
                    pdo_ = d.pdo;
        ASSERT_NE(pdo_, nullptr);
    }

    void Unplug() {
        ASSERT_EQ(UsbBusUnplug(busPdo_->AttachedDevice, port_), STATUS_SUCCESS);
        kernel().WaitIdle();
    }

    // Virtual time, then whatever DPCs and work items it set off.
    void Advance(std::int64_t ms) {
        kernel().AdvanceMs(ms);
        kernel().WaitIdle();
    }

    bool Started() {
        for (const auto& d : kernel().Pnp().Devices())
            if (d.pdo == pdo_)
                return d.started;
        return false;
    }

    std::string Order() const {
        LONG length = g_fxTestRecord.Length;
        return std::string(g_fxTestRecord.Order, length < 127 ? length : 127);
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mu_);
        return events_;
    }
    // Index of the first event containing `text`, or -1.
    int EventIndex(const std::string& text) {
        std::vector<std::string> events = Events();
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }
    bool HasEvent(const std::string& text) { return EventIndex(text) >= 0; }
    size_t CountEvents(const std::string& text) {
        size_t n = 0;
        for (const std::string& e : Events())
            n += e.find(text) != std::string::npos;
        return n;
    }

    // Takes the framework findings containing `text` (they no longer fail the test).
    size_t TakeFindings(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t count = 0;
        for (auto it = findings_.begin(); it != findings_.end();) {
            if (it->find(text) != std::string::npos) {
                ++count;
                it = findings_.erase(it);
            } else {
                ++it;
            }
        }
        return count;
    }

    // Every call of `api` fails with `status` from now on.
    void Fail(const std::string& api, NTSTATUS status) {
        std::lock_guard<std::mutex> lock(mu_);
        failApi_ = api;
        failStatus_ = status;
    }

    ULONG LiveObjects() {
        FX_HOST_COUNTERS counters;
        FxHostGetCounters(&counters);
        return counters.LiveObjects;
    }

    ntsim::UserIo::Handle Open(NTSTATUS expected = STATUS_SUCCESS) {
        std::vector<std::string> paths = kernel().User().FindInterfaces(FxTestInterfaceGuid);
        EXPECT_EQ(paths.size(), 1u);
        ntsim::UserIo::Handle h = 0;
        if (paths.empty())
            return 0;
        EXPECT_EQ(kernel().User().CreateFile(paths[0], ntsim::UserIo::kGenericRead, &h), expected);
        if (expected == STATUS_SUCCESS)
            handles_.push_back(h);
        return h;
    }

    void Close(ntsim::UserIo::Handle h) {
        for (auto it = handles_.begin(); it != handles_.end(); ++it)
            if (*it == h) {
                handles_.erase(it);
                break;
            }
        EXPECT_EQ(kernel().User().CloseHandle(h), STATUS_SUCCESS);
    }

    // An IRP of the test's own down the test device's whole stack, as the PnP or power manager
    // sends it, waited for; `fill` sets the parameters of its stack location. Its status.
    template <typename Fill> NTSTATUS SendToStack(UCHAR major, UCHAR minor, Fill fill) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        fill(next);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
        NTSTATUS sent = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
        if (sent == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        ObDereferenceObject(top);
        return status;
    }

    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    ULONG port_ = 0;
    TestUsbDevice usb_;

private:
    static NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::unique_ptr<ntsim::Kernel> kernel_;
    std::mutex mu_;
    std::vector<std::string> kernelViolations_;
    std::vector<std::string> findings_;
    std::vector<std::string> events_;
    std::vector<ntsim::UserIo::Handle> handles_;
    std::string failApi_;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
};
