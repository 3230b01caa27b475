// The PnP manager's device nodes, its thread, and the synchronous IRPs it sends down a stack.
#pragma once

#include "Internal.h"

#include <algorithm>
#include <memory>

namespace ntsim::detail {

struct Node {
    PDEVICE_OBJECT pdo = nullptr;
    Node* parent = nullptr;
    std::vector<Node*> children;
    std::string deviceId;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string service;
    PDRIVER_OBJECT driver = nullptr;
    bool root = false;
    bool started = false;
    bool removed = false;
};

struct IrpResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends an IRP of the PnP manager to the top of `pdo`'s stack and waits for it (PASSIVE_LEVEL).
// PnP IRPs start as STATUS_NOT_SUPPORTED, so that drivers that do not handle one pass it on.
IrpResult SendSync(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)>& fill);

} // namespace ntsim::detail

struct ntsim::PnpManager::Impl {
    struct Package {
        std::string service;
        DriverEntryRoutine entry;
        std::vector<std::string> ids;
        PDRIVER_OBJECT loaded;
    };

    // Data of nodes and packages; not held while a driver runs. Nodes change on the PnP thread.
    mutable std::mutex mu;
    std::vector<std::unique_ptr<detail::Node>> nodes;
    std::deque<Package> packages; // deque: a package stays where it is
    PDRIVER_OBJECT rootDriver = nullptr;
    int rootInstances = 0;

    void Start();
    void Stop();
    void Post(std::function<void()> action);
    void Call(std::function<void()> action); // posts and waits (never from the PnP thread)
    void WaitIdle();

private:
    void Run();
    std::mutex queueMu_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};
