// Allocation for data that is released with free() (array entries, copied
// keys, dictionary entries, value pairs). Tests can make it fail after a
// number of successful calls to exercise the out-of-memory paths.
#pragma once

#include <cstddef>

void* vn_alloc(size_t size);
void* vn_realloc(void* block, size_t size);
// A malloc'd copy of the first length bytes of text, terminated; null when memory is short.
char* vn_strndup(const char* text, size_t length);

// After n more successful allocations, every one fails; n < 0 turns failure off.
void vn_fail_allocations_after(int n);
