#include "sim/Machine.h"

#include <usbbus/UsbBus.h>

#include <algorithm>

namespace sim {

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
    kernel_ = std::make_unique<ntsim::Kernel>(options_.kernel);
    kernel_->verifier().SetHandler(
        [this](const ntsim::Violation& v) { ReportFinding(Finding::Source::Kernel, v.text); });
    kernel_->Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
    if (options_.driverEntry != nullptr) {
        std::vector<std::string> ids = options_.hardwareIds;
        if (ids.empty())
            ids.push_back(HardwareIdOf(ColorimeterConfig{}));
        kernel_->Pnp().InstallDriver(options_.service, options_.driverEntry, ids);
    }
    busPdo_ = kernel_->Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
    bus_ = busPdo_ != nullptr ? busPdo_->AttachedDevice : nullptr;
    if (bus_ == nullptr)
        ReportFinding(Finding::Source::Kernel, "the virtual USB bus did not start");
}

Machine::~Machine() {
    Shutdown();
}

void Machine::Shutdown() {
    if (!kernel_)
        return;
    for (Handle h : open_)
        kernel_->User().CloseHandle(h);
    open_.clear();
    if (busPdo_ != nullptr) {
        NTSTATUS status = kernel_->Pnp().RemoveDevice(busPdo_);
        if (status != STATUS_SUCCESS)
            ReportFinding(Finding::Source::Kernel, "removing the bus failed");
        busPdo_ = bus_ = nullptr;
    }
    kernel_->WaitIdle();
    kernel_.reset(); // leaks reach the findings here
}

Colorimeter* Machine::PlugIn(const ColorimeterConfig& config) {
    if (bus_ == nullptr)
        return nullptr;
    auto colorimeter = std::make_unique<Colorimeter>(config);
    ULONG port = 0;
    const ULONG firstEntry = NextLogEntry(bus_);
    if (UsbBusPlugIn(bus_, colorimeter.get(), &port) != STATUS_SUCCESS)
        return nullptr;
    colorimeter->Attach(bus_, port, firstEntry);
    kernel_->WaitIdle();
    colorimeters_.push_back(std::move(colorimeter));
    return colorimeters_.back().get();
}

NTSTATUS Machine::Unplug(Colorimeter* colorimeter) {
    if (bus_ == nullptr || colorimeter == nullptr || colorimeter->Port() == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = UsbBusUnplug(bus_, colorimeter->Port());
    kernel_->WaitIdle();
    return status;
}

std::vector<std::string> Machine::Interfaces() const {
    return kernel_->User().FindInterfaces(options_.interfaceGuid);
}

NTSTATUS Machine::Open(Handle* handle, size_t index) {
    std::vector<std::string> paths = Interfaces();
    if (index >= paths.size())
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = kernel_->User().CreateFile(
        paths[index], ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite, handle);
    if (NT_SUCCESS(status))
        open_.push_back(*handle);
    return status;
}

NTSTATUS Machine::Close(Handle handle) {
    open_.erase(std::remove(open_.begin(), open_.end(), handle), open_.end());
    return kernel_->User().CloseHandle(handle);
}

NTSTATUS Machine::DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength,
                                  void* out, ULONG outLength, ULONG_PTR* bytes) {
    return kernel_->User().DeviceIoControl(handle, code, in, inLength, out, outLength, bytes);
}

NTSTATUS Machine::DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength,
                                  void* out, ULONG outLength, ntsim::Overlapped* overlapped) {
    return kernel_->User().DeviceIoControl(handle, code, in, inLength, out, outLength, overlapped);
}

NTSTATUS Machine::CancelIoEx(Handle handle, ntsim::Overlapped* overlapped) {
    return kernel_->User().CancelIoEx(handle, overlapped);
}

void Machine::SetFindingHandler(std::function<void(const Finding&)> handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
}

void Machine::ReportFinding(Finding::Source source, const std::string& text) {
    Finding finding{source, text};
    std::function<void(const Finding&)> handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        findings_.push_back(finding);
        handler = handler_;
    }
    if (handler)
        handler(finding);
}

std::vector<Finding> Machine::Findings() const {
    std::lock_guard<std::mutex> lock(mu_);
    return findings_;
}

void Machine::ClearFindings() {
    std::lock_guard<std::mutex> lock(mu_);
    findings_.clear();
}

void Machine::RecordEvent(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(text);
}

std::vector<std::string> Machine::Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
}

void Machine::ClearEvents() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
}

} // namespace sim
