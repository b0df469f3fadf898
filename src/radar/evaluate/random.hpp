// A small seeded generator: the same seed gives the same draws on every
// platform, which std::uniform_int_distribution does not promise.
#pragma once

#include <cstdint>

#include "portable.hpp"

namespace radar {

inline uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// xoshiro256**
class Random {
public:
    explicit Random(uint64_t seed) {
        for (uint64_t& word : s_) word = splitmix64(seed);
    }

    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, n), n > 0, without bias: the high word of a 128-bit
    // product, drawing again in the rare case the low word says it is biased
    // (a division only then, not on every draw).
    uint64_t below(uint64_t n) {
        portable::U128 m = portable::mul_64x64(next(), n);
        if (m.lo < n) {
            const uint64_t floor = (0 - n) % n;
            while (m.lo < floor) m = portable::mul_64x64(next(), n);
        }
        return m.hi;
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

}  // namespace radar
