// The I/O manager between a simulated application and the driver: device-interface lookup,
// handles, device-control requests with the buffer rules of their methods, cancellation.
#include "Internal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kmdf::um {

class File : public sim::FileState {};

struct IoOperation::State : sim::IrpState {};

} // namespace kmdf::um

namespace kmdf::sim {

void World::Impl::CloseFileObject(DeviceNode* node, uintptr_t fileObject) {
    PFN_WDF_FILE_CLOSE close = nullptr;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!Find(fileObject))
            return; // deleted with its device
        close = node->fileConfig.EvtFileClose;
    }
    if (close)
        CallDriver(PASSIVE_LEVEL, node,
                   [&] { close(reinterpret_cast<WDFFILEOBJECT>(fileObject)); });
    std::unique_lock<std::mutex> lk(mu);
    if (Object* o = Find(fileObject))
        DeleteTree(o, lk);
}

} // namespace kmdf::sim

namespace kmdf::um {

using namespace kmdf::sim;

namespace {
bool SameGuid(const GUID& a, const void* b) {
    return std::memcmp(&a, b, sizeof(GUID)) == 0;
}
} // namespace

std::vector<std::string> FindDeviceInterfaces(const void* interfaceClassGuid) {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    std::vector<std::string> out;
    for (auto& n : w->nodes) {
        if (!n->interfacesEnabled)
            continue;
        for (auto& i : n->interfaces)
            if (SameGuid(i.first, interfaceClassGuid))
                out.push_back(i.second);
    }
    return out;
}

// Documented: CreateFile on a device interface makes a file object and sends a create request:
// the driver's EvtDeviceFileCreate completes it, and its status is the open's; without that
// callback the framework completes the create itself with success.
Status Open(const std::string& symbolicLink, std::uint32_t access, Handle* handle) {
    World::Impl* w = W();
    Activity busy(w);
    std::unique_lock<std::mutex> lk(w->mu);
    DeviceNode* n = nullptr;
    for (auto& node : w->nodes)
        for (auto& i : node->interfaces)
            if (i.second == symbolicLink)
                n = node.get();
    if (!n)
        return STATUS_NO_SUCH_DEVICE;
    if (n->state == PnpState::SurpriseRemoved)
        return STATUS_DELETE_PENDING;
    if (!n->interfacesEnabled || n->removing || !n->device)
        return STATUS_NO_SUCH_DEVICE;
    auto* fo = new Object(ObjKind::FileObject);
    fo->owner = n;
    if (n->fileAttributes.Size &&
        !w->AttachContext(fo, &n->fileAttributes, "WdfDeviceInitSetFileObjectConfig")) {
        delete fo;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const uintptr_t foh = w->Register(fo, n->device);
    if (PFN_WDF_DEVICE_FILE_CREATE create = n->fileConfig.EvtDeviceFileCreate) {
        auto* r = new Request;
        r->type = WdfRequestTypeCreate;
        r->st = Request::St::Driver;
        r->node = n;
        r->owner = n;
        r->irp = std::make_shared<IrpState>();
        r->irp->req = r;
        std::shared_ptr<IrpState> irp = r->irp;
        const uintptr_t rh = w->Register(r, nullptr);
        const uintptr_t dh = n->device->handle;
        lk.unlock();
        CallDriver(PASSIVE_LEVEL, n, [&] {
            create(reinterpret_cast<WDFDEVICE>(dh), reinterpret_cast<WDFREQUEST>(rh),
                   reinterpret_cast<WDFFILEOBJECT>(foh));
        });
        w->RunUntil([&] { return irp->done; }, "the create request");
        lk.lock();
        NTSTATUS status = irp->done ? irp->status : STATUS_UNSUCCESSFUL;
        Object* still = w->Find(foh);
        if (!NT_SUCCESS(status) || !still || n->removing) {
            // A refused create leaves no file object behind and runs no cleanup or close.
            if (still)
                w->DeleteTree(still, lk);
            return NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status;
        }
    }
    auto f = std::make_shared<File>();
    f->node = n;
    f->access = access;
    f->fileObject = foh;
    n->openHandles++;
    w->Event(n->name + " opened");
    *handle = f;
    return STATUS_SUCCESS;
}

void Close(const Handle& handle) {
    if (!handle)
        return;
    World::Impl* w = W();
    Activity busy(w);
    DeviceNode* n = handle->node;
    PFN_WDF_FILE_CLEANUP cleanup = nullptr;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        if (handle->closed)
            return;
        handle->closed = true;
        if (w->Find(handle->fileObject))
            cleanup = n->fileConfig.EvtFileCleanup;
    }
    // Documented: EvtFileCleanup runs when the handle is closed, before the framework cancels
    // the handle's requests still waiting in its queues.
    if (cleanup)
        CallDriver(PASSIVE_LEVEL, n,
                   [&] { cleanup(reinterpret_cast<WDFFILEOBJECT>(handle->fileObject)); });
    DeviceNode* removeNow = nullptr;
    bool closeNow = false;
    {
        std::unique_lock<std::mutex> lk(w->mu);
        std::vector<Request*> queued;
        for (IrpState* irp : handle->outstanding)
            if (irp->req && irp->req->st == Request::St::Queued)
                queued.push_back(irp->req);
        for (Request* r : queued) {
            auto& wq = r->queue->waiting;
            wq.erase(std::remove(wq.begin(), wq.end(), r), wq.end());
            w->CompleteRequest(r, STATUS_CANCELLED, 0);
        }
        // The close waits for the requests the driver still holds.
        closeNow = handle->outstanding.empty();
        handle->closeWaits = !closeNow;
        n->openHandles--;
        w->Event(n->name + " closed");
        if (n->openHandles == 0 && n->removePending) {
            n->removePending = false;
            removeNow = n;
        }
    }
    if (closeNow)
        w->CloseFileObject(n, handle->fileObject);
    if (removeNow)
        removeNow->Remove();
    else
        w->UpdateIdle(n);
}

IoOperation::IoOperation() : state_(std::make_shared<State>()) {
    state_->done = true;
}
IoOperation::~IoOperation() = default;

bool IoOperation::Done() const {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    return state_->done;
}

Status IoOperation::GetStatus() const {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    return state_->status;
}

std::uint64_t IoOperation::Information() const {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    return state_->info;
}

Status IoOperation::Wait() {
    World::Impl* w = W();
    auto s = state_;
    w->RunUntil([&] { return s->done; }, "an I/O request");
    return GetStatus();
}

Status IoOperation::WaitWithoutAdvancing() {
    World::Impl* w = W();
    std::unique_lock<std::mutex> lk(w->mu);
    auto s = state_;
    w->cv.wait(lk, [&] { return s->done; });
    return s->status;
}

Status DeviceIoControlAsync(const Handle& handle, std::uint32_t code, const void* inBuffer,
                            std::uint32_t inLength, void* outBuffer, std::uint32_t outLength,
                            IoOperation* operation) {
    World::Impl* w = W();
    Activity busy(w);
    auto irp = operation->state_;
    DeviceNode* node;
    uintptr_t qh = 0, rh = 0, dh = 0;
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        irp->done = false;
        irp->info = 0;
        irp->req = nullptr;
        irp->file = nullptr;
        auto fail = [&](NTSTATUS s) {
            irp->status = s;
            irp->done = true;
            return s;
        };
        if (!handle || handle->closed)
            return fail(STATUS_INVALID_HANDLE);
        node = handle->node;
        if (node->state == PnpState::SurpriseRemoved || node->removing)
            return fail(STATUS_DELETE_PENDING);
        if (node->state == PnpState::Removed || node->state == PnpState::FailedStart ||
            !node->device)
            return fail(STATUS_NO_SUCH_DEVICE);
        // Documented: the I/O manager checks the control code's required access against the
        // handle's.
        std::uint32_t need = (code >> 14) & 3;
        if ((need & handle->access) != need)
            return fail(STATUS_ACCESS_DENIED);
        if ((inLength && !inBuffer) || (outLength && !outBuffer))
            return fail(STATUS_INVALID_PARAMETER);
        // Documented: the output buffer is probed for write access where the method lets the
        // driver write it through the I/O manager's own mapping; METHOD_IN_DIRECT locks it for
        // read access only.
        std::uint32_t method = code & 3;
        if ((method == METHOD_BUFFERED || method == METHOD_OUT_DIRECT) &&
            w->ReadOnly(outBuffer, outLength))
            return fail(STATUS_ACCESS_VIOLATION);
        if (!node->defaultQueue)
            return fail(STATUS_INVALID_DEVICE_REQUEST);
        auto* r = new Request;
        r->node = node;
        r->code = code;
        r->method = code & 3;
        r->inLen = inLength;
        r->outLen = outLength;
        r->userIn = inBuffer;
        r->userOut = outBuffer;
        r->irp = irp;
        r->file = handle;
        r->owner = node;
        switch (r->method) {
        case METHOD_BUFFERED:
            r->systemBuffer.assign(std::max(inLength, outLength), 0);
            if (inLength)
                std::memcpy(r->systemBuffer.data(), inBuffer, inLength);
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            // Documented: the input buffer is copied to a system buffer; the output buffer is
            // locked and described by an MDL (none when its length is zero).
            if (inLength)
                r->systemBuffer.assign(static_cast<const uint8_t*>(inBuffer),
                                       static_cast<const uint8_t*>(inBuffer) + inLength);
            if (!outLength)
                r->userOut = nullptr;
            break;
        default:
            break;
        }
        r->wdmIrp.Type = 6; // IO_TYPE_IRP
        r->wdmIrp.Size = sizeof(IRP);
        r->wdmIrp.RequestorMode = UserMode;
        r->wdmIrp.AssociatedIrp.SystemBuffer =
            r->systemBuffer.empty() ? nullptr : r->systemBuffer.data();
        r->wdmIrp.UserBuffer = outBuffer;
        if (node->requestAttributes.Size &&
            !w->AttachContext(r, &node->requestAttributes, "WdfDeviceInitSetRequestAttributes")) {
            delete r;
            return fail(STATUS_INSUFFICIENT_RESOURCES);
        }
        w->Register(r, nullptr);
        irp->req = r;
        irp->file = handle.get();
        irp->status = STATUS_PENDING;
        handle->outstanding.insert(irp.get());
        Queue* q = node->defaultQueue;
        qh = q->handle;
        if (node->inCallerContext) {
            r->st = Request::St::Driver;
            r->inCallerContext = true;
            inCallerContext = node->inCallerContext;
            rh = r->handle;
            dh = node->device->handle;
        } else {
            r->queue = q;
            q->waiting.push_back(r);
        }
    }
    if (inCallerContext) {
        // Documented: EvtIoInCallerContext runs in the sending thread at PASSIVE_LEVEL; the
        // driver enqueues the request or completes it.
        CallDriver(PASSIVE_LEVEL, node, [&] {
            inCallerContext(reinterpret_cast<WDFDEVICE>(dh), reinterpret_cast<WDFREQUEST>(rh));
        });
        std::unique_lock<std::mutex> lk(w->mu);
        Object* o = w->Find(rh);
        if (o && static_cast<Request*>(o)->inCallerContext) {
            lk.unlock();
            w->Violation("EvtIoInCallerContext returned without enqueuing or completing the "
                         "request");
            lk.lock();
            if ((o = w->Find(rh)) && static_cast<Request*>(o)->inCallerContext)
                w->CompleteRequest(static_cast<Request*>(o), STATUS_UNSUCCESSFUL, 0);
        }
    }
    w->UpdateIdle(node);
    w->PowerUp(node);
    w->KickQueue(qh);
    std::lock_guard<std::mutex> lk(w->mu);
    return irp->done ? irp->status : STATUS_PENDING;
}

Status DeviceIoControl(const Handle& handle, std::uint32_t code, const void* inBuffer,
                       std::uint32_t inLength, void* outBuffer, std::uint32_t outLength,
                       std::uint32_t* bytesReturned) {
    IoOperation op;
    Status s = DeviceIoControlAsync(handle, code, inBuffer, inLength, outBuffer, outLength, &op);
    if (s == STATUS_PENDING)
        s = op.Wait();
    if (bytesReturned)
        *bytesReturned = static_cast<std::uint32_t>(op.Information());
    return s;
}

// Documented: IRP cancellation: the framework completes a request still in its queue with
// STATUS_CANCELLED; a request sent to a lower driver is cancelled there; a request the driver
// holds without a cancel routine is not affected.
Status CancelIo(const Handle& handle, IoOperation* operation) {
    World::Impl* w = W();
    Activity busy(w);
    std::vector<std::shared_ptr<Transfer>> cancel;
    std::vector<uintptr_t> kick;
    bool found = false;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        if (!handle || handle->closed)
            return STATUS_INVALID_HANDLE;
        std::vector<IrpState*> targets;
        for (IrpState* irp : handle->outstanding)
            if (!operation || irp == operation->state_.get())
                targets.push_back(irp);
        for (IrpState* irp : targets) {
            Request* r = irp->req;
            if (!r)
                continue;
            found = true;
            r->cancelRequested = true;
            if (r->st == Request::St::Queued) {
                auto& wq = r->queue->waiting;
                wq.erase(std::remove(wq.begin(), wq.end(), r), wq.end());
                kick.push_back(r->queue->handle);
                w->CompleteRequest(r, STATUS_CANCELLED, 0);
            } else if (r->st == Request::St::Sent) {
                // At the bus, or held by a stopped target, which gives it back cancelled.
                if (auto tr = w->EndingTransfer(r))
                    cancel.push_back(tr);
            }
        }
    }
    for (auto& tr : cancel)
        w->CancelTransfer(tr);
    for (uintptr_t h : kick)
        w->KickQueue(h);
    if (handle)
        w->UpdateIdle(handle->node);
    return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

namespace {
void Protect(const void* address, std::size_t length, bool readOnly) {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    // The range is cut out of every read-only range it overlaps, then added when read-only.
    std::vector<std::pair<uintptr_t, size_t>> kept;
    for (const auto& r : w->readOnly) {
        uintptr_t end = r.first + r.second;
        if (end <= a || a + length <= r.first) {
            kept.push_back(r);
            continue;
        }
        if (r.first < a)
            kept.emplace_back(r.first, a - r.first);
        if (a + length < end)
            kept.emplace_back(a + length, end - (a + length));
    }
    if (readOnly && length)
        kept.emplace_back(a, length);
    w->readOnly = std::move(kept);
}
} // namespace

void ProtectReadOnly(const void* address, std::size_t length) {
    Protect(address, length, true);
}

void ProtectReadWrite(const void* address, std::size_t length) {
    Protect(address, length, false);
}

std::uint32_t NtStatusToWin32Error(Status status) {
    switch (static_cast<std::uint32_t>(status)) {
    case 0x00000000:
        return 0; // ERROR_SUCCESS
    case 0x00000103:
        return 997; // ERROR_IO_PENDING
    case 0xC0000001:
        return 31; // ERROR_GEN_FAILURE
    case 0xC0000008:
        return 6; // ERROR_INVALID_HANDLE
    case 0xC000000D:
        return 87; // ERROR_INVALID_PARAMETER
    case 0xC0000005:
        return 998; // ERROR_NOACCESS
    case 0xC000000E:
        return 433; // ERROR_NO_SUCH_DEVICE
    case 0xC0000010:
        return 1; // ERROR_INVALID_FUNCTION
    case 0xC0000022:
        return 5; // ERROR_ACCESS_DENIED
    case 0xC0000023:
        return 122; // ERROR_INSUFFICIENT_BUFFER
    case 0xC0000056:
        return 5; // ERROR_ACCESS_DENIED
    case 0xC000009A:
        return 1450; // ERROR_NO_SYSTEM_RESOURCES
    case 0xC000009D:
        return 1167; // ERROR_DEVICE_NOT_CONNECTED
    case 0xC00000A3:
        return 21; // ERROR_NOT_READY
    case 0xC00000B5:
        return 121; // ERROR_SEM_TIMEOUT
    case 0xC00000BB:
        return 50; // ERROR_NOT_SUPPORTED
    case 0xC00000E8:
        return 1784; // ERROR_INVALID_USER_BUFFER
    case 0xC0000120:
        return 995; // ERROR_OPERATION_ABORTED
    case 0xC0000184:
        return 22; // ERROR_BAD_COMMAND
    case 0xC0000225:
        return 1168; // ERROR_NOT_FOUND
    case 0xC00002B6:
        return 1617; // ERROR_DEVICE_REMOVED
    default:
        return 317; // ERROR_MR_MID_NOT_FOUND
    }
}

} // namespace kmdf::um
