#include "foundation/alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> allocationsLeft{-1};

// Counts down the allocations a test allows; -1 means no limit.
bool allocationAllowed() {
    int left = allocationsLeft.load();
    while (left > 0 && !allocationsLeft.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

}  // namespace

void* vn_alloc(size_t size) { return allocationAllowed() ? std::malloc(size) : nullptr; }

void* vn_realloc(void* block, size_t size) {
    return allocationAllowed() ? std::realloc(block, size) : nullptr;
}

char* vn_strndup(const char* text, size_t length) {
    char* copy = static_cast<char*>(vn_alloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void vn_fail_allocations_after(int n) { allocationsLeft.store(n); }
