/* MinGW's DDK headers against Layouts.h, in an x86_64-w64-mingw32 compile. */
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#define LAYOUT(expression, value) _Static_assert((expression) == (value), #expression);
#include "Layouts.h"
