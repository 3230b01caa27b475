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
};

Fault g_fault = Fault::None;

typedef struct _FAULTY_CONTEXT {
    WDFUSBDEVICE UsbDevice;
    WDFUSBPIPE Pipe;
    PVOID Block;
    WDFMEMORY Memory;
} FAULTY_CONTEXT, *PFAULTY_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FAULTY_CONTEXT, GetFaultyContext)

const ULONG kTag = 0x74736554; // "Test"
UCHAR g_buffer[16];

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
    ctx->Block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    if (g_fault == Fault::ObjectLeak)
        return WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, g_buffer, sizeof g_buffer,
                                           &ctx->Memory);
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
    WdfRequestCompleteWithInformation(
        Request, Params->IoStatus.Status,
        Params->Parameters.Usb.Completion->Parameters.PipeRead.Length);
}

VOID FaultyIoctl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t, ULONG) {
    PFAULTY_CONTEXT ctx = GetFaultyContext(WdfIoQueueGetDevice(Queue));
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
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
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = FaultyIoctl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
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
    }
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
                            "WdfRequestForwardToIoQueue"})
        EXPECT_NE(std::find(known.begin(), known.end(), api), known.end()) << api;
}

} // namespace
