// A virtual device the bus owns, made from descriptors user mode sent through the control
// interface. It answers descriptor requests, and vendor and class requests as its script says
// (AnswerScript.h): with none, they stall.
#pragma once

#include "Bus.h"

struct AnswerScript;

// Checks the plug request's layout (BusControl.h) and copies it; NULL when it is malformed
// (`*status` says which) or no memory is left. Freed by FreeDescribedDevice (Bus.h).
UsbVirtualDevice* CreateDescribedDevice(const UCHAR* request, ULONG length, NTSTATUS* status);
// Gives a device made here a new script (NULL: none) and returns the one it had, for the caller
// to free. Any thread, IRQL <= DISPATCH_LEVEL.
AnswerScript* ReplaceDescribedDeviceScript(UsbVirtualDevice* device, AnswerScript* script);
