// File-object callbacks: a small KMDF driver, on the framework over the kernel, that decides each
// open in EvtDeviceFileCreate and records cleanup and close, against the I/O manager's opens and
// closes.
#include "StackFixture.h"

#include "sim/FrameworkMachine.h"

#include "Talvik.h"
#include <wdfldr.h>

#include <mutex>
#include <string>

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
std::mutex g_logMu;
std::string g_log; // "create1 cleanup1 close1 ..."

void Log(const std::string& what, ULONG number) {
    std::lock_guard<std::mutex> lock(g_logMu);
    g_log += what + std::to_string(number) + " ";
}

std::string Logged() {
    std::lock_guard<std::mutex> lock(g_logMu);
    return g_log;
}

VOID FileCreate(WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    GetOpenContext(FileObject)->Number = ++g_opens;
    Log(params.Type == WdfRequestTypeCreate ? "create" : "not-a-create", g_opens);
    WdfRequestComplete(Request, g_createStatus);
}

VOID FileCleanup(WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    Log("cleanup", GetOpenContext(FileObject)->Number);
}

VOID FileClose(WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    Log("close", GetOpenContext(FileObject)->Number);
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

// The image entry: the bind stub, then the driver's own entry.
NTSTATUS FileImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return FxStubDriverEntry(DriverObject, RegistryPath, FileDriverEntry);
}

sim::MachineOptions FileTestOptions() {
    sim::MachineOptions options;
    options.service = "FileTest";
    options.driverEntry = FileImageEntry;
    options.interfaceGuid = GUID_DEVINTERFACE_TALVIK;
    return options;
}

class FileObjects : public StackFixture<sim::FrameworkMachine> {
protected:
    void SetUp() override {
        g_createStatus = STATUS_SUCCESS;
        g_opens = 0;
        g_log.clear();
        Boot(FileTestOptions());
        device_ = machine().PlugIn();
        ASSERT_NE(device_, nullptr);
        ASSERT_TRUE(machine().StateOf(device_).started);
    }
    NTSTATUS OpenDevice(sim::Machine::Handle* h) { return machine().Open(h, device_); }

    sim::Colorimeter* device_ = nullptr;
};

TEST_F(FileObjects, TheCreateCallbackDecidesTheOpen) {
    // Refused: the open fails with the driver's status; no handle, no cleanup or close.
    g_createStatus = STATUS_ACCESS_DENIED;
    sim::Machine::Handle refused = 0;
    EXPECT_EQ(OpenDevice(&refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(Logged(), "create1 ");
    // Accepted: each open has a file object of its own, with its context, until its close.
    g_createStatus = STATUS_SUCCESS;
    const unsigned long objects = machine().LiveFrameworkObjects();
    sim::Machine::Handle first = 0, second = 0;
    ASSERT_EQ(OpenDevice(&first), STATUS_SUCCESS);
    ASSERT_EQ(OpenDevice(&second), STATUS_SUCCESS);
    EXPECT_EQ(machine().LiveFrameworkObjects(), objects + 2);
    EXPECT_EQ(machine().Close(second), STATUS_SUCCESS);
    EXPECT_EQ(machine().Close(first), STATUS_SUCCESS);
    machine().WaitIdle();
    EXPECT_EQ(Logged(), "create1 create2 create3 cleanup3 close3 cleanup2 close2 ");
    EXPECT_EQ(machine().LiveFrameworkObjects(), objects);
}

TEST_F(FileObjects, TheCloseWaitsForTheHandlesRequests) {
    sim::Machine::Handle h = 0;
    ASSERT_EQ(OpenDevice(&h), STATUS_SUCCESS);
    ntsim::Overlapped read;
    uint8_t out[8];
    ASSERT_EQ(
        machine().DeviceIoControl(h, IOCTL_READ_INTERRUPT_PIPE, nullptr, 0, out, sizeof out, &read),
        STATUS_PENDING);
    EXPECT_EQ(machine().Close(h), STATUS_SUCCESS);
    machine().WaitIdle();
    EXPECT_EQ(Logged(), "create1 cleanup1 ");
    EXPECT_EQ(device_->PushInterrupt({1, 2}), STATUS_SUCCESS);
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 2u);
    machine().WaitIdle();
    EXPECT_EQ(Logged(), "create1 cleanup1 close1 ");
}

} // namespace
