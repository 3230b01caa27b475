// A virtual device the bus owns, made from descriptors user mode sent through the control
// interface. It answers descriptor requests only: vendor and class requests stall.
#pragma once

#include "Bus.h"

// Checks the plug request's layout (BusControl.h) and copies it; NULL when it is malformed
// (`*status` says which) or no memory is left. Freed by FreeDescribedDevice (Bus.h).
UsbVirtualDevice* CreateDescribedDevice(const UCHAR* request, ULONG length, NTSTATUS* status);
