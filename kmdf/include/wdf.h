// The kernel-mode driver framework as the driver sees it (the platform's wdf.h, interface version
// 1.1): handle types, the structures with their *_INIT helpers, callback role types and the
// framework operations the driver calls, with the platform's names, layouts and argument lists.
//
// As on the platform, every operation is an inline wrapper that calls through the function table
// the framework filled when the driver bound to it (WdfFunctions, see the bind stub in
// kmdf/stub), with the driver's globals first. kmdf/framework supplies the entries.
#pragma once

#include <ntddk.h>
#include <wdffuncenum.h>

// Statuses of the framework's own facility (wdfstatus.h).
#define STATUS_WDF_BUSY ((NTSTATUS)0xC0200203L)

#define WDF_EXTERN_C EXTERN_C

#ifdef __cplusplus
extern "C" {
#endif

#define WDF_DECLARE_HANDLE(name)                                                                   \
    struct name##__ {                                                                              \
        int unused;                                                                                \
    };                                                                                             \
    typedef struct name##__* name
typedef HANDLE WDFOBJECT, *PWDFOBJECT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
typedef WDFMEMORY* PWDFMEMORY;
typedef PVOID WDFCONTEXT;
typedef struct WDFDEVICE_INIT WDFDEVICE_INIT, *PWDFDEVICE_INIT;

// Each area in a header of its own, as the platform splits them.
#include <wdfglobals.h>
#include <wdfobject.h>
#include <wdfdriver.h>
#include <wdfdevice.h>
#include <wdfdevicepowerpolicy.h>
#include <wdfmemory.h>
#include <wdfrequest.h>
#include <wdfio.h>
#include <wdfiotarget.h>
#include <wdffileobject.h>

#ifdef __cplusplus
}
#endif
