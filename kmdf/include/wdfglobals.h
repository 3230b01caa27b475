// The framework as the driver sees it: binding: the bind info, the function table and the driver
// globals. Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

// What a client image carries for its binding: the bind info, the table and the globals.
// "void (*)(void)": the type the compilers accept a cast from to any function type.
typedef void (*WDFFUNC)(void);

typedef struct _WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} WDF_VERSION, *PWDF_VERSION;

typedef struct _WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;
    PVOID Module;
} WDF_BIND_INFO, *PWDF_BIND_INFO;

typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[32];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

extern WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;
extern WDF_BIND_INFO WdfBindInfo;

#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL
#define WDF_NO_SEND_OPTIONS NULL
#define WDF_NO_EVENT_CALLBACK NULL

#define WDF_ALIGN_SIZE_UP(Length, AlignTo) (((Length) + ((AlignTo)-1)) & ~((AlignTo)-1))

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE,
    *PWDF_TRI_STATE;
