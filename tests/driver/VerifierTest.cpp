// The layer's verifier catches the faults a driver can make: a small faulty driver commits each
// one and the verifier must report it.
#include "DriverTest.h"

#include <algorithm>
#include <cstring>

using namespace talvik_test;
namespace um = kmdf::um;

namespace {

enum class Fault {
    None,
    CompleteTwice,
    TouchAfterComplete,
    NoCompletion,
    TooManyBytes,
    SendUnformatted,
    FailedSendKept,
    PagedCodeInCompletion,
    PassiveCallInCompletion,
    WrongTag,
    DoubleFree,
    PoolLeak,
    ObjectLeak,
    PagedPoolAtDispatch,
    ForwardOnRemoval,
};

Fault g_fault = Fault::None;
// Send options of reads: a timeout when g_useTimeout is set.
bool g_useTimeout = false;
LONGLONG g_timeout = 0;

typedef struct _FAULTY_CONTEXT {
    WDFUSBDEVICE UsbDevice;
    WDFUSBPIPE Pipe;
    PVOID Block;
    WDFMEMORY Memory;
    WDFQUEUE Second;
} FAULTY_CONTEXT, *PFAULTY_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FAULTY_CONTEXT, GetFaultyContext)

const ULONG kTag = 0x74736554; // "Test"
UCHAR g_buffer[16];
// The faulty driver's one device, for its completion routine.
WDFDEVICE g_device = NULL;

NTSTATUS FaultyPrepare(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST) {
    PFAULTY_CONTEXT ctx = GetFaultyContext(Device);
    NTSTATUS status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &ctx->UsbDevice);
    if (!NT_SUCCESS(status))
        return status;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    status = WdfUsbTargetDeviceSelectConfig(ctx->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status))
        return status;
    ctx->Pipe = WdfUsbInterfaceGetConfiguredPipe(
        params.Types.SingleInterface.ConfiguredUsbInterface, 0, NULL);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(ctx->Pipe);
    ctx->Block = ExAllocatePoolWithTag(
        g_fault == Fault::PagedPoolAtDispatch ? PagedPool : NonPagedPool, 16, kTag);
    if (g_fault == Fault::ObjectLeak || g_fault == Fault::PagedPoolAtDispatch)
        return WdfMemoryCreatePreallocated(
            WDF_NO_OBJECT_ATTRIBUTES, g_fault == Fault::ObjectLeak ? (PVOID)g_buffer : ctx->Block,
            16, &ctx->Memory);
    return STATUS_SUCCESS;
}

NTSTATUS FaultyRelease(WDFDEVICE Device, WDFCMRESLIST) {
    PFAULTY_CONTEXT ctx = GetFaultyContext(Device);
    switch (g_fault) {
    case Fault::PoolLeak:
        break;
    case Fault::WrongTag:
        ExFreePoolWithTag(ctx->Block, TALVIK_POOL_TAG);
        break;
    case Fault::DoubleFree:
        ExFreePoolWithTag(ctx->Block, kTag);
        ExFreePoolWithTag(ctx->Block, kTag);
        break;
    default:
        ExFreePoolWithTag(ctx->Block, kTag);
    }
    return STATUS_SUCCESS;
}

VOID FaultyReadDone(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                    WDFCONTEXT) {
    if (g_fault == Fault::PagedCodeInCompletion)
        PAGED_CODE();
    if (g_fault == Fault::PassiveCallInCompletion)
        WdfIoTargetStop(Target, WdfIoTargetCancelSentIo);
    if (g_fault == Fault::PagedPoolAtDispatch) {
        (void)WdfMemoryGetBuffer(GetFaultyContext(g_device)->Memory, NULL);
    }
    if (g_fault == Fault::ForwardOnRemoval) {
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, GetFaultyContext(g_device)->Second);
        if (NT_SUCCESS(status))
            return;
        WdfRequestComplete(Request, status);
        return;
    }
    WdfRequestCompleteWithInformation(
        Request, Params->IoStatus.Status,
        Params->Parameters.Usb.Completion->Parameters.PipeRead.Length);
}

VOID FaultyIoctl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t, ULONG) {
    PFAULTY_CONTEXT ctx = GetFaultyContext(WdfIoQueueGetDevice(Queue));
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    if (g_useTimeout)
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, g_timeout);
    WDFMEMORY memory;
    switch (g_fault) {
    case Fault::CompleteTwice:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case Fault::TouchAfterComplete:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        (void)WdfRequestGetStatus(Request);
        return;
    case Fault::NoCompletion:
        return;
    case Fault::TooManyBytes:
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, OutputBufferLength + 1);
        return;
    case Fault::SendUnformatted:
        if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(ctx->Pipe), &options))
            WdfRequestComplete(Request, WdfRequestGetStatus(Request));
        return;
    default:
        break;
    }
    if (!NT_SUCCESS(WdfRequestRetrieveOutputMemory(Request, &memory)) ||
        !NT_SUCCESS(WdfUsbTargetPipeFormatRequestForRead(ctx->Pipe, Request, memory, NULL))) {
        WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    WdfRequestSetCompletionRoutine(Request, FaultyReadDone, NULL);
    if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(ctx->Pipe), &options) &&
        g_fault != Fault::FailedSendKept)
        WdfRequestComplete(Request, WdfRequestGetStatus(Request));
}

NTSTATUS FaultyAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = FaultyPrepare;
    pnp.EvtDeviceReleaseHardware = FaultyRelease;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FAULTY_CONTEXT);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    g_device = device;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = FaultyIoctl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = FaultyIoctl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES,
                              &GetFaultyContext(device)->Second);
    if (!NT_SUCCESS(status))
        return status;
    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_TALVIK, NULL);
}

NTSTATUS FaultyDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FaultyAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// The faulty driver's image: the same bind stub around its entry routine.
NTSTATUS FaultyImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return FxStubDriverEntry(DriverObject, RegistryPath, FaultyDriverEntry);
}

// Each test makes its own machines (one world exists at a time).
class Verifier : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        world_.reset();
    }
    void TearDown() override {
        DriverTest::TearDown();
        g_fault = Fault::None;
        g_useTimeout = false;
    }
};

// A started faulty device in a machine of its own, with a handle to it.
struct FaultyMachine {
    FaultyMachine() {
        w.verifier().SetHandler([this](const std::string& v) { seen.push_back(v); });
        EXPECT_EQ(w.LoadDriver(FaultyImageEntry), STATUS_SUCCESS);
        device = &w.PlugIn();
        EXPECT_EQ(device->Start(), STATUS_SUCCESS);
        EXPECT_EQ(um::Open(device->Interfaces()[0], um::kAccessReadWrite, &handle), STATUS_SUCCESS);
    }
    ~FaultyMachine() { um::Close(handle); }
    NTSTATUS Read(um::IoOperation* op) {
        return um::DeviceIoControlAsync(handle, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out,
                                        sizeof out, op);
    }
    WDFIOTARGET Pipe() {
        return WdfUsbTargetPipeGetIoTarget(
            GetFaultyContext(static_cast<WDFDEVICE>(device->Handle()))->Pipe);
    }
    World w;
    std::vector<std::string> seen;
    PnpDevice* device = nullptr;
    um::Handle handle;
    uint8_t out[8];
};

TEST_F(Verifier, ReportsEachFaultOfADriver) {
    struct Row {
        Fault fault;
        const char* violation;
        bool readCompletes; // the device answers a read
    } rows[] = {
        {Fault::CompleteTwice, "is no longer valid", false},
        {Fault::TouchAfterComplete, "WdfRequestGetStatus: handle", false},
        {Fault::NoCompletion, "returned without completing", false},
        {Fault::TooManyBytes, "9 bytes reported, the buffer holds 8", false},
        {Fault::SendUnformatted, "not formatted for this target", false},
        {Fault::FailedSendKept, "(its send had failed)", false},
        {Fault::PagedCodeInCompletion, "PAGED_CODE: FaultyReadDone runs at IRQL 2", true},
        {Fault::PassiveCallInCompletion, "WdfIoTargetStop called at IRQL 2", true},
        {Fault::WrongTag, "allocated with tag Test freed with tag OSRF", true},
        {Fault::DoubleFree, "is not allocated (freed twice?)", true},
        {Fault::PoolLeak, "tag Test (16 bytes) still allocated at device removal", true},
        {Fault::ObjectLeak, "framework object WDFMEMORY made for the device outlives it", true},
        {Fault::PagedPoolAtDispatch, "WdfMemoryGetBuffer touches paged pool at IRQL 2", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.violation);
        {
            World w2; // a fresh machine for each fault
            std::vector<std::string> seen;
            w2.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
            g_fault = row.fault;
            if (row.fault == Fault::FailedSendKept)
                w2.faults().Fail("WdfRequestSend", STATUS_DEVICE_NOT_READY);
            ASSERT_EQ(w2.LoadDriver(FaultyImageEntry), STATUS_SUCCESS);
            PnpDevice& d = w2.PlugIn();
            ASSERT_EQ(d.Start(), STATUS_SUCCESS);
            um::Handle h;
            ASSERT_EQ(um::Open(d.Interfaces()[0], um::kAccessReadWrite, &h), STATUS_SUCCESS);
            uint8_t out[8];
            um::IoOperation op;
            um::DeviceIoControlAsync(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out, sizeof out,
                                     &op);
            if (row.readCompletes)
                d.Usb().PushInterrupt({1, 2, 3});
            EXPECT_TRUE(op.Done());
            um::Close(h);
            d.Remove();
            w2.UnloadDriver();
            bool found = false;
            for (const std::string& v : seen)
                found = found || v.find(row.violation) != std::string::npos;
            EXPECT_TRUE(found) << (seen.empty() ? std::string("no violation") : seen[0]);
        }
    }
    g_fault = Fault::None;
}

TEST_F(Verifier, ACorrectDriverRunsClean) {
    std::vector<std::string> seen;
    {
        World w2;
        w2.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
        ASSERT_EQ(w2.LoadDriver(FaultyImageEntry), STATUS_SUCCESS);
        PnpDevice& d = w2.PlugIn();
        ASSERT_EQ(d.Start(), STATUS_SUCCESS);
        um::Handle h;
        ASSERT_EQ(um::Open(d.Interfaces()[0], um::kAccessReadWrite, &h), STATUS_SUCCESS);
        uint8_t out[8];
        um::IoOperation op;
        um::DeviceIoControlAsync(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out, sizeof out, &op);
        d.Usb().PushInterrupt({1});
        EXPECT_EQ(op.GetStatus(), STATUS_SUCCESS);
        um::Close(h);
    }
    EXPECT_TRUE(seen.empty()) << seen[0];
}

// Stopping a target with WdfIoTargetCancelSentIo cancels what it holds as well as what is on
// the bus.
TEST_F(Verifier, StoppingATargetCancelsTheRequestsItHolds) {
    FaultyMachine m;
    WdfIoTargetStop(m.Pipe(), WdfIoTargetLeaveSentIoPending);
    um::IoOperation op;
    ASSERT_EQ(m.Read(&op), STATUS_PENDING);
    EXPECT_EQ(m.device->Usb().PendingInterruptReads(), 0u); // held, not on the bus
    WdfIoTargetStop(m.Pipe(), WdfIoTargetCancelSentIo);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.GetStatus(), STATUS_CANCELLED);
    EXPECT_EQ(WdfIoTargetStart(m.Pipe()), STATUS_SUCCESS);
    EXPECT_TRUE(m.seen.empty()) << m.seen[0];
}

// A send timeout: negative is relative, positive an absolute time, 0 never expires.
TEST_F(Verifier, SendTimeoutsAreRelativeAbsoluteOrNone) {
    struct Row {
        LONGLONG timeout;
        uint64_t firesAtMs; // 0: never
    } rows[] = {{WDF_REL_TIMEOUT_IN_MS(3000), 4000}, {3000 * WDF_TIMEOUT_TO_MS, 3000}, {0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.timeout);
        g_useTimeout = true;
        g_timeout = row.timeout;
        FaultyMachine m;
        m.w.AdvanceMs(1000);
        um::IoOperation op;
        ASSERT_EQ(m.Read(&op), STATUS_PENDING);
        if (row.firesAtMs) {
            m.w.AdvanceMs(row.firesAtMs - 1 - m.w.NowMs());
            EXPECT_FALSE(op.Done());
            m.w.AdvanceMs(1);
            ASSERT_TRUE(op.Done());
            EXPECT_EQ(op.GetStatus(), STATUS_IO_TIMEOUT);
        } else {
            m.w.AdvanceMs(24 * 3600 * 1000);
            EXPECT_FALSE(op.Done());
            EXPECT_EQ(um::CancelIo(m.handle, &op), STATUS_SUCCESS);
            EXPECT_EQ(op.GetStatus(), STATUS_CANCELLED);
        }
        EXPECT_TRUE(m.seen.empty()) << m.seen[0];
    }
}

// A queue of a device being removed accepts nothing: a forward into it fails with the
// framework's busy status.
TEST_F(Verifier, AForwardIntoAQueueOfARemovedDeviceIsBusy) {
    g_fault = Fault::ForwardOnRemoval;
    FaultyMachine m;
    um::IoOperation op;
    ASSERT_EQ(m.Read(&op), STATUS_PENDING);
    m.device->SurpriseRemove(); // the read comes back cancelled and is forwarded
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.GetStatus(), STATUS_WDF_BUSY);
    EXPECT_TRUE(m.seen.empty()) << m.seen[0];
}

TEST_F(Verifier, UnknownFaultNamesAreRefused) {
    World w;
    std::vector<std::string> seen;
    w.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
    w.faults().Fail("WdfNoSuchCall", STATUS_UNSUCCESSFUL);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("WdfNoSuchCall is not a framework call"), std::string::npos);
}

TEST_F(Verifier, KnownCallsCoverEveryStatusReturningCallOfTheDriver) {
    World w;
    auto known = w.faults().KnownCalls();
    for (const char* api : {"WdfDriverCreate",
                            "WdfDeviceCreate",
                            "WdfIoQueueCreate",
                            "WdfDeviceCreateDeviceInterface",
                            "WdfUsbTargetDeviceCreate",
                            "WdfUsbTargetDeviceSelectConfig",
                            "WdfUsbInterfaceSelectSetting",
                            "WdfUsbTargetDeviceRetrieveInformation",
                            "WdfDeviceAssignS0IdleSettings",
                            "WdfDeviceAssignSxWakeSettings",
                            "ExAllocatePoolWithTag",
                            "WdfMemoryCreatePreallocated",
                            "WdfIoTargetStart",
                            "WdfRequestRetrieveInputBuffer",
                            "WdfRequestRetrieveOutputBuffer",
                            "WdfRequestRetrieveOutputMemory",
                            "WdfUsbTargetDeviceFormatRequestForUrb",
                            "WdfUsbTargetPipeFormatRequestForRead",
                            "WdfRequestSend",
                            "WdfRequestForwardToIoQueue",
                            "WdfDeviceEnqueueRequest",
                            "WdfRequestProbeAndLockUserBufferForWrite"})
        EXPECT_NE(std::find(known.begin(), known.end(), api), known.end()) << api;
}

} // namespace

namespace {

// A driver that asks a queue for what KMDF 1.1 does not have.
WDF_EXECUTION_LEVEL g_queueLevel = WdfExecutionLevelInheritFromParent;
WDF_SYNCHRONIZATION_SCOPE g_queueScope = WdfSynchronizationScopeInheritFromParent;

NTSTATUS QueueAttributesAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = FaultyIoctl;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = g_queueLevel;
    attributes.SynchronizationScope = g_queueScope;
    return WdfIoQueueCreate(device, &config, &attributes, WDF_NO_HANDLE);
}

NTSTATUS QueueAttributesEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, QueueAttributesAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

NTSTATUS QueueAttributesImage(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return FxStubDriverEntry(DriverObject, RegistryPath, QueueAttributesEntry);
}

// An image whose bind info claims 1.1 with the table of 1.9.
WDFFUNC g_wideTable[396];
NTSTATUS WideTableImage(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_BIND_INFO info = WdfBindInfo;
    info.FuncCount = 396;
    info.FuncTable = g_wideTable;
    PWDF_COMPONENT_GLOBALS globals = nullptr;
    return WdfVersionBind(DriverObject, RegistryPath, &info, &globals);
}

} // namespace

TEST_F(Verifier, AQueueExecutionLevelOrScopeIsRefusedUnderVersion11) {
    struct Row {
        WDF_EXECUTION_LEVEL level;
        WDF_SYNCHRONIZATION_SCOPE scope;
        bool refused;
    } rows[] = {
        {WdfExecutionLevelPassive, WdfSynchronizationScopeInheritFromParent, true},
        {WdfExecutionLevelDispatch, WdfSynchronizationScopeInheritFromParent, true},
        {WdfExecutionLevelInheritFromParent, WdfSynchronizationScopeQueue, true},
        {WdfExecutionLevelInheritFromParent, WdfSynchronizationScopeNone, true},
        {WdfExecutionLevelInheritFromParent, WdfSynchronizationScopeInheritFromParent, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level * 10 + row.scope);
        World w2;
        std::vector<std::string> seen;
        w2.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
        g_queueLevel = row.level;
        g_queueScope = row.scope;
        ASSERT_EQ(w2.LoadDriver(QueueAttributesImage), STATUS_SUCCESS);
        PnpDevice& d = w2.PlugIn();
        EXPECT_EQ(d.AddStatus(), row.refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
        ASSERT_EQ(seen.size(), row.refused ? 1u : 0u);
        if (row.refused) {
            EXPECT_EQ(seen[0], "WdfIoQueueCreate: ExecutionLevel and SynchronizationScope of a "
                               "queue need KmdfLibrary 1.9; the driver bound to KmdfLibrary 1.1");
        }
    }
    g_queueLevel = WdfExecutionLevelInheritFromParent;
    g_queueScope = WdfSynchronizationScopeInheritFromParent;
}

TEST_F(Verifier, TheBindingIsCheckedAndReleasedWhereverTheDriverLeaves) {
    {
        // A table larger than the version has is refused at bind.
        World w2;
        std::vector<std::string> seen;
        w2.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
        EXPECT_EQ(w2.LoadDriver(WideTableImage), STATUS_INVALID_PARAMETER);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0], "WdfVersionBind: KmdfLibrary 1.1 has 386 functions; the bind info "
                           "asks for 396");
        EXPECT_EQ(g_wideTable[0], nullptr);
    }
    {
        // Bound with 1.1's table, unbound at unload; a call through the table afterwards has
        // no binding behind it.
        World w2;
        std::vector<std::string> seen;
        w2.verifier().SetHandler([&](const std::string& v) { seen.push_back(v); });
        ASSERT_EQ(w2.LoadDriver(FaultyImageEntry), STATUS_SUCCESS);
        std::vector<std::string> events = w2.Events();
        EXPECT_NE(std::find(events.begin(), events.end(),
                            "WdfVersionBind KmdfLibrary 1.1 (386 functions)"),
                  events.end());
        w2.UnloadDriver();
        events = w2.Events();
        EXPECT_NE(std::find(events.begin(), events.end(), "WdfVersionUnbind KmdfLibrary 1.1"),
                  events.end());
        EXPECT_TRUE(seen.empty());
        (void)WdfRequestGetStatus(nullptr);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen[0], "WdfRequestGetStatus: called with driver globals the framework did "
                           "not hand out (no binding)");
    }
}
