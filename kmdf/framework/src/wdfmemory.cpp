// Memory objects: a buffer and its size. A preallocated one describes a buffer the driver owns;
// deleting it frees nothing. A request's buffers become memory objects of the request's.
#include "FxIo.h"
#include "FxExports.h"

NTSTATUS FxMemoryCreate(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* parent, PVOID buffer,
                        size_t size, PCSTR api, FxMemory** memory) {
    FxObject* object;
    NTSTATUS status =
        FxObjectCreate(sizeof(FxMemory), FxTypeMemory, attributes, parent, NULL, api, &object);
    if (!NT_SUCCESS(status))
        return status;
    FxMemory* created = reinterpret_cast<FxMemory*>(object);
    created->Buffer = buffer;
    created->Size = size;
    *memory = created;
    return STATUS_SUCCESS;
}

NTSTATUS imp_WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS globals,
                                         PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                         size_t BufferSize, WDFMEMORY* Memory) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    if (Buffer == NULL || BufferSize == 0 || Memory == NULL)
        return STATUS_INVALID_PARAMETER;
    // Without a parent in the attributes the driver object is the parent.
    FxObject* driver =
        FxObjectResolve(reinterpret_cast<WDFOBJECT>(globals->Driver), FxTypeDriver, FX_API);
    FxMemory* memory;
    status = FxMemoryCreate(Attributes, driver, Buffer, BufferSize, FX_API, &memory);
    if (!NT_SUCCESS(status))
        return status;
    *Memory = FxHandle<WDFMEMORY>(memory);
    return STATUS_SUCCESS;
}

PVOID imp_WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS globals, WDFMEMORY Memory, size_t* BufferSize) {
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return NULL;
    FxMemory* memory = FxResolve<FxMemory>(Memory, FX_API);
    if (memory == NULL)
        return NULL;
    if (BufferSize != NULL)
        *BufferSize = memory->Size;
    return memory->Buffer;
}
