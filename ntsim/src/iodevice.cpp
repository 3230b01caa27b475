// Driver and device objects, device stacks, object references, and work items on the system
// worker thread.
#include "Internal.h"

#include <cstdlib>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;

std::string DeviceText(PDEVICE_OBJECT device) {
    return "device " + Hex(reinterpret_cast<std::uintptr_t>(device));
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

DeviceRecord* Record(PDEVICE_OBJECT device) {
    auto found = K().devices.records.find(device);
    return found == K().devices.records.end() ? nullptr : &found->second;
}

} // namespace

namespace ntsim::detail {

PDRIVER_OBJECT CreateDriverObject(const std::string& service) {
    auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
    auto* extension = static_cast<PDRIVER_EXTENSION>(std::calloc(1, sizeof(DRIVER_EXTENSION)));
    std::u16string name = Widen("\\Driver\\" + service);
    auto* buffer = static_cast<WCHAR*>(std::calloc(name.size() + 1, sizeof(WCHAR)));
    memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + 2);
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction)
        dispatch = InvalidDeviceRequest;
    std::lock_guard<std::mutex> lock(K().devices.mu);
    K().devices.drivers.push_back(driver);
    return driver;
}

void UnloadDriverObject(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr)
        Violate(ViolationKind::Device, "driver unloaded with device objects left");
    if (driver->DriverUnload != nullptr)
        driver->DriverUnload(driver);
}

bool IsDeleted(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(K().devices.mu);
    DeviceRecord* record = Record(device);
    return record == nullptr || record->deleted;
}

void ReleaseDeviceObjects() {
    Devices& d = K().devices;
    for (PDEVICE_OBJECT device : d.all) {
        std::free(device->DeviceExtension);
        std::free(device);
    }
    for (PDRIVER_OBJECT driver : d.drivers) {
        std::free(driver->DriverName.Buffer);
        std::free(driver->DriverExtension);
        std::free(driver);
    }
    d.all.clear();
    d.drivers.clear();
    d.records.clear();
}

} // namespace ntsim::detail

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                         PUNICODE_STRING name, DEVICE_TYPE type,
                                         ULONG characteristics, BOOLEAN exclusive,
                                         PDEVICE_OBJECT* deviceObject) {
    CheckIrql("IoCreateDevice", PASSIVE_LEVEL);
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = kIoTypeDevice;
    device->Size = sizeof(DEVICE_OBJECT);
    device->ReferenceCount = 1;
    device->DriverObject = driver;
    device->DeviceType = type;
    device->Characteristics = characteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->AlignmentRequirement = 0;
    // Extensions are nonpaged and zeroed.
    device->DeviceExtension = extensionSize > 0 ? std::calloc(1, extensionSize) : nullptr;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    std::lock_guard<std::mutex> lock(K().devices.mu);
    DeviceRecord record;
    if (name != nullptr && name->Buffer != nullptr)
        record.name = Narrow(name->Buffer, name->Length / sizeof(WCHAR));
    K().devices.records[device] = record;
    K().devices.all.push_back(device);
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    *deviceObject = device;
    return STATUS_SUCCESS;
}

// The object stays allocated (so that a late call is reported, not a crash); it leaves its
// driver's list at once.
extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT device) {
    CheckIrql("IoDeleteDevice", PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(K().devices.mu);
    DeviceRecord* record = Record(device);
    if (record == nullptr || record->deleted) {
        Violate(ViolationKind::Device, "IoDeleteDevice on " + DeviceText(device) +
                                           (record == nullptr ? " never created" : " twice"));
        return;
    }
    // A bus deletes its PDO during REMOVE_DEVICE while the FDO above is still attached (it
    // detaches after passing the IRP down); the platform defers the deletion, and so does this.
    if (record->attachedTo != nullptr)
        Violate(ViolationKind::Device, "IoDeleteDevice on " + DeviceText(device) +
                                           " still attached to the device below (IoDetachDevice)");
    record->deleted = true;
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device)
        link = &(*link)->NextDevice;
    if (*link == device)
        *link = device->NextDevice;
    device->NextDevice = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source,
                                                            PDEVICE_OBJECT target) {
    CheckIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(K().devices.mu);
    DeviceRecord* sourceRecord = Record(source);
    PDEVICE_OBJECT top = target;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    DeviceRecord* topRecord = Record(top);
    if (sourceRecord == nullptr || topRecord == nullptr || topRecord->deleted)
        return nullptr;
    top->AttachedDevice = source;
    sourceRecord->attachedTo = top;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT target) {
    CheckIrql("IoDetachDevice", PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(K().devices.mu);
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (above == nullptr) {
        Violate(ViolationKind::Device,
                "IoDetachDevice on " + DeviceText(target) + " with nothing attached");
        return;
    }
    target->AttachedDevice = nullptr;
    if (DeviceRecord* record = Record(above))
        record->attachedTo = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = device;
    {
        std::lock_guard<std::mutex> lock(K().devices.mu);
        while (top->AttachedDevice != nullptr)
            top = top->AttachedDevice;
    }
    ObReferenceObject(top);
    return top;
}

// Only device objects are referenced by the drivers here; their memory outlives the kernel's
// use of them, so a count is all that is kept.
extern "C" LONG_PTR NTAPI ObfReferenceObject(PVOID object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    return InterlockedIncrement(&device->ReferenceCount);
}

extern "C" LONG_PTR NTAPI ObfDereferenceObject(PVOID object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    LONG count = InterlockedDecrement(&device->ReferenceCount);
    if (count < 0)
        Violate(ViolationKind::Device, "ObDereferenceObject below zero on " + DeviceText(device));
    return count;
}

// ------------------------------------------------------------------------------ work items
struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    std::atomic<bool> queued{false};
};

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT device) {
    CheckIrql("IoAllocateWorkItem", DISPATCH_LEVEL);
    auto* item = new IO_WORKITEM;
    item->device = device;
    return item;
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM item) {
    if (item->queued.load())
        Violate(ViolationKind::Device, "IoFreeWorkItem on a work item still queued");
    delete item;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine,
                                      WORK_QUEUE_TYPE queueType, PVOID context) {
    (void)queueType;
    CheckIrql("IoQueueWorkItem", DISPATCH_LEVEL);
    if (item->queued.exchange(true)) {
        Violate(ViolationKind::Device, "IoQueueWorkItem on a work item already queued");
        return;
    }
    ObReferenceObject(item->device);
    K().work.Post([item, routine, context] {
        PDEVICE_OBJECT device = item->device;
        item->queued.store(false); // the routine may queue or free its item again
        routine(device, context);
        CheckIrqlRestored("a work item", PASSIVE_LEVEL);
        if (Current().spinLocksHeld != 0)
            Violate(ViolationKind::SpinLock, "a work item returned holding a spin lock");
        ObDereferenceObject(device);
    });
}

namespace ntsim::detail {

void WorkQueue::Start() {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = true;
    thread_ = std::thread([this] { Run(); });
}

void WorkQueue::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void WorkQueue::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back(std::move(work));
    }
    changed_.notify_all();
}

void WorkQueue::WaitIdle() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void WorkQueue::Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

} // namespace ntsim::detail
