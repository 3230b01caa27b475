// The world, its clock, verifier and faults; framework objects, contexts and the pool; driver
// and device creation, power policy and the PnP/power life of a device.
#include "Internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kmdf::sim {

namespace {
std::atomic<World::Impl*> g_world{nullptr};
World* g_publicWorld = nullptr;
thread_local ThreadState t_thread;

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xff);
        s += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return s;
}

const char* PowerName(WDF_POWER_DEVICE_STATE s) {
    switch (s) {
    case WdfPowerDeviceD0:
        return "D0";
    case WdfPowerDeviceD1:
        return "D1";
    case WdfPowerDeviceD2:
        return "D2";
    case WdfPowerDeviceD3:
        return "D3";
    case WdfPowerDeviceD3Final:
        return "D3Final";
    default:
        return "?";
    }
}
} // namespace

ThreadState& Thread() {
    return t_thread;
}

std::string Hex(uint64_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

std::string StatusText(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

const char* KindName(ObjKind kind) {
    switch (kind) {
    case ObjKind::Driver:
        return "WDFDRIVER";
    case ObjKind::Device:
        return "WDFDEVICE";
    case ObjKind::Queue:
        return "WDFQUEUE";
    case ObjKind::Request:
        return "WDFREQUEST";
    case ObjKind::Memory:
        return "WDFMEMORY";
    case ObjKind::UsbDevice:
        return "WDFUSBDEVICE";
    case ObjKind::UsbInterface:
        return "WDFUSBINTERFACE";
    case ObjKind::UsbPipe:
        return "WDFUSBPIPE";
    case ObjKind::FileObject:
        return "WDFFILEOBJECT";
    }
    return "?";
}

World::Impl* W() {
    World::Impl* w = g_world.load();
    if (!w) {
        std::fprintf(stderr, "kmdf: framework call without a World\n");
        std::abort();
    }
    return w;
}

void RunDeferred() {
    ThreadState& t = t_thread;
    while (t.depth == 0 && t.irql == PASSIVE_LEVEL && !t.deferred.empty()) {
        auto fn = std::move(t.deferred.front());
        t.deferred.erase(t.deferred.begin());
        fn();
    }
}

void CallDriver(KIRQL irql, DeviceNode* node, const std::function<void()>& fn) {
    ThreadState& t = t_thread;
    ThreadState saved = {t.irql, t.depth, t.device, {}};
    if (World::Impl* w = g_world.load())
        w->driverCalls++;
    t.irql = irql;
    t.depth++;
    t.device = node;
    fn();
    t.depth = saved.depth;
    t.irql = saved.irql;
    t.device = saved.device;
    RunDeferred();
}

// ------------------------------------------------------------------------ clock
int64_t Clock::Now() const {
    std::lock_guard<std::mutex> lk(mu_);
    return now_;
}

uint64_t Clock::Schedule(int64_t at, std::function<void()> fn) {
    std::lock_guard<std::mutex> lk(mu_);
    uint64_t id = next_++;
    byTime_.emplace(at, id);
    timers_.emplace(id, std::make_pair(at, std::move(fn)));
    return id;
}

bool Clock::Cancel(uint64_t id) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = timers_.find(id);
    if (it == timers_.end())
        return false;
    auto range = byTime_.equal_range(it->second.first);
    for (auto b = range.first; b != range.second; ++b) {
        if (b->second == id) {
            byTime_.erase(b);
            break;
        }
    }
    timers_.erase(it);
    return true;
}

bool Clock::FireNext(int64_t limit) {
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (byTime_.empty() || byTime_.begin()->first > limit)
            return false;
        auto first = byTime_.begin();
        int64_t at = first->first;
        uint64_t id = first->second;
        byTime_.erase(first);
        auto it = timers_.find(id);
        fn = std::move(it->second.second);
        timers_.erase(it);
        now_ = std::max(now_, at);
    }
    fn();
    return true;
}

void Clock::AdvanceTo(int64_t at) {
    while (FireNext(at)) {
    }
    std::lock_guard<std::mutex> lk(mu_);
    now_ = std::max(now_, at);
}

bool Clock::Empty() const {
    std::lock_guard<std::mutex> lk(mu_);
    return byTime_.empty();
}

// ------------------------------------------------------------------------ verifier
std::vector<std::string> VerifierImpl::Violations() const {
    std::lock_guard<std::mutex> lk(mu_);
    return violations_;
}

void VerifierImpl::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    violations_.clear();
}

void VerifierImpl::SetHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> lk(mu_);
    handler_ = std::move(handler);
}

void VerifierImpl::Report(const std::string& text) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard<std::mutex> lk(mu_);
        violations_.push_back(text);
        handler = handler_;
    }
    if (handler)
        handler(text);
}

// ------------------------------------------------------------------------ faults
FaultsImpl::FaultsImpl() {
    known_ = {"WdfDriverCreate",
              "WdfDeviceCreate",
              "WdfIoQueueCreate",
              "WdfDeviceCreateDeviceInterface",
              "WdfDeviceAssignS0IdleSettings",
              "WdfDeviceAssignSxWakeSettings",
              "WdfMemoryCreatePreallocated",
              "WdfUsbTargetDeviceCreate",
              "WdfUsbTargetDeviceSelectConfig",
              "WdfUsbInterfaceSelectSetting",
              "WdfUsbTargetDeviceRetrieveInformation",
              "WdfUsbTargetDeviceFormatRequestForUrb",
              "WdfUsbTargetPipeFormatRequestForRead",
              "WdfIoTargetStart",
              "WdfRequestRetrieveInputBuffer",
              "WdfRequestRetrieveOutputBuffer",
              "WdfRequestRetrieveOutputMemory",
              "WdfRequestSend",
              "WdfRequestForwardToIoQueue",
              "WdfDeviceEnqueueRequest",
              "WdfRequestProbeAndLockUserBufferForWrite",
              "ExAllocatePoolWithTag"};
}

void FaultsImpl::Fail(const std::string& api, Status status, unsigned skip, unsigned times) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (known_.count(api)) {
            rules_[api] = Rule{status, skip, times};
            return;
        }
    }
    verifier->Report("Faults::Fail: " + api + " is not a framework call this layer can fail");
}

void FaultsImpl::FailPoolAfter(unsigned n) {
    std::lock_guard<std::mutex> lk(mu_);
    poolBudget_ = static_cast<long>(n);
}

void FaultsImpl::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    rules_.clear();
    poolBudget_ = -1;
}

unsigned FaultsImpl::Calls(const std::string& api) const {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = calls_.find(api);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<std::string> FaultsImpl::KnownCalls() const {
    std::lock_guard<std::mutex> lk(mu_);
    return {known_.begin(), known_.end()};
}

bool FaultsImpl::Check(const char* api, NTSTATUS* status) {
    std::lock_guard<std::mutex> lk(mu_);
    calls_[api]++;
    auto it = rules_.find(api);
    if (it == rules_.end())
        return false;
    Rule& r = it->second;
    if (r.seen++ < r.skip)
        return false;
    if (r.times != 0 && r.failed >= r.times)
        return false;
    r.failed++;
    *status = r.status;
    return true;
}

bool FaultsImpl::PoolShouldFail() {
    std::lock_guard<std::mutex> lk(mu_);
    if (poolBudget_ < 0)
        return false;
    if (poolBudget_ == 0)
        return true;
    poolBudget_--;
    return false;
}

// ------------------------------------------------------------------------ world
World::Impl::Impl() {
    faults.verifier = &verifier;
}
World::Impl::~Impl() = default;

void World::Impl::Violation(const std::string& text) {
    verifier.Report(text);
}

void World::Impl::Event(const std::string& text) {
    events.push_back(text);
}

bool World::Impl::ReadOnly(const void* address, size_t length) const {
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    for (const auto& r : readOnly)
        if (length && a < r.first + r.second && r.first < a + length)
            return true;
    return false;
}

bool World::Impl::PoolTypeOf(const void* address, size_t length, POOL_TYPE* type) const {
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    for (const auto& b : pool) {
        uintptr_t start = reinterpret_cast<uintptr_t>(b.first);
        if (a >= start && a + length <= start + b.second.size) {
            *type = b.second.type;
            return true;
        }
    }
    return false;
}

// Documented: paged pool may be touched only below DISPATCH_LEVEL (a page fault there is fatal).
std::string World::Impl::PagedAtDispatch(const void* address, size_t length, KIRQL irql,
                                         const char* what) {
    POOL_TYPE type;
    if (irql < DISPATCH_LEVEL || !PoolTypeOf(address, length, &type) || type != PagedPool)
        return {};
    return std::string(what) + " touches paged pool at IRQL " + std::to_string(irql);
}

uintptr_t World::Impl::Register(Object* obj, Object* parent) {
    uintptr_t h = nextHandle;
    nextHandle += 0x10;
    obj->handle = h;
    obj->parent = parent;
    if (parent)
        parent->children.push_back(obj);
    if (!obj->owner)
        obj->owner = t_thread.device;
    objects.emplace(h, std::unique_ptr<Object>(obj));
    return h;
}

Object* World::Impl::Find(uintptr_t handle) {
    auto it = objects.find(handle);
    return it == objects.end() ? nullptr : it->second.get();
}

void World::Impl::Stale(const void* handle, const char* api) {
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    if (h == 0)
        Violation(std::string(api) + ": NULL handle");
    else if (h >= 0x10000 && h < nextHandle && (h & 0xf) == 0)
        Violation(std::string(api) + ": handle " + Hex(h) +
                  " is no longer valid (request completed or object deleted)");
    else
        Violation(std::string(api) + ": " + Hex(h) + " is not a framework handle");
}

Object* World::Impl::LookupAny(const void* handle, const char* api) {
    Object* obj = Find(reinterpret_cast<uintptr_t>(handle));
    if (!obj)
        Stale(handle, api);
    return obj;
}

Object* World::Impl::Lookup(const void* handle, ObjKind kind, const char* api) {
    Object* obj = LookupAny(handle, api);
    if (obj && obj->kind != kind) {
        Violation(std::string(api) + ": handle " + Hex(obj->handle) + " is a " +
                  KindName(obj->kind) + ", not a " + KindName(kind));
        return nullptr;
    }
    return obj;
}

// Documented: attributes give the context type (zero-filled, allocated with the object), the
// cleanup/destroy callbacks, the execution level and the parent.
bool World::Impl::AttachContext(Object* obj, PWDF_OBJECT_ATTRIBUTES a, const char* api) {
    if (!a)
        return true;
    if (a->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        Violation(std::string(api) + ": WDF_OBJECT_ATTRIBUTES.Size is wrong (not initialised?)");
        return false;
    }
    obj->cleanup = a->EvtCleanupCallback;
    obj->destroy = a->EvtDestroyCallback;
    obj->level = a->ExecutionLevel;
    if (a->ContextTypeInfo) {
        size_t size = std::max(a->ContextTypeInfo->ContextSize, a->ContextSizeOverride);
        size_t n = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
        n = n ? n : 1;
        obj->context.reset(new std::max_align_t[n]);
        std::memset(obj->context.get(), 0, n * sizeof(std::max_align_t)); // every byte zero
        obj->contextType =
            a->ContextTypeInfo->UniqueType ? a->ContextTypeInfo->UniqueType : a->ContextTypeInfo;
    }
    return true;
}

WDF_EXECUTION_LEVEL World::Impl::EffectiveLevel(Object* obj) {
    for (Object* o = obj; o; o = o->parent) {
        if (o->level == WdfExecutionLevelPassive || o->level == WdfExecutionLevelDispatch)
            return o->level;
    }
    return WdfExecutionLevelDispatch; // the framework's default for a driver
}

void World::Impl::EraseObject(Object* obj) {
    if (obj->parent) {
        auto& c = obj->parent->children;
        c.erase(std::remove(c.begin(), c.end(), obj), c.end());
    }
    objects.erase(obj->handle);
}

void World::Impl::DeleteTree(Object* root, std::unique_lock<std::mutex>& lk) {
    std::vector<Object*> order; // children before parents
    std::function<void(Object*)> walk = [&](Object* o) {
        for (Object* c : o->children)
            walk(c);
        order.push_back(o);
    };
    walk(root);
    std::vector<std::pair<PFN_WDF_OBJECT_CONTEXT_CLEANUP, uintptr_t>> calls;
    for (Object* o : order) {
        if (o->cleanup)
            calls.emplace_back(o->cleanup, o->handle);
    }
    // Documented: cleanup callbacks run at PASSIVE_LEVEL before the objects go away.
    if (!calls.empty()) {
        lk.unlock();
        for (auto& c : calls)
            CallDriver(PASSIVE_LEVEL, t_thread.device,
                       [&] { c.first(reinterpret_cast<WDFOBJECT>(c.second)); });
        lk.lock();
    }
    for (Object* o : order) {
        if (o->destroy) {
            auto fn = o->destroy;
            uintptr_t h = o->handle;
            lk.unlock();
            CallDriver(PASSIVE_LEVEL, t_thread.device, [&] { fn(reinterpret_cast<WDFOBJECT>(h)); });
            lk.lock();
        }
    }
    for (Object* o : order) {
        if (o->kind == ObjKind::Queue) {
            Queue* q = static_cast<Queue*>(o);
            if (q->node) {
                auto& qs = q->node->queues;
                qs.erase(std::remove(qs.begin(), qs.end(), q), qs.end());
                if (q->node->defaultQueue == q)
                    q->node->defaultQueue = nullptr;
            }
        }
        if (o->kind == ObjKind::UsbDevice) {
            auto* u = static_cast<UsbDeviceObj*>(o);
            if (u->node) {
                auto& ts = u->node->usbTargets;
                ts.erase(std::remove(ts.begin(), ts.end(), u), ts.end());
            }
        }
        if (o->kind == ObjKind::UsbPipe || o->kind == ObjKind::UsbDevice) {
            auto* t = static_cast<IoTarget*>(o);
            if (!t->sent.empty())
                Violation(std::string(KindName(o->kind)) + " deleted with requests still sent");
        }
        Event(std::string("delete ") + KindName(o->kind));
    }
    for (Object* o : order) {
        if (o->parent) {
            auto& c = o->parent->children;
            c.erase(std::remove(c.begin(), c.end(), o), c.end());
            o->parent = nullptr;
        }
    }
    for (Object* o : order)
        objects.erase(o->handle);
}

Activity::Activity(World::Impl* w) : w_(w) {
    if (t_thread.activeNest++ == 0) {
        std::lock_guard<std::mutex> lk(w_->mu);
        w_->active++;
    }
}

Activity::~Activity() {
    if (--t_thread.activeNest == 0) {
        std::lock_guard<std::mutex> lk(w_->mu);
        w_->active--;
        w_->cv.notify_all();
    }
}

// Waiting lets virtual time run: when no other thread works inside the world, the earliest
// timer fires (a send timeout, an idle timer, a device's delayed answer).
void World::Impl::RunUntil(const std::function<bool()>& pred, const char* what) {
    std::unique_lock<std::mutex> lk(mu);
    const int self = t_thread.activeNest > 0 ? 1 : 0;
    for (;;) {
        if (pred())
            return;
        if (active - self == 0) {
            lk.unlock();
            bool fired = clock.FireNext(INT64_MAX);
            lk.lock();
            if (fired) {
                // The timer may have made new timers while another waiter found none.
                cv.notify_all();
                continue;
            }
        }
        active -= self;
        cv.notify_all();
        bool done = cv.wait_for(lk, std::chrono::seconds(20),
                                [&] { return pred() || (active == 0 && !clock.Empty()); });
        active += self;
        if (!done) {
            lk.unlock();
            Violation(std::string("waiting for ") + what + " would never end");
            return;
        }
    }
}

// ------------------------------------------------------------------------ public World
World::World() : impl_(new Impl) {
    World::Impl* expected = nullptr;
    if (!g_world.compare_exchange_strong(expected, impl_.get())) {
        std::fprintf(stderr, "kmdf: only one World at a time\n");
        std::abort();
    }
    g_publicWorld = this;
}

World::~World() {
    if (impl_->driverLoaded)
        UnloadDriver();
    g_publicWorld = nullptr;
    g_world.store(nullptr);
}

World* World::Current() {
    return g_publicWorld;
}

Status World::LoadDriver(DriverEntryFn entry) {
    Impl* w = impl_.get();
    Activity busy(w);
    {
        std::lock_guard<std::mutex> lk(w->mu);
        if (w->driverLoaded || w->driver) {
            w->Violation("LoadDriver: the driver is already loaded");
            return STATUS_UNSUCCESSFUL;
        }
        w->Event("DriverEntry");
    }
    static WCHAR path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Talvik2";
    UNICODE_STRING reg{static_cast<USHORT>((sizeof path) - 2), static_cast<USHORT>(sizeof path),
                       path};
    NTSTATUS status = STATUS_SUCCESS;
    w->driverObject = _DRIVER_OBJECT{};
    // The I/O manager calls the image's entry point: the bind stub, then the driver's DriverEntry.
    CallDriver(PASSIVE_LEVEL, nullptr, [&] { status = entry(&w->driverObject, &reg); });
    std::unique_lock<std::mutex> lk(w->mu);
    if (!NT_SUCCESS(status)) {
        // Documented: a failing entry point unloads the image without its unload routine; the
        // stub has released the binding, and the framework's driver object with it.
        if (w->binding.bound.load()) {
            lk.unlock();
            w->Violation("the driver's entry point failed and left its framework binding");
            lk.lock();
            w->binding.bound.store(false);
        }
        if (w->driver)
            w->DeleteTree(w->driver, lk);
        w->driver = nullptr;
        w->Event("DriverEntry failed " + StatusText(status));
        return status;
    }
    if (!w->binding.bound.load() || !w->driver) {
        lk.unlock();
        w->Violation("the driver's entry point succeeded without binding to the framework and "
                     "creating its driver object");
        return status;
    }
    w->driverLoaded = true;
    return status;
}

bool World::DriverLoaded() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->driverLoaded;
}

void World::UnloadDriver() {
    Impl* w = impl_.get();
    Activity busy(w);
    for (auto* d : Devices()) {
        PnpState s = d->State();
        if (s == PnpState::Removed || s == PnpState::FailedAdd || s == PnpState::FailedStart)
            continue;
        auto* node = static_cast<DeviceNode*>(d);
        {
            std::lock_guard<std::mutex> lk(w->mu);
            if (node->openHandles > 0) {
                w->Violation(node->name + ": " + std::to_string(node->openHandles) +
                             " handle(s) still open when the driver unloads");
                node->openHandles = 0;
            }
        }
        if (s == PnpState::Started || s == PnpState::Stopped || s == PnpState::Added)
            d->SurpriseRemove();
        d->Remove();
    }
    std::unique_lock<std::mutex> lk(w->mu);
    if (!w->driverLoaded)
        return;
    // Documented: the I/O manager calls the driver object's unload routine: the framework's
    // (installed by WdfDriverCreate), or the bind stub's in front of it, which then unbinds.
    if (PDRIVER_UNLOAD unload = w->driverObject.DriverUnload) {
        lk.unlock();
        CallDriver(PASSIVE_LEVEL, nullptr, [&] { unload(&w->driverObject); });
        lk.lock();
    }
    if (w->binding.bound.load()) {
        lk.unlock();
        w->Violation("the driver unloaded and left its framework binding");
        lk.lock();
        w->binding.bound.store(false);
    }
    if (w->driver)
        w->DeleteTree(w->driver, lk);
    w->driver = nullptr;
    w->driverLoaded = false;
    w->Event("driver unloaded");
    // Documented (verifier): pool still allocated at unload and leaked objects are reported.
    std::vector<std::string> found;
    for (auto& b : w->pool)
        found.push_back("pool block tag " + TagText(b.second.tag) + " (" +
                        std::to_string(b.second.size) + " bytes) still allocated at driver unload");
    for (auto& b : w->pool)
        std::free(b.first);
    w->pool.clear();
    for (auto& o : w->objects)
        found.push_back(std::string("framework object ") + KindName(o.second->kind) +
                        " leaked at driver unload");
    w->objects.clear();
    lk.unlock();
    for (auto& f : found)
        w->Violation(f);
}

PnpDevice& World::PlugIn(const ColorimeterConfig& config) {
    Impl* w = impl_.get();
    Activity busy(w);
    DeviceNode* node;
    PFN_WDF_DRIVER_DEVICE_ADD add = nullptr;
    uintptr_t driver = 0;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        w->nodes.emplace_back(new DeviceNode(w, config, static_cast<int>(w->nodes.size())));
        node = w->nodes.back().get();
        if (!w->driverLoaded) {
            node->state = PnpState::FailedAdd;
            node->addStatus = STATUS_NO_SUCH_DEVICE;
            return *node;
        }
        add = w->driver->config.EvtDriverDeviceAdd;
        driver = w->driver->handle;
        w->Event(node->name + " arrives");
    }
    WDFDEVICE_INIT_IMPL init;
    init.node = node;
    NTSTATUS status = STATUS_SUCCESS;
    status = w->CallPnp(node, "EvtDriverDeviceAdd", [&] {
        return add(reinterpret_cast<WDFDRIVER>(driver), reinterpret_cast<PWDFDEVICE_INIT>(&init));
    });
    std::unique_lock<std::mutex> lk(w->mu);
    node->addStatus = status;
    if (NT_SUCCESS(status) && !node->device) {
        lk.unlock();
        w->Violation(node->name + ": device add succeeded without a device object");
        lk.lock();
        status = STATUS_UNSUCCESSFUL;
        node->addStatus = status;
    }
    if (!NT_SUCCESS(status)) {
        // Documented: objects made for a device whose add failed are the framework's to delete.
        if (node->device)
            w->DeleteTree(node->device, lk);
        node->device = nullptr;
        node->state = PnpState::FailedAdd;
        w->CheckGone(node, lk);
    }
    return *node;
}

std::vector<PnpDevice*> World::Devices() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    std::vector<PnpDevice*> out;
    for (auto& n : impl_->nodes)
        out.push_back(n.get());
    return out;
}

uint64_t World::NowMs() const {
    return static_cast<uint64_t>(impl_->clock.Now() / kTicksPerMs);
}

void World::AdvanceMs(uint64_t ms) {
    Activity busy(impl_.get());
    impl_->clock.AdvanceTo(impl_->clock.Now() + static_cast<int64_t>(ms) * kTicksPerMs);
}

uint64_t World::RunTimers() {
    Activity busy(impl_.get());
    int64_t start = impl_->clock.Now();
    while (impl_->clock.FireNext(INT64_MAX)) {
    }
    return static_cast<uint64_t>((impl_->clock.Now() - start) / kTicksPerMs);
}

Verifier& World::verifier() {
    return impl_->verifier;
}
Faults& World::faults() {
    return impl_->faults;
}

std::vector<std::string> World::Events() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->events;
}

void World::ClearEvents() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->events.clear();
}

std::vector<std::string> World::DebugLog() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    std::vector<std::string> out;
    for (const DebugLine& l : impl_->debugLog)
        out.push_back(l.text);
    return out;
}

std::vector<DebugLine> World::DebugLines() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->debugLog;
}

uint64_t World::DriverRoutineCalls() const {
    return impl_->driverCalls.load();
}

uint64_t World::PoolAllocations() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->poolAllocations;
}

size_t World::PoolBlocksOutstanding() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->pool.size();
}

size_t World::LiveObjects() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->objects.size();
}

uint64_t World::RequestsCompleted() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->requestsCompleted;
}

// ------------------------------------------------------------------------ device node
DeviceNode::DeviceNode(World::Impl* world, const ColorimeterConfig& cfg, int i)
    : w(world), index(i), name("Colorimeter#" + std::to_string(i)), usb(cfg) {
    usb.node = this;
}

Status DeviceNode::AddStatus() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return addStatus;
}
PnpState DeviceNode::State() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return state;
}
PowerState DeviceNode::Power() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return power;
}
void* DeviceNode::Handle() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return device ? reinterpret_cast<void*>(device->handle) : nullptr;
}
IdlePolicy DeviceNode::Idle() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return idle;
}
WakePolicy DeviceNode::Wake() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return wake;
}
std::vector<std::string> DeviceNode::Interfaces() const {
    std::lock_guard<std::mutex> lk(w->mu);
    std::vector<std::string> out;
    for (auto& i : interfaces)
        out.push_back(i.second);
    return out;
}
int DeviceNode::D0Entries() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return d0Entries;
}
int DeviceNode::D0Exits() const {
    std::lock_guard<std::mutex> lk(w->mu);
    return d0Exits;
}

// Documented: the framework calls a device's PnP/power callbacks one at a time, at PASSIVE_LEVEL.
NTSTATUS World::Impl::CallPnp(DeviceNode* node, const char* name,
                              const std::function<NTSTATUS()>& fn) {
    if (node->inCallback.fetch_add(1) != 0)
        Violation(node->name + ": " + name + " runs while another PnP/power callback runs");
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver(PASSIVE_LEVEL, node, [&] { status = fn(); });
    node->inCallback.fetch_sub(1);
    std::lock_guard<std::mutex> lk(mu);
    Event(node->name + " " + name + " -> " + StatusText(status));
    return status;
}

void World::Impl::AcquireBusy(DeviceNode* node, std::unique_lock<std::mutex>& lk) {
    if (node->busy) {
        const int self = t_thread.activeNest > 0 ? 1 : 0;
        active -= self;
        cv.notify_all();
        cv.wait(lk, [&] { return !node->busy; });
        active += self;
    }
    node->busy = true;
    if (node->idleTimer) {
        clock.Cancel(node->idleTimer);
        node->idleTimer = 0;
    }
}

void World::Impl::FinishBusy(DeviceNode* node) {
    bool powerUp;
    {
        std::lock_guard<std::mutex> lk(mu);
        node->busy = false;
        powerUp = node->state == PnpState::Started && node->power == PowerState::Dx &&
                  node->idleDx && PowerManagedCount(node) > 0;
        cv.notify_all();
    }
    if (powerUp)
        PowerUp(node);
    KickAll(node);
    UpdateIdle(node);
}

void World::Impl::ReleaseHardware(DeviceNode* node) {
    auto cb = node->pnp.EvtDeviceReleaseHardware;
    uintptr_t h = node->device ? node->device->handle : 0;
    if (cb)
        CallPnp(node, "EvtDeviceReleaseHardware",
                [&] { return cb(reinterpret_cast<WDFDEVICE>(h), nullptr); });
}

// Documented: before a device leaves D0 its power-managed queues stop delivering; without an
// EvtIoStop callback the framework waits for the requests the driver owns, then D0 exit runs.
// A surprise-removed device is gone: its queues are purged and sent I/O is cancelled instead.
NTSTATUS World::Impl::PowerDown(DeviceNode* node, WDF_POWER_DEVICE_STATE target, bool surprise) {
    {
        std::unique_lock<std::mutex> lk(mu);
        node->queuesHeld = true;
        if (surprise)
            PurgeQueues(node, STATUS_CANCELLED, lk);
    }
    if (!surprise)
        RunUntil([&] { return DriverOwnedCount(node) == 0; }, "requests the driver owns");
    auto cb = node->pnp.EvtDeviceD0Exit;
    uintptr_t h;
    {
        std::lock_guard<std::mutex> lk(mu);
        h = node->device->handle;
        node->d0Exits++;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (cb)
        status = CallPnp(node, (std::string("EvtDeviceD0Exit(") + PowerName(target) + ")").c_str(),
                         [&] { return cb(reinterpret_cast<WDFDEVICE>(h), target); });
    if (surprise) {
        RemoveTargets(node);
        // What the driver still holds fails on the removed targets; it completes it.
        RunUntil([&] { return DriverOwnedCount(node) == 0; }, "requests the driver owns");
    }
    std::lock_guard<std::mutex> lk(mu);
    node->power = PowerState::Dx;
    return status;
}

void World::Impl::PurgeQueues(DeviceNode* node, NTSTATUS status, std::unique_lock<std::mutex>& lk) {
    std::vector<Request*> purged;
    for (Queue* q : node->queues) {
        for (Request* r : q->waiting)
            purged.push_back(r);
        q->waiting.clear();
    }
    for (Request* r : purged)
        CompleteRequest(r, status, 0);
    (void)lk;
}

// Documented: when the device is removed the framework removes its I/O targets, cancelling
// what was sent to them and waiting for it.
void World::Impl::RemoveTargets(DeviceNode* node) {
    std::vector<std::shared_ptr<Transfer>> cancel;
    {
        std::lock_guard<std::mutex> lk(mu);
        for (UsbDeviceObj* u : node->usbTargets) {
            std::vector<IoTarget*> targets{u};
            if (u->iface)
                for (UsbPipeObj* p : u->iface->pipes)
                    targets.push_back(p);
            for (IoTarget* t : targets) {
                t->ts = IoTarget::TS::Removed;
                for (Request* r : std::vector<Request*>(t->sent)) {
                    if (auto tr = EndingTransfer(r))
                        cancel.push_back(tr);
                    else
                        r->cancelRequested = true; // on its way to the bus
                }
            }
        }
        Event(node->name + " USB targets removed");
    }
    for (auto& tr : cancel)
        CancelTransfer(tr);
    RunUntil(
        [&] {
            for (UsbDeviceObj* u : node->usbTargets) {
                if (!u->sent.empty())
                    return false;
                if (u->iface)
                    for (UsbPipeObj* p : u->iface->pipes)
                        if (!p->sent.empty())
                            return false;
            }
            return true;
        },
        "I/O sent to removed targets");
}

void World::Impl::CheckGone(DeviceNode* node, std::unique_lock<std::mutex>& lk) {
    std::vector<std::string> found;
    for (auto it = pool.begin(); it != pool.end();) {
        if (it->second.owner == node) {
            found.push_back(node->name + ": pool block tag " + TagText(it->second.tag) + " (" +
                            std::to_string(it->second.size) +
                            " bytes) still allocated at device removal");
            std::free(it->first);
            it = pool.erase(it);
        } else {
            ++it;
        }
    }
    std::vector<Object*> leaked;
    for (auto& o : objects)
        if (o.second->owner == node && o.second->kind != ObjKind::Request)
            leaked.push_back(o.second.get());
    for (Object* o : leaked) {
        if (!Find(o->handle))
            continue;
        found.push_back(node->name + ": framework object " + KindName(o->kind) +
                        " made for the device outlives it (leaked)");
        DeleteTree(o, lk);
    }
    for (auto& o : objects) {
        if (o.second->kind == ObjKind::Request &&
            static_cast<Request*>(o.second.get())->node == node)
            found.push_back(node->name + ": a request was never completed");
    }
    lk.unlock();
    for (auto& f : found)
        Violation(f);
    lk.lock();
}

void World::Impl::TearDown(DeviceNode* node, PnpState finalState) {
    std::unique_lock<std::mutex> lk(mu);
    node->removing = true;
    PurgeQueues(node, STATUS_CANCELLED, lk);
    lk.unlock();
    RemoveTargets(node);
    RunUntil([&] { return DriverOwnedCount(node) == 0; }, "requests of a device being removed");
    lk.lock();
    node->interfacesEnabled = false;
    if (node->idleTimer) {
        clock.Cancel(node->idleTimer);
        node->idleTimer = 0;
    }
    if (node->device) {
        DeviceNode* saved = t_thread.device;
        t_thread.device = node;
        DeleteTree(node->device, lk);
        t_thread.device = saved;
    }
    node->device = nullptr;
    node->state = finalState;
    node->power = PowerState::Dx;
    Event(node->name + " removed");
    CheckGone(node, lk);
    node->busy = false;
    cv.notify_all();
}

Status DeviceNode::Start() {
    Activity busyThread(w);
    {
        std::unique_lock<std::mutex> lk(w->mu);
        if (state != PnpState::Added && state != PnpState::Stopped) {
            lk.unlock();
            w->Violation(name + ": Start in a state that cannot start");
            return STATUS_INVALID_DEVICE_STATE;
        }
        w->AcquireBusy(this, lk);
    }
    uintptr_t h = reinterpret_cast<uintptr_t>(Handle());
    NTSTATUS status = STATUS_SUCCESS;
    if (auto cb = pnp.EvtDevicePrepareHardware)
        status = w->CallPnp(this, "EvtDevicePrepareHardware",
                            [&] { return cb(reinterpret_cast<WDFDEVICE>(h), nullptr, nullptr); });
    if (NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> lk(w->mu);
            d0Entries++;
        }
        if (auto cb = pnp.EvtDeviceD0Entry)
            status = w->CallPnp(this, "EvtDeviceD0Entry(D3Final)", [&] {
                return cb(reinterpret_cast<WDFDEVICE>(h), WdfPowerDeviceD3Final);
            });
    }
    if (!NT_SUCCESS(status)) {
        // Documented: a failed start releases the hardware; the PnP manager then removes the
        // device.
        w->ReleaseHardware(this);
        w->TearDown(this, PnpState::FailedStart);
        return status;
    }
    {
        std::lock_guard<std::mutex> lk(w->mu);
        state = PnpState::Started;
        power = PowerState::D0;
        idleDx = sleeping = false;
        queuesHeld = false;
        interfacesEnabled = true;
    }
    w->FinishBusy(this);
    return status;
}

Status DeviceNode::Stop() {
    Activity busyThread(w);
    {
        std::unique_lock<std::mutex> lk(w->mu);
        if (state != PnpState::Started) {
            lk.unlock();
            w->Violation(name + ": Stop of a device that is not started");
            return STATUS_INVALID_DEVICE_STATE;
        }
        w->AcquireBusy(this, lk);
    }
    if (Power() == PowerState::D0)
        w->PowerDown(this, WdfPowerDeviceD3Final, false);
    w->ReleaseHardware(this);
    {
        std::lock_guard<std::mutex> lk(w->mu);
        state = PnpState::Stopped;
        idleDx = sleeping = false;
    }
    w->FinishBusy(this);
    return STATUS_SUCCESS;
}

Status DeviceNode::Sleep() {
    Activity busyThread(w);
    {
        std::unique_lock<std::mutex> lk(w->mu);
        if (state != PnpState::Started || sleeping) {
            lk.unlock();
            w->Violation(name + ": Sleep of a device that is not started and awake");
            return STATUS_INVALID_DEVICE_STATE;
        }
        w->AcquireBusy(this, lk);
    }
    bool armed;
    {
        std::lock_guard<std::mutex> lk(w->mu);
        armed = wake.assigned && wake.enabled != WdfFalse;
    }
    if (Power() == PowerState::D0)
        w->PowerDown(this, armed ? WdfPowerDeviceD2 : WdfPowerDeviceD3, false);
    {
        std::lock_guard<std::mutex> lk(w->mu);
        sleeping = true;
        idleDx = false;
        queuesHeld = true;
    }
    w->FinishBusy(this);
    return STATUS_SUCCESS;
}

Status DeviceNode::Resume() {
    Activity busyThread(w);
    {
        std::unique_lock<std::mutex> lk(w->mu);
        if (state != PnpState::Started || !sleeping) {
            lk.unlock();
            w->Violation(name + ": Resume of a device that is not asleep");
            return STATUS_INVALID_DEVICE_STATE;
        }
        w->AcquireBusy(this, lk);
        d0Entries++;
    }
    uintptr_t h = reinterpret_cast<uintptr_t>(Handle());
    NTSTATUS status = STATUS_SUCCESS;
    if (auto cb = pnp.EvtDeviceD0Entry)
        status = w->CallPnp(this, "EvtDeviceD0Entry(D2)",
                            [&] { return cb(reinterpret_cast<WDFDEVICE>(h), WdfPowerDeviceD2); });
    if (!NT_SUCCESS(status)) {
        w->ReleaseHardware(this);
        w->TearDown(this, PnpState::FailedStart);
        return status;
    }
    {
        std::lock_guard<std::mutex> lk(w->mu);
        power = PowerState::D0;
        sleeping = false;
        queuesHeld = false;
    }
    w->FinishBusy(this);
    return status;
}

void DeviceNode::SurpriseRemove() {
    Activity busyThread(w);
    bool started;
    bool inD0;
    {
        std::unique_lock<std::mutex> lk(w->mu);
        if (state == PnpState::SurpriseRemoved || state == PnpState::Removed ||
            state == PnpState::FailedAdd || state == PnpState::FailedStart)
            return;
        usb.detached = true;
        w->AcquireBusy(this, lk);
        started = state == PnpState::Started;
        inD0 = power == PowerState::D0;
        state = PnpState::SurpriseRemoved;
        interfacesEnabled = false;
        w->Event(name + " surprise-removed");
    }
    if (inD0) {
        w->PowerDown(this, WdfPowerDeviceD3Final, true);
    } else {
        std::unique_lock<std::mutex> lk(w->mu);
        queuesHeld = true;
        w->PurgeQueues(this, STATUS_CANCELLED, lk);
        lk.unlock();
        w->RemoveTargets(this);
    }
    if (started)
        w->ReleaseHardware(this);
    w->FinishBusy(this);
}

void DeviceNode::Remove() {
    Activity busyThread(w);
    PnpState s;
    {
        std::unique_lock<std::mutex> lk(w->mu);
        s = state;
        if (s == PnpState::Removed || s == PnpState::FailedAdd || s == PnpState::FailedStart ||
            removing)
            return;
        if (s == PnpState::SurpriseRemoved && openHandles > 0) {
            // Documented: after a surprise removal, removal waits for the last handle to close.
            removePending = true;
            return;
        }
        w->AcquireBusy(this, lk);
        removing = true;
    }
    if (s == PnpState::Started) {
        if (Power() == PowerState::D0)
            w->PowerDown(this, WdfPowerDeviceD3Final, false);
        w->ReleaseHardware(this);
    }
    w->TearDown(this, PnpState::Removed);
}

} // namespace kmdf::sim

using namespace kmdf::sim;

// ------------------------------------------------------------------------ kernel services
// Documented: the IRQL the processor runs at; here the level the layer called the driver at.
extern "C" KIRQL KeGetCurrentIrql(VOID) {
    return Thread().irql;
}

// Documented: pageable code runs at IRQL <= APC_LEVEL.
extern "C" VOID KmdfVerifierCheckPagedCode(PCSTR Routine) {
    if (Thread().irql > APC_LEVEL)
        W()->Violation(std::string("PAGED_CODE: ") + Routine + " runs at IRQL " +
                       std::to_string(Thread().irql));
}

namespace kmdf::sim {
bool CheckIrql(const char* api, KIRQL max) {
    if (Thread().irql > max) {
        W()->Violation(std::string(api) + " called at IRQL " + std::to_string(Thread().irql) +
                       " (allowed up to " + std::to_string(max) + ")");
        return false;
    }
    return true;
}

bool InjectFailure(World::Impl* w, const char* api, KIRQL max, NTSTATUS* status) {
    CheckIrql(api, max);
    return w->faults.Check(api, status);
}
} // namespace kmdf::sim

// Documented: NonPagedPool at IRQL <= DISPATCH_LEVEL, PagedPool below it; the contents are not
// zeroed; NULL when the pool cannot satisfy the request.
extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    World::Impl* w = W();
    CheckIrql("ExAllocatePoolWithTag", PoolType == NonPagedPool ? DISPATCH_LEVEL : APC_LEVEL);
    NTSTATUS injected;
    if (w->faults.Check("ExAllocatePoolWithTag", &injected) || w->faults.PoolShouldFail() ||
        NumberOfBytes == 0) {
        std::lock_guard<std::mutex> lk(w->mu);
        w->Event("ExAllocatePoolWithTag failed");
        return nullptr;
    }
    void* p = std::malloc(NumberOfBytes);
    std::memset(p, 0xCD, NumberOfBytes);
    std::lock_guard<std::mutex> lk(w->mu);
    w->pool[p] = PoolBlock{Tag, NumberOfBytes, Thread().device, PoolType};
    w->poolAllocations++;
    w->Event("ExAllocatePoolWithTag " + std::string(PoolType == PagedPool ? "PagedPool " : "") +
             std::to_string(NumberOfBytes) + " tag " + TagText(Tag));
    return p;
}

// Documented: the tag must be the one the block was allocated with; freeing twice is fatal.
extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    World::Impl* w = W();
    CheckIrql("ExFreePoolWithTag", DISPATCH_LEVEL);
    std::unique_lock<std::mutex> lk(w->mu);
    auto it = w->pool.find(P);
    if (it == w->pool.end()) {
        lk.unlock();
        w->Violation("ExFreePoolWithTag: block " + Hex(reinterpret_cast<uintptr_t>(P)) +
                     " is not allocated (freed twice?)");
        return;
    }
    if (it->second.tag != Tag) {
        std::string text = "ExFreePoolWithTag: block allocated with tag " +
                           TagText(it->second.tag) + " freed with tag " + TagText(Tag);
        lk.unlock();
        w->Violation(text);
        lk.lock();
        it = w->pool.find(P);
        if (it == w->pool.end())
            return;
    }
    w->Event("ExFreePoolWithTag tag " + TagText(Tag));
    w->pool.erase(it);
    std::free(P);
}

// Documented: prints to the kernel debugger with the C runtime's printf conversions; the
// component's filter decides by Level (a level, or a mask with DPFLTR_MASK). Here every line goes
// to the world's debug log with its component and Level, as a debugger with all output enabled
// sees it. The trace-format extensions ("%!STATUS!") are no printf conversions: the debugger
// does not render them, and a format that carries one is a fault of its caller.
extern "C" ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    World::Impl* w = W();
    DebugLine line{ComponentId, Level, {}};
    if (std::strstr(Format, "%!") != nullptr) {
        w->Violation(std::string("vDbgPrintEx: the format carries a trace-format extension the "
                                 "debugger does not render: ") +
                     Format);
        line.text = Format;
    } else {
        char buf[512];
        std::vsnprintf(buf, sizeof buf, Format, arglist);
        line.text = buf;
    }
    std::lock_guard<std::mutex> lk(w->mu);
    if (w->debugLog.size() >= kLogLimit)
        w->debugLog.erase(w->debugLog.begin(), w->debugLog.begin() + kLogLimit / 2);
    w->debugLog.push_back(std::move(line));
    return 0;
}

// Documented: the variadic form of vDbgPrintEx.
extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG r = vDbgPrintEx(ComponentId, Level, Format, args);
    va_end(args);
    return r;
}

// ------------------------------------------------------------------------ objects
// Documented: returns the object's context of that type, or NULL when it has none of it.
PVOID imp_WdfObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS, WDFOBJECT Handle,
                                         PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    Object* o = w->LookupAny(Handle, "WdfObjectGetTypedContext");
    if (!o)
        return nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique =
        TypeInfo && TypeInfo->UniqueType ? TypeInfo->UniqueType : TypeInfo;
    if (!o->context || o->contextType != unique) {
        w->Violation(std::string("WdfObjectGetTypedContext: the ") + KindName(o->kind) +
                     " has no context of type " + (TypeInfo ? TypeInfo->ContextName : "?"));
        return nullptr;
    }
    return o->context.get();
}

// Documented: deletes a driver-created object and its children; a device object, the driver
// object and framework-delivered requests may not be deleted by the driver.
VOID imp_WdfObjectDelete(PWDF_DRIVER_GLOBALS, WDFOBJECT Object) {
    World::Impl* w = W();
    CheckIrql("WdfObjectDelete", DISPATCH_LEVEL);
    std::unique_lock<std::mutex> lk(w->mu);
    kmdf::sim::Object* o = w->LookupAny(Object, "WdfObjectDelete");
    if (!o)
        return;
    if (o->kind == ObjKind::Device || o->kind == ObjKind::Driver || o->kind == ObjKind::Request ||
        (o->kind == ObjKind::Memory && static_cast<MemoryObj*>(o)->ownerRequest)) {
        std::string text =
            std::string("WdfObjectDelete: a ") + KindName(o->kind) + " the framework owns";
        lk.unlock();
        w->Violation(text);
        return;
    }
    w->Event(std::string("WdfObjectDelete ") + KindName(o->kind));
    w->DeleteTree(o, lk);
}

// ------------------------------------------------------------------------ driver and device
namespace {
// Documented: the framework's unload routine runs EvtDriverUnload and deletes the driver object.
VOID FrameworkDriverUnload(PDRIVER_OBJECT) {
    World::Impl* w = W();
    std::unique_lock<std::mutex> lk(w->mu);
    if (!w->driver)
        return;
    PFN_WDF_DRIVER_UNLOAD unload = w->driver->config.EvtDriverUnload;
    uintptr_t h = w->driver->handle;
    if (unload) {
        lk.unlock();
        unload(reinterpret_cast<WDFDRIVER>(h));
        lk.lock();
    }
    if (w->driver)
        w->DeleteTree(w->driver, lk);
    w->driver = nullptr;
}
} // namespace

// Documented: creates the framework driver object for the DRIVER_OBJECT given to DriverEntry.
NTSTATUS imp_WdfDriverCreate(PWDF_DRIVER_GLOBALS, PDRIVER_OBJECT DriverObject,
                             PCUNICODE_STRING RegistryPath, PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                             PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
    World::Impl* w = W();
    NTSTATUS status;
    if (InjectFailure(w, "WdfDriverCreate", PASSIVE_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    if (DriverObject != &w->driverObject || !RegistryPath || !DriverConfig ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG) || w->driver) {
        w->Violation("WdfDriverCreate: bad arguments or a second driver object");
        return STATUS_INVALID_PARAMETER;
    }
    auto* d = new DriverObj;
    d->config = *DriverConfig;
    if (!w->AttachContext(d, DriverAttributes, "WdfDriverCreate")) {
        delete d;
        return STATUS_INVALID_PARAMETER;
    }
    w->Register(d, nullptr);
    w->driver = d;
    w->binding.globals.Driver = reinterpret_cast<WDFDRIVER>(d->handle);
    DriverObject->DriverUnload = FrameworkDriverUnload;
    w->Event("WdfDriverCreate");
    if (Driver)
        *Driver = reinterpret_cast<WDFDRIVER>(d->handle);
    return STATUS_SUCCESS;
}

namespace {
WDFDEVICE_INIT_IMPL* InitOf(PWDFDEVICE_INIT init, const char* api) {
    auto* i = reinterpret_cast<WDFDEVICE_INIT_IMPL*>(init);
    if (!i || i->consumed) {
        W()->Violation(std::string(api) + ": the device-initialisation record is used up");
        return nullptr;
    }
    return i;
}
} // namespace

// Documented: records the PnP/power callbacks the device object will have.
VOID imp_WdfDeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                                PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    auto* i = InitOf(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (!i)
        return;
    if (Callbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        W()->Violation("WdfDeviceInitSetPnpPowerEventCallbacks: Size is wrong");
        return;
    }
    i->pnp = *Callbacks;
}

// Documented: the transfer method of the device's read and write requests.
VOID imp_WdfDeviceInitSetIoType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                WDF_DEVICE_IO_TYPE IoType) {
    auto* i = InitOf(DeviceInit, "WdfDeviceInitSetIoType");
    if (i)
        i->ioType = IoType;
}

// Documented: EvtIoInCallerContext sees each request in the sending thread before it is queued.
VOID imp_WdfDeviceInitSetIoInCallerContextCallback(
    PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
    PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext) {
    auto* i = InitOf(DeviceInit, "WdfDeviceInitSetIoInCallerContextCallback");
    if (i)
        i->inCallerContext = EvtIoInCallerContext;
}

// Documented: the file-object callbacks (create, cleanup, close) and the attributes of the
// device's file objects.
VOID imp_WdfDeviceInitSetFileObjectConfig(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                          PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                          PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    auto* i = InitOf(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (!i)
        return;
    if (!FileObjectConfig || FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        W()->Violation("WdfDeviceInitSetFileObjectConfig: WDF_FILEOBJECT_CONFIG.Size is wrong");
        return;
    }
    if (FileObjectAttributes && FileObjectAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        W()->Violation("WdfDeviceInitSetFileObjectConfig: WDF_OBJECT_ATTRIBUTES.Size is wrong");
        return;
    }
    i->fileConfig = *FileObjectConfig;
    i->fileAttributes = FileObjectAttributes ? *FileObjectAttributes : WDF_OBJECT_ATTRIBUTES{};
}

// Documented: the attributes (a context type above all) of every request the framework
// delivers to the device's driver.
VOID imp_WdfDeviceInitSetRequestAttributes(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                           PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
    auto* i = InitOf(DeviceInit, "WdfDeviceInitSetRequestAttributes");
    if (!i)
        return;
    if (!RequestAttributes || RequestAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        W()->Violation("WdfDeviceInitSetRequestAttributes: WDF_OBJECT_ATTRIBUTES.Size is wrong");
        return;
    }
    i->requestAttributes = *RequestAttributes;
}

// Documented: creates the device object with its context; on success *DeviceInit becomes NULL.
NTSTATUS imp_WdfDeviceCreate(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT* DeviceInit,
                             PWDF_OBJECT_ATTRIBUTES Attributes, WDFDEVICE* Device) {
    World::Impl* w = W();
    CheckIrql("WdfDeviceCreate", PASSIVE_LEVEL);
    auto* i = InitOf(DeviceInit ? *DeviceInit : nullptr, "WdfDeviceCreate");
    if (!i)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    if (w->faults.Check("WdfDeviceCreate", &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    auto* d = new DeviceObj;
    d->node = i->node;
    if (!w->AttachContext(d, Attributes, "WdfDeviceCreate")) {
        delete d;
        return STATUS_INVALID_PARAMETER;
    }
    d->owner = i->node;
    w->Register(d, w->driver);
    i->node->device = d;
    i->node->pnp = i->pnp;
    i->node->ioType = i->ioType;
    i->node->inCallerContext = i->inCallerContext;
    i->node->requestAttributes = i->requestAttributes;
    i->node->fileConfig = i->fileConfig;
    i->node->fileAttributes = i->fileAttributes;
    i->consumed = true;
    *DeviceInit = nullptr;
    static const char* const ioTypes[] = {"undefined", "neither", "buffered", "direct"};
    w->Event(i->node->name + " WdfDeviceCreate io type " +
             (i->ioType <= WdfDeviceIoDirect ? ioTypes[i->ioType] : "?"));
    *Device = reinterpret_cast<WDFDEVICE>(d->handle);
    return STATUS_SUCCESS;
}

namespace {
DeviceNode* NodeOf(WDFDEVICE Device, const char* api) {
    Object* o = W()->Lookup(Device, ObjKind::Device, api);
    return o ? static_cast<DeviceObj*>(o)->node : nullptr;
}
} // namespace

// Documented: records the PnP capabilities reported for the device.
VOID imp_WdfDeviceSetPnpCapabilities(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                     PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    World::Impl* w = W();
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOf(Device, "WdfDeviceSetPnpCapabilities");
    if (!n)
        return;
    if (PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        w->Violation("WdfDeviceSetPnpCapabilities: Size is wrong");
        return;
    }
    n->caps = *PnpCapabilities;
    const WDF_DEVICE_PNP_CAPABILITIES& c = *PnpCapabilities;
    w->Event(
        n->name + " WdfDeviceSetPnpCapabilities SurpriseRemovalOK=" +
        std::to_string(c.SurpriseRemovalOK) + " LockSupported=" + std::to_string(c.LockSupported) +
        " EjectSupported=" + std::to_string(c.EjectSupported) +
        " Removable=" + std::to_string(c.Removable) +
        " DockDevice=" + std::to_string(c.DockDevice) + " UniqueID=" + std::to_string(c.UniqueID) +
        " SilentInstall=" + std::to_string(c.SilentInstall) + " HardwareDisabled=" +
        std::to_string(c.HardwareDisabled) + " NoDisplayInUI=" + std::to_string(c.NoDisplayInUI) +
        " Address=" + Hex(c.Address) + " UINumber=" + Hex(c.UINumber));
}

// Documented: registers an instance of the interface class; it is enabled when the device
// starts and disabled when it is removed.
NTSTATUS imp_WdfDeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                            CONST GUID* InterfaceClassGUID,
                                            PCUNICODE_STRING ReferenceString) {
    World::Impl* w = W();
    NTSTATUS status;
    if (InjectFailure(w, "WdfDeviceCreateDeviceInterface", PASSIVE_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOf(Device, "WdfDeviceCreateDeviceInterface");
    if (!n || !InterfaceClassGUID)
        return STATUS_INVALID_PARAMETER;
    const GUID& g = *InterfaceClassGUID;
    char link[160];
    std::snprintf(link, sizeof link,
                  "\\\\?\\usb#vid_%04x&pid_%04x#%d#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%"
                  "02x}",
                  n->usb.config.vendorId, n->usb.config.productId, n->index, g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    std::string s = link;
    if (ReferenceString && ReferenceString->Length) {
        s += "\\";
        for (USHORT k = 0; k < ReferenceString->Length / 2; ++k)
            s += static_cast<char>(ReferenceString->Buffer[k]);
    }
    n->interfaces.emplace_back(g, s);
    w->Event(n->name + " WdfDeviceCreateDeviceInterface");
    return STATUS_SUCCESS;
}

// Documented: a device that owns its power policy may go to Dx after IdleTimeout ms without I/O
// (0 = the framework's default of 5 s); Enabled WdfUseDefault means enabled unless the user
// turned it off.
NTSTATUS imp_WdfDeviceAssignS0IdleSettings(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                           PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings) {
    World::Impl* w = W();
    NTSTATUS status;
    if (InjectFailure(w, "WdfDeviceAssignS0IdleSettings", PASSIVE_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOf(Device, "WdfDeviceAssignS0IdleSettings");
    if (!n)
        return STATUS_INVALID_PARAMETER;
    if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS)) {
        w->Violation("WdfDeviceAssignS0IdleSettings: Size is wrong");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    n->idle.assigned = true;
    n->idle.idleCaps = Settings->IdleCaps;
    n->idle.dxState = Settings->DxState;
    n->idle.idleTimeoutMs = Settings->IdleTimeout ? Settings->IdleTimeout : 5000;
    n->idle.userControl = Settings->UserControlOfIdleSettings;
    n->idle.enabled = Settings->Enabled;
    w->Event(n->name + " WdfDeviceAssignS0IdleSettings " + std::to_string(n->idle.idleTimeoutMs) +
             " ms");
    return STATUS_SUCCESS;
}

// Documented: records whether and from which Dx state the device may wake the system.
NTSTATUS imp_WdfDeviceAssignSxWakeSettings(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                           PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings) {
    World::Impl* w = W();
    NTSTATUS status;
    if (InjectFailure(w, "WdfDeviceAssignSxWakeSettings", PASSIVE_LEVEL, &status))
        return status;
    std::lock_guard<std::mutex> lk(w->mu);
    DeviceNode* n = NodeOf(Device, "WdfDeviceAssignSxWakeSettings");
    if (!n)
        return STATUS_INVALID_PARAMETER;
    if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS)) {
        w->Violation("WdfDeviceAssignSxWakeSettings: Size is wrong");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    n->wake.assigned = true;
    n->wake.dxState = Settings->DxState;
    n->wake.userControl = Settings->UserControlOfWakeSettings;
    n->wake.enabled = Settings->Enabled;
    w->Event(n->name + " WdfDeviceAssignSxWakeSettings");
    return STATUS_SUCCESS;
}

// Documented: a preallocated memory object describes a buffer it does not own; its default
// parent is the driver object.
NTSTATUS imp_WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS, PWDF_OBJECT_ATTRIBUTES Attributes,
                                         PVOID Buffer, size_t BufferSize, WDFMEMORY* Memory) {
    World::Impl* w = W();
    NTSTATUS status;
    if (InjectFailure(w, "WdfMemoryCreatePreallocated", DISPATCH_LEVEL, &status))
        return status;
    if (!Buffer || BufferSize == 0 || !Memory)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lk(w->mu);
    auto* m = new MemoryObj;
    m->buffer = Buffer;
    m->size = BufferSize;
    if (!w->AttachContext(m, Attributes, "WdfMemoryCreatePreallocated")) {
        delete m;
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = w->driver;
    if (Attributes && Attributes->ParentObject)
        parent = w->LookupAny(Attributes->ParentObject, "WdfMemoryCreatePreallocated");
    w->Register(m, parent);
    w->Event("WdfMemoryCreatePreallocated " + std::to_string(BufferSize));
    *Memory = reinterpret_cast<WDFMEMORY>(m->handle);
    return STATUS_SUCCESS;
}

// Documented: the buffer the memory object describes, and its size.
PVOID imp_WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS, WDFMEMORY Memory, size_t* BufferSize) {
    World::Impl* w = W();
    std::unique_lock<std::mutex> lk(w->mu);
    Object* o = w->Lookup(Memory, ObjKind::Memory, "WdfMemoryGetBuffer");
    if (!o)
        return nullptr;
    auto* m = static_cast<MemoryObj*>(o);
    if (BufferSize)
        *BufferSize = m->size;
    std::string paged = w->PagedAtDispatch(m->buffer, m->size, Thread().irql, "WdfMemoryGetBuffer");
    if (!paged.empty()) {
        lk.unlock();
        w->Violation(paged);
    }
    return m->buffer;
}
