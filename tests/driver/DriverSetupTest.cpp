// Driver entry, device creation, USB configuration, hardware preparation and power policy, with
// Talvik2 loaded by the PnP manager of the kernel stack when a colorimeter arrives.
#include "Talvik2Test.h"

#include "sim/Talvik2Image.h"

#include <FxHost.h>
#include <usbioctl.h>

#include <cstring>
#include <mutex>
#include <thread>

using namespace talvik_test;

namespace {

PipeConfig Interrupt(bool in = true) {
    return PipeConfig{PipeKind::Interrupt, in, 64, 1};
}
PipeConfig Bulk(bool in) {
    return PipeConfig{PipeKind::Bulk, in, 64, 0};
}
PipeConfig Control() {
    return PipeConfig{PipeKind::Control, false, 64, 0};
}

ColorimeterConfig WithPipes(std::vector<PipeConfig> pipes) {
    ColorimeterConfig c;
    c.pipes = std::move(pipes);
    return c;
}

class DriverSetup : public Talvik2Test {
protected:
    bool Loaded() { return machine().Kernel().Pnp().Driver(sim::kTalvik2Service) != nullptr; }
    // IRPs of `major`/`minor` (or internal device controls with `code`) that reached the bus.
    size_t CallsAtTheBus(const std::vector<ntsim::IrpStep>& steps, UCHAR major, ULONG code) {
        size_t n = 0;
        for (const ntsim::IrpStep& s : steps)
            n += s.kind == ntsim::IrpStep::Kind::Call && s.driver == "VirtualUsb" &&
                 s.major == major && (code == 0 || s.controlCode == code);
        return n;
    }
};

TEST_F(DriverSetup, FailingDriverCreationFailsTheLoadAndReleasesTheBinding) {
    machine().FailCall("WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES);
    Colorimeter* first = PlugIn();
    // The PnP manager loaded the driver for it; DriverEntry failed, so it has no driver.
    EXPECT_EQ(State(first).problem, ntsim::kProblemFailedDriverEntry);
    EXPECT_EQ(State(first).problemStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Loaded());
    EXPECT_TRUE(HasEvent("WdfVersionBind KmdfLibrary 1.1 (386 functions)"));
    EXPECT_GT(EventIndex("WdfVersionUnbind"), EventIndex("WdfVersionBind"));
    EXPECT_EQ(machine().LiveFrameworkObjects(), 0u);
    EXPECT_TRUE(machine().Interfaces().empty());
    // The next colorimeter has it loaded again, and that load works.
    Colorimeter* second = StartColorimeter();
    EXPECT_TRUE(Loaded());
    EXPECT_EQ(machine().InterfacesOf(second).size(), 1u);
    EXPECT_EQ(machine().Interfaces().size(), 1u);
    EXPECT_EQ(State(first).problem, ntsim::kProblemFailedDriverEntry);
}

TEST_F(DriverSetup, DeviceAddMakesAZeroContextTwoQueuesAndOneInterfaceWithoutUsbTraffic) {
    // What device add left, as the PnP manager's START_DEVICE reaches the driver's device.
    std::mutex mu;
    bool seen = false;
    DEVICE_CONTEXT atStart;
    size_t interfacesAtStart = 99, busEntriesAtStart = 99;
    machine().Kernel().TraceIrps([&](const ntsim::IrpStep& s) {
        if (s.kind != ntsim::IrpStep::Kind::Call || s.major != IRP_MJ_PNP ||
            s.minor != IRP_MN_START_DEVICE || s.driver != sim::kTalvik2Service)
            return;
        std::lock_guard<std::mutex> lock(mu);
        WDFDEVICE device = static_cast<WDFDEVICE>(FxHostDeviceHandle(s.device));
        ASSERT_NE(device, nullptr);
        atStart = *GetDeviceContext(device);
        interfacesAtStart = machine().Interfaces().size();
        busEntriesAtStart = sim::ReadBusLog(machine().BusFdo(), 0).size();
        seen = true;
    });
    Colorimeter* d = StartColorimeter();
    machine().Kernel().TraceIrps(nullptr);
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_TRUE(seen);
    // Zero but for the vendor-request queue made with the device.
    DEVICE_CONTEXT zero;
    std::memset(&zero, 0, sizeof zero);
    zero.VendorRequestQueue = atStart.VendorRequestQueue;
    EXPECT_NE(zero.VendorRequestQueue, nullptr);
    EXPECT_EQ(std::memcmp(&atStart, &zero, sizeof zero), 0);
    EXPECT_EQ(busEntriesAtStart, 0u);
    // Read and write requests would be buffered; surprise removal is allowed, every other
    // capability left to the bus driver.
    EXPECT_TRUE(HasEvent("WdfDeviceCreate io type buffered"));
    EXPECT_TRUE(HasEvent("WdfDeviceSetPnpCapabilities SurpriseRemovalOK=1 LockSupported=2 "
                         "EjectSupported=2 Removable=2 DockDevice=2 UniqueID=2 SilentInstall=2 "
                         "HardwareDisabled=2 NoDisplayInUI=2 Address=0xffffffff "
                         "UINumber=0xffffffff"));
    EXPECT_TRUE(HasEvent("WdfIoQueueCreate parallel power-managed default"));
    EXPECT_TRUE(HasEvent("WdfIoQueueCreate sequential power-managed"));
    EXPECT_EQ(CountEvents("WdfIoQueueCreate"), 2u);
    EXPECT_FALSE(HasEvent("passive")); // KMDF 1.1 queues have no execution level
    // The interface is enabled when the device starts.
    EXPECT_EQ(interfacesAtStart, 0u);
    EXPECT_EQ(machine().InterfacesOf(d).size(), 1u);
    EXPECT_EQ(machine().Interfaces(), machine().InterfacesOf(d));
}

// Each failing framework call of device add fails the add with its status, leaves no device,
// makes no USB traffic and leaks nothing (the driver, left without a device, is unloaded: what it
// left behind would be a finding there).
TEST_F(DriverSetup, EveryDeviceAddFailureFailsTheAddWithItsStatus) {
    struct Row {
        const char* api;
        unsigned skip;
    } rows[] = {{"WdfDeviceCreate", 0},
                {"WdfIoQueueCreate", 0},
                {"WdfIoQueueCreate", 1},
                {"WdfDeviceCreateDeviceInterface", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.api) + " #" + std::to_string(row.skip + 1));
        machine().ClearFaults();
        machine().FailCall(row.api, STATUS_INSUFFICIENT_RESOURCES, 1, row.skip);
        Colorimeter* d = PlugIn();
        EXPECT_EQ(State(d).problem, ntsim::kProblemFailedAdd);
        EXPECT_EQ(State(d).problemStatus, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(machine().WdfDeviceOf(d), nullptr);
        EXPECT_TRUE(d->Traffic().empty());
        EXPECT_FALSE(Loaded());
        EXPECT_EQ(machine().LiveFrameworkObjects(), 0u);
    }
    EXPECT_TRUE(machine().Interfaces().empty());
}

TEST_F(DriverSetup, TwoColorimetersHaveSeparateContextsAndInterfaces) {
    Colorimeter* a = StartColorimeter();
    Colorimeter* b = StartColorimeter();
    PDEVICE_CONTEXT ca = Context(a), cb = Context(b);
    ASSERT_NE(ca, nullptr);
    ASSERT_NE(cb, nullptr);
    ASSERT_NE(ca, cb);
    EXPECT_NE(ca->UsbDevice, cb->UsbDevice);
    EXPECT_NE(ca->UrbBuffer, cb->UrbBuffer);
    EXPECT_EQ(machine().Interfaces().size(), 2u);
    ASSERT_EQ(machine().InterfacesOf(a).size(), 1u);
    ASSERT_EQ(machine().InterfacesOf(b).size(), 1u);
    EXPECT_NE(machine().InterfacesOf(a), machine().InterfacesOf(b));

    unsigned char beforeB[TALVIK_URB_SIZE];
    std::memcpy(beforeB, cb->UrbBuffer, sizeof beforeB);
    DEVICE_CONTEXT ctxB = *cb;
    Handle h = 0;
    ASSERT_EQ(machine().Open(&h, a), STATUS_SUCCESS);
    auto block = Block(1, 2, 0, 7, 0, 0);
    unsigned char out[8];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(machine().DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block, out,
                                        sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(VendorTraffic(*a).size(), 1u);
    EXPECT_TRUE(VendorTraffic(*b).empty());
    EXPECT_EQ(std::memcmp(beforeB, cb->UrbBuffer, sizeof beforeB), 0);
    EXPECT_EQ(std::memcmp(&ctxB, cb, sizeof ctxB), 0);
    Close(h);
}

// A remote-wake device is given selective suspend after 10 s (the idle notification to the bus,
// then the bus's wake state D2) and wake from a system sleep in the same state.
TEST_F(DriverSetup, ARemoteWakeDeviceGetsTheIdleAndWakePolicyAndPowersDownAfterTenSeconds) {
    std::mutex mu;
    std::vector<ntsim::IrpStep> steps;
    machine().Kernel().TraceIrps([&](const ntsim::IrpStep& s) {
        std::lock_guard<std::mutex> lock(mu);
        steps.push_back(s);
    });
    Colorimeter* d = StartColorimeter();
    auto idleNotifications = [&] {
        std::lock_guard<std::mutex> lock(mu);
        return CallsAtTheBus(steps, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                             IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION);
    };
    EXPECT_TRUE(HasEvent("WdfDeviceAssignS0IdleSettings 10000 ms"));
    EXPECT_TRUE(HasEvent("WdfDeviceAssignSxWakeSettings"));

    Advance(9999);
    EXPECT_TRUE(InD0());
    EXPECT_EQ(idleNotifications(), 0u);
    Advance(1);
    EXPECT_FALSE(InD0());
    EXPECT_EQ(D0Exits(), 1);
    EXPECT_EQ(idleNotifications(), 1u);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2) -> 0x00000000"));

    // A request brings the device back to D0 before it is delivered.
    Handle h = Open();
    auto block = Block(0, 2, 0, 1, 0, 0);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(machine().DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block,
                                        nullptr, 0, &bytes),
              STATUS_SUCCESS);
    EXPECT_TRUE(InD0());
    EXPECT_EQ(D0Entries(), 2);
    EXPECT_EQ(VendorTraffic(*d).size(), 1u);
    // ... and idles again ten seconds after the last I/O; the device may also wake itself.
    Advance(10000);
    EXPECT_FALSE(InD0());
    EXPECT_EQ(idleNotifications(), 2u);
    EXPECT_EQ(d->SignalRemoteWake(), STATUS_SUCCESS);
    machine().WaitIdle();
    EXPECT_TRUE(InD0());
    EXPECT_EQ(D0Entries(), 3);
    machine().Kernel().TraceIrps(nullptr);
    // Armed for wake, a system sleep takes it to its wake state too (D3 otherwise).
    machine().ClearEvents();
    ASSERT_EQ(machine().Sleep(), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2) -> 0x00000000"));
    ASSERT_EQ(machine().Wake(), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Entry(D2) -> 0x00000000"));
    Close(h);
}

TEST_F(DriverSetup, WithoutRemoteWakeNoPolicyIsAssignedAndTheDeviceStaysInD0) {
    struct Row {
        const char* name;
        bool remoteWake;
        bool selfPowered;
        bool refuseQuery;
    } rows[] = {{"no remote wake", false, true, false},
                {"query refused by the framework", true, false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ColorimeterConfig c;
        c.remoteWake = row.remoteWake;
        c.selfPowered = row.selfPowered;
        machine().ClearFaults();
        machine().ClearEvents();
        if (row.refuseQuery)
            machine().FailCall("WdfUsbTargetDeviceRetrieveInformation", STATUS_UNSUCCESSFUL);
        Colorimeter* d = StartColorimeter(c);
        EXPECT_FALSE(HasEvent("WdfDeviceAssignS0IdleSettings"));
        EXPECT_FALSE(HasEvent("WdfDeviceAssignSxWakeSettings"));
        const int exits = D0Exits();
        Advance(60000);
        EXPECT_TRUE(InD0());
        EXPECT_EQ(D0Exits(), exits);
        // Not armed for wake: a system sleep takes it to D3.
        ASSERT_EQ(machine().Sleep(), STATUS_SUCCESS);
        EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D3) -> 0x00000000"));
        ASSERT_EQ(machine().Wake(), STATUS_SUCCESS);
        EXPECT_TRUE(InD0());
        EXPECT_EQ(machine().Unplug(d), STATUS_SUCCESS);
    }
}

TEST_F(DriverSetup, PipesAreRecordedByKindAndTheInterruptPipeIsMandatory) {
    struct Row {
        const char* name;
        ColorimeterConfig config;
        NTSTATUS status;
        int interruptIndex, bulkInIndex, bulkOutIndex, controlIndex; // -1: none
    } rows[] = {
        {"interrupt only", WithPipes({Interrupt()}), STATUS_SUCCESS, 0, -1, -1, -1},
        {"no pipes", WithPipes({}), STATUS_INVALID_DEVICE_STATE, -1, -1, -1, -1},
        {"only bulk", WithPipes({Bulk(true), Bulk(false)}), STATUS_INVALID_DEVICE_STATE, -1, 0, 1,
         -1},
        {"two interrupt pipes: the last wins", WithPipes({Interrupt(), Interrupt()}),
         STATUS_SUCCESS, 1, -1, -1, -1},
        {"bulk classified by direction", WithPipes({Bulk(false), Interrupt(), Bulk(true)}),
         STATUS_SUCCESS, 1, 2, 0, -1},
        {"every kind",
         WithPipes({Control(), Bulk(true), Interrupt(), Bulk(false),
                    PipeConfig{PipeKind::Isochronous, true, 64, 1}}),
         STATUS_SUCCESS, 2, 1, 3, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Colorimeter* d = PlugIn(row.config);
        EXPECT_EQ(Outcome(d), row.status);
        if (row.status != STATUS_SUCCESS) {
            // A failed start releases the hardware; the PnP manager removed the stack.
            EXPECT_EQ(State(d).problem, ntsim::kProblemFailedStart);
            EXPECT_EQ(machine().WdfDeviceOf(d), nullptr);
            EXPECT_EQ(DriverPoolBlocks(), 0u);
            continue;
        }
        PDEVICE_CONTEXT ctx = Context(d);
        ASSERT_NE(ctx, nullptr);
        auto pipe = [&](int index) -> WDFUSBPIPE {
            return index < 0 ? nullptr
                             : WdfUsbInterfaceGetConfiguredPipe(ctx->UsbInterface,
                                                                static_cast<UCHAR>(index), NULL);
        };
        EXPECT_EQ(ctx->InterruptPipe, pipe(row.interruptIndex));
        EXPECT_EQ(ctx->BulkInPipe, pipe(row.bulkInIndex));
        EXPECT_EQ(ctx->BulkOutPipe, pipe(row.bulkOutIndex));
        EXPECT_EQ(ctx->ControlPipe, pipe(row.controlIndex));
        EXPECT_EQ(machine().Unplug(d), STATUS_SUCCESS);
    }
}

TEST_F(DriverSetup, AConfigurationWithoutInterfaceFailsTheStart) {
    ColorimeterConfig c;
    c.hasInterface = false;
    Colorimeter* d = PlugIn(c);
    EXPECT_EQ(Outcome(d), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(State(d).problem, ntsim::kProblemFailedStart);
    EXPECT_TRUE(machine().Interfaces().empty());
}

// Every failure of preparation fails the start with its status and leaks nothing (the driver's
// pool, and the framework's objects at the unload that follows). A preparation that failed has
// nothing for the release to free (the framework runs it only after a preparation that worked,
// here when D0 entry fails); the block the preparation made is freed by the preparation itself
// when the memory object over it failed, else by the release.
TEST_F(DriverSetup, EveryPreparationFailureFailsTheStartAndLeaksNothing) {
    struct Row {
        const char* api; // a framework call, or the driver's pool allocation
        NTSTATUS injected;
        NTSTATUS expected;
        bool blockFreedOnFailure;
    } rows[] = {
        {"WdfUsbTargetDeviceCreate", STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE, false},
        {"WdfUsbTargetDeviceSelectConfig", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, false},
        {"WdfUsbInterfaceSelectSetting", STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, false},
        {"WdfDeviceAssignS0IdleSettings", STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_DEVICE_REQUEST, false},
        {"WdfDeviceAssignSxWakeSettings", STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, false},
        {"ExAllocatePoolWithTag", 0, STATUS_INSUFFICIENT_RESOURCES, false},
        {"WdfMemoryCreatePreallocated", STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, true},
        {"WdfIoTargetStart", STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.api);
        const bool pool = std::string(row.api) == "ExAllocatePoolWithTag";
        machine().ClearFaults();
        machine().ClearEvents();
        if (pool)
            machine().Kernel().FailPoolWithTag(TALVIK_POOL_TAG, 0);
        else
            machine().FailCall(row.api, row.injected);
        Colorimeter* d = PlugIn();
        machine().Kernel().FailPoolWithTag(TALVIK_POOL_TAG, -1);
        EXPECT_EQ(Outcome(d), row.expected);
        EXPECT_EQ(State(d).problem, ntsim::kProblemFailedStart);
        const bool preparedWell = std::string(row.api) == "WdfIoTargetStart";
        EXPECT_EQ(HasEvent("EvtDeviceReleaseHardware -> 0x00000000"), preparedWell);
        long prepared = EventIndex("EvtDevicePrepareHardware");
        long freed = EventIndex("ExFreePoolWithTag tag OSRF");
        bool allocated = HasEvent("ExAllocatePoolWithTag 136 tag OSRF");
        EXPECT_EQ(HasEvent("ExAllocatePoolWithTag failed tag OSRF"), pool);
        EXPECT_EQ(freed >= 0, allocated);
        if (allocated) {
            EXPECT_EQ(freed < prepared, row.blockFreedOnFailure);
        }
        // The release deletes the memory object exactly when the preparation made one.
        EXPECT_EQ(HasEvent("WdfObjectDelete WDFMEMORY"), allocated && !row.blockFreedOnFailure);
        EXPECT_EQ(DriverPoolBlocks(), 0u);
        EXPECT_EQ(machine().LiveFrameworkObjects(), 0u);
        EXPECT_EQ(HasEvent("EvtDeviceD0Entry"), preparedWell);
    }
}

TEST_F(DriverSetup, PoolExhaustionAfterEachAllocationLeavesNoLeak) {
    machine().Kernel().FailPoolWithTag(TALVIK_POOL_TAG, 0);
    Colorimeter* d = PlugIn();
    EXPECT_EQ(Outcome(d), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(HasEvent("WdfObjectDelete WDFMEMORY")); // no memory object was made
    machine().Kernel().FailPoolWithTag(TALVIK_POOL_TAG, 1);
    Colorimeter* e = PlugIn();
    EXPECT_EQ(Outcome(e), STATUS_SUCCESS);
    Colorimeter* f = PlugIn();
    EXPECT_EQ(Outcome(f), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DriverPoolBlocks(), 1u);
    machine().Kernel().FailPoolWithTag(TALVIK_POOL_TAG, -1);
}

TEST_F(DriverSetup, ReleaseFreesTheBlockBeforeDeletingItsMemoryObjectAndRestartMakesNewOnes) {
    Colorimeter* d = StartColorimeter();
    machine().ClearEvents();
    ASSERT_EQ(machine().Stop(d), STATUS_SUCCESS);
    long d0exit = EventIndex("EvtDeviceD0Exit(D3Final) -> 0x00000000");
    long freed = EventIndex("ExFreePoolWithTag tag OSRF");
    long deleted = EventIndex("WdfObjectDelete WDFMEMORY");
    EXPECT_GE(d0exit, 0);
    EXPECT_GT(freed, d0exit);
    EXPECT_GT(deleted, freed);
    PDEVICE_CONTEXT ctx = Context(d);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->UrbBuffer, nullptr);
    EXPECT_EQ(ctx->UrbMemory, nullptr);
    EXPECT_EQ(DriverPoolBlocks(), 0u);

    WDFUSBDEVICE firstTarget = ctx->UsbDevice;
    ASSERT_EQ(machine().Start(d), STATUS_SUCCESS);
    EXPECT_NE(ctx->UsbDevice, firstTarget);
    EXPECT_NE(ctx->UrbBuffer, nullptr);
    EXPECT_EQ(DriverPoolBlocks(), 1u);
    Handle h = Open();
    auto block = Block(1, 2, 0, 3, 0, 0);
    unsigned char out[4];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(machine().DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block, out,
                                        sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    Close(h);
}

TEST_F(DriverSetup, SleepAndResumeRunD0ExitAndEntryAndHoldRequestsMeanwhile) {
    Colorimeter* d = StartColorimeter();
    Handle h = Open();
    ASSERT_EQ(machine().Sleep(), STATUS_SUCCESS);
    EXPECT_FALSE(InD0());
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2)"));
    ntsim::Overlapped op;
    auto block = Block(0, 2, 0, 9, 0, 0);
    EXPECT_EQ(machine().DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block,
                                        nullptr, 0, &op),
              STATUS_PENDING);
    Advance(60000); // asleep: no idle wake-up, the request waits
    EXPECT_FALSE(op.Done());
    EXPECT_TRUE(VendorTraffic(*d).empty());
    ASSERT_EQ(machine().Wake(), STATUS_SUCCESS);
    machine().WaitIdle();
    EXPECT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_SUCCESS);
    EXPECT_EQ(D0Entries(), 2);
    EXPECT_EQ(VendorTraffic(*d).size(), 1u);
    Close(h);
}

TEST_F(DriverSetup, OpeningTheInterfaceRunsNoDriverRoutine) {
    Colorimeter* d = StartColorimeter();
    unsigned long long before = machine().DriverRoutineCalls();
    Handle h = Open();
    Close(h);
    EXPECT_EQ(machine().DriverRoutineCalls(), before);
    // The count moves with every routine the framework calls.
    Handle h2 = Open();
    ULONG_PTR bytes = 99;
    EXPECT_EQ(machine().DeviceIoControl(h2, 0, nullptr, 0, nullptr, 0, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(machine().DriverRoutineCalls(), before + 2); // caller's context, device control
    Close(h2);
    // Once it is removed its interface is gone: the path names nothing any more.
    const std::string path = machine().InterfacesOf(d).at(0);
    EXPECT_EQ(machine().Remove(d), STATUS_SUCCESS);
    Handle gone = 0;
    EXPECT_EQ(machine().Kernel().User().CreateFile(path, ntsim::UserIo::kGenericRead, &gone),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
