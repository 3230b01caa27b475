// A small KMDF driver of the framework tests' own, bound through the stub: its behaviour is set
// by FxTestOptions before it loads, and what the framework called is kept in FxTestRecord.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <wdfldr.h>

EXTERN_C const GUID FxTestInterfaceGuid;

typedef struct _FX_TEST_OPTIONS {
    NTSTATUS EntryStatus; // DriverEntry's, after WdfDriverCreate succeeded
    NTSTATUS PrepareStatus;
    NTSTATUS D0EntryStatus;
    NTSTATUS QueryRemoveStatus;
    NTSTATUS AddStatus;    // returned by EvtDriverDeviceAdd after creating the device
    BOOLEAN AddNoDevice;   // EvtDriverDeviceAdd returns success without WdfDeviceCreate
    BOOLEAN FileObjects;   // WdfDeviceInitSetFileObjectConfig (cleanup and close callbacks)
    BOOLEAN Capabilities;  // WdfDeviceSetPnpCapabilities: SurpriseRemovalOK, Removable false
    BOOLEAN SelfManagedIo; // self-managed I/O and the interrupt-phase D0 callbacks too
    BOOLEAN Wake;          // WdfDeviceAssignSxWakeSettings with the defaults
    BOOLEAN Idle;          // WdfDeviceAssignS0IdleSettings
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    ULONG IdleTimeoutMs;
    WDF_TRI_STATE IdleEnabled;
} FX_TEST_OPTIONS;

// One letter per callback, in order: P prepare, R release, E D0 entry, X D0 exit, S surprise
// removal, c device cleanup, d device destroy, f file cleanup, F file close, k file context
// cleanup, u driver unload; with SelfManagedIo: e D0 entry after interrupts, x D0 exit before
// them, I self-managed I/O init, s suspend, r restart, l flush, C cleanup.
typedef struct _FX_TEST_RECORD {
    char Order[128];
    volatile LONG Length;
    WDFDRIVER Driver;
    WDFDEVICE Device;
    PWDFDEVICE_INIT KeptInit; // EvtDriverDeviceAdd's record, kept past its return
    WDF_POWER_DEVICE_STATE LastEntryFrom;
    WDF_POWER_DEVICE_STATE LastExitTo;
    BOOLEAN ContextWasZero;
} FX_TEST_RECORD;

typedef struct _FX_TEST_DEVICE_CONTEXT {
    ULONG Magic;
    ULONG Words[15];
} FX_TEST_DEVICE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FX_TEST_DEVICE_CONTEXT, FxTestDeviceContext)

typedef struct _FX_TEST_FILE_CONTEXT {
    ULONG Reserved;
} FX_TEST_FILE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FX_TEST_FILE_CONTEXT, FxTestFileContext)

#define FX_TEST_MAGIC 0x46785430u

EXTERN_C FX_TEST_OPTIONS g_fxTestOptions;
EXTERN_C FX_TEST_RECORD g_fxTestRecord;
// Default options and an empty record.
EXTERN_C VOID FxTestReset(VOID);
