#include "AllocationFault.h"

#include <cstdlib>
#include <new>

namespace {
size_t g_toFail = 0;
size_t g_failed = 0;
long g_live = 0;
} // namespace

void FailNextAllocations(size_t count) {
    g_toFail = count;
}

size_t FailedAllocations() {
    return g_failed;
}

long LiveAllocations() {
    return g_live;
}

// The replaceable forms that the runtime builds the others (arrays, nothrow) on.
void* operator new(std::size_t size) {
    if (g_toFail > 0) {
        --g_toFail;
        ++g_failed;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    ++g_live;
    return block;
}

void operator delete(void* block) noexcept {
    if (block)
        --g_live;
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}
