// A cursor over JSON text with the exact error positions the reader reports.
//
// Positions follow one model: `index` bytes have been consumed. error() places
// an error at the last consumed byte; peek_error() includes the byte being
// looked at. Both the tree reader and the streaming record reader drive this
// cursor, so they agree on every message and position.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.hpp"
#include "json/value.hpp"
#include "portable.hpp"

#if RADAR_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace radar {

enum class JsonCode : uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    ExpectedDoubleQuote,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidUnicodeCodePoint,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    ExpectedNumericKey,
    FloatKeyMustBeFinite,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimitExceeded,
};

std::string_view json_code_message(JsonCode code);

// 1: ends the fast scan of a string ('"', '\\', control characters, non-ASCII).
inline constexpr std::array<uint8_t, 256> make_string_stops() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 1;
    for (int c = 0x80; c < 0x100; ++c) t[c] = 1;
    t['"'] = 1;
    t['\\'] = 1;
    return t;
}
inline constexpr std::array<uint8_t, 256> kStringStops = make_string_stops();

// Skips the bytes that need no attention inside a string, eight at a time:
// stops at the first '"', '\\', control character or non-ASCII byte.
inline size_t skip_plain(const char* s, size_t i, size_t n) {
#if RADAR_HAVE_SSE2
    // Sixteen at a time where the baseline instruction set allows: most
    // keys and symbols end within the first block.
    const __m128i quote16 = _mm_set1_epi8('"'), slash16 = _mm_set1_epi8('\\'), space16 = _mm_set1_epi8(0x20);
    while (n - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        // Signed bytes: non-ASCII bytes are negative, so below 0x20 too.
        const __m128i stop16 = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote16), _mm_cmpeq_epi8(v, slash16)),
                                            _mm_cmplt_epi8(v, space16));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop16));
        if (mask != 0) return i + static_cast<size_t>(std::countr_zero(mask));
        i += 16;
    }
#endif
    constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
    while (n - i >= 8) {
        uint64_t v;
        std::memcpy(&v, s + i, 8);
        const uint64_t quote = v ^ (kOnes * '"'), slash = v ^ (kOnes * '\\');
        // The lowest flagged byte is exactly the first stop: a borrow only
        // ever flags bytes above a real one.
        const uint64_t stop =
            (((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | (v - kOnes * 0x20) | v) & kHigh;
        if (stop) return i + static_cast<size_t>(std::countr_zero(stop) / 8);
        i += 8;
    }
    while (i < n && !kStringStops[static_cast<unsigned char>(s[i])]) ++i;
    return i;
}

// A number as read: the three classes of the JSON layer.
struct ParsedNumber {
    JsonValue::NumberKind kind = JsonValue::NumberKind::Unsigned;
    union {
        uint64_t u;
        int64_t i;
        double d;
    };
    ParsedNumber() : u(0) {}
    double to_f64() const;
};

// Nesting budget: the 128th nested level fails.
inline constexpr int kDepthBudget = 128;

class Scanner {
public:
    explicit Scanner(std::string_view text) : s_(text.data()), n_(text.size()) {}

    // Next byte without consuming it; -1 at the end.
    int peek() const { return i_ < n_ ? static_cast<unsigned char>(s_[i_]) : -1; }
    void eat() { ++i_; }
    // Skips whitespace and peeks.
    int skip_ws() {
        while (i_ < n_) {
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c > ' ') return c;  // compact text: one comparison
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
            ++i_;
        }
        return -1;
    }

    bool error(JsonCode code) { return fail_at(i_, json_code_message(code)); }
    bool peek_error(JsonCode code) { return fail_at(i_ < n_ ? i_ + 1 : n_, json_code_message(code)); }
    // An error raised by a conversion: placed at the last consumed byte.
    bool fail_here(std::string_view message) { return fail_at(i_, message); }
    bool fail_at(size_t index, std::string_view message);

    // The error of the last failure, with its line and column.
    JsonError take_error();

    // Reading primitives; each returns false with the error set.
    // After the first letter was consumed: the rest of true/false/null.
    bool parse_ident(std::string_view rest);
    // After an optional '-' was consumed.
    bool parse_number(bool positive, ParsedNumber& out);
    // After the opening quote was consumed. The view stays valid until the
    // next string is read.
    bool parse_string(std::string_view& out) {
        // Most strings are plain: a view of the text, no bookkeeping.
        const size_t end = skip_plain(s_, i_, n_);
        if (end < n_ && s_[end] == '"') {
            out = std::string_view(s_ + i_, end - i_);
            copied_ = false;
            i_ = end + 1;
            return true;
        }
        return parse_escaped_string(out);
    }
    // Whether the last string read had escapes, so its view points into a
    // buffer the next string will overwrite.
    bool string_was_copied() const { return copied_; }
    // Grammar check only: no depth limit, no number range, no surrogate pairing.
    bool ignore_value();
    // At the end of a document: only whitespace may follow.
    bool finish();

    // The grammar between members and elements, shared by every reader.
    // After '{': 1 when a key follows (its opening quote consumed), 0 when
    // '}' is next (not consumed), -1 on error.
    inline int next_member(bool& first);
    // After '[': 1 when an element follows, 0 when ']' is next, -1 on error.
    inline int next_element(bool& first);
    inline bool colon();

    // Nesting budget shared by everything read from this text.
    bool enter(/* at the opening bracket, before consuming it */) {
        if (--depth_ == 0) return peek_error(JsonCode::RecursionLimitExceeded);
        return true;
    }
    void leave() { ++depth_; }

    // The unread text, and skipping bytes already checked through it.
    std::string_view rest() const { return std::string_view(s_ + i_, n_ - i_); }
    void skip(size_t count) { i_ += count; }

    size_t index() const { return i_; }
    // Back to an earlier point, to read the same bytes another way. The
    // nesting budget must be what it was there.
    void rewind(size_t index, int depth) {
        i_ = index;
        depth_ = depth;
    }
    int depth() const { return depth_; }

private:
    // A refused byte in the grammar between members or elements.
    int refuse(JsonCode code) {
        peek_error(code);
        return -1;
    }
    bool parse_escaped_string(std::string_view& out);
    template <bool Keep>
    bool string_body(std::string_view& out);
    bool parse_escape();
    bool skip_escape();
    bool parse_unicode_escape();
    bool decode_hex_escape(uint16_t& out);
    bool ignore_string();
    bool ignore_number();
    size_t take_digits(uint64_t& mantissa, size_t& taken, bool& overflow);
    bool short_number(bool positive, ParsedNumber& out);
    // Everything else, with every error; kept out of line.
    RADAR_NOINLINE bool long_number(bool positive, ParsedNumber& out);

    const char* s_;
    size_t n_;
    size_t i_ = 0;
    int depth_ = kDepthBudget;
    bool copied_ = false;
    size_t err_index_ = 0;
    std::string err_message_;
    std::string scratch_;
    std::vector<char> frames_;
};

// The grammar between members and elements is on every path: inline.
inline int Scanner::next_member(bool& first) {
    int b = skip_ws();
    if (b < 0) return refuse(JsonCode::EofWhileParsingObject);
    if (b == '}') return 0;
    if (first) {
        first = false;
        if (b != '"') return refuse(JsonCode::KeyMustBeAString);
    } else {
        if (b != ',') return refuse(JsonCode::ExpectedObjectCommaOrEnd);
        ++i_;
        b = skip_ws();
        if (b == '}') return refuse(JsonCode::TrailingComma);
        if (b < 0) return refuse(JsonCode::EofWhileParsingValue);
        if (b != '"') return refuse(JsonCode::KeyMustBeAString);
    }
    ++i_;
    return 1;
}

inline int Scanner::next_element(bool& first) {
    int b = skip_ws();
    if (b < 0) return refuse(JsonCode::EofWhileParsingList);
    if (b == ']') return 0;
    if (first) {
        first = false;
        return 1;
    }
    if (b != ',') return refuse(JsonCode::ExpectedListCommaOrEnd);
    ++i_;
    b = skip_ws();
    if (b == ']') return refuse(JsonCode::TrailingComma);
    if (b < 0) return refuse(JsonCode::EofWhileParsingValue);
    return 1;
}

inline bool Scanner::colon() {
    int b = skip_ws();
    if (b == ':') {
        ++i_;
        return true;
    }
    return peek_error(b < 0 ? JsonCode::EofWhileParsingObject : JsonCode::ExpectedColon);
}

}  // namespace radar
