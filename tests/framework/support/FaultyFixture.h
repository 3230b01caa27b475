// The verifier tests' machine: a kernel with the virtual bus and the faulty KMDF driver installed
// for the test USB device. Kernel violations and framework findings fail the test unless the test
// takes them; the host is asked only about faultable calls, and a test can make one of them fail.
#pragma once

#include "FxDriverFixture.h"

#include "FaultyKmdfDriver.h"

#include <set>
#include <string>
#include <vector>

class FaultyFixture : public FxDriverFixture {
protected:
    void SetUp() override {
        for (const PCSTR* call = FxHostFaultableCalls(); *call != NULL; ++call)
            faultable_.insert(*call);
        StartWithDriver({}, "Faulty", FaultyDriverEntry);
    }

    void TearDown() override {
        FxDriverFixture::TearDown();
        for (const std::string& api : Asked())
            if (faultable_.count(api) == 0)
                ADD_FAILURE() << "the host was asked about " << api << ", not a faultable call";
        FaultyConfig = FAULTY_CONFIG{};
    }

    // Plugs the test device in; opens the driver's interface when it has one.
    ntsim::UserIo::Handle PlugAndOpen() { return Plug(FaultyInterfaceGuid); }

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

    // Every later call of `api` fails with `status`; the host refuses a name no call has.
    void FailCall(const std::string& api, NTSTATUS status) {
        ASSERT_EQ(faultable_.count(api), 1u) << api << " is not a faultable call";
        FxDriverFixture::FailCall(api, status);
    }
    void FailNothing() { FxDriverFixture::FailCall("", STATUS_SUCCESS); }

    UCHAR out_[8] = {};

private:
    std::set<std::string> faultable_;
};
