#include "json/utf8.hpp"

#include <cstdint>
#include <cstring>

#include "portable.hpp"
#if RADAR_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace radar {

// Length of the valid UTF-8 sequence at p (at most avail bytes), or 0.
size_t utf8_sequence_length(const unsigned char* p, size_t avail) {
    unsigned char c = p[0];
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (avail < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return len;
}

size_t invalid_utf8_at(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    // ASCII sixteen bytes (or a word) at a time: nearly every line is all ASCII.
#if RADAR_HAVE_SSE2
    while (i + 16 <= n) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(block) != 0) break;
        i += 16;
    }
#endif
    while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        const size_t len = utf8_sequence_length(s + i, n - i);
        if (len == 0) return i + 1;
        i += len;
    }
    return 0;
}

}  // namespace radar
