// Allocation used for the dictionary and for value pairs. Everything it hands
// out is released with free(). Tests can make it fail after a number of
// successful calls to exercise the out-of-memory paths.
#pragma once

#include <cstddef>

void* rad_alloc(size_t size);
// A malloc'd copy of the first length bytes of text, terminated; null when memory is short.
char* rad_strndup(const char* text, size_t length);

// After n more successful allocations, every one fails; n < 0 turns failure off.
void rad_fail_allocations_after(int n);
