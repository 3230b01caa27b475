#include "sim/BusTransfers.h"

#include <cstdio>
#include <map>

namespace sim {
namespace {

constexpr std::int64_t kTicksPerMs = 10000;

// Standard requests the bus carries out at once and logs no status for.
bool AnsweredWithoutStatus(const USB_SETUP_PACKET& setup) {
    if ((setup.bmRequestType & 0x60) != 0) // class or vendor
        return false;
    return setup.bRequest == 0x01 || setup.bRequest == 0x09 || setup.bRequest == 0x0B;
}

} // namespace

std::vector<TransferRecord>
TransfersOf(const std::vector<USBBUS_LOG_ENTRY>& log, ULONG port,
            const std::function<TransferRecord::Kind(std::uint8_t endpoint)>& kindOf) {
    std::vector<TransferRecord> records;
    std::vector<bool> seen; // per record: a setup packet or a status of its own was logged
    std::map<std::uint8_t, size_t> open; // endpoint -> its transfer in progress
    auto start = [&](const USBBUS_LOG_ENTRY& e) -> TransferRecord& {
        TransferRecord record;
        record.endpoint = e.EndpointAddress;
        record.kind =
            e.EndpointAddress == 0 ? TransferRecord::Kind::Control : kindOf(e.EndpointAddress);
        record.submittedMs = static_cast<std::uint64_t>(e.Time / kTicksPerMs);
        records.push_back(record);
        seen.push_back(e.EndpointAddress != 0);
        open[e.EndpointAddress] = records.size() - 1;
        return records.back();
    };
    auto current = [&](const USBBUS_LOG_ENTRY& e) -> TransferRecord& {
        auto found = open.find(e.EndpointAddress);
        return found != open.end() ? records[found->second] : start(e);
    };
    for (const USBBUS_LOG_ENTRY& e : log) {
        if (e.Port != port)
            continue;
        const std::uint64_t ms = static_cast<std::uint64_t>(e.Time / kTicksPerMs);
        switch (e.Kind) {
        case UsbBusLogSetup: {
            open.erase(e.EndpointAddress);
            TransferRecord& r = start(e);
            r.setup = e.Setup;
            seen.back() = true;
            if (AnsweredWithoutStatus(e.Setup)) {
                r.completed = true;
                r.completedMs = ms;
                open.erase(e.EndpointAddress);
            }
            break;
        }
        case UsbBusLogData: {
            TransferRecord& r = current(e);
            bool in = e.EndpointAddress == 0 ? (r.setup.bmRequestType & 0x80) != 0
                                             : (e.EndpointAddress & 0x80) != 0;
            ULONG kept = e.Length < USBBUS_LOG_DATA_BYTES ? e.Length : USBBUS_LOG_DATA_BYTES;
            (in ? r.dataIn : r.dataOut)
                .insert((in ? r.dataIn : r.dataOut).end(), e.Data, e.Data + kept);
            break;
        }
        case UsbBusLogCancel:
            current(e).cancelled = true;
            break;
        case UsbBusLogStatus: {
            TransferRecord& r = current(e);
            seen[static_cast<size_t>(&r - records.data())] = true;
            r.completed = true;
            r.completedMs = ms;
            r.ntStatus = e.Status;
            r.usbdStatus = e.UsbdStatus;
            r.bytes = e.Length;
            open.erase(e.EndpointAddress);
            break;
        }
        default:
            break;
        }
    }
    // A cancellation alone on the default pipe is the idle notification's, not a transfer.
    std::vector<TransferRecord> transfers;
    for (size_t i = 0; i < records.size(); ++i)
        if (seen[i])
            transfers.push_back(records[i]);
    return transfers;
}

std::string TransferRecord::ToString() const {
    static const char* const kKinds[] = {"CONTROL", "INTR-IN", "BULK-IN", "BULK-OUT", "PIPE"};
    char head[160];
    if (kind == Kind::Control)
        std::snprintf(head, sizeof head, "%6llu ms  %-8s %02X %02X %04X %04X %04X",
                      static_cast<unsigned long long>(submittedMs), kKinds[0], setup.bmRequestType,
                      setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
    else
        std::snprintf(head, sizeof head, "%6llu ms  %-8s ep %02X",
                      static_cast<unsigned long long>(submittedMs), kKinds[static_cast<int>(kind)],
                      endpoint);
    std::string text = head;
    auto bytesOf = [&text](const char* label, const std::vector<std::uint8_t>& data) {
        if (data.empty())
            return;
        text += label;
        char hex[4];
        for (std::uint8_t b : data) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            text += hex;
        }
    };
    bytesOf("  out:", dataOut);
    bytesOf("  in:", dataIn);
    if (cancelled)
        text += "  cancelled";
    if (!completed) {
        text += "  pending";
    } else {
        std::snprintf(head, sizeof head, "  -> %08X/%08X %u bytes at %llu ms",
                      static_cast<unsigned>(ntStatus), static_cast<unsigned>(usbdStatus), bytes,
                      static_cast<unsigned long long>(completedMs));
        text += head;
    }
    return text;
}

} // namespace sim
