// Talvik2's image as the machine loads it: its entry point is the framework's bind stub
// (kmdf/stub), which binds to the framework and then runs the driver's own DriverEntry. The one
// declaration for everything that loads the driver outside a kernel image.
#pragma once

#include <wdm.h>

EXTERN_C DRIVER_INITIALIZE FxDriverEntry;

namespace sim {
inline constexpr const char* kTalvik2Service = "Talvik2";
} // namespace sim
