// Byte-wise comparison of short texts (keys, symbols, names). The library
// memcmp is a call per comparison; for the few bytes of a key an inline loop
// is several times cheaper, and that comparison sits in every command.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace radar {

// <0, 0, >0 as unsigned bytes, a prefix first.
inline int compare_bytes(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    if (n > 32) {
        int c = std::memcmp(a.data(), b.data(), n);
        if (c != 0) return c;
    } else {
        for (size_t i = 0; i < n; ++i) {
            const unsigned char x = static_cast<unsigned char>(a[i]);
            const unsigned char y = static_cast<unsigned char>(b[i]);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

inline bool bytes_less(std::string_view a, std::string_view b) { return compare_bytes(a, b) < 0; }

namespace detail {
inline uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline uint32_t load32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
}  // namespace detail

// Whole words, the last one overlapping: against a literal the loads of
// `b` fold into constants, so a key costs one or two comparisons.
inline bool bytes_equal(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8)
            if (detail::load64(x + i) != detail::load64(y + i)) return false;
        return detail::load64(x + n - 8) == detail::load64(y + n - 8);
    }
    if (n >= 4) return detail::load32(x) == detail::load32(y) && detail::load32(x + n - 4) == detail::load32(y + n - 4);
    for (size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

// A transparent ordering for maps keyed by std::string.
struct BytesLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return bytes_less(a, b); }
};

}  // namespace radar
