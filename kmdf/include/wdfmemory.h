// The framework as the driver sees it: memory objects.
// Included by wdf.h, inside its extern "C" block, not on its own.
#pragma once

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef NTSTATUS (*PFN_WDFMEMORYCREATEPREALLOCATED)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                                    size_t BufferSize, WDFMEMORY* Memory);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                                 size_t BufferSize, WDFMEMORY* Memory) {
    return ((PFN_WDFMEMORYCREATEPREALLOCATED)WdfFunctions[WdfMemoryCreatePreallocatedTableIndex])(
        WdfDriverGlobals, Attributes, Buffer, BufferSize, Memory);
}
typedef PVOID (*PFN_WDFMEMORYGETBUFFER)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY Memory,
                                        size_t* BufferSize);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE PVOID
    WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    return ((PFN_WDFMEMORYGETBUFFER)WdfFunctions[WdfMemoryGetBufferTableIndex])(WdfDriverGlobals,
                                                                                Memory, BufferSize);
}
