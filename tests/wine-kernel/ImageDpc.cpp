// KeInitializeDpc for the bed's WDM images (the bus, the bus tests' function driver): Wine's
// kernel host has only a "semi-stub" of it, so each image does its work itself. Natively they
// take the simulated kernel's.
#include <wdm.h>

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
    // The kernel's object type of a DPC; the host's KeSetTimer reads the routine and its context.
    const UCHAR dpcObject = 19;
    *dpc = KDPC{};
    dpc->Type = dpcObject;
    dpc->Importance = MediumImportance;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
}
