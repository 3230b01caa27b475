// The bus log of a machine's bus, read in the simulated kernel (the transfers: BusTransfers.h).
#pragma once

#include "sim/BusTransfers.h"

namespace sim {

// The bus's log from sequence `first` on.
std::vector<USBBUS_LOG_ENTRY> ReadBusLog(PDEVICE_OBJECT busFdo, ULONG first);
// The sequence number the bus's next log entry will have.
ULONG NextLogEntry(PDEVICE_OBJECT busFdo);

} // namespace sim
