// The IRQL routines that the platform's x64 headers define inline, over CR8, so no x64 kernel
// exports them. (A kernel host in user space traps the CR8 access and emulates it.)
#include <wdm.h>

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    ULONG64 irql;
    __asm__ __volatile__("movq %%cr8, %0" : "=r"(irql));
    return static_cast<KIRQL>(irql);
}

extern "C" VOID NTAPI KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    *oldIrql = KeGetCurrentIrql();
    ULONG64 irql = newIrql;
    __asm__ __volatile__("movq %0, %%cr8" : : "r"(irql) : "memory");
}
