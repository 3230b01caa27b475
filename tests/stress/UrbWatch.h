// Watches the driver's use of its URB block: the stress program's build wraps the two framework
// calls that open and close a vendor request's use of it (linker --wrap), so that two vendor
// requests of one device using the block at the same time are caught as they happen.
#pragma once

#include <functional>
#include <string>

namespace talvik_stress {

// Called with a description when a second request is formatted onto a URB block that another
// request still holds (from its formatting to its completion).
void SetUrbWatchHandler(std::function<void(const std::string&)> handler);
// Requests formatted onto a URB block so far, and blocks still held (0 once all completed).
unsigned long long UrbFormats();
unsigned long UrbBlocksHeld();

} // namespace talvik_stress
