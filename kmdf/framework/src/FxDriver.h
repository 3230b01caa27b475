// The framework's driver object: the WDM driver object it wraps and the driver's configuration.
#pragma once

#include "FxObject.h"

struct FxDriver {
    FxObject Object;
    static const FxType kType = FxTypeDriver;
    PDRIVER_OBJECT Wdm;
    WDF_DRIVER_CONFIG Config;
};

// The bound driver's object, or NULL before WdfDriverCreate and after unload.
FxDriver* FxTheDriver(VOID);
// At unbind: the driver object and what hangs under it go, when the unload routine did not run
// (DriverEntry failed after WdfDriverCreate).
VOID FxDriverDeleteAtUnbind(VOID);
