// The benchmarks' deterministic random numbers: the same seed gives the same bytes on every
// machine. Not part of the product.
#pragma once

#include <cstdint>

// splitmix64: small, fast, and the same on every machine.
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t limit) { return Next() % limit; }
};
