// Memory descriptor lists (the platform's wdm.h, memory-manager part). A caller's buffer is
// described by an MDL, probed and locked for the access the transfer needs; a probe that fails
// raises STATUS_ACCESS_VIOLATION, as on the platform.
#pragma once

#include <wdmke.h>

typedef ULONG PFN_NUMBER;
typedef PFN_NUMBER* PPFN_NUMBER;

struct _EPROCESS;

struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached, MmCached, MmWriteCombined } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))

struct _IRP;
EXTERN_C PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                  BOOLEAN ChargeQuota, struct _IRP* Irp);
EXTERN_C VOID NTAPI IoFreeMdl(PMDL Mdl);
EXTERN_C VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                        LOCK_OPERATION Operation);
EXTERN_C VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
EXTERN_C VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
EXTERN_C PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                  KPROCESSOR_MODE AccessMode,
                                                  MEMORY_CACHING_TYPE CacheType,
                                                  PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                                  ULONG Priority);

#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                                \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                   \
         ? ((Mdl)->MappedSystemVa)                                                                 \
         : MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE, (Priority)))

// User buffers passed without a method (METHOD_NEITHER) are probed by the driver; a probe that
// fails raises STATUS_ACCESS_VIOLATION.
EXTERN_C VOID NTAPI ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
EXTERN_C VOID NTAPI ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);
