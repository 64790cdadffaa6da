// The process's pseudo-random generator for request data: the random letters,
// session ids and addresses that request profiles substitute, and any other
// value that a request draws at random.
//
// One generator for the whole process, seeded once at start-up with the time
// (tests seed it with a fixed value). Given the seed, the sequence of draws is
// fixed, so a run that draws in a fixed order is reproducible.
//
// Why not the C library's rand(): request transactions draw their
// authenticators from rand() on other threads at any moment, so draws made
// from the same sequence for request data would interleave with them and no
// seeded run could be repeated. Keeping the two apart also means that the
// letters and numbers a request carries in plain view say nothing about the
// authenticators. The interface is rand()'s, so callers read the same.
//
// Thread-safe and lock-free: each draw takes the next step of the sequence
// atomically, so draws made while holding an engine lock take no other lock.
#pragma once

#include <cstdint>

// The largest value vn_rand returns.
constexpr int VN_RAND_MAX = 0x7fffffff;

// Restarts the sequence for seed; before any call the seed is 1.
void vn_srand(uint32_t seed);
// The next value of the sequence, uniform from 0 to VN_RAND_MAX.
int vn_rand();
