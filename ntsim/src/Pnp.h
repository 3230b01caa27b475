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
    bool stopped = false; // by StopDevice, its stack in place
    bool removed = false;
    ULONG problem = 0;
    NTSTATUS problemStatus = STATUS_SUCCESS;
};

struct IrpResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends an IRP of the PnP manager to the top of `pdo`'s stack and waits for it (PASSIVE_LEVEL).
// PnP IRPs start as STATUS_NOT_SUPPORTED, so that drivers that do not handle one pass it on.
IrpResult SendSync(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)>& fill);

// On the PnP thread: the node of a PDO the PnP manager knows (nullptr once removed).
Node* FindNode(PDEVICE_OBJECT pdo);
// START_DEVICE to a node whose stack is built; on failure the stack is removed and the node
// carries kProblemFailedStart. Then its children are enumerated.
bool StartNode(Node* node);
// Under the PnP manager's data lock.
void SetProblem(Node* node, ULONG problem, NTSTATUS status);

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
