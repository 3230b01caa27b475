// The PnP manager's thread and its synchronous IRPs.
#include "Pnp.h"

using namespace ntsim;
using namespace ntsim::detail;

namespace {

NTSTATUS SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

namespace ntsim::detail {

IrpResult SendSync(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)>& fill) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (fill)
        fill(stack);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS returned = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    if (returned != STATUS_PENDING && KeReadStateEvent(&done) == 0) {
        Violate(ViolationKind::Dispatch, "a dispatch routine returned " + Hex(ULONG(returned)) +
                                             " for minor " + std::to_string(minor) +
                                             " without completing the IRP");
        ObDereferenceObject(top);
        return IrpResult{returned, 0};
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IrpResult result{irp->IoStatus.Status, irp->IoStatus.Information};
    if (returned != STATUS_PENDING && returned != result.status)
        Violate(ViolationKind::Dispatch, "a dispatch routine returned " + Hex(ULONG(returned)) +
                                             " but completed the IRP with " +
                                             Hex(ULONG(result.status)));
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return result;
}

PnpManager::Impl* NewPnp() {
    auto* impl = new PnpManager::Impl;
    impl->Start();
    return impl;
}

void StopPnp(PnpManager::Impl* impl) {
    impl->Stop();
}
void DeletePnp(PnpManager::Impl* impl) {
    delete impl;
}
void WaitPnpIdle(PnpManager::Impl* impl) {
    impl->WaitIdle();
}

} // namespace ntsim::detail

void PnpManager::Impl::Start() {
    thread_ = std::thread([this] { Run(); });
}

void PnpManager::Impl::Stop() {
    {
        std::lock_guard<std::mutex> lock(queueMu_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void PnpManager::Impl::Post(std::function<void()> action) {
    {
        std::lock_guard<std::mutex> lock(queueMu_);
        queue_.push_back(std::move(action));
    }
    changed_.notify_all();
}

void PnpManager::Impl::Call(std::function<void()> action) {
    std::mutex doneMu;
    std::condition_variable doneChanged;
    bool done = false;
    Post([&] {
        action();
        std::lock_guard<std::mutex> lock(doneMu);
        done = true;
        doneChanged.notify_all();
    });
    std::unique_lock<std::mutex> lock(doneMu);
    doneChanged.wait(lock, [&] { return done; });
}

void PnpManager::Impl::WaitIdle() {
    std::unique_lock<std::mutex> lock(queueMu_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void PnpManager::Impl::Run() {
    std::unique_lock<std::mutex> lock(queueMu_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::function<void()> action = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        action();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}
