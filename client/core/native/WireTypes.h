// What the shared driver header expects from the platform headers, for builds without Windows:
// the integer types, the control-code layout and a GUID definition that yields the client's own
// interface-class record.
#pragma once

#include "talvik/Transport.h"

typedef unsigned char UCHAR;
typedef unsigned short USHORT;

#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define FILE_ANY_ACCESS 0
#define CTL_CODE(type, function, method, access)                                                   \
    (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    static const ::talvik::InterfaceClass name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
