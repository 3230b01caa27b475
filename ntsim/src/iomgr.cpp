// The I/O manager for user-mode callers: opening a device interface, device-control requests
// with the buffer rules of each transfer method, overlapped completion, CancelIoEx, and the
// cleanup and close of a handle (close waits for the handle's requests, as the file object's
// last reference does on the platform).
#include "Internal.h"

#include <algorithm>
#include <cstdlib>

using namespace ntsim;
using namespace ntsim::detail;

#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)

namespace {

constexpr ULONG kSystemBufferTag = 'bIsN';
constexpr CSHORT kIoTypeFile = 5;

struct Request;

struct FileRecord {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    bool read = false;
    bool write = false;
    std::mutex mu;
    std::vector<std::shared_ptr<Request>> outstanding;
    bool closed = false;
    bool closing = false; // IRP_MJ_CLOSE sent (it is the file's last request)
};

struct Request {
    PIRP irp = nullptr;
    std::shared_ptr<FileRecord> file;
    std::shared_ptr<Overlapped::State> result;
    ULONG method = METHOD_BUFFERED;
    void* out = nullptr;
    ULONG outLength = 0;
    std::mutex mu;
    bool completed = false;
    bool returned = false;
    bool released = false;
    int pins = 0;
    NTSTATUS returnedStatus = STATUS_PENDING;
    bool pendingReturned = false;
};

void SendClose(const std::shared_ptr<FileRecord>& file);

} // namespace

struct Overlapped::State {
    mutable std::mutex mu;
    std::condition_variable changed;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

struct UserIo::Impl {
    std::mutex mu;
    std::map<UserIo::Handle, std::shared_ptr<FileRecord>> handles;
    UserIo::Handle next = 1;

    std::shared_ptr<FileRecord> Find(UserIo::Handle handle) {
        std::lock_guard<std::mutex> lock(mu);
        auto found = handles.find(handle);
        return found == handles.end() ? nullptr : found->second;
    }
};

namespace {

// The IRP goes once it has both completed and come back from IoCallDriver, and no CancelIoEx is
// using it.
void TryRelease(const std::shared_ptr<Request>& request) {
    {
        std::lock_guard<std::mutex> lock(request->mu);
        if (!request->completed || !request->returned || request->pins > 0 || request->released)
            return;
        request->released = true;
    }
    ReleaseIrp(request->irp);
}

void Finish(const std::shared_ptr<Request>& request, PIRP irp) {
    ULONG_PTR info = irp->IoStatus.Information;
    NTSTATUS status = irp->IoStatus.Status;
    if (info > request->outLength) {
        Violate(ViolationKind::Buffer, "IRP completed with " + std::to_string(info) +
                                           " bytes for an output buffer of " +
                                           std::to_string(request->outLength));
        info = request->outLength;
    }
    bool error = (static_cast<ULONG>(status) >> 30) == 3;
    if (request->method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer != nullptr &&
        !error && info > 0)
        memcpy(request->out, irp->AssociatedIrp.SystemBuffer, info);
    if (irp->AssociatedIrp.SystemBuffer != nullptr)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    if (irp->MdlAddress != nullptr) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(request->mu);
        request->completed = true;
        request->pendingReturned = irp->PendingReturned != FALSE;
        if (request->returned && request->returnedStatus == STATUS_PENDING &&
            !request->pendingReturned)
            Violate(ViolationKind::Dispatch,
                    "STATUS_PENDING returned for an IRP not marked pending (IoMarkIrpPending)");
    }
    {
        std::lock_guard<std::mutex> lock(request->result->mu);
        request->result->status = status;
        request->result->information = error ? 0 : info;
        request->result->done = true;
    }
    request->result->changed.notify_all();
    std::shared_ptr<FileRecord> file = request->file;
    bool closeNow = false;
    {
        std::lock_guard<std::mutex> lock(file->mu);
        auto& list = file->outstanding;
        list.erase(std::remove(list.begin(), list.end(), request), list.end());
        closeNow = file->closed && list.empty() && !file->closing;
        file->closing = file->closing || closeNow;
    }
    if (closeNow)
        K().work.Post([file] { SendClose(file); });
    TryRelease(request);
}

struct Buffers {
    ULONG method = METHOD_BUFFERED;
    const void* in = nullptr;
    ULONG inLength = 0;
    void* out = nullptr;
    ULONG outLength = 0;
};

// Prepares the caller's buffers as the method says; a buffer the caller may not access fails the
// request before any IRP is sent.
NTSTATUS PrepareBuffers(PIRP irp, const Buffers& b) {
    irp->UserBuffer = b.out;
    try {
        if (b.method == METHOD_NEITHER) {
            IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer =
                const_cast<void*>(b.in);
            return STATUS_SUCCESS;
        }
        K().memory.ProbeUser(b.in, b.inLength, false);
        ULONG systemLength = b.inLength;
        if (b.method == METHOD_BUFFERED) {
            K().memory.ProbeUser(b.out, b.outLength, true);
            systemLength = std::max(b.inLength, b.outLength);
        }
        if (systemLength > 0) {
            void* system = ExAllocatePoolWithTag(NonPagedPool, systemLength, kSystemBufferTag);
            if (system == nullptr)
                return STATUS_INSUFFICIENT_RESOURCES;
            if (b.inLength > 0)
                memcpy(system, b.in, b.inLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (b.method == METHOD_BUFFERED && b.outLength > 0)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        if (b.method != METHOD_BUFFERED && b.outLength > 0) {
            PMDL mdl = IoAllocateMdl(b.out, b.outLength, FALSE, FALSE, irp);
            try {
                MmProbeAndLockPages(mdl, UserMode,
                                    b.method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
            } catch (const RaisedStatus&) {
                IoFreeMdl(mdl);
                irp->MdlAddress = nullptr;
                throw;
            }
            // Wine, like the platform after mapping, hands the driver a system address.
            mdl->MappedSystemVa = b.out;
            mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        }
    } catch (const RaisedStatus& raised) {
        if (irp->AssociatedIrp.SystemBuffer != nullptr)
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        return raised.status;
    }
    return STATUS_SUCCESS;
}

// Sends one IRP of the handle and returns what IoCallDriver returned (the request's final state
// is in `result`).
NTSTATUS Issue(const std::shared_ptr<FileRecord>& file, UCHAR major, ULONG code,
               const Buffers& buffers, const std::shared_ptr<Overlapped::State>& result) {
    // The stack was removed under an open handle: the device object is gone, its requests fail.
    if (IsDeleted(file->top)) {
        std::lock_guard<std::mutex> lock(result->mu);
        result->status = major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP ? STATUS_SUCCESS
                                                                          : STATUS_DELETE_PENDING;
        result->done = true;
        return result->status;
    }
    PIRP irp = IoAllocateIrp(file->top->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file->file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file->file;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = buffers.inLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = buffers.outLength;
        NTSTATUS prepared = PrepareBuffers(irp, buffers);
        if (!NT_SUCCESS(prepared)) {
            IoFreeIrp(irp);
            return prepared;
        }
    }
    auto request = std::make_shared<Request>();
    request->irp = irp;
    request->file = file;
    request->result = result;
    request->method = buffers.method;
    request->out = buffers.out;
    request->outLength = buffers.outLength;
    {
        std::lock_guard<std::mutex> lock(file->mu);
        file->outstanding.push_back(request);
    }
    SetIrpFinish(irp, [request](PIRP done) { Finish(request, done); });
    // Removal may delete the device between the check above and this call (a close deferred to
    // the worker thread races the PnP thread's removal).
    const NTSTATUS refusal =
        major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    NTSTATUS returned = CallDriver(file->top, irp, &refusal);
    {
        std::lock_guard<std::mutex> lock(request->mu);
        request->returned = true;
        request->returnedStatus = returned;
        if (returned != STATUS_PENDING && !request->completed)
            Violate(ViolationKind::Dispatch, "a dispatch routine returned " + Hex(ULONG(returned)) +
                                                 " without completing the IRP");
        if (request->completed && returned == STATUS_PENDING && !request->pendingReturned)
            Violate(ViolationKind::Dispatch,
                    "STATUS_PENDING returned for an IRP not marked pending (IoMarkIrpPending)");
        if (request->completed && returned != STATUS_PENDING) {
            std::lock_guard<std::mutex> resultLock(result->mu);
            if (result->status != returned)
                Violate(ViolationKind::Dispatch,
                        "a dispatch routine returned " + Hex(ULONG(returned)) +
                            " but completed the IRP with " + Hex(ULONG(result->status)));
        }
    }
    TryRelease(request);
    return returned;
}

NTSTATUS WaitFor(const std::shared_ptr<Overlapped::State>& result, ULONG_PTR* information) {
    std::unique_lock<std::mutex> lock(result->mu);
    result->changed.wait(lock, [&] { return result->done; });
    if (information != nullptr)
        *information = result->information;
    return result->status;
}

NTSTATUS IssueSync(const std::shared_ptr<FileRecord>& file, UCHAR major) {
    auto result = std::make_shared<Overlapped::State>();
    NTSTATUS returned = Issue(file, major, 0, Buffers{}, result);
    if (returned != STATUS_PENDING && !result->done)
        return returned;
    return WaitFor(result, nullptr);
}

void SendClose(const std::shared_ptr<FileRecord>& file) {
    IssueSync(file, IRP_MJ_CLOSE);
    ObDereferenceObject(file->top);
    std::free(file->file);
    file->file = nullptr;
}

} // namespace

// ------------------------------------------------------------------------ public interface
Overlapped::Overlapped() : state_(std::make_shared<State>()) {}
Overlapped::~Overlapped() = default;
bool Overlapped::Done() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->done;
}
NTSTATUS Overlapped::Status() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->done ? state_->status : STATUS_PENDING;
}
ULONG_PTR Overlapped::Information() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->information;
}
NTSTATUS Overlapped::Wait() {
    return WaitFor(state_, nullptr);
}

std::vector<std::string> UserIo::FindInterfaces(const GUID& interfaceClass) const {
    return EnabledInterfaces(interfaceClass);
}

NTSTATUS UserIo::CreateFile(const std::string& path, ULONG access, Handle* handle) {
    PDEVICE_OBJECT pdo = FindEnabledInterface(path);
    if (pdo == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto file = std::make_shared<FileRecord>();
    file->top = IoGetAttachedDeviceReference(pdo);
    file->read = (access & kGenericRead) != 0;
    file->write = (access & kGenericWrite) != 0;
    file->file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->file->Type = kIoTypeFile;
    file->file->Size = sizeof(FILE_OBJECT);
    file->file->DeviceObject = pdo;
    file->file->ReadAccess = file->read;
    file->file->WriteAccess = file->write;
    KeInitializeEvent(&file->file->Event, NotificationEvent, FALSE);
    KeInitializeEvent(&file->file->Lock, SynchronizationEvent, FALSE);
    NTSTATUS status = IssueSync(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(file->top);
        std::free(file->file);
        return status;
    }
    std::lock_guard<std::mutex> lock(impl_->mu);
    *handle = impl_->next++;
    impl_->handles[*handle] = file;
    return STATUS_SUCCESS;
}

NTSTATUS UserIo::DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength,
                                 void* out, ULONG outLength, Overlapped* overlapped) {
    std::shared_ptr<FileRecord> file = impl_->Find(handle);
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    ULONG access = (code >> 14) & 3;
    if (((access & FILE_READ_ACCESS) && !file->read) ||
        ((access & FILE_WRITE_ACCESS) && !file->write))
        return STATUS_ACCESS_DENIED;
    {
        std::lock_guard<std::mutex> lock(overlapped->state_->mu);
        overlapped->state_->done = false;
        overlapped->state_->status = STATUS_PENDING;
        overlapped->state_->information = 0;
    }
    Buffers buffers{METHOD_FROM_CTL_CODE(code), in, inLength, out, outLength};
    NTSTATUS returned = Issue(file, IRP_MJ_DEVICE_CONTROL, code, buffers, overlapped->state_);
    return returned;
}

NTSTATUS UserIo::DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength,
                                 void* out, ULONG outLength, ULONG_PTR* bytesReturned) {
    Overlapped overlapped;
    NTSTATUS status = DeviceIoControl(handle, code, in, inLength, out, outLength, &overlapped);
    if (status == STATUS_PENDING || overlapped.Done())
        status = overlapped.Wait();
    if (bytesReturned != nullptr)
        *bytesReturned = overlapped.Done() ? overlapped.Information() : 0;
    return status;
}

NTSTATUS UserIo::CancelIoEx(Handle handle, Overlapped* overlapped) {
    std::shared_ptr<FileRecord> file = impl_->Find(handle);
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    std::vector<std::shared_ptr<Request>> chosen;
    {
        std::lock_guard<std::mutex> lock(file->mu);
        for (auto& request : file->outstanding)
            if (overlapped == nullptr || request->result == overlapped->state_) {
                // Completed on one thread and back from IoCallDriver on another, it may be freed
                // before its completion takes it off this list.
                std::lock_guard<std::mutex> requestLock(request->mu);
                if (request->released)
                    continue;
                ++request->pins;
                chosen.push_back(request);
            }
    }
    for (auto& request : chosen) {
        IoCancelIrp(request->irp);
        {
            std::lock_guard<std::mutex> lock(request->mu);
            --request->pins;
        }
        TryRelease(request);
    }
    return chosen.empty() ? STATUS_NOT_FOUND : STATUS_SUCCESS;
}

NTSTATUS UserIo::CloseHandle(Handle handle) {
    std::shared_ptr<FileRecord> file;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        auto found = impl_->handles.find(handle);
        if (found == impl_->handles.end())
            return STATUS_INVALID_HANDLE;
        file = found->second;
        impl_->handles.erase(found);
    }
    if (K().options.sendCleanup)
        IssueSync(file, IRP_MJ_CLEANUP);
    bool closeNow;
    {
        std::lock_guard<std::mutex> lock(file->mu);
        file->closed = true;
        closeNow = file->outstanding.empty();
        file->closing = closeNow;
    }
    if (closeNow)
        SendClose(file);
    return STATUS_SUCCESS;
}

void UserIo::Protect(const void* address, size_t length, Protection protection) {
    K().memory.Protect(address, length, protection);
}

namespace ntsim::detail {
UserIo::Impl* NewUserIo() {
    return new UserIo::Impl;
}
void DeleteUserIo(UserIo::Impl* impl) {
    delete impl;
}
} // namespace ntsim::detail
