#include "sim/Machine.h"

#include <usbbus/UsbBus.h>

#include <algorithm>
#include <string>

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
    // The bus names its child by port: USB\VID_xxxx&PID_xxxx, instance "<port>".
    PDEVICE_OBJECT pdo = nullptr;
    const std::string deviceId = HardwareIdOf(colorimeter->Config());
    for (const auto& d : kernel_->Pnp().Devices())
        if (d.deviceId == deviceId && d.instanceId == std::to_string(port))
            pdo = d.pdo;
    colorimeters_.push_back(std::move(colorimeter));
    pdos_.push_back(pdo);
    return colorimeters_.back().get();
}

PDEVICE_OBJECT Machine::PdoOf(const Colorimeter* colorimeter) const {
    for (size_t i = 0; i < colorimeters_.size(); ++i)
        if (colorimeters_[i].get() == colorimeter)
            return StateOf(colorimeter).present ? pdos_[i] : nullptr;
    return nullptr;
}

Machine::DeviceState Machine::StateOf(const Colorimeter* colorimeter) const {
    DeviceState state;
    PDEVICE_OBJECT pdo = nullptr;
    for (size_t i = 0; i < colorimeters_.size(); ++i)
        if (colorimeters_[i].get() == colorimeter)
            pdo = pdos_[i];
    if (pdo == nullptr)
        return state;
    for (const auto& d : kernel_->Pnp().Devices())
        if (d.pdo == pdo) {
            state.present = true;
            state.started = d.started;
            state.problem = d.problem;
            state.problemStatus = d.problemStatus;
        }
    return state;
}

NTSTATUS Machine::Stop(const Colorimeter* colorimeter) {
    PDEVICE_OBJECT pdo = PdoOf(colorimeter);
    return pdo != nullptr ? kernel_->Pnp().StopDevice(pdo) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS Machine::Start(const Colorimeter* colorimeter) {
    PDEVICE_OBJECT pdo = PdoOf(colorimeter);
    return pdo != nullptr ? kernel_->Pnp().StartDevice(pdo) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS Machine::Remove(const Colorimeter* colorimeter) {
    PDEVICE_OBJECT pdo = PdoOf(colorimeter);
    NTSTATUS status = pdo != nullptr ? kernel_->Pnp().RemoveDevice(pdo) : STATUS_NO_SUCH_DEVICE;
    kernel_->WaitIdle();
    return status;
}

NTSTATUS Machine::Sleep(SYSTEM_POWER_STATE state) {
    return kernel_->Pnp().SetSystemPower(state);
}

NTSTATUS Machine::Wake() {
    return kernel_->Pnp().SetSystemPower(PowerSystemWorking);
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

std::vector<std::string> Machine::InterfacesOf(const Colorimeter* colorimeter) const {
    // An interface's path names its device instance: \\?\USB#VID_xxxx&PID_xxxx#<port>#{guid}.
    std::string instance =
        HardwareIdOf(colorimeter->Config()) + "#" + std::to_string(colorimeter->Port()) + "#";
    std::replace(instance.begin(), instance.end(), '\\', '#');
    std::vector<std::string> paths;
    for (const std::string& path : Interfaces())
        if (path.find(instance) != std::string::npos)
            paths.push_back(path);
    return paths;
}

NTSTATUS Machine::Open(Handle* handle, size_t index) {
    std::vector<std::string> paths = Interfaces();
    if (index >= paths.size())
        return STATUS_NO_SUCH_DEVICE;
    return OpenPath(handle, paths[index]);
}

NTSTATUS Machine::Open(Handle* handle, const Colorimeter* colorimeter) {
    std::vector<std::string> paths = InterfacesOf(colorimeter);
    if (paths.empty())
        return STATUS_NO_SUCH_DEVICE;
    return OpenPath(handle, paths[0]);
}

NTSTATUS Machine::OpenPath(Handle* handle, const std::string& path) {
    NTSTATUS status = kernel_->User().CreateFile(
        path, ntsim::UserIo::kGenericRead | ntsim::UserIo::kGenericWrite, handle);
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

void Machine::SetEventHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> lock(mu_);
    eventHandler_ = std::move(handler);
}

void Machine::RecordEvent(const std::string& text) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        events_.push_back(text);
        handler = eventHandler_;
    }
    if (handler)
        handler(text);
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
