// File-object callbacks: a small driver that decides each open in EvtDeviceFileCreate and
// records cleanup and close, against the layer's I/O manager.
#include "DriverTest.h"

#include <string>

using namespace talvik_test;
namespace um = kmdf::um;

namespace {

typedef struct _OPEN_CONTEXT {
    ULONG Number; // the open this file object came from
} OPEN_CONTEXT, *POPEN_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OPEN_CONTEXT, GetOpenContext)

typedef struct _FILE_TEST_CONTEXT {
    WDFUSBPIPE Pipe;
} FILE_TEST_CONTEXT, *PFILE_TEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_TEST_CONTEXT, GetFileTestContext)

NTSTATUS g_createStatus = STATUS_SUCCESS;
ULONG g_opens = 0;
std::string g_log; // "create1 cleanup1 close1 ..."

VOID FileCreate(WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    GetOpenContext(FileObject)->Number = ++g_opens;
    g_log += (params.Type == WdfRequestTypeCreate ? "create" : "not-a-create") +
             std::to_string(g_opens) + " ";
    WdfRequestComplete(Request, g_createStatus);
}

VOID FileCleanup(WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    g_log += "cleanup" + std::to_string(GetOpenContext(FileObject)->Number) + " ";
}

VOID FileClose(WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    g_log += "close" + std::to_string(GetOpenContext(FileObject)->Number) + " ";
}

NTSTATUS FilePrepare(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST) {
    WDFUSBDEVICE usb;
    NTSTATUS status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &usb);
    if (!NT_SUCCESS(status))
        return status;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    status = WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status))
        return status;
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(
        params.Types.SingleInterface.ConfiguredUsbInterface, 0, NULL);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
    GetFileTestContext(Device)->Pipe = pipe;
    return status;
}

VOID FileReadDone(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params,
                  WDFCONTEXT) {
    WdfRequestCompleteWithInformation(
        Request, Params->IoStatus.Status,
        Params->Parameters.Usb.Completion->Parameters.PipeRead.Length);
}

// Every device-control request is a read held by the interrupt pipe until the device answers.
VOID FileIoctl(WDFQUEUE Queue, WDFREQUEST Request, size_t, size_t, ULONG) {
    WDFUSBPIPE pipe = GetFileTestContext(WdfIoQueueGetDevice(Queue))->Pipe;
    WDFMEMORY memory;
    if (!NT_SUCCESS(WdfRequestRetrieveOutputMemory(Request, &memory)) ||
        !NT_SUCCESS(WdfUsbTargetPipeFormatRequestForRead(pipe, Request, memory, NULL))) {
        WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    WdfRequestSetCompletionRoutine(Request, FileReadDone, NULL);
    if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS))
        WdfRequestComplete(Request, WdfRequestGetStatus(Request));
}

NTSTATUS FileAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = FilePrepare;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, FileCreate, FileClose, FileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, OPEN_CONTEXT);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILE_TEST_CONTEXT);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = FileIoctl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_TALVIK, NULL);
}

NTSTATUS FileDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FileAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

NTSTATUS FileImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return FxStubDriverEntry(DriverObject, RegistryPath, FileDriverEntry);
}

class FileObjects : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        g_createStatus = STATUS_SUCCESS;
        g_opens = 0;
        g_log.clear();
        ASSERT_EQ(world().LoadDriver(FileImageEntry), STATUS_SUCCESS);
        device_ = &world().PlugIn();
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    }
    um::Status OpenDevice(um::Handle* h) {
        return um::Open(device_->Interfaces()[0], um::kAccessReadWrite, h);
    }
    PnpDevice* device_ = nullptr;
};

TEST_F(FileObjects, TheCreateCallbackDecidesTheOpen) {
    // Refused: the open fails with the driver's status; no handle, no cleanup or close.
    g_createStatus = STATUS_ACCESS_DENIED;
    um::Handle refused;
    EXPECT_EQ(OpenDevice(&refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(g_log, "create1 ");
    // Accepted: each open has a file object of its own, with its context, until its close.
    g_createStatus = STATUS_SUCCESS;
    um::Handle first, second;
    ASSERT_EQ(OpenDevice(&first), STATUS_SUCCESS);
    ASSERT_EQ(OpenDevice(&second), STATUS_SUCCESS);
    um::Close(second);
    um::Close(first);
    EXPECT_EQ(g_log, "create1 create2 create3 cleanup3 close3 cleanup2 close2 ");
}

TEST_F(FileObjects, TheCloseWaitsForTheHandlesRequests) {
    um::Handle h;
    ASSERT_EQ(OpenDevice(&h), STATUS_SUCCESS);
    um::IoOperation read;
    uint8_t out[8];
    ASSERT_EQ(
        um::DeviceIoControlAsync(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out, sizeof out, &read),
        STATUS_PENDING);
    um::Close(h);
    EXPECT_EQ(g_log, "create1 cleanup1 ");
    device_->Usb().PushInterrupt({1, 2});
    EXPECT_EQ(read.GetStatus(), STATUS_SUCCESS);
    world().RunTimers();
    EXPECT_EQ(g_log, "create1 cleanup1 close1 ");
}

} // namespace
