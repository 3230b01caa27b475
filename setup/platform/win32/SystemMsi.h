// msi.dll, loaded from the system directory and nowhere else.
#pragma once

#include <windows.h>

// Loads the system's msi.dll by its full path (once; it stays loaded) so that the delay-imported
// product-state query binds to that module. Null when it cannot be loaded: then the query must
// not be called, or the delay-load helper would search for msi.dll itself.
HMODULE LoadSystemMsi();
