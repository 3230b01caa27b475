/* Compiled for x86_64 Windows against MinGW's DDK headers: every layout and constant of the
   framework layer (layer_values.h, made by LayoutDump) must be what the platform's headers
   give. A mismatch fails the compile. */
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <initguid.h>
#include <stddef.h>

#include "TalvikPublic.h"
#include "layer_values.h"

#define GUID_DEVINTERFACE_TALVIK_DATA1 0x2d7a4c19 /* a constant expression in C */

#define ITEM(name, expr)                                                                           \
    _Static_assert((unsigned long long)(expr) == LAYER_##name, "layer differs: " #name);
#include "CrossCheckItems.h"

_Static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136,
               "the vendor URB is 136 bytes on 64-bit Windows");
_Static_assert(sizeof(void*) == 8, "checked for 64-bit Windows");
