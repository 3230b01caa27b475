// The plug-and-play manager: device nodes, the root enumerator's PDOs, matching function drivers
// by hardware and compatible ids, start, enumeration of a bus's children, removal, device power.
// Every action runs on the PnP thread, one at a time, as on Wine.
#include "Pnp.h"

#include <cctype>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

constexpr ULONG kIdTag = 'dIsN';

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

PnpManager::Impl& P() {
    return *K().pnpImpl;
}

// ------------------------------------------------------------------ the root enumerator's PDOs
Node* NodeOfRootPdo(PDEVICE_OBJECT pdo) {
    return *static_cast<Node**>(pdo->DeviceExtension);
}

PWCH PoolIds(const std::vector<std::string>& ids, bool multi) {
    std::u16string text;
    for (const std::string& id : ids) {
        text += Widen(id);
        text.push_back(0);
        if (!multi)
            break;
    }
    text.push_back(0);
    auto* buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), kIdTag));
    if (buffer != nullptr)
        memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    return buffer;
}

NTSTATUS RootPdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Node* node = NodeOfRootPdo(pdo);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID: {
        std::vector<std::string> ids;
        BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
        if (type == BusQueryDeviceID)
            ids = {node->deviceId};
        else if (type == BusQueryInstanceID)
            ids = {node->instanceId};
        else if (type == BusQueryHardwareIDs)
            ids = node->hardwareIds;
        else
            break;
        PWCH buffer = PoolIds(ids, type == BusQueryHardwareIDs);
        status = buffer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
        break;
    }
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootPdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
    (void)pdo;
    PoStartNextPowerIrp(irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER
                          ? STATUS_SUCCESS
                          : STATUS_NOT_SUPPORTED;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ------------------------------------------------------------------------- node life
std::vector<std::string> ParseIds(ULONG_PTR information, bool multi) {
    std::vector<std::string> ids;
    auto* text = reinterpret_cast<const WCHAR*>(information);
    while (text != nullptr && *text != 0) {
        size_t length = 0;
        while (text[length] != 0)
            ++length;
        ids.push_back(Narrow(text, length));
        text += length + 1;
        if (!multi)
            break;
    }
    if (information != 0)
        ExFreePool(reinterpret_cast<PVOID>(information));
    return ids;
}

std::vector<std::string> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    IrpResult r = SendSync(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                           [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    if (!NT_SUCCESS(r.status))
        return {};
    return ParseIds(r.information, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
}

PnpManager::Impl::Package* Match(Node* node) {
    std::vector<std::string> ids = node->hardwareIds;
    ids.insert(ids.end(), node->compatibleIds.begin(), node->compatibleIds.end());
    std::lock_guard<std::mutex> lock(P().mu);
    for (const std::string& id : ids)
        for (auto& package : P().packages)
            for (const std::string& model : package.ids)
                if (Lower(model) == Lower(id))
                    return &package;
    return nullptr;
}

PDRIVER_OBJECT Load(PnpManager::Impl::Package* package, NTSTATUS* status) {
    *status = STATUS_SUCCESS;
    if (package->loaded != nullptr)
        return package->loaded;
    PDRIVER_OBJECT driver = CreateDriverObject(package->service);
    std::u16string path =
        Widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + package->service);
    UNICODE_STRING registryPath;
    registryPath.Buffer = path.data();
    registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;
    *status = package->entry(driver, &registryPath);
    if (!NT_SUCCESS(*status))
        return nullptr;
    std::lock_guard<std::mutex> lock(P().mu);
    package->loaded = driver;
    return driver;
}

void Enumerate(Node* node);
void UnloadDriverIfUnused(PDRIVER_OBJECT driver);

void FailNode(Node* node, ULONG problem, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(P().mu);
    SetProblem(node, problem, status);
}

void InstallAndStart(Node* node) {
    PnpManager::Impl::Package* package = Match(node);
    if (package == nullptr)
        return;
    NTSTATUS status;
    PDRIVER_OBJECT driver = Load(package, &status);
    if (driver == nullptr) {
        FailNode(node, kProblemFailedDriverEntry, status);
        return;
    }
    if (driver->DriverExtension->AddDevice == nullptr)
        return;
    status = driver->DriverExtension->AddDevice(driver, node->pdo);
    if (!NT_SUCCESS(status)) {
        FailNode(node, kProblemFailedAdd, status);
        UnloadDriverIfUnused(driver);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(P().mu);
        node->service = package->service;
        node->driver = driver;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    if (top->Flags & DO_DEVICE_INITIALIZING)
        Violate(ViolationKind::Device,
                "AddDevice of " + package->service + " left DO_DEVICE_INITIALIZING set");
    ObDereferenceObject(top);
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    StartNode(node);
}

// A driver is unloaded once it has no device left, as after an AddDevice that failed.
void UnloadDriverIfUnused(PDRIVER_OBJECT driver) {
    if (driver == nullptr || driver->DeviceObject != nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(P().mu);
        for (auto& package : P().packages)
            if (package.loaded == driver)
                package.loaded = nullptr;
    }
    UnloadDriverObject(driver);
}

void UnloadIfUnused(Node* node) {
    UnloadDriverIfUnused(node->driver);
}

void Forget(Node* node) {
    std::lock_guard<std::mutex> lock(P().mu);
    node->removed = true;
    node->started = false;
    if (node->parent != nullptr) {
        auto& siblings = node->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
    }
}

// After REMOVE_DEVICE: a root PDO is the PnP manager's to delete; a bus's PDO its bus's.
void AfterRemove(Node* node) {
    DisableInterfacesOf(node->pdo);
    UnloadIfUnused(node);
    Forget(node);
    if (node->root)
        IoDeleteDevice(node->pdo);
    else
        ObDereferenceObject(node->pdo); // the reference the bus gave with its relations
}

void SurpriseRemoveTree(Node* node) {
    std::vector<Node*> children = node->children;
    for (Node* child : children)
        SurpriseRemoveTree(child);
    if (node->started) {
        DisableInterfacesOf(node->pdo);
        SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
    }
    SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
    AfterRemove(node);
}

NTSTATUS RemoveTree(Node* node) {
    std::vector<Node*> children = node->children;
    for (Node* child : children) {
        NTSTATUS status = RemoveTree(child);
        if (!NT_SUCCESS(status))
            return status;
    }
    IrpResult query = SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(query.status)) {
        SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
        return query.status;
    }
    DisableInterfacesOf(node->pdo);
    SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
    AfterRemove(node);
    return STATUS_SUCCESS;
}

// BusRelations: children no longer reported are surprise-removed (as Wine does); new ones get
// their IDs queried, a driver matched, and started.
void Enumerate(Node* node) {
    IrpResult r =
        SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
            s->Parameters.QueryDeviceRelations.Type = BusRelations;
        });
    if (!NT_SUCCESS(r.status))
        return;
    std::vector<PDEVICE_OBJECT> reported;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information)) {
        reported.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    std::vector<Node*> added;
    for (PDEVICE_OBJECT pdo : reported) {
        Node* known = nullptr;
        for (Node* child : node->children)
            known = child->pdo == pdo ? child : known;
        if (known != nullptr) {
            ObDereferenceObject(pdo);
            continue;
        }
        auto fresh = std::make_unique<Node>();
        fresh->pdo = pdo;
        fresh->parent = node;
        added.push_back(fresh.get());
        std::lock_guard<std::mutex> lock(P().mu);
        node->children.push_back(fresh.get());
        P().nodes.push_back(std::move(fresh));
    }
    std::vector<Node*> gone;
    for (Node* child : node->children)
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            gone.push_back(child);
    for (Node* child : gone)
        SurpriseRemoveTree(child);
    for (Node* child : added) {
        std::vector<std::string> deviceId = QueryId(child->pdo, BusQueryDeviceID);
        std::vector<std::string> instanceId = QueryId(child->pdo, BusQueryInstanceID);
        std::vector<std::string> hardware = QueryId(child->pdo, BusQueryHardwareIDs);
        std::vector<std::string> compatible = QueryId(child->pdo, BusQueryCompatibleIDs);
        {
            std::lock_guard<std::mutex> lock(P().mu);
            child->deviceId = deviceId.empty() ? "" : deviceId[0];
            child->instanceId = instanceId.empty() ? "" : instanceId[0];
            child->hardwareIds = hardware;
            child->compatibleIds = compatible;
        }
        InstallAndStart(child);
    }
}

Node* Find(PDEVICE_OBJECT pdo) {
    return FindNode(pdo);
}

} // namespace

namespace ntsim::detail {

Node* FindNode(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(P().mu);
    for (auto& node : P().nodes)
        if (node->pdo == pdo && !node->removed)
            return node.get();
    return nullptr;
}

void SetProblem(Node* node, ULONG problem, NTSTATUS status) {
    node->problem = problem;
    node->problemStatus = status;
}

bool StartNode(Node* node) {
    IrpResult start = SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr);
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> lock(P().mu);
        node->stopped = false;
        node->started = NT_SUCCESS(start.status);
        SetProblem(node, node->started ? 0 : kProblemFailedStart,
                   node->started ? STATUS_SUCCESS : start.status);
        driver = node->driver;
    }
    if (!NT_SUCCESS(start.status)) {
        SendSync(node->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
        {
            std::lock_guard<std::mutex> lock(P().mu);
            node->driver = nullptr; // its stack is gone; the driver may go with it
        }
        UnloadDriverIfUnused(driver);
        return false;
    }
    Enumerate(node);
    return true;
}

} // namespace ntsim::detail

// ------------------------------------------------------------------------ public interface
void PnpManager::InstallDriver(const std::string& service, DriverEntryRoutine entry,
                               const std::vector<std::string>& ids) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->packages.push_back(Impl::Package{service, entry, ids, nullptr});
}

PDRIVER_OBJECT PnpManager::Driver(const std::string& service) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& package : impl_->packages)
        if (package.service == service)
            return package.loaded;
    return nullptr;
}

PDRIVER_OBJECT PnpManager::LoadDriver(const std::string& service, DriverEntryRoutine entry) {
    InstallDriver(service, entry, {});
    PDRIVER_OBJECT driver = nullptr;
    impl_->Call([&] {
        Impl::Package* package;
        {
            std::lock_guard<std::mutex> lock(impl_->mu);
            package = &impl_->packages.back();
        }
        NTSTATUS status;
        driver = Load(package, &status);
    });
    return driver;
}

PDEVICE_OBJECT PnpManager::AddRootDevice(const std::string& hardwareId) {
    PDEVICE_OBJECT pdo = nullptr;
    impl_->Call([this, &pdo, hardwareId] {
        if (impl_->rootDriver == nullptr) {
            impl_->rootDriver = CreateDriverObject("PnpManager");
            impl_->rootDriver->MajorFunction[IRP_MJ_PNP] = RootPdoPnp;
            impl_->rootDriver->MajorFunction[IRP_MJ_POWER] = RootPdoPower;
        }
        if (!NT_SUCCESS(IoCreateDevice(impl_->rootDriver, sizeof(Node*), nullptr,
                                       FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo)))
            return;
        pdo->Flags = (pdo->Flags | DO_BUS_ENUMERATED_DEVICE) & ~DO_DEVICE_INITIALIZING;
        auto node = std::make_unique<Node>();
        node->pdo = pdo;
        node->root = true;
        node->deviceId = hardwareId;
        char instance[8];
        snprintf(instance, sizeof instance, "%04d", impl_->rootInstances++);
        node->instanceId = instance;
        node->hardwareIds = {hardwareId};
        *static_cast<Node**>(pdo->DeviceExtension) = node.get();
        Node* raw = node.get();
        {
            std::lock_guard<std::mutex> lock(impl_->mu);
            impl_->nodes.push_back(std::move(node));
        }
        InstallAndStart(raw);
    });
    return pdo;
}

NTSTATUS PnpManager::RemoveDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->Call([&] {
        if (Node* node = Find(pdo))
            status = RemoveTree(node);
    });
    return status;
}

void PnpManager::SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
    impl_->Call([&] {
        if (Node* node = Find(pdo))
            SurpriseRemoveTree(node);
    });
}

std::vector<PnpManager::DeviceInfo> PnpManager::Devices() const {
    std::vector<DeviceInfo> devices;
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& node : impl_->nodes)
        if (!node->removed)
            devices.push_back(DeviceInfo{node->pdo, node->deviceId, node->instanceId,
                                         node->hardwareIds, node->compatibleIds, node->service,
                                         node->started, node->problem, node->problemStatus});
    return devices;
}

void PnpManager::WaitIdle() {
    impl_->WaitIdle();
}

namespace ntsim::detail {

bool IsPdo(PDEVICE_OBJECT device, std::string* deviceId, std::string* instanceId) {
    std::lock_guard<std::mutex> lock(P().mu);
    for (auto& node : P().nodes)
        if (node->pdo == device && !node->removed) {
            *deviceId = node->deviceId;
            *instanceId = node->instanceId;
            return true;
        }
    return false;
}

void PostDeviceRelationsChanged(PDEVICE_OBJECT device) {
    P().Post([device] {
        Node* node = Find(device);
        if (node == nullptr) {
            Violate(ViolationKind::Device, "IoInvalidateDeviceRelations on a device that is not "
                                           "a PDO the PnP manager knows");
            return;
        }
        if (node->started)
            Enumerate(node);
    });
}

} // namespace ntsim::detail

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT device,
                                                  DEVICE_RELATION_TYPE type) {
    CheckIrql("IoInvalidateDeviceRelations", DISPATCH_LEVEL);
    if (type == BusRelations)
        PostDeviceRelationsChanged(device);
}
