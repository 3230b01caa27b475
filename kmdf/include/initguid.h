// Included before the header that uses DEFINE_GUID, in exactly one source file of the image,
// gives the GUIDs their storage (the platform's initguid.h).
#pragma once
#define INITGUID
