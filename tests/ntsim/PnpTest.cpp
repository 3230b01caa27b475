// The PnP manager's handling of function drivers that fail (unloaded when left with no device),
// and what it asks of a started device: a restart, device and system power.
#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::atomic<int> g_unloads{0};

VOID CountUnload(PDRIVER_OBJECT) {
    ++g_unloads;
}

NTSTATUS RefuseAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) {
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS RefusingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = CountUnload;
    driver->DriverExtension->AddDevice = RefuseAddDevice;
    return STATUS_SUCCESS;
}

using PnpTest = KernelFixture;

TEST_F(PnpTest, ADriverWhoseAddDeviceFailsIsUnloadedAndLoadedAgainForTheNextDevice) {
    g_unloads = 0;
    kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
    kernel().Pnp().InstallDriver("Refusing", RefusingEntry, {"USB\\VID_1234&PID_5678"});
    PDEVICE_OBJECT busPdo = kernel().Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
    ASSERT_NE(busPdo, nullptr);
    TestUsbDevice first, second;
    ULONG port = 0;
    ASSERT_EQ(UsbBusPlugIn(busPdo->AttachedDevice, &first, &port), STATUS_SUCCESS);
    kernel().WaitIdle();
    EXPECT_EQ(g_unloads, 1);
    EXPECT_EQ(kernel().Pnp().Driver("Refusing"), nullptr);
    ASSERT_EQ(UsbBusPlugIn(busPdo->AttachedDevice, &second, &port), STATUS_SUCCESS);
    kernel().WaitIdle();
    EXPECT_EQ(g_unloads, 2);
    EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo), STATUS_SUCCESS);
}

// A function driver that passes everything down and records what reaches it.
struct Recorder {
    std::mutex mu;
    std::vector<std::string> seen;
    bool refuseStop = false;
    bool failNextStart = false;
    void Add(std::string what) {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(std::move(what));
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<std::string> taken;
        taken.swap(seen);
        return taken;
    }
} g_recorder;

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT fdo) {
    return *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
}

NTSTATUS RecorderAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS RecorderPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    static const char* const names[] = {"start", "query-remove", "remove",     "cancel-remove",
                                        "stop",  "query-stop",   "cancel-stop"};
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor < sizeof names / sizeof names[0])
        g_recorder.Add(names[minor]);
    NTSTATUS refusal = STATUS_SUCCESS;
    if (minor == IRP_MN_QUERY_STOP_DEVICE && g_recorder.refuseStop)
        refusal = STATUS_UNSUCCESSFUL;
    if (minor == IRP_MN_START_DEVICE && g_recorder.failNextStart) {
        g_recorder.failNextStart = false;
        refusal = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(refusal)) {
        irp->IoStatus.Status = refusal;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return refusal;
    }
    PDEVICE_OBJECT lower = LowerOf(fdo);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS RecorderPower(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER)
        g_recorder.Add((stack->Parameters.Power.Type == SystemPowerState ? "S" : "D") +
                       std::to_string(stack->Parameters.Power.Type == SystemPowerState
                                          ? stack->Parameters.Power.State.SystemState - 1
                                          : stack->Parameters.Power.State.DeviceState - 1));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(fdo), irp);
}

NTSTATUS RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = RecorderAdd;
    driver->MajorFunction[IRP_MJ_PNP] = RecorderPnp;
    driver->MajorFunction[IRP_MJ_POWER] = RecorderPower;
    return STATUS_SUCCESS;
}

TEST_F(PnpTest, ARestartStopsAndStartsAndARefusedOrFailedOneEndsAsTheDriverSays) {
    g_recorder.Take();
    g_recorder.refuseStop = g_recorder.failNextStart = false;
    kernel().Pnp().InstallDriver("VirtualUsb", UsbBusDriverEntry, {USBBUS_HARDWARE_ID});
    kernel().Pnp().InstallDriver("Recorder", RecorderEntry, {"USB\\VID_1234&PID_5678"});
    PDEVICE_OBJECT busPdo = kernel().Pnp().AddRootDevice(USBBUS_HARDWARE_ID);
    ASSERT_NE(busPdo, nullptr);
    TestUsbDevice device;
    ULONG port = 0;
    ASSERT_EQ(UsbBusPlugIn(busPdo->AttachedDevice, &device, &port), STATUS_SUCCESS);
    kernel().WaitIdle();
    PDEVICE_OBJECT pdo = nullptr;
    for (const auto& d : kernel().Pnp().Devices())
        pdo = d.service == "Recorder" && d.started ? d.pdo : pdo;
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"start"}));

    EXPECT_EQ(kernel().Pnp().RestartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"query-stop", "stop", "start"}));
    EXPECT_EQ(kernel().Pnp().SetSystemPower(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kernel().Pnp().SetSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(kernel().Pnp().SetDevicePower(pdo, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"S3", "S0", "D2"}));

    g_recorder.refuseStop = true;
    EXPECT_EQ(kernel().Pnp().RestartDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"query-stop", "cancel-stop"}));
    g_recorder.refuseStop = false;

    g_recorder.failNextStart = true;
    EXPECT_EQ(kernel().Pnp().RestartDevice(pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_recorder.Take(),
              (std::vector<std::string>{"query-stop", "stop", "start", "remove"}));
    for (const auto& d : kernel().Pnp().Devices())
        EXPECT_NE(d.pdo, pdo);
    EXPECT_EQ(kernel().Pnp().RestartDevice(pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kernel().Pnp().SetSystemPower(pdo, PowerSystemWorking), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kernel().Pnp().RemoveDevice(busPdo), STATUS_SUCCESS);
}

} // namespace
