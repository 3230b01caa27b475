// Watches the driver's use of its URB block: after the driver has bound, the two entries of its
// framework function table that open and close a vendor request's use of the block are replaced
// by watchers that call the framework's own entries, so that two vendor requests of one device
// using the block at the same time are caught as they happen.
#pragma once

#include <functional>
#include <string>

namespace talvik_stress {

// Puts the watchers into the bound driver's function table (call after each load).
void InstallUrbWatch();

// Called with a description when a second request is formatted onto a URB block that another
// request still holds (from its formatting to its completion).
void SetUrbWatchHandler(std::function<void(const std::string&)> handler);
// Requests formatted onto a URB block so far, and blocks still held (0 once all completed).
unsigned long long UrbFormats();
unsigned long UrbBlocksHeld();

} // namespace talvik_stress
