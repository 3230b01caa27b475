// Included in exactly one source file of the image, before the headers that declare GUIDs with
// DEFINE_GUID, gives those GUIDs their storage (the platform's initguid.h).
#define INITGUID
#ifdef GUID_DEFINED
#include <guiddef.h>
#endif
