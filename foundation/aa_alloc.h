// Allocation used by aaContext. Tests can make it fail after a number of
// successful calls to exercise the out-of-memory paths.
#pragma once

#include <cstddef>

void* aa_alloc(size_t size);
void* aa_realloc(void* block, size_t size);

// After n more successful allocations, every one fails; n < 0 turns failure off.
void aa_fail_allocations_after(int n);
