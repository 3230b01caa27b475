// The bus log as transfers: each control transfer from its setup packet to its status, each pipe
// transfer from its data to its status, cancellations marked, times in milliseconds of the log's
// clock. Only the bus's control-interface records are needed, so the Windows client (talvikctl
// --bus, which reads the log through that interface) and the simulated machine share it.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <wdm.h>
#endif

#include <usbbus/BusControl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct TransferRecord {
    enum class Kind { Control, InterruptIn, BulkIn, BulkOut, Other } kind = Kind::Control;
    std::uint64_t submittedMs = 0; // its first entry in the log
    std::uint64_t completedMs = 0;
    USB_SETUP_PACKET setup = {};       // control transfers
    std::uint8_t endpoint = 0;         // pipe transfers
    std::vector<std::uint8_t> dataOut; // host to device (the log keeps 64 bytes of each)
    std::vector<std::uint8_t> dataIn;  // device to host
    bool completed = false;
    bool cancelled = false;
    std::int32_t ntStatus = 0; // NTSTATUS
    std::int32_t usbdStatus = 0;
    std::uint32_t bytes = 0;
    std::string ToString() const;
};

// Entries of one port, in sequence order; `kindOf` names a pipe transfer's kind by endpoint.
std::vector<TransferRecord>
TransfersOf(const std::vector<USBBUS_LOG_ENTRY>& log, ULONG port,
            const std::function<TransferRecord::Kind(std::uint8_t endpoint)>& kindOf);

} // namespace sim
