// Queues, requests, I/O targets, the USB target objects, S0 idle, and the virtual bus with the
// colorimeter behind it.
#include "Internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kmdf::sim {

// ------------------------------------------------------------------------ queues and idle
size_t World::Impl::DriverOwnedCount(DeviceNode* node) {
    size_t n = 0;
    for (Queue* q : node->queues)
        if (q->powerManaged)
            n += static_cast<size_t>(q->delivered);
    return n;
}

// Documented: a device on S0 idle is idle only when its power-managed queues hold nothing,
// requests the driver received and sent on included.
size_t World::Impl::PowerManagedCount(DeviceNode* node) {
    size_t n = 0;
    for (Queue* q : node->queues)
        if (q->powerManaged)
            n += q->waiting.size() + static_cast<size_t>(q->delivered);
    return n;
}

bool World::Impl::CanDeliver(Queue* q) {
    DeviceNode* n = q->node;
    if (q->waiting.empty() || n->removing || n->state != PnpState::Started)
        return false;
    if (q->powerManaged && (n->power != PowerState::D0 || n->queuesHeld))
        return false;
    if (q->config.DispatchType == WdfIoQueueDispatchSequential && q->delivered > 0)
        return false;
    return true;
}

void World::Impl::CompleteRequest(Request* req, NTSTATUS status, ULONG_PTR info) {
    if (req->st == Request::St::Driver && req->queue)
        req->queue->delivered--;
    req->st = Request::St::Completed;
    if (req->irp) {
        IrpState& irp = *req->irp;
        if (req->method == METHOD_BUFFERED && req->userOut && info)
            std::memcpy(req->userOut, req->systemBuffer.data(),
                        std::min<size_t>(info, std::min(req->outLen, req->systemBuffer.size())));
        irp.status = status;
        irp.info = info;
        irp.done = true;
        irp.req = nullptr;
        if (req->file) {
            FileState& f = *req->file;
            f.outstanding.erase(&irp);
            // Documented: the close comes once the closed handle's last request is done; the
            // framework runs EvtFileClose at PASSIVE_LEVEL, here from the clock at this time.
            if (f.closed && f.closeWaits && f.outstanding.empty()) {
                f.closeWaits = false;
                DeviceNode* node = f.node;
                uintptr_t fo = f.fileObject;
                clock.Schedule(clock.Now(), [this, node, fo] { CloseFileObject(node, fo); });
            }
        }
    }
    for (Object* c : std::vector<Object*>(req->children))
        EraseObject(c);
    requestsCompleted++;
    EraseObject(req);
    cv.notify_all();
}

void World::Impl::KickQueue(uintptr_t h) {
    ThreadState& t = Thread();
    WDF_EXECUTION_LEVEL level;
    {
        std::lock_guard<std::mutex> lk(mu);
        Object* o = Find(h);
        if (!o)
            return;
        level = static_cast<Queue*>(o)->effectiveLevel;
    }
    // Documented: callbacks of a queue at WdfExecutionLevelPassive run at PASSIVE_LEVEL (from a
    // work item when the framework is at DISPATCH_LEVEL); a dispatch-level queue may deliver
    // the next request right in the completing thread, at its IRQL.
    if ((t.irql > PASSIVE_LEVEL && level == WdfExecutionLevelPassive) ||
        (t.depth > 0 && t.irql == PASSIVE_LEVEL)) {
        t.deferred.push_back([this, h] { RunQueue(h); });
        return;
    }
    RunQueue(h);
}

void World::Impl::KickAll(DeviceNode* node) {
    std::vector<uintptr_t> qs;
    {
        std::lock_guard<std::mutex> lk(mu);
        for (Queue* q : node->queues)
            qs.push_back(q->handle);
    }
    for (uintptr_t h : qs)
        KickQueue(h);
}

void World::Impl::RunQueue(uintptr_t h) {
    std::unique_lock<std::mutex> lk(mu);
    Object* o = Find(h);
    if (!o)
        return;
    Queue* q = static_cast<Queue*>(o);
    bool sequential = q->config.DispatchType == WdfIoQueueDispatchSequential;
    if (sequential) {
        if (q->loopActive) {
            q->rerun = true;
            return;
        }
        q->loopActive = true;
    }
    for (;;) {
        while (CanDeliver(q)) {
            Request* r = q->waiting.front();
            q->waiting.pop_front();
            r->st = Request::St::Driver;
            r->queue = q;
            r->inDispatch = true;
            uint64_t delivery = ++r->deliveries;
            q->delivered++;
            auto handler = q->config.EvtIoDeviceControl;
            auto dflt = q->config.EvtIoDefault;
            uintptr_t rh = r->handle;
            size_t outLen = r->outLen, inLen = r->inLen;
            ULONG code = r->code;
            DeviceNode* node = q->node;
            if (!handler && !dflt) {
                // Documented: a request the queue has no handler for is failed by the framework.
                CompleteRequest(r, STATUS_INVALID_DEVICE_REQUEST, 0);
                continue;
            }
            lk.unlock();
            CallDriver(Thread().irql, node, [&] {
                if (handler)
                    handler(reinterpret_cast<WDFQUEUE>(h), reinterpret_cast<WDFREQUEST>(rh), outLen,
                            inLen, code);
                else
                    dflt(reinterpret_cast<WDFQUEUE>(h), reinterpret_cast<WDFREQUEST>(rh));
            });
            lk.lock();
            Object* ro = Find(rh);
            if (ro && static_cast<Request*>(ro)->deliveries == delivery) {
                auto* req = static_cast<Request*>(ro);
                req->inDispatch = false;
                // Sent on and already back (its completion routine may run on another thread).
                bool sent = req->sentInDelivery == delivery;
                if (req->st == Request::St::Driver && !sent) {
                    lk.unlock();
                    Violation(std::string("EvtIoDeviceControl returned without completing, "
                                          "forwarding or sending the request") +
                              (req->sendFailed ? " (its send had failed)" : ""));
                    lk.lock();
                    // Finished here so the test can go on.
                    if ((ro = Find(rh)) && req->st == Request::St::Driver)
                        CompleteRequest(req, STATUS_UNSUCCESSFUL, 0);
                }
            }
            if (!Find(h))
                return;
        }
        if (sequential && q->rerun) {
            q->rerun = false;
            continue;
        }
        break;
    }
    if (sequential)
        q->loopActive = false;
    lk.unlock();
    UpdateIdle(q->node);
}

void World::Impl::UpdateIdle(DeviceNode* node) {
    std::lock_guard<std::mutex> lk(mu);
    bool idleNow = node->state == PnpState::Started && node->power == PowerState::D0 &&
                   !node->busy && !node->removing && node->idle.assigned &&
                   node->idle.enabled != WdfFalse && PowerManagedCount(node) == 0;
    if (idleNow && !node->idleTimer) {
        uint64_t gen = ++node->idleGen;
        node->idleTimer = clock.Schedule(
            clock.Now() + static_cast<int64_t>(node->idle.idleTimeoutMs) * kTicksPerMs,
            [this, node, gen] { IdleFired(node, gen); });
    } else if (!idleNow && node->idleTimer) {
        clock.Cancel(node->idleTimer);
        node->idleTimer = 0;
    }
}

// Documented: after IdleTimeout ms without I/O the framework takes the device out of D0 (USB
// selective suspend: the lowest Dx from which it can wake).
void World::Impl::IdleFired(DeviceNode* node, uint64_t gen) {
    {
        std::lock_guard<std::mutex> lk(mu);
        if (node->idleGen != gen || !node->idleTimer)
            return;
        node->idleTimer = 0;
        if (node->state != PnpState::Started || node->power != PowerState::D0 || node->busy ||
            node->removing || PowerManagedCount(node) != 0)
            return;
        node->busy = true;
        Event(node->name + " idle for " + std::to_string(node->idle.idleTimeoutMs) + " ms");
    }
    PowerDown(node, WdfPowerDeviceD2, false);
    {
        std::lock_guard<std::mutex> lk(mu);
        node->idleDx = true;
    }
    FinishBusy(node);
}

// Documented: a request arriving on a power-managed queue of an idle device brings it back to
// D0 before the request is delivered.
void World::Impl::PowerUp(DeviceNode* node) {
    uintptr_t h;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (node->state != PnpState::Started || node->power != PowerState::Dx || !node->idleDx ||
            node->sleeping || node->busy || node->removing)
            return;
        node->busy = true;
        node->d0Entries++;
        h = node->device->handle;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (auto cb = node->pnp.EvtDeviceD0Entry)
        status = CallPnp(node, "EvtDeviceD0Entry(D2)",
                         [&] { return cb(reinterpret_cast<WDFDEVICE>(h), WdfPowerDeviceD2); });
    if (!NT_SUCCESS(status)) {
        // Documented: a device that cannot return to D0 is failed and removed.
        ReleaseHardware(node);
        TearDown(node, PnpState::FailedStart);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(mu);
        node->power = PowerState::D0;
        node->idleDx = false;
        node->queuesHeld = false;
    }
    FinishBusy(node);
}

// ------------------------------------------------------------------------ the virtual bus
void World::Impl::Submit(uintptr_t h) {
    std::unique_lock<std::mutex> lk(mu);
    Object* o = Find(h);
    if (!o)
        return;
    auto* r = static_cast<Request*>(o);
    if (r->st != Request::St::Sent || !r->onBus || r->transfer)
        return;
    ColorimeterImpl& dev = r->node->usb;
    auto tr = std::make_shared<Transfer>();
    tr->id = nextTransfer++;
    tr->req = r;
    tr->device = &dev;
    r->transfer = tr;
    TransferRecord rec;
    rec.submittedMs = static_cast<uint64_t>(clock.Now() / kTicksPerMs);
    SetupPacket setup;
    std::vector<uint8_t> hostData;
    NTSTATUS early = STATUS_SUCCESS;
    USBD_STATUS earlyUsbd = USBD_STATUS_SUCCESS;
    auto* pipe =
        r->fmt == Request::Fmt::PipeRead ? static_cast<UsbPipeObj*>(r->formatTarget) : nullptr;
    if (r->fmt == Request::Fmt::Urb) {
        auto* base = static_cast<uint8_t*>(r->fmtMemory->buffer) + r->fmtOffset;
        URB* urb = reinterpret_cast<URB*>(base);
        // Documented (USB stack): it reads and completes URBs at DISPATCH_LEVEL.
        std::string paged =
            PagedAtDispatch(base, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                            DISPATCH_LEVEL, "a URB handed to the USB stack");
        if (!paged.empty())
            Violation(paged);
        auto& c = urb->UrbControlVendorClassRequest;
        USHORT fn = urb->UrbHeader.Function;
        uint8_t type = 0, recipient = 0;
        bool known = true;
        switch (fn) {
        case URB_FUNCTION_VENDOR_DEVICE:
            type = 0x40;
            break;
        case URB_FUNCTION_VENDOR_INTERFACE:
            type = 0x40, recipient = 1;
            break;
        case URB_FUNCTION_VENDOR_ENDPOINT:
            type = 0x40, recipient = 2;
            break;
        case URB_FUNCTION_VENDOR_OTHER:
            type = 0x40, recipient = 3;
            break;
        case URB_FUNCTION_CLASS_DEVICE:
            type = 0x20;
            break;
        case URB_FUNCTION_CLASS_INTERFACE:
            type = 0x20, recipient = 1;
            break;
        case URB_FUNCTION_CLASS_ENDPOINT:
            type = 0x20, recipient = 2;
            break;
        case URB_FUNCTION_CLASS_OTHER:
            type = 0x20, recipient = 3;
            break;
        default:
            known = false;
        }
        bool in = c.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
        // Documented (USB stack): the URB header gives the URB's length and function; a data
        // stage needs a buffer, and wLength is 16 bits.
        if (!known || r->fmtMemory->size - r->fmtOffset < sizeof(c) ||
            urb->UrbHeader.Length < sizeof(c)) {
            early = STATUS_INVALID_PARAMETER;
            earlyUsbd = USBD_STATUS_INVALID_URB_FUNCTION;
        } else if (c.TransferBufferLength > 0xFFFF ||
                   (c.TransferBufferLength && !c.TransferBuffer)) {
            early = STATUS_INVALID_PARAMETER;
            earlyUsbd = USBD_STATUS_INVALID_PARAMETER;
        }
        setup.bmRequestType =
            static_cast<uint8_t>((in ? 0x80 : 0) | type | recipient | c.RequestTypeReservedBits);
        setup.bRequest = c.Request;
        setup.wValue = c.Value;
        setup.wIndex = c.Index;
        setup.wLength = static_cast<uint16_t>(c.TransferBufferLength);
        tr->isControl = true;
        tr->in = in;
        tr->urb = urb;
        tr->buffer = static_cast<uint8_t*>(c.TransferBuffer);
        tr->length = early ? 0 : c.TransferBufferLength;
        if (!in && tr->buffer && tr->length)
            hostData.assign(tr->buffer, tr->buffer + tr->length);
        rec.kind = TransferRecord::Kind::Control;
        rec.setup = setup;
        rec.requestedLength = tr->length;
        rec.dataOut = hostData;
    } else {
        tr->isControl = false;
        tr->in = true;
        tr->endpoint = pipe->ep.bEndpointAddress;
        tr->buffer = static_cast<uint8_t*>(r->fmtMemory->buffer) + r->fmtOffset;
        tr->length = static_cast<uint32_t>(r->fmtLength);
        rec.kind = pipe->type == WdfUsbPipeTypeInterrupt ? TransferRecord::Kind::InterruptIn
                                                         : TransferRecord::Kind::BulkIn;
        rec.endpoint = tr->endpoint;
        rec.requestedLength = tr->length;
    }
    dev.Record(rec);
    tr->record = dev.trafficBase + dev.traffic.size() - 1;
    if (dev.detached) {
        lk.unlock();
        CompleteTransfer(tr, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, 0, nullptr);
        return;
    }
    if (r->cancelRequested) {
        lk.unlock();
        CancelTransfer(tr);
        return;
    }
    if (early) {
        lk.unlock();
        CompleteTransfer(tr, early, earlyUsbd, 0, nullptr);
        return;
    }
    if (!tr->isControl) {
        if (pipe->type == WdfUsbPipeTypeInterrupt && !dev.interruptData.empty()) {
            std::vector<uint8_t> data = std::move(dev.interruptData.front());
            dev.interruptData.pop_front();
            lk.unlock();
            DeliverInterrupt(tr, data);
        } else {
            dev.pendingReads.push_back(tr);
        }
        return;
    }
    VendorHandler handler = dev.handler;
    lk.unlock();
    ControlReply reply;
    if (handler)
        reply = handler(setup, hostData);
    else
        reply = (setup.bmRequestType & 0x80)
                    ? ControlReply::Data(std::vector<uint8_t>(setup.wLength, 0))
                    : ControlReply::Ack();
    ApplyReply(tr, reply);
}

void World::Impl::ApplyReply(const std::shared_ptr<Transfer>& tr, const ControlReply& reply) {
    if (!reply.answer || reply.delayMs) {
        std::lock_guard<std::mutex> lk(mu);
        if (tr->done)
            return;
        if (!reply.answer) {
            tr->device->pendingControl.push_back(tr);
            return;
        }
        ControlReply later = reply;
        later.delayMs = 0;
        tr->delayTimer =
            clock.Schedule(clock.Now() + reply.delayMs * kTicksPerMs, [this, tr, later] {
                {
                    std::lock_guard<std::mutex> l2(mu);
                    tr->delayTimer = 0;
                }
                ApplyReply(tr, later);
            });
        return;
    }
    bool in = tr->in;
    bool ok = NT_SUCCESS(reply.ntStatus) && USBD_SUCCESS(reply.usbdStatus);
    uint32_t bytes = 0;
    if (in) {
        bytes = static_cast<uint32_t>(std::min<size_t>(reply.data.size(), tr->length));
    } else if (reply.acceptedOut >= 0) {
        bytes = static_cast<uint32_t>(std::min<int64_t>(reply.acceptedOut, tr->length));
    } else if (ok) {
        bytes = tr->length;
    }
    CompleteTransfer(tr, reply.ntStatus, reply.usbdStatus, bytes, in ? &reply.data : nullptr);
}

void World::Impl::DeliverInterrupt(const std::shared_ptr<Transfer>& tr,
                                   const std::vector<uint8_t>& data) {
    // Documented (USB): a device that sends more than the buffer holds babbles; the transfer
    // fails with the bytes the controller took before it, a full buffer.
    if (data.size() > tr->length)
        CompleteTransfer(tr, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, tr->length, &data);
    else
        CompleteTransfer(tr, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
                         static_cast<uint32_t>(data.size()), &data);
}

void World::Impl::CompleteTransfer(const std::shared_ptr<Transfer>& tr, NTSTATUS nt,
                                   USBD_STATUS usbd, uint32_t bytes,
                                   const std::vector<uint8_t>* dataIn) {
    Request* r;
    bool writeProtected = false;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (tr->done)
            return;
        tr->done = true;
        if (tr->delayTimer) {
            clock.Cancel(tr->delayTimer);
            tr->delayTimer = 0;
        }
        ColorimeterImpl& dev = *tr->device;
        auto& pr = dev.pendingReads;
        pr.erase(std::remove(pr.begin(), pr.end(), tr), pr.end());
        auto& pc = dev.pendingControl;
        pc.erase(std::remove(pc.begin(), pc.end(), tr), pc.end());
        r = tr->req;
        if (dataIn && tr->buffer && bytes) {
            size_t n = std::min<size_t>(bytes, dataIn->size());
            if (ReadOnly(tr->buffer, n))
                writeProtected = true;
            std::memcpy(tr->buffer, dataIn->data(), n);
        }
        if (tr->urb) {
            tr->urb->UrbHeader.Status = usbd;
            tr->urb->UrbControlVendorClassRequest.TransferBufferLength = bytes;
        }
        if (tr->record >= dev.trafficBase && tr->record - dev.trafficBase < dev.traffic.size()) {
            TransferRecord& rec = dev.traffic[tr->record - dev.trafficBase];
            rec.completed = true;
            rec.cancelled = nt == STATUS_CANCELLED;
            rec.completedMs = static_cast<uint64_t>(clock.Now() / kTicksPerMs);
            rec.ntStatus = nt;
            rec.usbdStatus = usbd;
            rec.bytes = bytes;
            if (dataIn)
                rec.dataIn.assign(dataIn->begin(),
                                  dataIn->begin() + std::min<size_t>(bytes, dataIn->size()));
        }
    }
    if (writeProtected)
        Violation("the device wrote into memory the caller may only read");
    FinishSent(r, nt, usbd, bytes);
}

void World::Impl::CancelTransfer(const std::shared_ptr<Transfer>& tr) {
    CompleteTransfer(tr, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, nullptr);
}

std::shared_ptr<Transfer> World::Impl::EndingTransfer(Request* r) {
    if (r->transfer)
        return r->transfer;
    if (r->onBus)
        return nullptr; // Submit has not made its transfer yet
    auto& hq = r->sentTo->held;
    hq.erase(std::remove(hq.begin(), hq.end(), r), hq.end());
    auto tr = std::make_shared<Transfer>();
    tr->req = r;
    tr->device = &r->node->usb;
    tr->record = SIZE_MAX;
    r->transfer = tr;
    r->onBus = true;
    return tr;
}

// Documented: a request sent with a timeout whose timer fires first is cancelled and completes
// with STATUS_IO_TIMEOUT; if the target completes first, its status stands.
void World::Impl::TimeoutFired(uintptr_t h, uint64_t seq) {
    std::shared_ptr<Transfer> tr;
    {
        std::lock_guard<std::mutex> lk(mu);
        Object* o = Find(h);
        if (!o)
            return;
        auto* r = static_cast<Request*>(o);
        if (r->st != Request::St::Sent || r->sendSeq != seq)
            return;
        r->timer = 0;
        r->timedOut = true;
        tr = EndingTransfer(r);
        if (!tr) {
            r->cancelRequested = true; // on its way to the bus
            return;
        }
    }
    CancelTransfer(tr);
}

void World::Impl::FinishSent(Request* r, NTSTATUS nt, USBD_STATUS usbd, uint32_t bytes) {
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine;
    WDFCONTEXT ctx;
    uintptr_t h, th;
    DeviceNode* node;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (r->st != Request::St::Sent)
            return;
        if (r->timedOut && nt == STATUS_CANCELLED)
            nt = STATUS_IO_TIMEOUT;
        if (r->timer) {
            clock.Cancel(r->timer);
            r->timer = 0;
        }
        IoTarget* t = r->sentTo;
        t->sent.erase(std::remove(t->sent.begin(), t->sent.end(), r), t->sent.end());
        t->held.erase(std::remove(t->held.begin(), t->held.end(), r), t->held.end());
        r->sentTo = nullptr;
        r->onBus = false;
        r->transfer.reset();
        r->st = Request::St::Driver;
        r->status = nt;
        r->cparams = WDF_REQUEST_COMPLETION_PARAMS{};
        r->cparams.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
        r->cparams.Type = WdfRequestTypeUsb;
        r->cparams.IoStatus.Status = nt;
        r->cparams.IoStatus.Information = 0;
        r->uparams = WDF_USB_REQUEST_COMPLETION_PARAMS{};
        r->uparams.UsbdStatus = usbd;
        if (r->fmt == Request::Fmt::Urb) {
            r->uparams.Type = WdfUsbRequestTypeDeviceUrb;
            r->uparams.Parameters.DeviceUrb.Buffer =
                reinterpret_cast<WDFMEMORY>(r->fmtMemory->handle);
        } else {
            r->uparams.Type = WdfUsbRequestTypePipeRead;
            r->uparams.Parameters.PipeRead.Buffer =
                reinterpret_cast<WDFMEMORY>(r->fmtMemory->handle);
            r->uparams.Parameters.PipeRead.Length = bytes;
            r->uparams.Parameters.PipeRead.Offset = r->fmtOffset;
        }
        r->cparams.Parameters.Usb.Completion = &r->uparams;
        routine = r->routine;
        ctx = r->routineContext;
        h = r->handle;
        th = t->handle;
        node = r->node;
        cv.notify_all();
    }
    // Documented: completion routines may run at DISPATCH_LEVEL.
    if (routine) {
        CallDriver(DISPATCH_LEVEL, node, [&] {
            routine(reinterpret_cast<WDFREQUEST>(h), reinterpret_cast<WDFIOTARGET>(th), &r->cparams,
                    ctx);
        });
    } else {
        uintptr_t qh = 0;
        {
            std::lock_guard<std::mutex> lk(mu);
            if (r->queue && r->queue->config.DispatchType == WdfIoQueueDispatchSequential)
                qh = r->queue->handle;
            CompleteRequest(r, nt, 0);
        }
        if (qh)
            KickQueue(qh);
        UpdateIdle(node);
        return;
    }
    std::unique_lock<std::mutex> lk(mu);
    Object* o = Find(h);
    if (o && static_cast<Request*>(o)->st == Request::St::Driver &&
        static_cast<Request*>(o)->sendFailed) {
        lk.unlock();
        Violation("a completion routine left a request whose send failed uncompleted");
    }
}

// ------------------------------------------------------------------------ the colorimeter
ControlReply ControlReply::Data(std::vector<uint8_t> bytes) {
    ControlReply r;
    r.data = std::move(bytes);
    return r;
}
ControlReply ControlReply::Ack() {
    return ControlReply{};
}
ControlReply ControlReply::Stall() {
    ControlReply r;
    r.ntStatus = STATUS_UNSUCCESSFUL;
    r.usbdStatus = USBD_STATUS_STALL_PID;
    return r;
}
ControlReply ControlReply::UsbError(int32_t usbd) {
    ControlReply r;
    r.ntStatus = STATUS_UNSUCCESSFUL;
    r.usbdStatus = usbd;
    return r;
}
ControlReply ControlReply::Custom(Status nt, int32_t usbd, std::vector<uint8_t> bytes) {
    ControlReply r;
    r.ntStatus = nt;
    r.usbdStatus = usbd;
    r.data = std::move(bytes);
    return r;
}
ControlReply ControlReply::NoAnswer() {
    ControlReply r;
    r.answer = false;
    return r;
}

std::string TransferRecord::ToString() const {
    char head[160];
    std::string s;
    if (kind == Kind::Control) {
        std::snprintf(head, sizeof head, "%6llu ms  CONTROL  %02X %02X %04X %04X %04X",
                      static_cast<unsigned long long>(submittedMs), setup.bmRequestType,
                      setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
    } else {
        std::snprintf(head, sizeof head, "%6llu ms  %s ep %02X len %u",
                      static_cast<unsigned long long>(submittedMs),
                      kind == Kind::InterruptIn ? "INTR-IN " : "BULK    ", endpoint,
                      requestedLength);
    }
    s = head;
    auto hex = [](const std::vector<uint8_t>& d) {
        std::string out;
        char b[4];
        for (size_t i = 0; i < d.size() && i < 32; ++i) {
            std::snprintf(b, sizeof b, "%02X", d[i]);
            out += (i ? " " : "") + std::string(b);
        }
        if (d.size() > 32)
            out += " ...";
        return out;
    };
    if (!dataOut.empty())
        s += "  out[" + hex(dataOut) + "]";
    if (!completed) {
        s += "  (pending)";
        return s;
    }
    if (!dataIn.empty())
        s += "  in[" + hex(dataIn) + "]";
    char tail[96];
    std::snprintf(tail, sizeof tail, "  -> %u bytes, status %08X, USB status %08X%s", bytes,
                  static_cast<unsigned>(ntStatus), static_cast<unsigned>(usbdStatus),
                  cancelled ? " (cancelled)" : "");
    return s + tail;
}

ColorimeterImpl::ColorimeterImpl(const ColorimeterConfig& cfg) : config(cfg) {}

void ColorimeterImpl::SetVendorHandler(VendorHandler h) {
    std::lock_guard<std::mutex> lk(node->w->mu);
    handler = std::move(h);
}

void ColorimeterImpl::PushInterrupt(std::vector<uint8_t> bytes) {
    World::Impl* w = node->w;
    Activity busy(w);
    std::shared_ptr<Transfer> tr;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        if (pendingReads.empty() || detached) {
            interruptData.push_back(std::move(bytes));
            return;
        }
        tr = pendingReads.front();
        pendingReads.pop_front();
    }
    w->DeliverInterrupt(tr, bytes);
}

size_t ColorimeterImpl::PendingInterruptReads() const {
    std::lock_guard<std::mutex> lk(node->w->mu);
    return pendingReads.size();
}

std::vector<TransferRecord> ColorimeterImpl::Traffic() const {
    std::lock_guard<std::mutex> lk(node->w->mu);
    return {traffic.begin(), traffic.end()};
}

void ColorimeterImpl::Record(TransferRecord rec) {
    if (traffic.size() >= kLogLimit) {
        traffic.pop_front();
        trafficBase++;
    }
    traffic.push_back(std::move(rec));
}

void ColorimeterImpl::ClearTraffic() {
    std::lock_guard<std::mutex> lk(node->w->mu);
    trafficBase += traffic.size();
    traffic.clear();
}

// Documented: a suspended device that signals resume is brought back to D0.
void ColorimeterImpl::SignalRemoteWake() {
    Activity busy(node->w);
    node->w->PowerUp(node);
}

std::vector<uint8_t> ColorimeterImpl::DeviceDescriptor() const {
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x00,
            0x02,
            0xFF,
            0,
            0,
            64,
            static_cast<uint8_t>(config.vendorId & 0xff),
            static_cast<uint8_t>(config.vendorId >> 8),
            static_cast<uint8_t>(config.productId & 0xff),
            static_cast<uint8_t>(config.productId >> 8),
            0x00,
            0x01,
            1,
            2,
            0,
            1};
}

std::vector<uint8_t> ColorimeterImpl::ConfigurationDescriptor() const {
    std::vector<uint8_t> d = {9,
                              USB_CONFIGURATION_DESCRIPTOR_TYPE,
                              0,
                              0,
                              static_cast<uint8_t>(config.hasInterface ? 1 : 0),
                              1,
                              0,
                              static_cast<uint8_t>(0x80 | (config.selfPowered ? 0x40 : 0) |
                                                   (config.remoteWake ? 0x20 : 0)),
                              50};
    if (config.hasInterface) {
        d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0,
                           static_cast<uint8_t>(config.pipes.size()), 0xFF, 0, 0, 0});
        uint8_t nextIn = 1, nextOut = 1;
        for (const PipeConfig& p : config.pipes) {
            uint8_t addr = p.in ? static_cast<uint8_t>(0x80 | (nextIn++ & 0x0f))
                                : static_cast<uint8_t>(nextOut++ & 0x0f);
            uint8_t attr = p.kind == PipeKind::Control       ? USB_ENDPOINT_TYPE_CONTROL
                           : p.kind == PipeKind::Isochronous ? USB_ENDPOINT_TYPE_ISOCHRONOUS
                           : p.kind == PipeKind::Bulk        ? USB_ENDPOINT_TYPE_BULK
                                                             : USB_ENDPOINT_TYPE_INTERRUPT;
            d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, addr, attr,
                               static_cast<uint8_t>(p.maxPacketSize & 0xff),
                               static_cast<uint8_t>(p.maxPacketSize >> 8), p.interval});
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xff);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

size_t ColorimeterImpl::LogStandard(uint8_t bm, uint8_t req, uint16_t value, uint16_t index,
                                    uint16_t length) {
    TransferRecord rec;
    rec.kind = TransferRecord::Kind::Control;
    rec.submittedMs = rec.completedMs = static_cast<uint64_t>(node->w->clock.Now() / kTicksPerMs);
    rec.setup = SetupPacket{bm, req, value, index, length};
    rec.requestedLength = length;
    rec.completed = true;
    if (bm & 0x80) {
        std::vector<uint8_t> d = value >> 8 == USB_DEVICE_DESCRIPTOR_TYPE
                                     ? DeviceDescriptor()
                                     : ConfigurationDescriptor();
        d.resize(std::min<size_t>(d.size(), length));
        rec.dataIn = d;
        rec.bytes = static_cast<uint32_t>(d.size());
    }
    Record(rec);
    return trafficBase + traffic.size() - 1;
}

} // namespace kmdf::sim

using namespace kmdf::sim;

namespace {
World::Impl* Wd() {
    return W();
}

Request* Owned(WDFREQUEST handle, const char* api) {
    World::Impl* w = Wd();
    Object* o = w->Lookup(handle, ObjKind::Request, api);
    if (!o)
        return nullptr;
    auto* r = static_cast<Request*>(o);
    if (r->st != Request::St::Driver) {
        w->Violation(std::string(api) + ": the request is " +
                     (r->st == Request::St::Queued ? "in a queue" : "sent to a target") +
                     ", not owned by the driver");
        return nullptr;
    }
    return r;
}

DeviceNode* NodeOfDevice(WDFDEVICE Device, const char* api) {
    Object* o = Wd()->Lookup(Device, ObjKind::Device, api);
    return o ? static_cast<DeviceObj*>(o)->node : nullptr;
}

IoTarget* TargetOf(const void* handle, const char* api) {
    Object* o = Wd()->LookupAny(handle, api);
    if (!o)
        return nullptr;
    if (o->kind != ObjKind::UsbDevice && o->kind != ObjKind::UsbPipe) {
        Wd()->Violation(std::string(api) + ": a " + KindName(o->kind) + " is not an I/O target");
        return nullptr;
    }
    return static_cast<IoTarget*>(o);
}

// Documented: the framework makes one pipe object per endpoint descriptor of the selected
// setting, as the device's configuration descriptor lists them.
void MakePipes(World::Impl* w, UsbInterfaceObj* iface, ColorimeterImpl& dev) {
    std::vector<uint8_t> d = dev.ConfigurationDescriptor();
    bool inSetting = false;
    for (size_t at = 0; at + 2 <= d.size() && d[at] >= 2; at += d[at]) {
        if (d[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            inSetting = d[at + 2] == iface->number && d[at + 3] == iface->setting;
            continue;
        }
        if (!inSetting || d[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || at + 7 > d.size())
            continue;
        auto* pipe = new UsbPipeObj;
        pipe->node = iface->usb->node;
        std::memcpy(&pipe->ep, &d[at], sizeof pipe->ep);
        switch (pipe->ep.bmAttributes & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_CONTROL:
            pipe->type = WdfUsbPipeTypeControl;
            break;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS:
            pipe->type = WdfUsbPipeTypeIsochronous;
            break;
        case USB_ENDPOINT_TYPE_BULK:
            pipe->type = WdfUsbPipeTypeBulk;
            break;
        default:
            pipe->type = WdfUsbPipeTypeInterrupt;
        }
        pipe->owner = iface->owner;
        w->Register(pipe, iface);
        iface->pipes.push_back(pipe);
    }
}
} // namespace

// ------------------------------------------------------------------------ queues
// Documented: creates a queue of the device; WdfUseDefault power management makes it
// power-managed for the device's power-policy owner; a default queue receives every request
// not dispatched elsewhere.
NTSTATUS imp_WdfIoQueueCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                              PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfIoQueueCreate", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOfDevice(Device, "WdfIoQueueCreate");
    if (!n || !Config || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        w->Violation("WdfIoQueueCreate: bad device or WDF_IO_QUEUE_CONFIG");
        return STATUS_INVALID_PARAMETER;
    }
    if ((Config->DefaultQueue && n->defaultQueue) ||
        Config->DispatchType == WdfIoQueueDispatchManual ||
        Config->DispatchType == WdfIoQueueDispatchInvalid ||
        Config->DispatchType >= WdfIoQueueDispatchMax) {
        w->Violation("WdfIoQueueCreate: a second default queue or a dispatch type this layer "
                     "does not model");
        return STATUS_INVALID_PARAMETER;
    }
    // Documented: a queue takes an execution level and synchronisation scope from 1.9 on.
    if (QueueAttributes && !w->BoundAtLeast(1, 9) &&
        (QueueAttributes->ExecutionLevel > WdfExecutionLevelInheritFromParent ||
         QueueAttributes->SynchronizationScope > WdfSynchronizationScopeInheritFromParent)) {
        w->Violation("WdfIoQueueCreate: ExecutionLevel and SynchronizationScope of a queue need "
                     "KmdfLibrary 1.9; the driver bound to " +
                     w->BoundVersion());
        return STATUS_INVALID_PARAMETER;
    }
    auto* q = new kmdf::sim::Queue;
    q->node = n;
    q->config = *Config;
    q->powerManaged = Config->PowerManaged != WdfFalse;
    if (!w->AttachContext(q, QueueAttributes, "WdfIoQueueCreate")) {
        delete q;
        return STATUS_INVALID_PARAMETER;
    }
    w->Register(q, n->device);
    q->effectiveLevel = w->EffectiveLevel(q);
    n->queues.push_back(q);
    if (Config->DefaultQueue)
        n->defaultQueue = q;
    w->Event(n->name + " WdfIoQueueCreate " +
             (Config->DispatchType == WdfIoQueueDispatchParallel ? "parallel" : "sequential") +
             (q->powerManaged ? " power-managed" : "") + (Config->DefaultQueue ? " default" : "") +
             (q->effectiveLevel == WdfExecutionLevelPassive ? " passive" : ""));
    if (Queue)
        *Queue = reinterpret_cast<WDFQUEUE>(q->handle);
    return STATUS_SUCCESS;
}

// Documented: the device the queue belongs to.
WDFDEVICE imp_WdfIoQueueGetDevice(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Queue, ObjKind::Queue, "WdfIoQueueGetDevice");
    if (!o)
        return nullptr;
    return reinterpret_cast<WDFDEVICE>(static_cast<kmdf::sim::Queue*>(o)->node->device->handle);
}

// ------------------------------------------------------------------------ requests
// Documented: the input buffer (the system buffer for buffered and direct methods); fails with
// STATUS_BUFFER_TOO_SMALL when it is shorter than the minimum or has length zero.
NTSTATUS imp_WdfRequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                           size_t MinimumRequiredLength, PVOID* Buffer,
                                           size_t* Length) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfRequestRetrieveInputBuffer", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    kmdf::sim::Request* r = Owned(Request, "WdfRequestRetrieveInputBuffer");
    if (!r)
        return STATUS_INVALID_PARAMETER;
    if (r->method == METHOD_NEITHER)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (r->inLen == 0 || r->inLen < MinimumRequiredLength)
        return STATUS_BUFFER_TOO_SMALL;
    *Buffer = r->systemBuffer.data();
    if (Length)
        *Length = r->inLen;
    return STATUS_SUCCESS;
}

// Documented: the output buffer (the system buffer for METHOD_BUFFERED, the MDL's system address
// for the direct methods); STATUS_BUFFER_TOO_SMALL when shorter than the minimum or empty.
NTSTATUS imp_WdfRequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                            size_t MinimumRequiredSize, PVOID* Buffer,
                                            size_t* Length) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfRequestRetrieveOutputBuffer", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    kmdf::sim::Request* r = Owned(Request, "WdfRequestRetrieveOutputBuffer");
    if (!r)
        return STATUS_INVALID_PARAMETER;
    if (r->method == METHOD_NEITHER)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (r->outLen == 0 || r->outLen < MinimumRequiredSize)
        return STATUS_BUFFER_TOO_SMALL;
    *Buffer =
        r->method == METHOD_BUFFERED ? static_cast<void*>(r->systemBuffer.data()) : r->userOut;
    if (Length)
        *Length = r->outLen;
    return STATUS_SUCCESS;
}

// Documented: a memory object for the output buffer, valid until the request completes;
// STATUS_BUFFER_TOO_SMALL for a zero-length output buffer (no MDL).
NTSTATUS imp_WdfRequestRetrieveOutputMemory(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                            WDFMEMORY* Memory) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfRequestRetrieveOutputMemory", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    kmdf::sim::Request* r = Owned(Request, "WdfRequestRetrieveOutputMemory");
    if (!r)
        return STATUS_INVALID_PARAMETER;
    if (r->method == METHOD_NEITHER)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (r->outLen == 0)
        return STATUS_BUFFER_TOO_SMALL;
    if (!r->outMemory) {
        auto* m = new MemoryObj;
        m->buffer =
            r->method == METHOD_BUFFERED ? static_cast<void*>(r->systemBuffer.data()) : r->userOut;
        m->size = r->outLen;
        m->ownerRequest = r;
        m->owner = r->node;
        w->Register(m, r);
        r->outMemory = m;
    }
    *Memory = reinterpret_cast<WDFMEMORY>(r->outMemory->handle);
    return STATUS_SUCCESS;
}

// Documented: fills the parameters of the request's I/O operation; Size must be set.
VOID imp_WdfRequestGetParameters(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                 PWDF_REQUEST_PARAMETERS Parameters) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Request, ObjKind::Request, "WdfRequestGetParameters");
    if (!o)
        return;
    auto* r = static_cast<kmdf::sim::Request*>(o);
    if (Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        w->Violation("WdfRequestGetParameters: Size is wrong (not initialised?)");
        return;
    }
    Parameters->MinorFunction = 0;
    Parameters->Type = r->type;
    if (r->type != WdfRequestTypeDeviceControl) {
        std::memset(&Parameters->Parameters, 0, sizeof Parameters->Parameters);
        return;
    }
    Parameters->Parameters.DeviceIoControl.OutputBufferLength = r->outLen;
    Parameters->Parameters.DeviceIoControl.InputBufferLength = r->inLen;
    Parameters->Parameters.DeviceIoControl.IoControlCode = r->code;
    Parameters->Parameters.DeviceIoControl.Type3InputBuffer =
        r->method == METHOD_NEITHER ? const_cast<void*>(r->userIn) : nullptr;
}

// Documented: the routine runs when a target completes the sent request; NULL removes it.
VOID imp_WdfRequestSetCompletionRoutine(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                        PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                        WDFCONTEXT CompletionContext) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Request, ObjKind::Request, "WdfRequestSetCompletionRoutine");
    if (!o)
        return;
    auto* r = static_cast<kmdf::sim::Request*>(o);
    r->routine = CompletionRoutine;
    r->routineContext = CompletionContext;
}

// Documented: TRUE when the request was handed to the target (a stopped target holds it);
// FALSE leaves the request with the driver, its status telling why. With the timeout option
// the framework cancels the request when the time runs out.
BOOLEAN imp_WdfRequestSend(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFIOTARGET Target,
                           PWDF_REQUEST_SEND_OPTIONS Options) {
    World::Impl* w = Wd();
    CheckIrql("WdfRequestSend", DISPATCH_LEVEL);
    uintptr_t h;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        kmdf::sim::Request* r = Owned(Request, "WdfRequestSend");
        if (!r)
            return FALSE;
        IoTarget* t = TargetOf(Target, "WdfRequestSend");
        if (!t) {
            r->status = STATUS_INVALID_PARAMETER;
            r->sendFailed = true;
            return FALSE;
        }
        if (r->fmt == Request::Fmt::None || r->formatTarget != t) {
            w->Violation("WdfRequestSend: the request was not formatted for this target");
            r->status = STATUS_INVALID_DEVICE_REQUEST;
            r->sendFailed = true;
            return FALSE;
        }
        if (Options && Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
            w->Violation("WdfRequestSend: WDF_REQUEST_SEND_OPTIONS.Size is wrong");
            r->status = STATUS_INVALID_PARAMETER;
            r->sendFailed = true;
            return FALSE;
        }
        if (Options && (Options->Flags & (WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                          WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET))) {
            w->Violation("WdfRequestSend: synchronous and send-and-forget sends are not modelled");
            r->status = STATUS_NOT_SUPPORTED;
            r->sendFailed = true;
            return FALSE;
        }
        h = r->handle;
    }
    NTSTATUS injected;
    if (w->faults.Check("WdfRequestSend", &injected)) {
        std::lock_guard<std::mutex> lk(w->mu);
        auto* r = static_cast<kmdf::sim::Request*>(w->Find(h));
        r->status = injected;
        r->sendFailed = true;
        return FALSE;
    }
    bool hold;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        auto* r = static_cast<kmdf::sim::Request*>(w->Find(h));
        IoTarget* t = r->formatTarget;
        if (t->ts == IoTarget::TS::Removed) {
            r->status = STATUS_INVALID_DEVICE_STATE;
            r->sendFailed = true;
            return FALSE;
        }
        r->sendFailed = false;
        r->sentInDelivery = r->deliveries;
        r->timedOut = false;
        r->cancelRequested = r->irp && r->cancelRequested;
        r->st = Request::St::Sent;
        r->sentTo = t;
        t->sent.push_back(r);
        uint64_t seq = ++r->sendSeq;
        // Documented: a negative timeout is relative, a positive one an absolute time (here on
        // the virtual clock), and 0 never expires.
        if (Options && (Options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && Options->Timeout) {
            int64_t now = w->clock.Now();
            int64_t at = Options->Timeout < 0 ? now - Options->Timeout : Options->Timeout;
            r->timer = w->clock.Schedule(at, [w, h, seq] { w->TimeoutFired(h, seq); });
        }
        hold = t->ts == IoTarget::TS::Stopped &&
               !(Options && (Options->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE));
        if (hold) {
            t->held.push_back(r);
            w->Event("request held by a stopped target");
        } else {
            r->onBus = true;
        }
    }
    if (!hold)
        w->Submit(h);
    return TRUE;
}

// Documented: the request's current status (after a failed send: why it failed).
NTSTATUS imp_WdfRequestGetStatus(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Request, ObjKind::Request, "WdfRequestGetStatus");
    return o ? static_cast<kmdf::sim::Request*>(o)->status : STATUS_INVALID_PARAMETER;
}

// Documented: completes the request once; afterwards it belongs to its originator and must
// not be touched. The byte count must fit the buffer the request carries.
VOID imp_WdfRequestCompleteWithInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, NTSTATUS Status,
                                           ULONG_PTR Information) {
    World::Impl* w = Wd();
    CheckIrql("WdfRequestCompleteWithInformation", DISPATCH_LEVEL);
    uintptr_t qh = 0;
    DeviceNode* node;
    {
        std::unique_lock<std::mutex> lk(w->mu);
        kmdf::sim::Request* r = Owned(Request, "WdfRequestCompleteWithInformation");
        if (!r)
            return;
        size_t limit = r->outLen;
        if (Information > limit) {
            lk.unlock();
            w->Violation("WdfRequestCompleteWithInformation: " + std::to_string(Information) +
                         " bytes reported, the buffer holds " + std::to_string(limit));
            lk.lock();
            Information = limit;
        }
        // Only a sequential queue has room for its next request now; a parallel one delivers
        // as requests arrive (and after power transitions), at PASSIVE_LEVEL.
        if (r->queue && r->queue->config.DispatchType == WdfIoQueueDispatchSequential)
            qh = r->queue->handle;
        node = r->node;
        if (r->sendFailed && r->routine)
            w->Event("request completed after a failed send with its completion routine set");
        w->CompleteRequest(r, Status, Information);
    }
    if (qh)
        w->KickQueue(qh);
    w->UpdateIdle(node);
}

// Documented: WdfRequestCompleteWithInformation with 0 bytes.
VOID imp_WdfRequestComplete(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, NTSTATUS Status) {
    imp_WdfRequestCompleteWithInformation(nullptr, Request, Status, 0);
}

// Documented: moves a request the driver owns into another queue of the same device; the
// framework delivers it from there.
NTSTATUS imp_WdfRequestForwardToIoQueue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                        WDFQUEUE DestinationQueue) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfRequestForwardToIoQueue", DISPATCH_LEVEL, &status))
        return status;
    uintptr_t src, dst;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        kmdf::sim::Request* r = Owned(Request, "WdfRequestForwardToIoQueue");
        Object* qo = w->Lookup(DestinationQueue, ObjKind::Queue, "WdfRequestForwardToIoQueue");
        if (!r || !qo)
            return STATUS_INVALID_PARAMETER;
        auto* q = static_cast<kmdf::sim::Queue*>(qo);
        if (!r->queue || q == r->queue || q->node != r->node)
            return STATUS_INVALID_DEVICE_REQUEST;
        // Documented: a queue purged for the device's removal accepts no more requests.
        if (q->node->state == PnpState::SurpriseRemoved || q->node->removing)
            return STATUS_WDF_BUSY;
        src = r->queue->handle;
        dst = q->handle;
        r->queue->delivered--;
        r->queue = q;
        r->st = Request::St::Queued;
        q->waiting.push_back(r);
    }
    w->KickQueue(src);
    w->KickQueue(dst);
    return STATUS_SUCCESS;
}

// Documented: from EvtIoInCallerContext, hands the request to the device's queues (the default
// queue here); a queue of a device being removed accepts nothing.
NTSTATUS imp_WdfDeviceEnqueueRequest(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, WDFREQUEST Request) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfDeviceEnqueueRequest", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOfDevice(Device, "WdfDeviceEnqueueRequest");
    kmdf::sim::Request* r = Owned(Request, "WdfDeviceEnqueueRequest");
    if (!n || !r)
        return STATUS_INVALID_PARAMETER;
    if (!r->inCallerContext || r->node != n) {
        w->Violation("WdfDeviceEnqueueRequest: the request is not in EvtIoInCallerContext of "
                     "this device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (n->state == PnpState::SurpriseRemoved || n->removing || !n->defaultQueue)
        return STATUS_WDF_BUSY;
    r->inCallerContext = false;
    r->st = Request::St::Queued;
    r->queue = n->defaultQueue;
    n->defaultQueue->waiting.push_back(r);
    return STATUS_SUCCESS;
}

// Documented: in EvtIoInCallerContext only (the caller's address space), at PASSIVE_LEVEL:
// probes the caller's buffer for write access and locks it; the memory object describes it until
// the request completes. A buffer the caller cannot write fails with STATUS_ACCESS_VIOLATION.
NTSTATUS imp_WdfRequestProbeAndLockUserBufferForWrite(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                                      PVOID Buffer, size_t Length,
                                                      WDFMEMORY* MemoryObject) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfRequestProbeAndLockUserBufferForWrite", PASSIVE_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    const char* api = "WdfRequestProbeAndLockUserBufferForWrite";
    kmdf::sim::Request* r = Owned(Request, api);
    if (!r || !MemoryObject)
        return STATUS_INVALID_PARAMETER;
    if (!r->inCallerContext) {
        w->Violation(std::string(api) + ": outside EvtIoInCallerContext");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Length == 0)
        return STATUS_INVALID_USER_BUFFER;
    if (!Buffer || w->ReadOnly(Buffer, Length))
        return STATUS_ACCESS_VIOLATION;
    auto* m = new MemoryObj;
    m->buffer = Buffer;
    m->size = Length;
    m->ownerRequest = r;
    m->owner = r->node;
    w->Register(m, r);
    *MemoryObject = reinterpret_cast<WDFMEMORY>(m->handle);
    return STATUS_SUCCESS;
}

// Documented: the WDM IRP behind the request.
PIRP imp_WdfRequestWdmGetIrp(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Request, ObjKind::Request, "WdfRequestWdmGetIrp");
    return o ? &static_cast<kmdf::sim::Request*>(o)->wdmIrp : nullptr;
}

// ------------------------------------------------------------------------ I/O targets
// Documented: a started target passes requests on; requests it held while stopped go now.
NTSTATUS imp_WdfIoTargetStart(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfIoTargetStart", DISPATCH_LEVEL, &status))
        return status;
    std::vector<uintptr_t> go;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        kmdf::sim::IoTarget* t = TargetOf(IoTarget, "WdfIoTargetStart");
        if (!t)
            return STATUS_INVALID_PARAMETER;
        if (t->ts == kmdf::sim::IoTarget::TS::Removed)
            return STATUS_INVALID_DEVICE_STATE;
        t->ts = kmdf::sim::IoTarget::TS::Started;
        for (kmdf::sim::Request* r : t->held) {
            r->onBus = true;
            go.push_back(r->handle);
        }
        t->held.clear();
        w->Event(std::string("WdfIoTargetStart ") + KindName(t->kind));
    }
    for (uintptr_t h : go)
        w->Submit(h);
    return STATUS_SUCCESS;
}

// Documented: stops the target; WdfIoTargetCancelSentIo cancels what was sent and waits for it
// (PASSIVE_LEVEL); a stopped target holds new requests.
VOID imp_WdfIoTargetStop(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                         WDF_IO_TARGET_SENT_IO_ACTION Action) {
    World::Impl* w = Wd();
    CheckIrql("WdfIoTargetStop",
              Action == WdfIoTargetLeaveSentIoPending ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    std::vector<std::shared_ptr<Transfer>> cancel;
    uintptr_t th;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        kmdf::sim::IoTarget* t = TargetOf(IoTarget, "WdfIoTargetStop");
        if (!t || t->ts == kmdf::sim::IoTarget::TS::Removed)
            return;
        t->ts = kmdf::sim::IoTarget::TS::Stopped;
        th = t->handle;
        w->Event(std::string("WdfIoTargetStop ") + KindName(t->kind) +
                 (Action == WdfIoTargetCancelSentIo ? " cancel-sent-io" : ""));
        // Documented: cancelling sent I/O includes the requests the stopped target holds.
        if (Action == WdfIoTargetCancelSentIo) {
            for (kmdf::sim::Request* r : std::vector<kmdf::sim::Request*>(t->sent)) {
                if (auto tr = w->EndingTransfer(r))
                    cancel.push_back(tr);
                else
                    r->cancelRequested = true; // on its way to the bus
            }
        }
    }
    for (auto& tr : cancel)
        w->CancelTransfer(tr);
    if (Action == WdfIoTargetCancelSentIo || Action == WdfIoTargetWaitForSentIoToComplete) {
        w->RunUntil(
            [&] {
                Object* o = w->Find(th);
                if (!o)
                    return true;
                for (kmdf::sim::Request* r : static_cast<kmdf::sim::IoTarget*>(o)->sent)
                    if (r->onBus)
                        return false;
                return true;
            },
            "I/O sent to a stopping target");
    }
}

// ------------------------------------------------------------------------ USB targets
// Documented: opens the device's USB target (the framework reads the device and configuration
// descriptors); the object is a child of the device.
NTSTATUS imp_WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                      PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfUsbTargetDeviceCreate", PASSIVE_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOfDevice(Device, "WdfUsbTargetDeviceCreate");
    if (!n)
        return STATUS_INVALID_PARAMETER;
    if (n->usb.detached)
        return STATUS_NO_SUCH_DEVICE;
    auto* u = new UsbDeviceObj;
    u->node = n;
    if (!w->AttachContext(u, Attributes, "WdfUsbTargetDeviceCreate")) {
        delete u;
        return STATUS_INVALID_PARAMETER;
    }
    w->Register(u, n->device);
    n->usbTargets.push_back(u);
    n->usb.LogStandard(0x80, 6, 0x0100, 0, 18);
    n->usb.LogStandard(0x80, 6, 0x0200, 0, 9);
    n->usb.LogStandard(0x80, 6, 0x0200, 0,
                       static_cast<uint16_t>(n->usb.ConfigurationDescriptor().size()));
    w->Event(n->name + " WdfUsbTargetDeviceCreate");
    *UsbDevice = reinterpret_cast<WDFUSBDEVICE>(u->handle);
    return STATUS_SUCCESS;
}

// Documented: fills the device-information record (Size must be set): USBD version, port
// capabilities and the traits from the configuration's attributes.
NTSTATUS imp_WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                   PWDF_USB_DEVICE_INFORMATION Information) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfUsbTargetDeviceRetrieveInformation", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(UsbDevice, ObjKind::UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
    if (!o)
        return STATUS_INVALID_PARAMETER;
    if (Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        w->Violation("WdfUsbTargetDeviceRetrieveInformation: Size is wrong");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    ColorimeterImpl& dev = static_cast<UsbDeviceObj*>(o)->node->usb;
    if (dev.config.failInformationQuery)
        return STATUS_NOT_SUPPORTED;
    UCHAR attributes = dev.ConfigurationDescriptor()[7]; // bmAttributes
    Information->UsbdVersionInformation.USBDI_Version = 0x600;
    Information->UsbdVersionInformation.Supported_USB_Version = 0x200;
    Information->HcdPortCapabilities = 0;
    Information->Traits =
        ((attributes & USB_CONFIG_SELF_POWERED) ? WDF_USB_DEVICE_TRAIT_SELF_POWERED : 0) |
        ((attributes & USB_CONFIG_REMOTE_WAKEUP) ? WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE : 0);
    return STATUS_SUCCESS;
}

// Documented: selects configuration 1; the single-interface kind configures its only
// interface, setting 0, and returns it with its number of configured pipes.
NTSTATUS imp_WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                            PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                            PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    World::Impl* w = Wd();
    CheckIrql("WdfUsbTargetDeviceSelectConfig", PASSIVE_LEVEL);
    (void)PipeAttributes;
    NTSTATUS status;
    if (w->faults.Check("WdfUsbTargetDeviceSelectConfig", &status))
        return status;
    std::unique_lock<std::mutex> lk(w->mu);
    Object* o = w->Lookup(UsbDevice, ObjKind::UsbDevice, "WdfUsbTargetDeviceSelectConfig");
    if (!o)
        return STATUS_INVALID_PARAMETER;
    if (Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS) ||
        Params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        w->Violation("WdfUsbTargetDeviceSelectConfig: only initialised single-interface "
                     "parameters are modelled");
        return STATUS_INVALID_PARAMETER;
    }
    auto* u = static_cast<UsbDeviceObj*>(o);
    if (u->iface) {
        UsbInterfaceObj* old = u->iface;
        u->iface = nullptr;
        w->DeleteTree(old, lk);
    }
    ColorimeterImpl& dev = u->node->usb;
    dev.LogStandard(0x00, 9, 1, 0, 0);
    Params->Types.SingleInterface.ConfiguredUsbInterface = nullptr;
    Params->Types.SingleInterface.NumberConfiguredPipes = 0;
    if (!dev.config.hasInterface)
        return STATUS_SUCCESS;
    auto* iface = new UsbInterfaceObj;
    iface->usb = u;
    iface->owner = u->owner;
    w->Register(iface, u);
    u->iface = iface;
    MakePipes(w, iface, dev);
    Params->Types.SingleInterface.ConfiguredUsbInterface =
        reinterpret_cast<WDFUSBINTERFACE>(iface->handle);
    Params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(iface->pipes.size());
    return STATUS_SUCCESS;
}

// Documented: selects an alternate setting; the interface's pipe objects are made anew.
NTSTATUS imp_WdfUsbInterfaceSelectSetting(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                          PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                          PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    World::Impl* w = Wd();
    CheckIrql("WdfUsbInterfaceSelectSetting", PASSIVE_LEVEL);
    (void)PipesAttributes;
    NTSTATUS status;
    if (w->faults.Check("WdfUsbInterfaceSelectSetting", &status))
        return status;
    std::unique_lock<std::mutex> lk(w->mu);
    Object* o = w->Lookup(UsbInterface, ObjKind::UsbInterface, "WdfUsbInterfaceSelectSetting");
    if (!o)
        return STATUS_INVALID_PARAMETER;
    if (Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS) ||
        Params->Type != WdfUsbInterfaceSelectSettingTypeSetting) {
        w->Violation("WdfUsbInterfaceSelectSetting: only initialised by-index parameters are "
                     "modelled");
        return STATUS_INVALID_PARAMETER;
    }
    if (Params->Types.Interface.SettingIndex != 0)
        return STATUS_INVALID_PARAMETER; // the colorimeter has one setting
    auto* iface = static_cast<UsbInterfaceObj*>(o);
    for (UsbPipeObj* p : std::vector<UsbPipeObj*>(iface->pipes))
        w->DeleteTree(p, lk);
    iface->pipes.clear();
    ColorimeterImpl& dev = iface->usb->node->usb;
    dev.LogStandard(0x01, 11, 0, iface->number, 0);
    MakePipes(w, iface, dev);
    return STATUS_SUCCESS;
}

// Documented: the number of pipes of the selected setting.
BYTE imp_WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o =
        w->Lookup(UsbInterface, ObjKind::UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
    return o ? static_cast<BYTE>(static_cast<UsbInterfaceObj*>(o)->pipes.size()) : 0;
}

// Documented: pipe i of the selected setting (NULL past the end), its information filled in
// when a record with its Size set is given.
WDFUSBPIPE imp_WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                                UCHAR PipeIndex,
                                                PWDF_USB_PIPE_INFORMATION PipeInfo) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(UsbInterface, ObjKind::UsbInterface, "WdfUsbInterfaceGetConfiguredPipe");
    if (!o)
        return nullptr;
    auto* iface = static_cast<UsbInterfaceObj*>(o);
    if (PipeIndex >= iface->pipes.size())
        return nullptr;
    UsbPipeObj* p = iface->pipes[PipeIndex];
    if (PipeInfo) {
        if (PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
            w->Violation("WdfUsbInterfaceGetConfiguredPipe: Size is wrong");
            return nullptr;
        }
        PipeInfo->MaximumPacketSize = p->ep.wMaxPacketSize;
        PipeInfo->EndpointAddress = p->ep.bEndpointAddress;
        PipeInfo->Interval = p->ep.bInterval;
        PipeInfo->SettingIndex = iface->setting;
        PipeInfo->PipeType = p->type;
        PipeInfo->MaximumTransferSize = 4096;
    }
    return reinterpret_cast<WDFUSBPIPE>(p->handle);
}

// Documented: reads on the pipe need no longer be a multiple of the maximum packet size.
VOID imp_WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Pipe, ObjKind::UsbPipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck");
    if (o)
        static_cast<UsbPipeObj*>(o)->noMaxPacketCheck = true;
}

// Documented: the direction bit of the pipe's endpoint address.
BOOLEAN imp_WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Pipe, ObjKind::UsbPipe, "WdfUsbTargetPipeIsInEndpoint");
    return o && USB_ENDPOINT_DIRECTION_IN(static_cast<UsbPipeObj*>(o)->ep.bEndpointAddress);
}

// Documented: the endpoint address has its direction bit clear.
BOOLEAN imp_WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    World::Impl* w = Wd();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Pipe, ObjKind::UsbPipe, "WdfUsbTargetPipeIsOutEndpoint");
    return o && USB_ENDPOINT_DIRECTION_OUT(static_cast<UsbPipeObj*>(o)->ep.bEndpointAddress);
}

// Documented: formats the request to carry the URB in the memory object to the USB device.
NTSTATUS imp_WdfUsbTargetDeviceFormatRequestForUrb(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                   WDFREQUEST Request, WDFMEMORY UrbMemory,
                                                   PWDFMEMORY_OFFSET UrbMemoryOffset) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfUsbTargetDeviceFormatRequestForUrb", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    const char* api = "WdfUsbTargetDeviceFormatRequestForUrb";
    Object* u = w->Lookup(UsbDevice, ObjKind::UsbDevice, api);
    kmdf::sim::Request* r = Owned(Request, api);
    Object* m = w->Lookup(UrbMemory, ObjKind::Memory, api);
    if (!u || !r || !m)
        return STATUS_INVALID_PARAMETER;
    auto* mem = static_cast<MemoryObj*>(m);
    size_t offset = UrbMemoryOffset ? UrbMemoryOffset->BufferOffset : 0;
    if (offset >= mem->size || mem->size - offset < sizeof(struct _URB_HEADER))
        return STATUS_INVALID_PARAMETER;
    r->fmt = kmdf::sim::Request::Fmt::Urb;
    r->formatTarget = static_cast<kmdf::sim::IoTarget*>(u);
    r->fmtMemory = mem;
    r->fmtOffset = offset;
    r->fmtLength = mem->size - offset;
    return STATUS_SUCCESS;
}

// Documented: formats a read from an IN pipe into the memory object; without the no-maximum-
// packet-size option the length must be a multiple of the endpoint's packet size.
NTSTATUS imp_WdfUsbTargetPipeFormatRequestForRead(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                                  WDFREQUEST Request, WDFMEMORY ReadMemory,
                                                  PWDFMEMORY_OFFSET ReadOffset) {
    World::Impl* w = Wd();
    NTSTATUS status;
    if (InjectFailure(w, "WdfUsbTargetPipeFormatRequestForRead", DISPATCH_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    const char* api = "WdfUsbTargetPipeFormatRequestForRead";
    Object* po = w->Lookup(Pipe, ObjKind::UsbPipe, api);
    kmdf::sim::Request* r = Owned(Request, api);
    Object* m = ReadMemory ? w->Lookup(ReadMemory, ObjKind::Memory, api) : nullptr;
    if (!po || !r || !m)
        return STATUS_INVALID_PARAMETER;
    auto* p = static_cast<UsbPipeObj*>(po);
    auto* mem = static_cast<MemoryObj*>(m);
    if (!USB_ENDPOINT_DIRECTION_IN(p->ep.bEndpointAddress))
        return STATUS_INVALID_DEVICE_REQUEST;
    size_t offset = ReadOffset ? ReadOffset->BufferOffset : 0;
    size_t length = ReadOffset && ReadOffset->BufferLength
                        ? ReadOffset->BufferLength
                        : mem->size - std::min(offset, mem->size);
    if (offset + length > mem->size || length == 0)
        return STATUS_INVALID_BUFFER_SIZE;
    if (!p->noMaxPacketCheck && p->ep.wMaxPacketSize && length % p->ep.wMaxPacketSize)
        return STATUS_INVALID_BUFFER_SIZE;
    r->fmt = kmdf::sim::Request::Fmt::PipeRead;
    r->formatTarget = p;
    r->fmtMemory = mem;
    r->fmtOffset = offset;
    r->fmtLength = length;
    return STATUS_SUCCESS;
}
