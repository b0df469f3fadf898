// Byte-wise comparison of short texts (keys, symbols, names). The library
// memcmp is a call per comparison; for the few bytes of a key an inline loop
// is several times cheaper, and that comparison sits in every command.
#pragma once

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

inline bool bytes_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 32) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// A transparent ordering for maps keyed by std::string.
struct BytesLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return bytes_less(a, b); }
};

}  // namespace radar
