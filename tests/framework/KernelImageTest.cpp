// The kernel image's own versions of the routines Wine's kernel host only stubs
// (FxKernelImage.cpp), compiled natively on their own: the probe's range check and the DPC's
// set-up.
#include "FxKernel.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// An MDL describing `length` bytes at `address`, as IoAllocateMdl fills one in.
MDL Describing(uintptr_t address, ULONG length) {
    MDL mdl{};
    mdl.StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t{0xFFF});
    mdl.ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl.ByteCount = length;
    return mdl;
}

NTSTATUS Probe(uintptr_t address, ULONG length, KPROCESSOR_MODE mode = UserMode) {
    MDL mdl = Describing(address, length);
    return FxProbeAndLockPages(&mdl, mode, IoWriteAccess);
}

const uintptr_t kUserProbeAddress = 0x7FFFFFFF0000ull;

TEST(KernelImageTest, AUserBufferMustLieBelowTheUserProbeAddress) {
    EXPECT_EQ(Probe(0x10000, 64), STATUS_SUCCESS);
    EXPECT_EQ(Probe(kUserProbeAddress - 64, 64), STATUS_SUCCESS); // ends at the limit
    EXPECT_EQ(Probe(kUserProbeAddress - 64, 65), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Probe(kUserProbeAddress, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Probe(0xFFFF800000001000ull, 16), STATUS_ACCESS_VIOLATION);      // a kernel address
    EXPECT_EQ(Probe(~uintptr_t{0} - 15, 0xFFFFFFFF), STATUS_ACCESS_VIOLATION); // wraps
    // A kernel-mode caller's buffer is not probed.
    EXPECT_EQ(Probe(0xFFFF800000001000ull, 16, KernelMode), STATUS_SUCCESS);
}

VOID NTAPI Routine(PKDPC, PVOID, PVOID, PVOID) {}

TEST(KernelImageTest, ADpcIsSetUpAsKeInitializeDpcSetsItUp) {
    KDPC dpc;
    memset(&dpc, 0xAA, sizeof dpc);
    int context = 0;
    FxInitializeDpc(&dpc, Routine, &context);
    EXPECT_EQ(dpc.Type, 19);
    EXPECT_EQ(dpc.Importance, MediumImportance);
    EXPECT_EQ(dpc.Number, 0);
    EXPECT_EQ(dpc.DeferredRoutine, &Routine);
    EXPECT_EQ(dpc.DeferredContext, &context);
    EXPECT_EQ(dpc.SystemArgument1, nullptr);
    EXPECT_EQ(dpc.SystemArgument2, nullptr);
    EXPECT_EQ(dpc.DpcData, nullptr);
}

} // namespace
