// Driver entry, device creation, USB configuration, hardware preparation and power policy.
#include "DriverTest.h"

#include <cstring>

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

class DriverSetup : public DriverTest {};

TEST_F(DriverSetup, FailingDriverCreationFailsTheLoadAndReleasesTheBinding) {
    world().faults().Fail("WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(world().LoadDriver(FxDriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(world().DriverLoaded());
    EXPECT_TRUE(HasEvent("WdfVersionBind KmdfLibrary 1.1 (386 functions)"));
    EXPECT_GT(EventIndex("WdfVersionUnbind"), EventIndex("WdfVersionBind"));
    EXPECT_EQ(world().LiveObjects(), 0u);
    // A colorimeter arriving now finds no driver.
    EXPECT_EQ(world().PlugIn().State(), PnpState::FailedAdd);
    // The next load works.
    EXPECT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(world().LiveObjects(), 1u);
}

TEST_F(DriverSetup, DeviceAddMakesAZeroContextTwoQueuesAndOneInterfaceWithoutUsbTraffic) {
    ASSERT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    PnpDevice& d = world().PlugIn();
    ASSERT_EQ(d.AddStatus(), STATUS_SUCCESS);
    // Zero but for the vendor-request queue made with the device.
    DEVICE_CONTEXT zero;
    std::memset(&zero, 0, sizeof zero);
    zero.VendorRequestQueue = Context(d)->VendorRequestQueue;
    EXPECT_NE(zero.VendorRequestQueue, nullptr);
    EXPECT_EQ(std::memcmp(Context(d), &zero, sizeof zero), 0);
    // Read and write requests would be buffered; surprise removal is allowed, every other
    // capability left to the bus driver.
    EXPECT_TRUE(HasEvent("WdfDeviceCreate io type buffered"));
    EXPECT_TRUE(HasEvent("WdfDeviceSetPnpCapabilities SurpriseRemovalOK=1 LockSupported=2 "
                         "EjectSupported=2 Removable=2 DockDevice=2 UniqueID=2 SilentInstall=2 "
                         "HardwareDisabled=2 NoDisplayInUI=2 Address=0xffffffff "
                         "UINumber=0xffffffff"));
    EXPECT_TRUE(HasEvent("WdfIoQueueCreate parallel power-managed default"));
    EXPECT_TRUE(HasEvent("WdfIoQueueCreate sequential power-managed"));
    EXPECT_FALSE(HasEvent("passive")); // KMDF 1.1 queues have no execution level
    EXPECT_EQ(d.Interfaces().size(), 1u);
    EXPECT_TRUE(d.Usb().Traffic().empty());
    // The interface is enabled when the device starts.
    EXPECT_TRUE(kmdf::um::FindDeviceInterfaces(&GUID_DEVINTERFACE_TALVIK).empty());
    ASSERT_EQ(d.Start(), STATUS_SUCCESS);
    EXPECT_EQ(kmdf::um::FindDeviceInterfaces(&GUID_DEVINTERFACE_TALVIK), d.Interfaces());
}

// Each failing framework call of device add fails the add with its status, leaves no device,
// makes no USB traffic and leaks nothing.
TEST_F(DriverSetup, EveryDeviceAddFailureFailsTheAddWithItsStatus) {
    struct Row {
        const char* api;
        unsigned skip;
    } rows[] = {{"WdfDeviceCreate", 0},
                {"WdfIoQueueCreate", 0},
                {"WdfIoQueueCreate", 1},
                {"WdfDeviceCreateDeviceInterface", 0}};
    ASSERT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.api) + " #" + std::to_string(row.skip + 1));
        world().faults().Clear();
        world().faults().Fail(row.api, STATUS_INSUFFICIENT_RESOURCES, row.skip);
        PnpDevice& d = world().PlugIn();
        EXPECT_EQ(d.AddStatus(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(d.State(), PnpState::FailedAdd);
        EXPECT_EQ(d.Handle(), nullptr);
        EXPECT_TRUE(d.Usb().Traffic().empty());
        EXPECT_EQ(world().LiveObjects(), 1u); // the driver object only
    }
    EXPECT_TRUE(kmdf::um::FindDeviceInterfaces(&GUID_DEVINTERFACE_TALVIK).empty());
}

TEST_F(DriverSetup, TwoColorimetersHaveSeparateContextsAndInterfaces) {
    PnpDevice& a = StartColorimeter();
    PnpDevice& b = StartColorimeter();
    PDEVICE_CONTEXT ca = Context(a), cb = Context(b);
    ASSERT_NE(ca, cb);
    EXPECT_NE(ca->UsbDevice, cb->UsbDevice);
    EXPECT_NE(ca->UrbBuffer, cb->UrbBuffer);
    EXPECT_EQ(kmdf::um::FindDeviceInterfaces(&GUID_DEVINTERFACE_TALVIK).size(), 2u);
    EXPECT_NE(a.Interfaces(), b.Interfaces());

    unsigned char beforeB[136];
    std::memcpy(beforeB, cb->UrbBuffer, sizeof beforeB);
    DEVICE_CONTEXT ctxB = *cb;
    auto h = Open(a);
    auto block = Block(1, 2, 0, 7, 0, 0);
    unsigned char out[8];
    std::uint32_t bytes = 0;
    EXPECT_EQ(kmdf::um::DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block, out,
                                        sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(VendorTraffic(a).size(), 1u);
    EXPECT_TRUE(VendorTraffic(b).empty());
    EXPECT_EQ(std::memcmp(beforeB, cb->UrbBuffer, sizeof beforeB), 0);
    EXPECT_EQ(std::memcmp(&ctxB, cb, sizeof ctxB), 0);
    kmdf::um::Close(h);
}

TEST_F(DriverSetup, ARemoteWakeDeviceGetsTheIdleAndWakePolicyAndPowersDownAfterTenSeconds) {
    PnpDevice& d = StartColorimeter();
    auto idle = d.Idle();
    EXPECT_TRUE(idle.assigned);
    EXPECT_EQ(idle.idleCaps, static_cast<unsigned>(IdleUsbSelectiveSuspend));
    EXPECT_EQ(idle.dxState, static_cast<unsigned>(PowerDeviceMaximum));
    EXPECT_EQ(idle.idleTimeoutMs, 10000u);
    EXPECT_EQ(idle.userControl, static_cast<unsigned>(IdleAllowUserControl));
    EXPECT_EQ(idle.enabled, static_cast<unsigned>(WdfUseDefault));
    auto wake = d.Wake();
    EXPECT_TRUE(wake.assigned);
    EXPECT_EQ(wake.dxState, static_cast<unsigned>(PowerDeviceMaximum));
    EXPECT_EQ(wake.userControl, static_cast<unsigned>(WakeAllowUserControl));
    EXPECT_EQ(wake.enabled, static_cast<unsigned>(WdfUseDefault));

    world().AdvanceMs(9999);
    EXPECT_EQ(d.Power(), PowerState::D0);
    world().AdvanceMs(1);
    EXPECT_EQ(d.Power(), PowerState::Dx);
    EXPECT_EQ(d.D0Exits(), 1);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2) -> 0x00000000"));

    // A request brings the device back to D0 before it is delivered.
    auto h = Open(d);
    auto block = Block(0, 2, 0, 1, 0, 0);
    EXPECT_EQ(kmdf::um::DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block,
                                        nullptr, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(d.Power(), PowerState::D0);
    EXPECT_EQ(d.D0Entries(), 2);
    EXPECT_EQ(VendorTraffic(d).size(), 1u);
    // ... and idles again ten seconds after the last I/O; the device may also wake itself.
    world().AdvanceMs(10000);
    EXPECT_EQ(d.Power(), PowerState::Dx);
    d.Usb().SignalRemoteWake();
    EXPECT_EQ(d.Power(), PowerState::D0);
    kmdf::um::Close(h);
}

TEST_F(DriverSetup, WithoutRemoteWakeNoPolicyIsAssignedAndTheDeviceStaysInD0) {
    struct Row {
        const char* name;
        bool remoteWake;
        bool failQuery;
        bool selfPowered;
    } rows[] = {{"no remote wake", false, false, true},
                {"information query fails", true, true, false},
                {"query refused by the framework", true, false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ColorimeterConfig c;
        c.remoteWake = row.remoteWake;
        c.failInformationQuery = row.failQuery;
        c.selfPowered = row.selfPowered;
        world().faults().Clear();
        if (std::string(row.name) == "query refused by the framework")
            world().faults().Fail("WdfUsbTargetDeviceRetrieveInformation", STATUS_UNSUCCESSFUL);
        PnpDevice& d = StartColorimeter(c);
        EXPECT_FALSE(d.Idle().assigned);
        EXPECT_FALSE(d.Wake().assigned);
        world().AdvanceMs(60000);
        EXPECT_EQ(d.Power(), PowerState::D0);
        EXPECT_EQ(d.D0Exits(), 0);
        d.Remove();
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
    ASSERT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PnpDevice& d = world().PlugIn(row.config);
        ASSERT_EQ(d.AddStatus(), STATUS_SUCCESS);
        PDEVICE_CONTEXT ctx = Context(d);
        // Inspect the slots from inside the preparation: a failed start deletes the device.
        NTSTATUS status = d.Start();
        EXPECT_EQ(status, row.status);
        if (status != STATUS_SUCCESS) {
            EXPECT_EQ(d.State(), PnpState::FailedStart);
            EXPECT_EQ(world().PoolBlocksOutstanding(), 0u);
            continue;
        }
        auto pipe = [&](int index) -> WDFUSBPIPE {
            return index < 0 ? nullptr
                             : WdfUsbInterfaceGetConfiguredPipe(ctx->UsbInterface,
                                                                static_cast<UCHAR>(index), NULL);
        };
        EXPECT_EQ(ctx->InterruptPipe, pipe(row.interruptIndex));
        EXPECT_EQ(ctx->BulkInPipe, pipe(row.bulkInIndex));
        EXPECT_EQ(ctx->BulkOutPipe, pipe(row.bulkOutIndex));
        EXPECT_EQ(ctx->ControlPipe, pipe(row.controlIndex));
        d.Remove();
    }
}

TEST_F(DriverSetup, AConfigurationWithoutInterfaceFailsTheStart) {
    ColorimeterConfig c;
    c.hasInterface = false;
    ASSERT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    PnpDevice& d = world().PlugIn(c);
    EXPECT_EQ(d.Start(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(d.State(), PnpState::FailedStart);
}

// Every failure of preparation fails the start with its status; release runs afterwards and
// frees only what was made; nothing leaks (the verifier checks at removal).
TEST_F(DriverSetup, EveryPreparationFailureFailsTheStartAndLeaksNothing) {
    struct Row {
        const char* api;
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
        {"ExAllocatePoolWithTag", STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES, false},
        {"WdfMemoryCreatePreallocated", STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, true},
        {"WdfIoTargetStart", STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY, false},
    };
    ASSERT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.api);
        world().faults().Clear();
        world().ClearEvents();
        world().faults().Fail(row.api, row.injected);
        PnpDevice& d = world().PlugIn();
        ASSERT_EQ(d.AddStatus(), STATUS_SUCCESS);
        EXPECT_EQ(d.Start(), row.expected);
        EXPECT_EQ(d.State(), PnpState::FailedStart);
        EXPECT_TRUE(HasEvent("EvtDeviceReleaseHardware -> 0x00000000"));
        long prepared = EventIndex("EvtDevicePrepareHardware");
        long freed = EventIndex("ExFreePoolWithTag tag OSRF");
        bool allocated = HasEvent("ExAllocatePoolWithTag 136 tag OSRF");
        // The block is freed exactly when it was allocated: by the preparation itself when
        // the memory object failed, else by the release.
        EXPECT_EQ(freed >= 0, allocated);
        if (allocated) {
            EXPECT_EQ(freed < prepared, row.blockFreedOnFailure);
        }
        EXPECT_EQ(HasEvent("WdfMemoryCreatePreallocated"), allocated && !row.blockFreedOnFailure);
        EXPECT_EQ(world().PoolBlocksOutstanding(), 0u);
        EXPECT_EQ(world().LiveObjects(), 1u);
        EXPECT_TRUE(HasEvent("EvtDeviceD0Entry") == (std::string(row.api) == "WdfIoTargetStart"));
    }
}

TEST_F(DriverSetup, PoolExhaustionAfterEachAllocationLeavesNoLeak) {
    ASSERT_EQ(world().LoadDriver(FxDriverEntry), STATUS_SUCCESS);
    world().faults().FailPoolAfter(0);
    PnpDevice& d = world().PlugIn();
    EXPECT_EQ(d.Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(HasEvent("WdfMemoryCreatePreallocated"));
    world().faults().Clear();
    world().faults().FailPoolAfter(1);
    PnpDevice& e = world().PlugIn();
    EXPECT_EQ(e.Start(), STATUS_SUCCESS);
    PnpDevice& f = world().PlugIn();
    EXPECT_EQ(f.Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(world().PoolBlocksOutstanding(), 1u);
}

TEST_F(DriverSetup, ReleaseFreesTheBlockBeforeDeletingItsMemoryObjectAndRestartMakesNewOnes) {
    PnpDevice& d = StartColorimeter();
    void* firstBlock = Context(d)->UrbBuffer;
    world().ClearEvents();
    ASSERT_EQ(d.Stop(), STATUS_SUCCESS);
    long d0exit = EventIndex("EvtDeviceD0Exit(D3Final) -> 0x00000000");
    long freed = EventIndex("ExFreePoolWithTag tag OSRF");
    long deleted = EventIndex("WdfObjectDelete WDFMEMORY");
    EXPECT_GE(d0exit, 0);
    EXPECT_GT(freed, d0exit);
    EXPECT_GT(deleted, freed);
    EXPECT_EQ(Context(d)->UrbBuffer, nullptr);
    EXPECT_EQ(Context(d)->UrbMemory, nullptr);
    EXPECT_EQ(world().PoolBlocksOutstanding(), 0u);

    WDFUSBDEVICE firstTarget = Context(d)->UsbDevice;
    ASSERT_EQ(d.Start(), STATUS_SUCCESS);
    EXPECT_NE(Context(d)->UsbDevice, firstTarget);
    EXPECT_NE(Context(d)->UrbBuffer, nullptr);
    (void)firstBlock;
    auto h = Open(d);
    auto block = Block(1, 2, 0, 3, 0, 0);
    unsigned char out[4];
    std::uint32_t bytes = 0;
    EXPECT_EQ(kmdf::um::DeviceIoControl(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block, out,
                                        sizeof out, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    kmdf::um::Close(h);
}

TEST_F(DriverSetup, SleepAndResumeRunD0ExitAndEntryAndHoldRequestsMeanwhile) {
    PnpDevice& d = StartColorimeter();
    auto h = Open(d);
    ASSERT_EQ(d.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(d.Power(), PowerState::Dx);
    EXPECT_TRUE(HasEvent("EvtDeviceD0Exit(D2)"));
    kmdf::um::IoOperation op;
    auto block = Block(0, 2, 0, 9, 0, 0);
    EXPECT_EQ(kmdf::um::DeviceIoControlAsync(h, IOCTL_VENDOR_OR_CLASS_REQUEST, &block, sizeof block,
                                             nullptr, 0, &op),
              STATUS_PENDING);
    world().AdvanceMs(60000); // asleep: no idle wake-up, the request waits
    EXPECT_FALSE(op.Done());
    EXPECT_TRUE(VendorTraffic(d).empty());
    ASSERT_EQ(d.Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(op.Done());
    EXPECT_EQ(op.GetStatus(), STATUS_SUCCESS);
    EXPECT_EQ(d.D0Entries(), 2);
    kmdf::um::Close(h);
}

TEST_F(DriverSetup, OpeningTheInterfaceRunsNoDriverRoutine) {
    PnpDevice& d = StartColorimeter();
    std::uint64_t before = world().DriverRoutineCalls();
    auto h = Open(d);
    kmdf::um::Close(h);
    EXPECT_EQ(world().DriverRoutineCalls(), before);
    // The count moves with every routine the framework calls.
    auto h2 = Open(d);
    EXPECT_EQ(kmdf::um::DeviceIoControl(h2, 0, nullptr, 0, nullptr, 0, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(world().DriverRoutineCalls(), before + 2); // caller's context, device control
    kmdf::um::Close(h2);
    // Once gone, the device is "no such device" to Win32 as the platform maps it.
    d.Remove();
    kmdf::um::Handle gone;
    EXPECT_EQ(kmdf::um::Open(d.Interfaces()[0], kmdf::um::kAccessReadWrite, &gone),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kmdf::um::NtStatusToWin32Error(STATUS_NO_SUCH_DEVICE), 433u); // ERROR_NO_SUCH_DEVICE
}

} // namespace
