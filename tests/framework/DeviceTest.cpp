// Device creation: the WDM device attached over the PDO, its context, its interface enabled at
// start, the capabilities applied to the bus's answer, and adds that fail.
#include "FrameworkFixture.h"

#include "FxDevice.h"

#include <string>

namespace {

class DeviceTest : public FrameworkFixture {
protected:
    // IRP_MN_QUERY_CAPABILITIES down the whole stack, as the PnP manager sends it.
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* caps) {
        RtlZeroMemory(caps, sizeof *caps);
        caps->Size = sizeof *caps;
        caps->Version = 1;
        caps->Address = caps->UINumber = static_cast<ULONG>(-1);
        return SendToStack(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [caps](PIO_STACK_LOCATION next) {
            next->Parameters.DeviceCapabilities.Capabilities = caps;
        });
    }
};

TEST_F(DeviceTest, AddAttachesAZeroedDeviceAndStartEnablesItsInterface) {
    PlugTestDevice();
    EXPECT_TRUE(HasEvent("WdfDriverCreate"));
    EXPECT_TRUE(HasEvent("WdfDeviceCreate io type buffered"));
    EXPECT_TRUE(g_fxTestRecord.ContextWasZero);
    PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(FxDeviceWdm(FxDeviceOf(fdo)), fdo);
    EXPECT_EQ(FxDeviceLower(FxDeviceOf(fdo)), pdo_);
    EXPECT_NE(fdo->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(Order(), "PE");
    EXPECT_EQ(g_fxTestRecord.LastEntryFrom, WdfPowerDeviceD3Final);
    EXPECT_TRUE(Started());
    EXPECT_EQ(kernel().User().FindInterfaces(FxTestInterfaceGuid).size(), 1u);
    FX_HOST_COUNTERS counters;
    FxHostGetCounters(&counters);
    EXPECT_GE(counters.DriverRoutineCalls, 3u); // add, prepare, D0 entry
}

TEST_F(DeviceTest, ACallAboveItsIrqlIsAFindingAndDoesNothing) {
    PlugTestDevice();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status =
        WdfDeviceCreateDeviceInterface(g_fxTestRecord.Device, &FxTestInterfaceGuid, NULL);
    KeLowerIrql(old);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(TakeFindings("WdfDeviceCreateDeviceInterface called at IRQL 2 (allowed up to 0)"),
              1u);
    EXPECT_EQ(kernel().User().FindInterfaces(FxTestInterfaceGuid).size(), 1u);
}

TEST_F(DeviceTest, CapabilitiesTheDriverSetOverrideTheBusOnTheWayUp) {
    g_fxTestOptions.Capabilities = TRUE;
    PlugTestDevice();
    EXPECT_TRUE(HasEvent("WdfDeviceSetPnpCapabilities SurpriseRemovalOK=1 LockSupported=2 "));
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Removable, 0u);
    EXPECT_EQ(caps.UINumber, 7u);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2); // the bus's own answer stands
}

TEST_F(DeviceTest, AFailedAddTakesItsDeviceWithIt) {
    g_fxTestOptions.AddStatus = STATUS_INSUFFICIENT_RESOURCES;
    PlugTestDevice();
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    // Cleanup and destroy of the device, no PnP callbacks; the driver, left with no device,
    // unloads and unbinds.
    EXPECT_EQ(Order(), "cdu");
    EXPECT_TRUE(kernel().User().FindInterfaces(FxTestInterfaceGuid).empty());
    EXPECT_EQ(LiveObjects(), 0u);
}

TEST_F(DeviceTest, InjectedFailuresReachTheDriverAsItsCallsFailing) {
    const PCSTR* calls = FxHostFaultableCalls();
    bool listed = false;
    for (; *calls != nullptr; ++calls)
        listed = listed || std::string(*calls) == "WdfDeviceCreateDeviceInterface";
    EXPECT_TRUE(listed);
    Fail("WdfDeviceCreateDeviceInterface", STATUS_INSUFFICIENT_RESOURCES);
    PlugTestDevice();
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_EQ(Order(), "cdu");
    EXPECT_TRUE(kernel().User().FindInterfaces(FxTestInterfaceGuid).empty());
}

TEST_F(DeviceTest, AnAddThatCreatesNoDeviceFails) {
    g_fxTestOptions.AddNoDevice = TRUE;
    PlugTestDevice();
    EXPECT_EQ(TakeFindings("EvtDriverDeviceAdd succeeded without creating a device object"), 1u);
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
}

TEST_F(DeviceTest, AnInitRecordKeptPastTheAddIsRefusedUnread) {
    PlugTestDevice();
    ASSERT_NE(g_fxTestRecord.KeptInit, nullptr);
    WdfDeviceInitSetIoType(g_fxTestRecord.KeptInit, WdfDeviceIoDirect);
    EXPECT_EQ(TakeFindings("WdfDeviceInitSetIoType: the device-initialisation record is used up"),
              1u);
    WDFDEVICE device = nullptr;
    PWDFDEVICE_INIT kept = g_fxTestRecord.KeptInit;
    EXPECT_EQ(WdfDeviceCreate(&kept, WDF_NO_OBJECT_ATTRIBUTES, &device), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("WdfDeviceCreate: the device-initialisation record is used up"), 1u);
    EXPECT_EQ(device, nullptr);
}

TEST_F(DeviceTest, TheDeviceIsTheFrameworksToDelete) {
    PlugTestDevice();
    WdfObjectDelete(g_fxTestRecord.Device);
    EXPECT_EQ(TakeFindings("WdfObjectDelete: a WDFDEVICE the framework owns"), 1u);
    EXPECT_EQ(FxTestDeviceContext(g_fxTestRecord.Device)->Magic, FX_TEST_MAGIC);
}

} // namespace
