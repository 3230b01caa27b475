// IRPs: allocation, IoCallDriver, IoCompleteRequest with completion routines and the propagation
// of pending-returned, cancellation under the cancel spin lock, and IoBuildDeviceIoControlRequest.
#include "Internal.h"

#include <algorithm>
#include <cstdlib>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr ULONG kBufferTag = 'bIsN';

std::string IrpText(PIRP irp) {
    return "IRP " + Hex(reinterpret_cast<std::uintptr_t>(irp));
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize) {
    memset(irp, 0, size);
    irp->Type = kIoTypeIrp;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

// Looks the IRP up; reports `routine` on an IRP the kernel does not know (freed, or never its).
bool Lookup(PIRP irp, const char* routine, IrpRecord* copy = nullptr) {
    std::lock_guard<std::mutex> lock(K().irps.mu);
    auto found = K().irps.records.find(irp);
    if (found == K().irps.records.end()) {
        Violate(ViolationKind::Irp,
                std::string(routine) + " on " + IrpText(irp) + " that is not allocated (freed?)");
        return false;
    }
    if (copy != nullptr)
        *copy = found->second;
    return true;
}

void SetPhase(PIRP irp, IrpPhase phase) {
    std::lock_guard<std::mutex> lock(K().irps.mu);
    auto found = K().irps.records.find(irp);
    if (found != K().irps.records.end())
        found->second.phase = phase;
}

// Completed when the IRP is no longer known (freed after its completion).
IrpPhase PhaseOf(PIRP irp) {
    std::lock_guard<std::mutex> lock(K().irps.mu);
    auto found = K().irps.records.find(irp);
    return found != K().irps.records.end() ? found->second.phase : IrpPhase::Completed;
}

} // namespace

namespace ntsim::detail {
void SetIrpFinish(PIRP irp, std::function<void(PIRP)> finish) {
    std::lock_guard<std::mutex> lock(K().irps.mu);
    K().irps.records[irp].finish = std::move(finish);
}
} // namespace ntsim::detail

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
    (void)chargeQuota;
    CheckIrql("IoAllocateIrp", DISPATCH_LEVEL);
    if (stackSize < 1) {
        Violate(ViolationKind::Irp,
                "IoAllocateIrp with a stack size of " + std::to_string(stackSize));
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = static_cast<PIRP>(std::malloc(size));
    if (irp == nullptr)
        return nullptr;
    InitializeIrp(irp, size, stackSize);
    std::lock_guard<std::mutex> lock(K().irps.mu);
    K().irps.records[irp] = IrpRecord{};
    return irp;
}

namespace {
void FreeIrp(PIRP irp, bool byDriver) {
    {
        std::lock_guard<std::mutex> lock(K().irps.mu);
        auto found = K().irps.records.find(irp);
        if (found == K().irps.records.end()) {
            Violate(ViolationKind::Irp, "IoFreeIrp on " + IrpText(irp) + " not allocated");
            return;
        }
        // The I/O manager's own IRPs are freed by it alone.
        if (byDriver && found->second.finish != nullptr) {
            Violate(ViolationKind::Irp,
                    "IoFreeIrp on " + IrpText(irp) + " that the I/O manager owns");
            return;
        }
        K().irps.records.erase(found);
    }
    std::free(irp);
}
} // namespace

namespace ntsim::detail {
void ReleaseIrp(PIRP irp) {
    FreeIrp(irp, false);
}
} // namespace ntsim::detail

extern "C" VOID NTAPI IoFreeIrp(PIRP irp) {
    CheckIrql("IoFreeIrp", DISPATCH_LEVEL);
    FreeIrp(irp, true);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP irp, NTSTATUS status) {
    IrpRecord record;
    if (!Lookup(irp, "IoReuseIrp", &record))
        return;
    if (record.finish != nullptr)
        Violate(ViolationKind::Irp, "IoReuseIrp on an IRP the I/O manager owns");
    InitializeIrp(irp, irp->Size, irp->StackCount);
    irp->IoStatus.Status = status;
    SetPhase(irp, IrpPhase::Allocated);
}

namespace ntsim::detail {
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const NTSTATUS* refusal) {
    CheckIrql("IoCallDriver", DISPATCH_LEVEL);
    if (!Lookup(irp, "IoCallDriver"))
        return STATUS_INVALID_PARAMETER;
    {
        std::unique_lock<std::mutex> lock(K().devices.mu);
        auto found = K().devices.records.find(device);
        if (found != K().devices.records.end() && found->second.deleted && refusal != nullptr) {
            lock.unlock();
            irp->IoStatus.Status = *refusal;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return *refusal;
        }
        if (found == K().devices.records.end() || found->second.deleted) {
            Violate(ViolationKind::Device,
                    "IoCallDriver to device " + Hex(reinterpret_cast<std::uintptr_t>(device)) +
                        (found == K().devices.records.end() ? " that never existed" : " deleted"));
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    IoSetNextIrpStackLocation(irp);
    if (irp->CurrentLocation <= 0) {
        Violate(ViolationKind::Irp,
                "IoCallDriver: " + IrpText(irp) +
                    " has no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
        IoSkipCurrentIrpStackLocation(irp);
        return STATUS_INVALID_PARAMETER;
    }
    SetPhase(irp, IrpPhase::Dispatched);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    // The caller filled it in, the callee reads it (a URB, say), both at this IRQL.
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        CheckResident(stack->Parameters.Others.Argument1, "the argument of an IRP sent down");
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    if (K().irpTrace.On())
        TraceCall(device, irp);
    KIRQL before = Current().irql;
    NTSTATUS status = dispatch(device, irp);
    CheckIrqlRestored("a dispatch routine", before);
    return status;
}
} // namespace ntsim::detail

extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    return CallDriver(device, irp, nullptr);
}

// Walks the stack upward from the completing driver's location: each location's completion
// routine runs when its invoke flags match; STATUS_MORE_PROCESSING_REQUIRED stops the walk and
// gives the IRP back to that driver. Without a routine, pending-returned is carried upward.
extern "C" VOID NTAPI IofCompleteRequest(PIRP irp, CCHAR priorityBoost) {
    (void)priorityBoost;
    CheckIrql("IoCompleteRequest", DISPATCH_LEVEL);
    {
        std::lock_guard<std::mutex> lock(K().irps.mu);
        auto found = K().irps.records.find(irp);
        if (found == K().irps.records.end()) {
            Violate(ViolationKind::Irp, "IoCompleteRequest on " + IrpText(irp) +
                                            " not allocated (completed and freed already?)");
            return;
        }
        if (found->second.phase == IrpPhase::Completing ||
            found->second.phase == IrpPhase::Completed) {
            Violate(ViolationKind::Irp, "IoCompleteRequest: " + IrpText(irp) + " completed twice");
            return;
        }
        found->second.phase = IrpPhase::Completing;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        Violate(ViolationKind::Irp, "IoCompleteRequest with status STATUS_PENDING");
    if (IoSetCancelRoutine(irp, nullptr) != nullptr)
        Violate(ViolationKind::Cancel, "IoCompleteRequest on an IRP with a cancel routine set");
    const bool traced = K().irpTrace.On();
    IrpStep top{};
    if (traced) {
        TraceComplete(irp);
        top = TopStepOf(irp);
    }

    PIO_STACK_LOCATION last = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // The completing driver wrote its results there (a URB's status and length).
    if (stack < last && stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        CheckResident(stack->Parameters.Others.Argument1, "the argument of an IRP completed");
    IoSkipCurrentIrpStackLocation(irp);
    for (; stack < last; ++stack, IoSkipCurrentIrpStackLocation(irp)) {
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS status = irp->IoStatus.Status;
        bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != 0;
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (cancelled && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        memset(stack, 0, sizeof *stack);
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoMarkIrpPending(irp);
            continue;
        }
        PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                    ? nullptr
                                    : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        KIRQL before = Current().irql;
        // The routine's driver owns the IRP while it runs: it may complete it further up from
        // inside the routine (then returning STATUS_MORE_PROCESSING_REQUIRED), as the platform
        // allows.
        SetPhase(irp, IrpPhase::Dispatched);
        NTSTATUS result = routine(device, irp, context);
        CheckIrqlRestored("a completion routine", before);
        if (result == STATUS_MORE_PROCESSING_REQUIRED)
            return; // the driver owns it again (it may be completed or freed already)
        if (PhaseOf(irp) != IrpPhase::Dispatched) {
            Violate(ViolationKind::Irp, "a completion routine completed " + IrpText(irp) +
                                            " and let its completion go on (completed twice)");
            return;
        }
        SetPhase(irp, IrpPhase::Completing);
    }

    std::function<void(PIRP)> finish;
    {
        std::lock_guard<std::mutex> lock(K().irps.mu);
        IrpRecord& record = K().irps.records[irp];
        record.phase = IrpPhase::Completed;
        finish = record.finish;
    }
    if (traced)
        TraceCompletedToTop(top, irp); // before the owner may free it
    if (finish)
        finish(irp);
    else
        Violate(ViolationKind::Irp, IrpText(irp) +
                                        " from IoAllocateIrp completed to its top: its completion "
                                        "routine must return STATUS_MORE_PROCESSING_REQUIRED");
}

// ---------------------------------------------------------------------------- cancellation
extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql) {
    KeAcquireSpinLock(&K().cancelLock, irql);
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL irql) {
    KeReleaseSpinLock(&K().cancelLock, irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP irp) {
    CheckIrql("IoCancelIrp", DISPATCH_LEVEL);
    if (K().irpTrace.On())
        TraceCancel(irp);
    if (!Lookup(irp, "IoCancelIrp"))
        return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    int held = Current().spinLocksHeld;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    if (__atomic_load_n(&K().cancelLock, __ATOMIC_RELAXED) == Current().id) {
        Violate(ViolationKind::Cancel, "a cancel routine returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    } else if (Current().spinLocksHeld != held - 1) {
        Violate(ViolationKind::SpinLock, "a cancel routine returned holding a spin lock");
    }
    CheckIrqlRestored("a cancel routine", irql);
    return TRUE;
}

// ----------------------------------------------------------------- IoBuildDeviceIoControlRequest
extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID in,
                                                    ULONG inLength, PVOID out, ULONG outLength,
                                                    BOOLEAN internal, PKEVENT event,
                                                    PIO_STATUS_BLOCK iosb) {
    CheckIrql("IoBuildDeviceIoControlRequest", APC_LEVEL);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    ULONG method = METHOD_FROM_CTL_CODE(code);
    irp->RequestorMode = KernelMode;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->UserBuffer = out;
    ULONG systemLength = method == METHOD_BUFFERED ? std::max(inLength, outLength) : inLength;
    if (method != METHOD_NEITHER && systemLength > 0) {
        irp->AssociatedIrp.SystemBuffer =
            ExAllocatePoolWithTag(NonPagedPool, systemLength, kBufferTag);
        if (irp->AssociatedIrp.SystemBuffer == nullptr) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (inLength > 0)
            memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
    }
    if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && outLength > 0) {
        PMDL mdl = IoAllocateMdl(out, outLength, FALSE, FALSE, irp);
        MmProbeAndLockPages(mdl, KernelMode,
                            method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        mdl->MappedSystemVa = out; // a kernel buffer is its own system address
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    if (method == METHOD_NEITHER)
        next->Parameters.DeviceIoControl.Type3InputBuffer = in;
    SetIrpFinish(irp, [method, outLength](PIRP done) {
        ULONG_PTR info = done->IoStatus.Information;
        if (method != METHOD_NEITHER && info > outLength) {
            Violate(ViolationKind::Buffer, "IRP completed with " + std::to_string(info) +
                                               " bytes for an output buffer of " +
                                               std::to_string(outLength));
            done->IoStatus.Information = info = outLength;
        }
        if (method == METHOD_BUFFERED && done->AssociatedIrp.SystemBuffer != nullptr &&
            NT_SUCCESS(done->IoStatus.Status) && info > 0)
            memcpy(done->UserBuffer, done->AssociatedIrp.SystemBuffer, info);
        if (done->AssociatedIrp.SystemBuffer != nullptr)
            ExFreePoolWithTag(done->AssociatedIrp.SystemBuffer, kBufferTag);
        if (done->MdlAddress != nullptr) {
            MmUnlockPages(done->MdlAddress);
            IoFreeMdl(done->MdlAddress);
        }
        if (done->UserIosb != nullptr)
            *done->UserIosb = done->IoStatus;
        if (done->UserEvent != nullptr)
            KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
        ReleaseIrp(done);
    });
    return irp;
}
