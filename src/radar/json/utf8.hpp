// The one check of UTF-8 that every reader shares: well-formed sequences
// only (no overlong forms, surrogates or values past U+10FFFF).
#pragma once

#include <cstddef>
#include <string_view>

namespace radar {

// Length of the valid UTF-8 sequence at p (at most avail bytes, p[0] >= 0x80), or 0.
size_t utf8_sequence_length(const unsigned char* p, size_t avail);

// 0 when the text is valid UTF-8, else 1 + the offset of the first bad byte.
size_t invalid_utf8_at(std::string_view text);

}  // namespace radar
