// Every framework call, declared as imp_<name> with the type of its function-table entry (the
// driver globals first), so that a definition that differs from the header's wrapper does not
// compile. The binding fills the table from this list.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#include "FxDeviceExports.h"
#include "FxIoExports.h"

#define FX_EXPORTS(X) FX_DEVICE_EXPORTS(X) FX_IO_EXPORTS(X)

// The table entry's function type: the wrapper's, with the driver globals in front.
template <typename F> struct FxTableEntryOf;
template <typename R, typename... A> struct FxTableEntryOf<R(A...)> {
    typedef R type(PWDF_DRIVER_GLOBALS, A...);
};

#define FX_DECLARE_EXPORT(name) extern "C" FxTableEntryOf<decltype(name)>::type imp_##name;
FX_EXPORTS(FX_DECLARE_EXPORT)
#undef FX_DECLARE_EXPORT
