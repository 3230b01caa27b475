// IRPs through device stacks built by hand: completion routines and the propagation of
// pending-returned, STATUS_MORE_PROCESSING_REQUIRED, cancellation, work items, the verifier's
// IRP checks.
#include "KernelFixture.h"

#include <atomic>
#include <functional>
#include <thread>

using ntsim::ViolationKind;

namespace {

// Each device's dispatch is a function the test sets in its extension.
using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

NTSTATUS Route(PDEVICE_OBJECT device, PIRP irp) {
    return (**static_cast<Dispatch**>(device->DeviceExtension))(device, irp);
}

NTSTATUS LayerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction)
        dispatch = Route;
    return STATUS_SUCCESS;
}

class IrpTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        driver_ = kernel().Pnp().LoadDriver("Layers", LayerEntry);
        ASSERT_NE(driver_, nullptr);
    }

    // A stack of `count` devices, bottom first; returns them bottom first.
    std::vector<PDEVICE_OBJECT> Stack(size_t count) {
        std::vector<PDEVICE_OBJECT> devices;
        for (size_t i = 0; i < count; ++i) {
            PDEVICE_OBJECT device;
            EXPECT_EQ(IoCreateDevice(driver_, sizeof(Dispatch*), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device),
                      STATUS_SUCCESS);
            dispatch_.push_back(std::make_unique<Dispatch>());
            *static_cast<Dispatch**>(device->DeviceExtension) = dispatch_.back().get();
            if (!devices.empty()) {
                EXPECT_EQ(IoAttachDeviceToDeviceStack(device, devices.back()), devices.back());
            }
            devices.push_back(device);
        }
        return devices;
    }

    void On(PDEVICE_OBJECT device, Dispatch dispatch) {
        **static_cast<Dispatch**>(device->DeviceExtension) = std::move(dispatch);
    }

    void Tear(std::vector<PDEVICE_OBJECT> devices) {
        for (size_t i = devices.size(); i-- > 0;) {
            if (i > 0)
                IoDetachDevice(devices[i - 1]);
            IoDeleteDevice(devices[i]);
        }
    }

    PIRP NewIrp(PDEVICE_OBJECT top, PIO_COMPLETION_ROUTINE routine, PVOID context) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
        return irp;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Dispatch>> dispatch_;
};

struct Seen {
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<bool> pendingReturned;
    NTSTATUS result = STATUS_CONTINUE_COMPLETION;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->devices.push_back(device);
    seen->pendingReturned.push_back(irp->PendingReturned != FALSE);
    if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
    return seen->result;
}

NTSTATUS Reclaim(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<Seen*>(context)->devices.push_back(nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, CompletionRoutinesRunUpwardWithPendingReturnedCarriedThroughSkippedLayers) {
    auto d = Stack(3); // bottom, middle, top
    Seen top, origin;
    PIRP pending = nullptr;
    On(d[2], [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, &top, TRUE, TRUE, TRUE);
        return IoCallDriver(d[1], irp);
    });
    On(d[1], [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(d[0], irp);
    });
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pending = irp;
        return STATUS_PENDING;
    });
    PIRP irp = NewIrp(d[2], Reclaim, &origin);
    EXPECT_EQ(IoCallDriver(d[2], irp), STATUS_PENDING);
    ASSERT_EQ(pending, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(top.devices, std::vector<PDEVICE_OBJECT>{d[2]});
    EXPECT_EQ(top.pendingReturned, std::vector<bool>{true});
    EXPECT_EQ(origin.devices, std::vector<PDEVICE_OBJECT>{nullptr});
    EXPECT_TRUE(irp->PendingReturned);
    IoFreeIrp(irp);
    Tear(d);
}

TEST_F(IrpTest, MoreProcessingRequiredGivesTheIrpBackUntilItIsCompletedAgain) {
    auto d = Stack(2);
    Seen lower, origin;
    lower.result = STATUS_MORE_PROCESSING_REQUIRED;
    On(d[1], [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, &lower, TRUE, FALSE, FALSE);
        return IoCallDriver(d[0], irp);
    });
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP irp = NewIrp(d[1], Reclaim, &origin);
    IoCallDriver(d[1], irp);
    EXPECT_EQ(lower.devices.size(), 1u);
    EXPECT_TRUE(origin.devices.empty());
    IoCompleteRequest(irp, IO_NO_INCREMENT); // the upper driver finishes it
    EXPECT_EQ(origin.devices.size(), 1u);

    // An error skips a routine that asked for success only.
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Reclaim, &origin, TRUE, TRUE, TRUE);
    On(d[0], [&](PDEVICE_OBJECT, PIRP i) {
        i->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(i, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    });
    IoCallDriver(d[1], irp);
    EXPECT_EQ(lower.devices.size(), 1u);
    EXPECT_EQ(origin.devices.size(), 2u);
    IoFreeIrp(irp);
    Tear(d);
}

// What a framework does with a request it sent down: its completion routine completes the IRP
// further up, then returns STATUS_MORE_PROCESSING_REQUIRED. Going on instead completes it twice.
struct Onward {
    bool reclaim;
};

NTSTATUS CompleteOnward(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return static_cast<Onward*>(context)->reclaim ? STATUS_MORE_PROCESSING_REQUIRED
                                                  : STATUS_CONTINUE_COMPLETION;
}

TEST_F(IrpTest, CompletionRoutineMayCompleteTheIrpFurtherUp) {
    auto d = Stack(2);
    Seen origin;
    Onward onward = {true};
    On(d[1], [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CompleteOnward, &onward, TRUE, TRUE, TRUE);
        return IoCallDriver(d[0], irp);
    });
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP irp = NewIrp(d[1], Reclaim, &origin);
    IoCallDriver(d[1], irp);
    EXPECT_EQ(origin.devices.size(), 1u);
    EXPECT_EQ(Take(ViolationKind::Irp), 0u);

    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Reclaim, &origin, TRUE, TRUE, TRUE);
    onward.reclaim = false;
    IoCallDriver(d[1], irp);
    EXPECT_EQ(origin.devices.size(), 2u);
    EXPECT_EQ(Take(ViolationKind::Irp), 1u);
    IoFreeIrp(irp);
    Tear(d);
}

TEST_F(IrpTest, TheVerifierCatchesIrpMisuse) {
    auto d = Stack(1);
    Seen origin;
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP irp = NewIrp(d[0], Reclaim, &origin);
    IoCallDriver(d[0], irp);
    EXPECT_EQ(Take(ViolationKind::Irp), 1u); // completed twice
    EXPECT_EQ(origin.devices.size(), 1u);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(Take(ViolationKind::Irp), 1u); // freed twice

    PIRP full = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(full)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetNextIrpStackLocation(full); // a driver that used the only location itself
    EXPECT_EQ(IoCallDriver(d[0], full), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Take(ViolationKind::Irp), 1u);
    IoFreeIrp(full);

    On(d[0], [&](PDEVICE_OBJECT, PIRP i) {
        i->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(i, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP orphan = IoAllocateIrp(1, FALSE); // completed to its top with no routine to reclaim it
    IoGetNextIrpStackLocation(orphan)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(d[0], orphan);
    EXPECT_EQ(Take(ViolationKind::Irp), 1u);
    IoFreeIrp(orphan);

    On(d[0], [&](PDEVICE_OBJECT, PIRP i) { // returns at DISPATCH_LEVEL
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        i->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(i, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP raised = NewIrp(d[0], Reclaim, &origin);
    IoCallDriver(d[0], raised);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Take(ViolationKind::Irql), 1u);
    IoFreeIrp(raised);
    Tear(d);
}

std::atomic<int> g_cancelIrql{-1};
VOID CancelAndComplete(PDEVICE_OBJECT, PIRP irp) {
    g_cancelIrql = KeGetCurrentIrql();
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpTest, IoCancelIrpRunsTheCancelRoutineUnderTheCancelSpinLock) {
    auto d = Stack(1);
    Seen origin;
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelAndComplete);
        return STATUS_PENDING;
    });
    PIRP irp = NewIrp(d[0], Reclaim, &origin);
    IoCallDriver(d[0], irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelIrql, DISPATCH_LEVEL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(origin.devices.size(), 1u);
    EXPECT_FALSE(IoCancelIrp(irp)); // no routine any more
    IoFreeIrp(irp);

    On(d[0], [&](PDEVICE_OBJECT, PIRP i) {
        IoMarkIrpPending(i);
        IoSetCancelRoutine(i, CancelKeepingTheLock);
        return STATUS_PENDING;
    });
    irp = NewIrp(d[0], Reclaim, &origin);
    IoCallDriver(d[0], irp);
    IoCancelIrp(irp);
    EXPECT_EQ(Take(ViolationKind::Cancel), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
    Tear(d);
}

struct WorkLog {
    std::atomic<int> irql{-1};
    std::atomic<bool> otherThread{false};
    std::atomic<LONG> references{0};
    std::thread::id caller;
};

VOID RecordWork(PDEVICE_OBJECT device, PVOID context) {
    auto* log = static_cast<WorkLog*>(context);
    log->irql = KeGetCurrentIrql();
    log->otherThread = std::this_thread::get_id() != log->caller;
    log->references = device->ReferenceCount;
}

TEST_F(IrpTest, WorkItemsRunAtPassiveOnASystemThreadWithTheDeviceReferenced) {
    auto d = Stack(1);
    WorkLog log;
    log.caller = std::this_thread::get_id();
    PIO_WORKITEM item = IoAllocateWorkItem(d[0]);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &log);
    KeLowerIrql(old);
    kernel().WaitIdle();
    EXPECT_EQ(log.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(log.otherThread);
    EXPECT_EQ(log.references, 2);
    EXPECT_EQ(d[0]->ReferenceCount, 1);
    IoFreeWorkItem(item);
    Tear(d);
}

TEST_F(IrpTest, IoBuildDeviceIoControlRequestCopiesBackAndSignalsItsEvent) {
    auto d = Stack(2);
    On(d[1], [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(d[0], irp);
    });
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        buffer[0] = static_cast<UCHAR>(buffer[0] + 1);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 1;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    UCHAR in = 41, out = 0;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                             d[1], &in, 1, &out, 1, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(d[1], irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Information, 1u);
    EXPECT_EQ(out, 42);

    IoDeleteDevice(d[1]); // never detached from d[0]
    EXPECT_EQ(Take(ViolationKind::Device), 1u);
    IoDetachDevice(d[0]);
    IoDeleteDevice(d[0]);
}

} // namespace

namespace {

// An internal device control's argument (a URB, say) is written by the caller and read by the
// callee at the IRQL the IRP travels at, and its results written at the IRQL it completes at:
// in pageable pool that is fine below DISPATCH_LEVEL only.
TEST_F(IrpTest, APageableArgumentSentOrCompletedAtDispatchLevelIsReported) {
    auto d = Stack(1);
    PIRP pending = nullptr;
    On(d[0], [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pending = irp;
        return STATUS_PENDING;
    });
    void* paged = ExAllocatePoolWithTag(PagedPool, 64, 'bruP');
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 64, 'bruN');
    struct Row {
        void* argument;
        KIRQL sentAt, completedAt;
        size_t reported;
    } rows[] = {
        {paged, PASSIVE_LEVEL, PASSIVE_LEVEL, 0},
        {paged, DISPATCH_LEVEL, PASSIVE_LEVEL, 1},
        {paged, PASSIVE_LEVEL, DISPATCH_LEVEL, 1},
        {paged, DISPATCH_LEVEL, DISPATCH_LEVEL, 2},
        {nonPaged, DISPATCH_LEVEL, DISPATCH_LEVEL, 0},
        {static_cast<char*>(paged) + 63, DISPATCH_LEVEL, PASSIVE_LEVEL, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.sentAt) << int(row.completedAt));
        Seen origin;
        PIRP irp = NewIrp(d[0], Reclaim, &origin);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = row.argument;
        KIRQL old;
        KeRaiseIrql(row.sentAt, &old);
        EXPECT_EQ(IoCallDriver(d[0], irp), STATUS_PENDING);
        KeLowerIrql(old);
        KeRaiseIrql(row.completedAt, &old);
        pending->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(pending, IO_NO_INCREMENT);
        KeLowerIrql(old);
        IoFreeIrp(irp);
        EXPECT_EQ(Take(ViolationKind::Irql), row.reported);
    }
    ExFreePoolWithTag(paged, 'bruP');
    ExFreePoolWithTag(nonPaged, 'bruN');
    Tear(d);
}

} // namespace
