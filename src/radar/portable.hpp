// What differs between compilers and systems, in one place: the rest of the
// core uses only standard C++ and these names.
//
// Defining RADAR_PORTABLE_FORCE_MSVC_PATHS makes GCC and clang take the
// paths an MSVC build on a target without the matching intrinsic would
// take (the portable 128-bit multiply, no prefetch, no SSE2), so those
// paths are built and compared on Linux too.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) || defined(RADAR_PORTABLE_FORCE_MSVC_PATHS)
#define RADAR_MSVC_PATHS 1
#else
#define RADAR_MSVC_PATHS 0
#endif

// SSE2: GCC and clang say so with __SSE2__. MSVC never defines it, but
// x64 always has SSE2 and 32-bit x86 has it unless built for older CPUs.
#if defined(RADAR_PORTABLE_FORCE_MSVC_PATHS)
#define RADAR_HAVE_SSE2 0
#elif defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define RADAR_HAVE_SSE2 1
#else
#define RADAR_HAVE_SSE2 0
#endif

#if defined(_MSC_VER) && !defined(RADAR_PORTABLE_FORCE_MSVC_PATHS)
#include <intrin.h>
#endif

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

// Function attributes the core asks for on a few hot or cold paths.
#if defined(_MSC_VER)
#define RADAR_ALWAYS_INLINE __forceinline
#define RADAR_NOINLINE __declspec(noinline)
#else
#define RADAR_ALWAYS_INLINE [[gnu::always_inline]] inline
#define RADAR_NOINLINE [[gnu::noinline]]
#endif

// At file scope: no floating-point contraction in the rest of this file.
// A fused multiply-add rounds once where the separate operations round
// twice, so the same source would print different last digits on targets
// with and without FMA. The build turns contraction off for every file
// (-ffp-contract=off, /fp:precise); this also holds where a file is built
// with other flags. GCC has no such pragma: its flag is the only switch.
#if defined(_MSC_VER)
#define RADAR_FP_CONTRACT_OFF __pragma(fp_contract(off))
#elif defined(__clang__)
#define RADAR_FP_CONTRACT_OFF _Pragma("clang fp contract(off)")
#else
#define RADAR_FP_CONTRACT_OFF
#endif

namespace radar::portable {

// The 128-bit product of two 64-bit words.
struct U128 {
    uint64_t hi;
    uint64_t lo;
};

// Schoolbook on 32-bit halves: for compilers with neither a 128-bit type
// nor a multiply-high intrinsic.
constexpr U128 mul_64x64_portable(uint64_t a, uint64_t b) {
    const uint64_t a_lo = a & 0xFFFFFFFF, a_hi = a >> 32;
    const uint64_t b_lo = b & 0xFFFFFFFF, b_hi = b >> 32;
    const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    // The middle column is three 32-bit numbers (below 2^34); its carry
    // goes to the high word, which then holds the exact upper half.
    const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFF) + (hl & 0xFFFFFFFF);
    return U128{hh + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & 0xFFFFFFFF)};
}

inline U128 mul_64x64(uint64_t a, uint64_t b) {
#if !RADAR_MSVC_PATHS
    __extension__ typedef unsigned __int128 Uint128;  // __extension__: no -Wpedantic warning
    const Uint128 p = static_cast<Uint128>(a) * b;
    return U128{static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p)};
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_AMD64))
    U128 r;
    r.lo = _umul128(a, b, &r.hi);
    return r;
#elif defined(_MSC_VER) && defined(_M_ARM64)
    return U128{__umulh(a, b), a * b};
#else
    return mul_64x64_portable(a, b);
#endif
}

// A hint that the line holding p is about to be read; nothing where the
// compiler offers no such hint.
inline void prefetch(const void* p) {
#if !RADAR_MSVC_PATHS
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_AMD64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __prefetch(p);
#else
    (void)p;
#endif
}

// The id of the running process: it changes in a forked child.
inline int64_t process_id() {
#if defined(_WIN32)
    return _getpid();
#else
    return getpid();
#endif
}

}  // namespace radar::portable
