// SplitMix64: the state advances by a fixed odd step and each step is mixed
// into an output. Advancing is one atomic addition, so concurrent draws never
// share a step and never need a lock.
#include "engine/random.h"

#include <atomic>

namespace {

constexpr uint64_t kStep = 0x9E3779B97F4A7C15ull;

std::atomic<uint64_t> state{1};

}  // namespace

void vn_srand(uint32_t seed) { state.store(seed, std::memory_order_relaxed); }

int vn_rand() {
    uint64_t z = state.fetch_add(kStep, std::memory_order_relaxed) + kStep;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<int>(z >> 33);  // the top 31 bits
}
