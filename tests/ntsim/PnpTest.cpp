// The PnP manager's handling of function drivers that fail: unloaded when left with no device.
#include "KernelFixture.h"
#include "TestUsbDevice.h"

#include <atomic>

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

} // namespace
