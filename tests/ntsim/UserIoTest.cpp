// The I/O manager as user mode meets it, through a root-enumerated driver of the test's: buffer
// rules of each transfer method, access and protection checks, CancelIoEx, cleanup and close.
#include "KernelFixture.h"

#include <mutex>
#include <string>
#include <vector>

using ntsim::Overlapped;
using ntsim::Protection;
using ntsim::UserIo;
using ntsim::ViolationKind;

namespace {

const GUID kEchoGuid = {
    0x2f1e0c55, 0x9d1a, 0x4c3b, {0x8e, 0x11, 0x5a, 0x90, 0x02, 0x7e, 0x41, 0xcd}};

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOverReport =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kWriteOnly =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x906, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kMisreport = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x907, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct EchoState {
    std::mutex mu;
    std::vector<UCHAR> majors;
    PVOID systemBuffer = nullptr;
    PMDL mdl = nullptr;
    PVOID type3 = nullptr;
    PVOID userBuffer = nullptr;
    UCHAR readThroughMdl = 0;
    PIRP pending = nullptr;
    UNICODE_STRING link{};
};
EchoState* g_echo;

NTSTATUS Done(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID CancelPending(PDEVICE_OBJECT, PIRP irp) {
    {
        std::lock_guard<std::mutex> lock(g_echo->mu);
        g_echo->pending = nullptr;
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Done(irp, STATUS_CANCELLED, 0);
}

NTSTATUS EchoControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    {
        std::lock_guard<std::mutex> lock(g_echo->mu);
        g_echo->systemBuffer = irp->AssociatedIrp.SystemBuffer;
        g_echo->mdl = irp->MdlAddress;
        g_echo->type3 = s->Parameters.DeviceIoControl.Type3InputBuffer;
        g_echo->userBuffer = irp->UserBuffer;
    }
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case kBuffered:
    case kWriteOnly:
        return Done(irp, STATUS_SUCCESS, in < out ? in : out); // the system buffer echoes
    case kInDirect:                                            // the output buffer is a source here
        g_echo->readThroughMdl =
            *static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        return Done(irp, STATUS_SUCCESS, 0);
    case kOutDirect:
        if (irp->MdlAddress != nullptr)
            memset(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), 0x77, out);
        return Done(irp, STATUS_SUCCESS, out);
    case kNeither:
        try {
            ProbeForWrite(irp->UserBuffer, out, 1);
        } catch (const ntsim::RaisedStatus& raised) {
            return Done(irp, raised.status, 0);
        }
        memset(irp->UserBuffer, 0x33, out);
        return Done(irp, STATUS_SUCCESS, out);
    case kPend: {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        {
            std::lock_guard<std::mutex> lock(g_echo->mu);
            g_echo->pending = irp;
        }
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    case kOverReport:
        return Done(irp, STATUS_SUCCESS, out + 10);
    case kMisreport:
        Done(irp, STATUS_UNSUCCESSFUL, 0);
        return STATUS_SUCCESS;
    default:
        return Done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS EchoFile(PDEVICE_OBJECT, PIRP irp) {
    std::lock_guard<std::mutex> lock(g_echo->mu);
    g_echo->majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS EchoPnp(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    if (minor == IRP_MN_START_DEVICE)
        IoSetDeviceInterfaceState(&g_echo->link, TRUE);
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE ||
        minor == IRP_MN_REMOVE_DEVICE)
        irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&g_echo->link);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS EchoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) =
        IoAttachDeviceToDeviceStack(device, pdo);
    IoRegisterDeviceInterface(pdo, &kEchoGuid, nullptr, &g_echo->link);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS EchoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = EchoFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = EchoFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = EchoFile;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoControl;
    driver->MajorFunction[IRP_MJ_PNP] = EchoPnp;
    driver->DriverExtension->AddDevice = EchoAddDevice;
    return STATUS_SUCCESS;
}

class UserIoTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        Install();
    }
    void Install() {
        g_echo = &state_;
        kernel().Pnp().InstallDriver("Echo", EchoEntry, {"ROOT\\ECHO"});
        pdo_ = kernel().Pnp().AddRootDevice("ROOT\\ECHO");
    }
    void TearDown() override {
        EXPECT_EQ(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
        KernelFixture::TearDown();
    }
    UserIo::Handle Open(ULONG access = UserIo::kGenericRead | UserIo::kGenericWrite) {
        auto paths = kernel().User().FindInterfaces(kEchoGuid);
        EXPECT_EQ(paths.size(), 1u);
        EXPECT_EQ(paths.at(0).rfind("\\\\?\\ROOT#ECHO#0000#{2F1E0C55-", 0), 0u) << paths[0];
        UserIo::Handle h = 0;
        EXPECT_EQ(kernel().User().CreateFile(paths.at(0), access, &h), STATUS_SUCCESS);
        return h;
    }
    NTSTATUS Call(UserIo::Handle h, ULONG code, const void* in, ULONG inLength, void* out,
                  ULONG outLength, ULONG_PTR* bytes) {
        return kernel().User().DeviceIoControl(h, code, in, inLength, out, outLength, bytes);
    }
    EchoState state_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(UserIoTest, EachMethodHandsTheDriverTheBuffersThePlatformDoes) {
    UserIo::Handle h = Open();
    alignas(4096) static UCHAR in[16], out[16];
    ULONG_PTR bytes = 0;
    memcpy(in, "abcdef", 6);
    EXPECT_EQ(Call(h, kBuffered, in, 6, out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), "abcdef");
    EXPECT_NE(state_.systemBuffer, nullptr);
    EXPECT_NE(state_.systemBuffer, static_cast<void*>(in));
    EXPECT_EQ(state_.mdl, nullptr);

    out[0] = 0x19;
    EXPECT_EQ(Call(h, kInDirect, in, 4, out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(state_.readThroughMdl, 0x19);
    EXPECT_EQ(Call(h, kOutDirect, in, 4, out, 8, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(out[7], 0x77);
    EXPECT_NE(state_.mdl, nullptr);
    EXPECT_EQ(Call(h, kOutDirect, in, 4, nullptr, 0, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(state_.mdl, nullptr); // none for a zero-length output buffer

    EXPECT_EQ(Call(h, kNeither, in, 4, out, 4, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(state_.type3, static_cast<void*>(in));
    EXPECT_EQ(state_.userBuffer, static_cast<void*>(out));
    EXPECT_EQ(out[3], 0x33);
    kernel().User().CloseHandle(h);
}

TEST_F(UserIoTest, AccessAndPageProtectionAreCheckedBeforeTheDriverSeesARequest) {
    UserIo::Handle reader = Open(UserIo::kGenericRead);
    ULONG_PTR bytes;
    EXPECT_EQ(Call(reader, kWriteOnly, nullptr, 0, nullptr, 0, &bytes), STATUS_ACCESS_DENIED);
    alignas(4096) static UCHAR page[4096];
    kernel().User().Protect(page, sizeof page, Protection::ReadOnly);
    state_.systemBuffer = nullptr;
    EXPECT_EQ(Call(reader, kBuffered, nullptr, 0, page, 8, &bytes), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Call(reader, kOutDirect, nullptr, 0, page, 8, &bytes), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(state_.systemBuffer, nullptr); // never reached the driver
    EXPECT_EQ(Call(reader, kInDirect, nullptr, 0, page, 8, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(Call(reader, kNeither, nullptr, 0, page, 8, &bytes), STATUS_ACCESS_VIOLATION);
    kernel().User().Protect(page, sizeof page, Protection::ReadWrite);
    kernel().User().CloseHandle(reader);
}

TEST_F(UserIoTest, CancelIoExReachesTheCancelRoutineAndCloseWaitsForTheRequest) {
    UserIo::Handle h = Open();
    Overlapped op, other;
    EXPECT_EQ(kernel().User().DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, &op),
              STATUS_PENDING);
    EXPECT_FALSE(op.Done());
    EXPECT_EQ(kernel().User().CancelIoEx(h, &other), (NTSTATUS)0xC0000225L); // not that one
    EXPECT_EQ(kernel().User().CancelIoEx(h, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(op.Done());
    EXPECT_EQ(op.Status(), STATUS_CANCELLED);

    EXPECT_EQ(kernel().User().DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, &op),
              STATUS_PENDING);
    kernel().User().CloseHandle(h);
    kernel().WaitIdle();
    EXPECT_EQ(state_.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    PIRP pending = state_.pending;
    ASSERT_NE(pending, nullptr);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(pending, nullptr);
    IoReleaseCancelSpinLock(irql);
    Done(pending, STATUS_SUCCESS, 0);
    kernel().WaitIdle();
    EXPECT_EQ(state_.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(UserIoTest, TheVerifierCatchesOverreportedBytesAndMismatchedStatuses) {
    UserIo::Handle h = Open();
    UCHAR out[4];
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Call(h, kOverReport, nullptr, 0, out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, sizeof out);
    EXPECT_EQ(Take(ViolationKind::Buffer), 1u);
    Call(h, kMisreport, nullptr, 0, nullptr, 0, &bytes);
    EXPECT_EQ(Take(ViolationKind::Dispatch), 1u);
    kernel().User().CloseHandle(h);
}

TEST_F(UserIoTest, WithoutCleanupAsOnWineOnlyCloseIsSent) {
    EXPECT_EQ(kernel().Pnp().RemoveDevice(pdo_), STATUS_SUCCESS);
    state_.majors.clear();
    ntsim::KernelOptions wine;
    wine.sendCleanup = false;
    Start(wine);
    Install();
    UserIo::Handle h = Open();
    kernel().User().CloseHandle(h);
    EXPECT_EQ(state_.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLOSE}));
}

} // namespace
