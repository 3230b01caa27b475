#include "sim/BusTraffic.h"

#include <usbbus/UsbBus.h>

namespace sim {

std::vector<USBBUS_LOG_ENTRY> ReadBusLog(PDEVICE_OBJECT busFdo, ULONG first) {
    std::vector<USBBUS_LOG_ENTRY> log;
    std::vector<USBBUS_LOG_ENTRY> chunk(64);
    for (;;) {
        ULONG n = UsbBusReadLog(busFdo, first, chunk.data(), static_cast<ULONG>(chunk.size()));
        if (n == 0)
            return log;
        log.insert(log.end(), chunk.begin(), chunk.begin() + n);
        first = chunk[n - 1].Sequence + 1;
    }
}

ULONG NextLogEntry(PDEVICE_OBJECT busFdo) {
    std::vector<USBBUS_LOG_ENTRY> log = ReadBusLog(busFdo, 0);
    return log.empty() ? 0 : log.back().Sequence + 1;
}

} // namespace sim
