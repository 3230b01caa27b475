// The framework as the driver sees it: objects: attributes, contexts, deletion.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_DESTROY) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO,
    *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    LPCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_##_contexttype##_TYPE_INFO##_POINTER
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                          \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                         \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                       \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

typedef PVOID (*PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    WDFOBJECT Handle,
                                                    PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE PVOID
    WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    return (
        (PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)WdfFunctions[WdfObjectGetTypedContextWorkerTableIndex])(
        WdfDriverGlobals, Handle, TypeInfo);
}

// The type record is constant-initialised data with one copy per image (selectany on the
// platform's compiler, a weak definition here): no code runs to build it.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                         \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                \
    WDF_EXTERN_C const WDF_OBJECT_CONTEXT_TYPE_INFO DECLSPEC_SELECTANY WDF_TYPE_NAME_TO_TYPE_INFO( \
        _contexttype) = {                                                                          \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO),      #_contexttype, sizeof(_contexttype),            \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL,                                           \
    };                                                                                             \
    FORCEINLINE WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(WDFOBJECT Handle) {      \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(           \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                          \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                     \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

typedef VOID (*PFN_WDFOBJECTDELETE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Object);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID WdfObjectDelete(WDFOBJECT Object) {
    ((PFN_WDFOBJECTDELETE)WdfFunctions[WdfObjectDeleteTableIndex])(WdfDriverGlobals, Object);
}
