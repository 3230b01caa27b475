// Memory on demand for tests: the test binary's global operator new fails when told to, and
// counts the blocks that are live, so that a test can see when an object's storage goes away.
#pragma once

#include <cstddef>

// The next `count` allocations from now fail with std::bad_alloc; later ones succeed again.
// The tests are single-threaded; so is this.
void FailNextAllocations(size_t count = 1);

// Allocations that failed since the program started.
size_t FailedAllocations();

// Blocks allocated and not yet freed.
long LiveAllocations();
