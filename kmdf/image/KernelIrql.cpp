// The CR8 intrinsics the platform's x64 headers read and set the IRQL with (KeGetCurrentIrql,
// KfRaiseIrql are inline there), which clang declares but leaves to the compiler's library. A
// kernel host in user space traps the CR8 access and emulates it.
#include <ntddk.h>

extern "C" unsigned long __readcr8(void) {
    unsigned __int64 irql;
    __asm__ __volatile__("movq %%cr8, %0" : "=r"(irql));
    return static_cast<unsigned long>(irql);
}

extern "C" void __writecr8(unsigned int irql) {
    unsigned __int64 value = irql;
    __asm__ __volatile__("movq %0, %%cr8" : : "r"(value) : "memory");
}
