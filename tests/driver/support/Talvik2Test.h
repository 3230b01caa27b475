// A fixture that runs Talvik2 in a fresh simulated machine of the kernel stack (the PnP manager
// loads it through its image entry when a colorimeter arrives; its URBs reach the virtual bus),
// every finding of the kernel's or the framework's verifier failing the test unless taken, and
// helpers to talk to the colorimeter as an application does and to read what crossed the bus.
#pragma once

#include "StackFixture.h"

#include "sim/Talvik2Machine.h"

#include "Talvik.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace talvik_test {

using sim::Colorimeter;
using sim::ColorimeterConfig;
using sim::ControlReply;
using sim::PipeConfig;
using sim::PipeKind;
using sim::TransferRecord;
using Handle = sim::Machine::Handle;

VENDOR_OR_CLASS_REQUEST_CONTROL Block(UCHAR direction, UCHAR requestType, UCHAR recipient,
                                      UCHAR request, USHORT value, USHORT index);

class Talvik2Test : public StackFixture<sim::Talvik2Machine> {
protected:
    // Boots the machine; the driver's pool (its tag) is traced into the events, as
    // "ExAllocatePoolWithTag 136 tag OSRF", "ExAllocatePoolWithTag failed tag OSRF" and
    // "ExFreePoolWithTag tag OSRF", in order with the framework's.
    void SetUp() override;

    // A colorimeter arrives; returns when the PnP manager is done with it (started or not).
    Colorimeter* PlugIn(const ColorimeterConfig& config = {});
    // ... and fails the test unless its stack started.
    Colorimeter* StartColorimeter(const ColorimeterConfig& config = {});
    sim::Machine::DeviceState State(const Colorimeter* device) const {
        return machine().StateOf(device);
    }
    // What its start came to: STATUS_SUCCESS when started, else the status of the step that
    // failed (DriverEntry, AddDevice or the start).
    NTSTATUS Outcome(const Colorimeter* device) const;
    // The driver's device context, reached through its own accessor (nullptr: no device).
    PDEVICE_CONTEXT Context(const Colorimeter* device);

    // Opens the driver's interface `index` for read and write; fails the test otherwise.
    Handle Open(size_t index = 0);
    NTSTATUS Close(Handle handle) { return machine().Close(handle); }

    // Virtual time once the machine is quiet, then what its DPCs set off (work items, PnP
    // actions) settled.
    void Advance(std::int64_t ms);

    // Vendor and class control transfers (the standard requests left out), interrupt reads.
    static std::vector<TransferRecord> VendorTraffic(const Colorimeter& device);
    static std::vector<TransferRecord> ReadTraffic(const Colorimeter& device);

    bool HasEvent(const std::string& text) const { return EventIndex(text) >= 0; }
    // The first event containing `text`, or -1.
    long EventIndex(const std::string& text) const;
    size_t CountEvents(const std::string& text) const;
    // D0 entries and exits the framework ran since boot (events cleared or not).
    int D0Entries() const { return d0Entries_.load(); }
    int D0Exits() const { return d0Exits_.load(); }
    bool InD0() const { return D0Entries() > D0Exits(); }

    // The driver's blocks in pool now.
    size_t DriverPoolBlocks() const;

    // A verifier finding containing `text` must come instead of failing the test.
    void ExpectViolation(const std::string& text) { Expect(text); }

private:
    std::atomic<int> d0Entries_{0};
    std::atomic<int> d0Exits_{0};
};

} // namespace talvik_test
