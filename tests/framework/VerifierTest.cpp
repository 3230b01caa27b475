// The verifiers catch the faults a driver can make: the faulty test driver commits each one and
// the framework, or the kernel beneath it, must report it. Faults caught elsewhere already:
// completing twice, not completing, reporting more bytes than the buffer holds
// (RequestTest), sending unformatted (UsbTargetTest), send timeouts (UsbTargetTest), wrong pool
// tags, double frees and pool leaks (ntsim KernelTest), a call above its IRQL
// (DeviceTest.ACallAboveItsIrqlIsAFindingAndDoesNothing).
#include "FaultyFixture.h"

#include <wdfldr.h>

using ntsim::Overlapped;
using ntsim::UserIo;
using ntsim::ViolationKind;

namespace {

class VerifierTest : public FaultyFixture {};

TEST_F(VerifierTest, EachFaultOfADriverIsReported) {
    struct Row {
        FAULTY_FAULT fault;
        const char* finding;  // the framework's, or
        ViolationKind kernel; // the kernel's (with finding NULL)
        bool vendor;          // found on a vendor request the device answers later, not a read
        bool readEnds;        // the device answers the read
    } rows[] = {
        {FaultyTouchAfterComplete, "WdfRequestGetStatus: the handle", {}, false, true},
        {FaultyFailedSendKept, "callback returned (its send had failed)", {}, false, false},
        {FaultyPagedCodeInCompletion, nullptr, ViolationKind::Irql, false, true},
        {FaultyPassiveCallInCompletion,
         "WdfIoTargetStop called at IRQL 2 (allowed up to 0)",
         {},
         false,
         true},
        {FaultyPagedPoolUrb, nullptr, ViolationKind::Irql, true, false},
        {FaultyObjectLeak,
         "framework object WDFMEMORY made in EvtDevicePrepareHardware under the driver outlives "
         "EvtDeviceReleaseHardware",
         {},
         false,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        FaultyConfig.Fault = row.fault;
        if (row.fault == FaultyFailedSendKept)
            FailCall("WdfRequestSend", STATUS_DEVICE_NOT_READY);
        device_.SetControlHandler([](const USB_SETUP_PACKET&, UCHAR* data) {
            std::memcpy(data, "\x01\x02", 2);
            return UsbReplyOf(UsbReplyData, 2, 1); // a millisecond later, from the bus's DPC
        });
        UserIo::Handle h = PlugAndOpen();
        ASSERT_NE(h, 0u);
        Overlapped op;
        if (row.vendor) {
            UCHAR out[8];
            kernel().User().DeviceIoControl(h, IOCTL_FAULTY_VENDOR, nullptr, 0, out, sizeof out,
                                            &op);
            kernel().AdvanceMs(1);
        } else {
            ASSERT_EQ(Read(h, &op), STATUS_PENDING);
            if (row.readEnds) {
                EXPECT_EQ(FeedInterrupt({1, 2, 3}), STATUS_SUCCESS);
            }
        }
        if (row.fault == FaultyFailedSendKept) {
            EXPECT_EQ(Ioctl(h, IOCTL_FAULTY_RELEASE), STATUS_SUCCESS);
        }
        kernel().WaitIdle();
        EXPECT_TRUE(op.Done());
        FailNothing();
        EXPECT_EQ(UsbBusUnplug(bus_, port_), STATUS_SUCCESS);
        kernel().WaitIdle();
        if (row.finding != nullptr) {
            EXPECT_EQ(TakeFindings(row.finding), 1u);
        } else {
            EXPECT_EQ(Take(row.kernel), 1u);
        }
    }
}

} // namespace

namespace {

TEST_F(VerifierTest, ACorrectDriverRunsClean) {
    device_.SetControlHandler([](const USB_SETUP_PACKET&, UCHAR* data) {
        std::memcpy(data, "\x07\x08\x09", 3);
        return UsbReplyOf(UsbReplyData, 3, 1);
    });
    UserIo::Handle h = PlugAndOpen();
    ASSERT_NE(h, 0u);
    Overlapped read, vendor;
    ASSERT_EQ(Read(h, &read), STATUS_PENDING);
    EXPECT_EQ(FeedInterrupt({1}), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 1u);
    UCHAR out[8] = {};
    EXPECT_EQ(kernel().User().DeviceIoControl(h, IOCTL_FAULTY_VENDOR, nullptr, 0, out, sizeof out,
                                              &vendor),
              STATUS_PENDING);
    kernel().AdvanceMs(1);
    EXPECT_EQ(vendor.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(vendor.Information(), 3u);
    EXPECT_EQ(out[2], 9);
    EXPECT_EQ(UsbBusUnplug(bus_, port_), STATUS_SUCCESS);
    kernel().WaitIdle();
    // Nothing found: the fixture fails the test on any finding.
}

// A stopped target holds what it is sent; stopping it again, cancelling sent I/O, cancels what
// went down before, not what it holds, which goes down when the target starts.
TEST_F(VerifierTest, StoppingATargetCancelsWhatItSentAndKeepsWhatItHolds) {
    UserIo::Handle h = PlugAndOpen();
    Overlapped sent, held;
    ASSERT_EQ(Read(h, &sent), STATUS_PENDING);
    WDF_IO_TARGET_SENT_IO_ACTION leave = WdfIoTargetLeaveSentIoPending;
    EXPECT_EQ(Ioctl(h, IOCTL_FAULTY_STOP_PIPE, &leave, sizeof leave), STATUS_SUCCESS);
    EXPECT_FALSE(sent.Done());
    ASSERT_EQ(Read(h, &held), STATUS_PENDING);
    WDF_IO_TARGET_SENT_IO_ACTION cancel = WdfIoTargetCancelSentIo;
    EXPECT_EQ(Ioctl(h, IOCTL_FAULTY_STOP_PIPE, &cancel, sizeof cancel), STATUS_SUCCESS);
    EXPECT_EQ(sent.Wait(), STATUS_CANCELLED);
    EXPECT_FALSE(held.Done());
    EXPECT_EQ(FeedInterrupt({5}), STATUS_SUCCESS); // no transfer at the bus to take it
    EXPECT_FALSE(held.Done());
    EXPECT_EQ(Ioctl(h, IOCTL_FAULTY_START_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(held.Wait(), STATUS_SUCCESS); // the data waiting at the bus
    EXPECT_EQ(out_[0], 5);
}

// A device being removed takes no request into its queues: a read cancelled by the removal and
// forwarded from its completion routine comes back busy.
TEST_F(VerifierTest, AForwardIntoAQueueOfADeviceBeingRemovedIsBusy) {
    FaultyConfig.Fault = FaultyForwardOnCancel;
    UserIo::Handle h = PlugAndOpen();
    Overlapped read;
    ASSERT_EQ(Read(h, &read), STATUS_PENDING);
    kernel().Pnp().SurpriseRemoveDevice(Pdo());
    kernel().WaitIdle();
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_WDF_BUSY);
}

// KMDF 1.1 has no execution level or synchronization scope for a queue: asking for one fails
// the queue, and so the device add.
TEST_F(VerifierTest, AQueueExecutionLevelOrScopeIsRefusedUnderVersion11) {
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
        FaultyConfig.QueueExecutionLevel = row.level;
        FaultyConfig.QueueSynchronizationScope = row.scope;
        UserIo::Handle h = PlugAndOpen();
        EXPECT_EQ(h != 0, !row.refused);
        EXPECT_EQ(TakeFindings("WdfIoQueueCreate: ExecutionLevel and SynchronizationScope of a "
                               "queue need version 1.9"),
                  row.refused ? 1u : 0u);
        EXPECT_EQ(UsbBusUnplug(bus_, port_), STATUS_SUCCESS);
        kernel().WaitIdle();
    }
}

// The driver leaves when its last device goes: unbound then, a call through its table has no
// binding behind it.
TEST_F(VerifierTest, TheBindingIsReleasedWhenTheDriverLeavesWithItsLastDevice) {
    PlugAndOpen();
    EXPECT_TRUE(HasEvent("WdfVersionBind KmdfLibrary 1.1 (386 functions)"));
    EXPECT_EQ(UsbBusUnplug(bus_, port_), STATUS_SUCCESS);
    kernel().WaitIdle();
    EXPECT_TRUE(HasEvent("WdfVersionUnbind KmdfLibrary 1.1"));
    EXPECT_EQ(kernel().Pnp().Driver("Faulty"), nullptr);
    EXPECT_EQ(WdfDriverGlobals, nullptr); // the stub let go of them
    EXPECT_EQ(WdfRequestGetStatus(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("WdfRequestGetStatus: called with driver globals the framework did not "
                           "hand out (no binding)"),
              1u);
}

} // namespace
