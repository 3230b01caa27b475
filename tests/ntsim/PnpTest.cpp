// The PnP manager's handling of function drivers that fail (unloaded when left with no device,
// the node naming what failed), a rebalance's stop and restart, and system power transitions.
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

// A function driver for root devices that records the PnP and power IRPs it is sent and answers
// its DriverEntry, the start and the queries as the test sets.
struct Recorder {
    std::mutex mu;
    std::vector<std::string> seen;
    NTSTATUS entry = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;
    NTSTATUS queryStop = STATUS_SUCCESS;
    NTSTATUS queryPower = STATUS_SUCCESS;

    void Saw(const std::string& what) {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(what);
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<std::string> taken;
        taken.swap(seen);
        return taken;
    }
};
Recorder g_recorder;

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT fdo) {
    return *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(fdo), irp);
}

NTSTATUS Answer(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Agreed (the status set for the PDO below), or refused here.
NTSTATUS AgreeOrRefuse(PDEVICE_OBJECT fdo, PIRP irp, NTSTATUS answer) {
    if (!NT_SUCCESS(answer))
        return Answer(irp, answer);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdo, irp);
}

NTSTATUS RecorderPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        g_recorder.Saw("start");
        return AgreeOrRefuse(fdo, irp, g_recorder.start);
    case IRP_MN_QUERY_STOP_DEVICE:
        g_recorder.Saw("query-stop");
        return AgreeOrRefuse(fdo, irp, g_recorder.queryStop);
    case IRP_MN_STOP_DEVICE:
        g_recorder.Saw("stop");
        return AgreeOrRefuse(fdo, irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE:
        g_recorder.Saw("cancel-stop");
        return AgreeOrRefuse(fdo, irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        g_recorder.Saw("remove");
        PDEVICE_OBJECT lower = LowerOf(fdo);
        NTSTATUS status = AgreeOrRefuse(fdo, irp, STATUS_SUCCESS);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        return status;
    }
    default:
        return PassDown(fdo, irp);
    }
}

NTSTATUS RecorderPower(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    const std::string state = system
                                  ? "S" + std::to_string(stack->Parameters.Power.State.SystemState)
                                  : "D" + std::to_string(stack->Parameters.Power.State.DeviceState);
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        g_recorder.Saw("query " + state);
        if (!NT_SUCCESS(g_recorder.queryPower))
            return Answer(irp, g_recorder.queryPower);
    } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
        g_recorder.Saw("set " + state);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(fdo), irp);
}

NTSTATUS RecorderAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = RecorderPnp;
    driver->MajorFunction[IRP_MJ_POWER] = RecorderPower;
    driver->DriverExtension->AddDevice = RecorderAddDevice;
    return g_recorder.entry;
}

class PnpStateTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        g_recorder.Take();
        g_recorder.entry = g_recorder.start = g_recorder.queryStop = g_recorder.queryPower =
            STATUS_SUCCESS;
    }
    ntsim::PnpManager::DeviceInfo Node(PDEVICE_OBJECT pdo) {
        for (const auto& d : kernel().Pnp().Devices())
            if (d.pdo == pdo)
                return d;
        ADD_FAILURE() << "no node";
        return {};
    }
};

TEST_F(PnpStateTest, ANodeNamesWhatFailedItsDriverEntryAddDeviceOrStart) {
    kernel().Pnp().InstallDriver("Recorder", RecorderEntry, {"ROOT\\RECORDER"});
    kernel().Pnp().InstallDriver("Refusing", RefusingEntry, {"ROOT\\REFUSED"});
    g_recorder.entry = STATUS_DEVICE_NOT_CONNECTED;
    PDEVICE_OBJECT noDriver = kernel().Pnp().AddRootDevice("ROOT\\RECORDER");
    EXPECT_FALSE(Node(noDriver).started);
    EXPECT_EQ(Node(noDriver).problem, ntsim::kProblemFailedDriverEntry);
    EXPECT_EQ(Node(noDriver).problemStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(kernel().Pnp().Driver("Recorder"), nullptr);

    PDEVICE_OBJECT refused = kernel().Pnp().AddRootDevice("ROOT\\REFUSED");
    EXPECT_EQ(Node(refused).problem, ntsim::kProblemFailedAdd);
    EXPECT_EQ(Node(refused).problemStatus, STATUS_INSUFFICIENT_RESOURCES);

    g_recorder.entry = STATUS_SUCCESS;
    g_recorder.start = STATUS_DEVICE_NOT_READY;
    PDEVICE_OBJECT unstarted = kernel().Pnp().AddRootDevice("ROOT\\RECORDER");
    EXPECT_EQ(Node(unstarted).problem, ntsim::kProblemFailedStart);
    EXPECT_EQ(Node(unstarted).problemStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"start", "remove"}));
    EXPECT_EQ(kernel().Pnp().Driver("Recorder"), nullptr); // left with no device

    g_recorder.start = STATUS_SUCCESS;
    PDEVICE_OBJECT started = kernel().Pnp().AddRootDevice("ROOT\\RECORDER");
    EXPECT_TRUE(Node(started).started);
    EXPECT_EQ(Node(started).problem, 0u);
    for (PDEVICE_OBJECT pdo : {noDriver, refused, unstarted, started})
        EXPECT_EQ(kernel().Pnp().RemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(PnpStateTest, AStopIsAskedForFirstAndAStartAfterItStartsTheStackAgain) {
    kernel().Pnp().InstallDriver("Recorder", RecorderEntry, {"ROOT\\RECORDER"});
    PDEVICE_OBJECT pdo = kernel().Pnp().AddRootDevice("ROOT\\RECORDER");
    ASSERT_TRUE(Node(pdo).started);
    g_recorder.Take();
    // Refused: cancelled, still started.
    g_recorder.queryStop = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(kernel().Pnp().StopDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"query-stop", "cancel-stop"}));
    EXPECT_TRUE(Node(pdo).started);
    EXPECT_EQ(kernel().Pnp().StartDevice(pdo), STATUS_INVALID_DEVICE_STATE); // not stopped

    g_recorder.queryStop = STATUS_SUCCESS;
    EXPECT_EQ(kernel().Pnp().StopDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"query-stop", "stop"}));
    EXPECT_FALSE(Node(pdo).started);
    EXPECT_EQ(Node(pdo).problem, 0u);
    EXPECT_EQ(kernel().Pnp().StopDevice(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kernel().Pnp().StartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"start"}));
    EXPECT_TRUE(Node(pdo).started);

    // A restart that fails takes the stack down as at arrival.
    ASSERT_EQ(kernel().Pnp().StopDevice(pdo), STATUS_SUCCESS);
    g_recorder.start = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(kernel().Pnp().StartDevice(pdo), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Node(pdo).problem, ntsim::kProblemFailedStart);
    EXPECT_EQ(g_recorder.Take(),
              (std::vector<std::string>{"query-stop", "stop", "start", "remove"}));
    EXPECT_EQ(kernel().Pnp().RemoveDevice(pdo), STATUS_SUCCESS);
}

// A root device of the recorder (made first), the bus, and a child of the bus under the tests'
// function driver: each IRP's first stop is the top of a stack.
TEST_F(PnpStateTest, ASleepGoesToTheLeavesFirstAndTheWakeToTheRootFirst) {
    kernel().Pnp().InstallDriver("Recorder", RecorderEntry, {"ROOT\\RECORDER"});
    PDEVICE_OBJECT recorder = kernel().Pnp().AddRootDevice("ROOT\\RECORDER");
    PDEVICE_OBJECT bus = AddBusWithTestFunctionDriver();
    TestUsbDevice usb;
    ULONG port = 0;
    ASSERT_EQ(UsbBusPlugIn(bus->AttachedDevice, &usb, &port), STATUS_SUCCESS);
    kernel().WaitIdle();
    PDEVICE_OBJECT child = nullptr;
    for (const auto& d : kernel().Pnp().Devices())
        if (d.service == "FnTest")
            child = d.pdo;
    ASSERT_NE(child, nullptr);
    std::mutex mu;
    std::vector<std::string> order;
    kernel().TraceIrps([&](const ntsim::IrpStep& s) {
        if (s.kind != ntsim::IrpStep::Kind::Call || s.major != IRP_MJ_POWER)
            return;
        const char* who = s.device == recorder->AttachedDevice ? "root"
                          : s.device == bus->AttachedDevice    ? "bus"
                          : s.device == child->AttachedDevice  ? "child"
                                                               : nullptr;
        if (who == nullptr)
            return;
        std::lock_guard<std::mutex> lock(mu);
        order.push_back(std::string(who) + (s.minor == IRP_MN_QUERY_POWER ? " query" : " set"));
    });
    g_recorder.Take();
    auto taken = [&] {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<std::string> t;
        t.swap(order);
        return t;
    };
    EXPECT_EQ(kernel().Pnp().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(taken(), (std::vector<std::string>{"child query", "bus query", "root query",
                                                 "child set", "bus set", "root set"}));
    EXPECT_EQ(kernel().Pnp().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(taken(), (std::vector<std::string>{"root set", "bus set", "child set"}));
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"query S4", "set S4", "set S1"}));
    // One refusal keeps the system working: those asked before hear so; the refuser hears no set.
    g_recorder.queryPower = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(kernel().Pnp().SetSystemPower(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(taken(), (std::vector<std::string>{"child query", "bus query", "root query",
                                                 "child set", "bus set"}));
    EXPECT_EQ(g_recorder.Take(), (std::vector<std::string>{"query S4"}));
    kernel().TraceIrps(nullptr);
    EXPECT_EQ(kernel().Pnp().RemoveDevice(bus), STATUS_SUCCESS);
    EXPECT_EQ(kernel().Pnp().RemoveDevice(recorder), STATUS_SUCCESS);
}

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

} // namespace
