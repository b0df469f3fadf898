#include "json/scanner.hpp"
#include "json/utf8.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "portable.hpp"

namespace radar {

std::string_view json_code_message(JsonCode code) {
    switch (code) {
        case JsonCode::EofWhileParsingList: return "EOF while parsing a list";
        case JsonCode::EofWhileParsingObject: return "EOF while parsing an object";
        case JsonCode::EofWhileParsingString: return "EOF while parsing a string";
        case JsonCode::EofWhileParsingValue: return "EOF while parsing a value";
        case JsonCode::ExpectedColon: return "expected `:`";
        case JsonCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case JsonCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case JsonCode::ExpectedSomeIdent: return "expected ident";
        case JsonCode::ExpectedSomeValue: return "expected value";
        case JsonCode::ExpectedDoubleQuote: return "expected `\"`";
        case JsonCode::InvalidEscape: return "invalid escape";
        case JsonCode::InvalidNumber: return "invalid number";
        case JsonCode::NumberOutOfRange: return "number out of range";
        case JsonCode::InvalidUnicodeCodePoint: return "invalid unicode code point";
        case JsonCode::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case JsonCode::KeyMustBeAString: return "key must be a string";
        case JsonCode::ExpectedNumericKey: return "invalid value: expected key to be a number in quotes";
        case JsonCode::FloatKeyMustBeFinite: return "float key must be finite (got NaN or +/-inf)";
        case JsonCode::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case JsonCode::TrailingComma: return "trailing comma";
        case JsonCode::TrailingCharacters: return "trailing characters";
        case JsonCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
        case JsonCode::RecursionLimitExceeded: return "recursion limit exceeded";
    }
    return "";
}

double ParsedNumber::to_f64() const {
    switch (kind) {
        case JsonValue::NumberKind::Unsigned: return static_cast<double>(u);
        case JsonValue::NumberKind::Signed: return static_cast<double>(i);
        case JsonValue::NumberKind::Double: return d;
    }
    return d;
}

bool Scanner::fail_at(size_t index, std::string_view message) {
    err_index_ = index;
    err_message_.assign(message);
    return false;
}

JsonError Scanner::take_error() {
    // Positions are computed only on failure, so reading never counts lines.
    uint64_t line = 1;
    size_t line_start = 0;
    for (size_t k = 0; k < err_index_; ++k) {
        if (s_[k] == '\n') {
            ++line;
            line_start = k + 1;
        }
    }
    return JsonError{std::move(err_message_), line, err_index_ - line_start};
}

bool Scanner::finish() {
    if (skip_ws() >= 0) return peek_error(JsonCode::TrailingCharacters);
    return true;
}

bool Scanner::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (i_ >= n_) return error(JsonCode::EofWhileParsingValue);
        if (s_[i_++] != expected) return error(JsonCode::ExpectedSomeIdent);
    }
    return true;
}

namespace {

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Magnitude of a decimal literal whose conversion fell outside the double
// range: above zero it overflowed, otherwise it underflowed.
bool literal_overflows(std::string_view text) {
    size_t k = text[0] == '-' ? 1 : 0;
    int64_t int_digits = 0, leading_frac_zeros = 0;
    bool seen_nonzero = false;
    for (; k < text.size() && is_digit(text[k]); ++k) {
        if (text[k] != '0') seen_nonzero = true;
        if (seen_nonzero) ++int_digits;
    }
    if (k < text.size() && text[k] == '.') {
        for (++k; k < text.size() && is_digit(text[k]); ++k) {
            if (!seen_nonzero && text[k] == '0') ++leading_frac_zeros;
            else seen_nonzero = true;
        }
    }
    int64_t exp = 0;
    if (k < text.size() && (text[k] == 'e' || text[k] == 'E')) {
        ++k;
        bool neg = false;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) neg = text[k++] == '-';
        for (; k < text.size() && is_digit(text[k]); ++k) {
            if (exp < 100000000) exp = exp * 10 + (text[k] - '0');
        }
        if (neg) exp = -exp;
    }
    int64_t magnitude = int_digits > 0 ? int_digits + exp : exp - leading_frac_zeros;
    return magnitude > 0;
}

}  // namespace

namespace {

// Exact powers of ten: up to 1e22 every one is a double.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

#include "json/pow5_table.inc"

// The double nearest to w * 10^q for an exact decimal mantissa w, by
// multiplying with a 128-bit approximation of 5^q (Eisel and Lemire).
// Returns false for zero, subnormal and infinite results, which the
// general conversion handles.
bool nearest_double(uint64_t w, int64_t q, double& out) {
    if (w == 0 || q < kPow5Smallest || q > kPow5Largest) return false;
    const int lz = std::countl_zero(w);
    w <<= lz;
    const size_t index = 2 * static_cast<size_t>(q - kPow5Smallest);
    const portable::U128 first = portable::mul_64x64(w, kPow5[index]);
    uint64_t hi = first.hi, lo = first.lo;
    // 52 mantissa bits + 3: when the bits below them are all ones, the
    // truncated table value may be off by one there; the low half fixes it.
    constexpr uint64_t kPrecisionMask = ~uint64_t{0} >> 55;
    if ((hi & kPrecisionMask) == kPrecisionMask) {
        const uint64_t second_hi = portable::mul_64x64(w, kPow5[index + 1]).hi;
        lo += second_hi;
        if (second_hi > lo) ++hi;
    }
    const int upperbit = static_cast<int>(hi >> 63);
    const int shift = upperbit + 64 - 52 - 3;
    uint64_t mantissa = hi >> shift;
    // floor(q * log2(10)) + 63 + the product's own leading bit, biased
    int64_t power2 = ((217706 * q) >> 16) + 63 + upperbit - lz + 1023;
    if (power2 <= 0) return false;
    // Exactly halfway between two doubles: round to even.
    if (lo <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == hi) {
        mantissa &= ~uint64_t{1};
    }
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (uint64_t{2} << 52)) {
        mantissa = uint64_t{1} << 52;
        ++power2;
    }
    mantissa &= ~(uint64_t{1} << 52);
    if (power2 >= 0x7FF) return false;
    out = std::bit_cast<double>(mantissa | (static_cast<uint64_t>(power2) << 52));
    return true;
}

}  // namespace

namespace {

constexpr uint64_t kPow10Int[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The digits at the start of eight bytes of text (the first in the low
// byte), as a number; `count` gets how many there are (0 to 8). No branch on
// the digits themselves: number lengths vary from one value to the next and
// would mispredict.
inline uint64_t leading_digits(uint64_t v, int& count) {
    // A byte's flag is exact up to the first non-digit; carries and borrows
    // only disturb the bytes above it, which are dropped.
    const uint64_t stop = ((v + 0x4646464646464646) | (v - 0x3030303030303030)) & 0x8080808080808080;
    count = std::countr_zero(stop) >> 3;
    if (count == 0) return 0;
    // Left-align the digits so the bytes below them read as leading zeros.
    v = (v - 0x3030303030303030) << (64 - 8 * count);
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
    return v;
}

// Eight bytes of text from p; past the end they read as NUL, which no
// number contains.
inline uint64_t load_word(const char* p, size_t available) {
    uint64_t v = 0;
    if (available >= 8) {
        std::memcpy(&v, p, 8);
    } else {
        for (size_t k = 0; k < available; ++k) v |= uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
    }
    return v;
}

inline int byte_at(uint64_t word, int k) { return static_cast<int>((word >> (8 * k)) & 0xFF); }

}  // namespace

// Appends a run of digits to the mantissa; returns how many were read.
// Up to 19 digits always fit 64 bits, so only later ones need a check.
size_t Scanner::take_digits(uint64_t& mantissa, size_t& taken, bool& overflow) {
    // Locals, not members: a store through char data may alias any member,
    // which would make the compiler reload them on every digit.
    const char* const start = s_ + i_;
    const char* const end = s_ + n_;
    const char* p = start;
    uint64_t m = mantissa;
    // The quick sum may wrap past 19 digits; that case is summed again below.
    for (;;) {
        if (end - p < 8) {
            for (uint64_t digit; p < end && (digit = static_cast<unsigned char>(*p) - uint64_t{'0'}) <= 9; ++p) {
                m = m * 10 + digit;
            }
            break;
        }
        int count;
        uint64_t word;
        std::memcpy(&word, p, 8);
        const uint64_t digits = leading_digits(word, count);
        m = m * kPow10Int[count] + digits;
        p += count;
        if (count < 8) break;
    }
    const size_t read = static_cast<size_t>(p - start);
    i_ += read;
    if (taken + read <= 19) {  // 19 digits always fit 64 bits
        mantissa = m;
        taken += read;
        return read;
    }
    m = mantissa;
    for (const char* q = start; q < p; ++q) {
        const uint64_t digit = static_cast<unsigned char>(*q) - uint64_t{'0'};
        if (taken < 19) {
            m = m * 10 + digit;
            ++taken;
        } else if (!overflow) {
            if (m > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
                overflow = true;
            } else {
                m = m * 10 + digit;
                ++taken;
            }
        }
    }
    mantissa = m;
    return read;
}

// The usual literal: up to 15 digits in all, at most 7 of them a fraction,
// an exponent of up to 3 digits. Every result is the one the general
// reading below gives; false leaves the cursor where it was.
RADAR_ALWAYS_INLINE bool Scanner::short_number(bool positive, ParsedNumber& out) {
    const char* const p = s_ + i_;
    const size_t left = n_ - i_;
    uint64_t word = load_word(p, left);
    int digits;
    uint64_t m = leading_digits(word, digits);
    if (digits == 0 || (p[0] == '0' && digits > 1)) return false;  // leading zeros: the general path's error
    size_t len = static_cast<size_t>(digits);
    int next;  // the byte after the integer digits
    if (digits < 8) {
        next = byte_at(word, digits);
    } else {
        int more;
        word = load_word(p + 8, left - 8);
        const uint64_t rest = leading_digits(word, more);
        if (more == 8) return false;
        m = m * kPow10Int[more] + rest;
        digits += more;
        len += static_cast<size_t>(more);
        next = byte_at(word, more);
    }
    bool integral = true;
    int exp10 = 0;
    if (next == '.') {
        int b;
        word = load_word(p + len + 1, left - len - 1);
        const uint64_t fraction = leading_digits(word, b);
        if (b == 0 || b == 8 || digits + b > 15) return false;
        m = m * kPow10Int[b] + fraction;
        exp10 = -b;
        len += 1 + static_cast<size_t>(b);
        next = byte_at(word, b);
        integral = false;
    }
    if ((next | 0x20) == 'e') {
        word = load_word(p + len + 1, left - len - 1);
        const int sign = byte_at(word, 0);
        const bool signed_exp = sign == '-' || sign == '+';
        if (signed_exp) word >>= 8;
        int e;
        const uint64_t value = leading_digits(word, e);
        if (e == 0 || e > 3) return false;
        exp10 += sign == '-' ? -static_cast<int>(value) : static_cast<int>(value);
        len += 1 + (signed_exp ? 1 : 0) + static_cast<size_t>(e);
        integral = false;
    }
    if (integral) {
        if (positive) {
            out.kind = JsonValue::NumberKind::Unsigned;
            out.u = m;
        } else if (m != 0) {
            out.kind = JsonValue::NumberKind::Signed;
            out.i = -static_cast<int64_t>(m);
        } else {
            out.kind = JsonValue::NumberKind::Double;
            out.d = -0.0;
        }
    } else {
        if (exp10 < -22 || exp10 > 22) return false;
        // Both operands exact (m < 10^15 < 2^53): one correctly rounded operation.
        double d = static_cast<double>(m);
        d = exp10 < 0 ? d / kPow10[-exp10] : d * kPow10[exp10];
        out.kind = JsonValue::NumberKind::Double;
        out.d = positive ? d : -d;
    }
    i_ += len;
    return true;
}

bool Scanner::parse_number(bool positive, ParsedNumber& out) {
    return short_number(positive, out) || long_number(positive, out);
}

bool Scanner::long_number(bool positive, ParsedNumber& out) {
    const size_t start = positive ? i_ : i_ - 1;
    if (i_ >= n_) return error(JsonCode::EofWhileParsingValue);
    const char first = s_[i_];
    // All mantissa digits, integer and fraction, while they fit 64 bits.
    uint64_t mantissa = 0;
    size_t taken = 0;
    bool overflow = false;
    int64_t frac_digits = 0;
    bool integral = true;  // no fraction or exponent seen
    if (first == '0') {
        ++i_;
        if (is_digit(peek())) return peek_error(JsonCode::InvalidNumber);
    } else if (first >= '1' && first <= '9') {
        take_digits(mantissa, taken, overflow);
    } else {
        ++i_;
        return error(JsonCode::InvalidNumber);
    }

    if (peek() == '.') {
        integral = false;
        ++i_;
        const size_t before = taken;
        if (take_digits(mantissa, taken, overflow) == 0) {
            return peek_error(i_ < n_ ? JsonCode::InvalidNumber : JsonCode::EofWhileParsingValue);
        }
        frac_digits = static_cast<int64_t>(taken - before);
    }
    // Whether any mantissa digit is non-zero: an overflowing mantissa is.
    const bool nonzero = mantissa != 0 || overflow;
    int32_t exp = 0;
    bool positive_exp = true;
    int c = peek();
    if (c == 'e' || c == 'E') {
        integral = false;
        ++i_;
        c = peek();
        if (c == '+' || c == '-') {
            positive_exp = c == '+';
            ++i_;
        }
        if (i_ >= n_) return error(JsonCode::EofWhileParsingValue);
        if (!is_digit(s_[i_++])) return error(JsonCode::InvalidNumber);
        exp = s_[i_ - 1] - '0';
        while (i_ < n_ && is_digit(s_[i_])) {
            int32_t digit = s_[i_] - '0';
            ++i_;
            if (exp >= std::numeric_limits<int32_t>::max() / 10 &&
                (exp > std::numeric_limits<int32_t>::max() / 10 ||
                 digit > std::numeric_limits<int32_t>::max() % 10)) {
                // An exponent beyond 32 bits: infinite unless the value is zero
                // or the exponent negative, where it is a signed zero.
                if (nonzero && positive_exp) return error(JsonCode::NumberOutOfRange);
                while (i_ < n_ && is_digit(s_[i_])) ++i_;
                out.kind = JsonValue::NumberKind::Double;
                out.d = positive ? 0.0 : -0.0;
                return true;
            }
            exp = exp * 10 + digit;
        }
    }

    if (integral && !overflow) {
        if (positive) {
            out.kind = JsonValue::NumberKind::Unsigned;
            out.u = mantissa;
        } else if (mantissa != 0 && mantissa <= (uint64_t{1} << 63)) {
            out.kind = JsonValue::NumberKind::Signed;
            out.i = static_cast<int64_t>(0 - mantissa);
        } else {
            // -0 and magnitudes beyond the signed range read as doubles.
            out.kind = JsonValue::NumberKind::Double;
            out.d = -static_cast<double>(mantissa);
        }
        return true;
    }

    out.kind = JsonValue::NumberKind::Double;
    // Both operands exact, so one IEEE operation rounds correctly.
    const int64_t e = (positive_exp ? exp : -int64_t{exp}) - frac_digits;
    if (!overflow && mantissa <= (uint64_t{1} << 53) && e >= -22 && e <= 22) {
        double d = static_cast<double>(mantissa);
        d = e < 0 ? d / kPow10[-e] : d * kPow10[e];
        out.d = positive ? d : -d;
        return true;
    }
    if (double d; !overflow && nearest_double(mantissa, e, d)) {
        out.d = positive ? d : -d;
        return true;
    }
    std::string_view text(s_ + start, i_ - start);
    double value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (literal_overflows(text)) return error(JsonCode::NumberOutOfRange);
        value = positive ? 0.0 : -0.0;
    } else if (ec != std::errc() || std::isinf(value)) {
        return error(JsonCode::NumberOutOfRange);
    }
    out.d = value;
    return true;
}

namespace {


int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void push_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}


}  // namespace

bool Scanner::decode_hex_escape(uint16_t& out) {
    if (n_ - i_ < 4) {
        i_ = n_;
        return error(JsonCode::EofWhileParsingString);
    }
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
        int h = hex_value(s_[i_++]);
        if (h < 0) return error(JsonCode::InvalidEscape);
        v = (v << 4) | static_cast<uint32_t>(h);
    }
    out = static_cast<uint16_t>(v);
    return true;
}

bool Scanner::parse_unicode_escape() {
    uint16_t n;
    if (!decode_hex_escape(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return error(JsonCode::LoneLeadingSurrogateInHexEscape);
    if (n < 0xD800 || n > 0xDBFF) {
        push_utf8(scratch_, n);
        return true;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    if (i_ >= n_) return error(JsonCode::EofWhileParsingString);
    if (s_[i_++] != '\\') return error(JsonCode::UnexpectedEndOfHexEscape);
    if (i_ >= n_) return error(JsonCode::EofWhileParsingString);
    if (s_[i_++] != 'u') return error(JsonCode::UnexpectedEndOfHexEscape);
    uint16_t n2;
    if (!decode_hex_escape(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return error(JsonCode::LoneLeadingSurrogateInHexEscape);
    uint32_t cp = ((static_cast<uint32_t>(n - 0xD800) << 10) | static_cast<uint32_t>(n2 - 0xDC00)) + 0x10000;
    push_utf8(scratch_, cp);
    return true;
}

bool Scanner::parse_escape() {
    if (i_ >= n_) return error(JsonCode::EofWhileParsingString);
    switch (s_[i_++]) {
        case '"': scratch_.push_back('"'); return true;
        case '\\': scratch_.push_back('\\'); return true;
        case '/': scratch_.push_back('/'); return true;
        case 'b': scratch_.push_back('\b'); return true;
        case 'f': scratch_.push_back('\f'); return true;
        case 'n': scratch_.push_back('\n'); return true;
        case 'r': scratch_.push_back('\r'); return true;
        case 't': scratch_.push_back('\t'); return true;
        case 'u': return parse_unicode_escape();
        default: return error(JsonCode::InvalidEscape);
    }
}

// One loop for strings that are kept and strings that are skipped: a
// skipped string is checked for grammar only, so its \u escapes need not
// pair up.
template <bool Keep>
bool Scanner::string_body(std::string_view& out) {
    size_t start = i_;
    if constexpr (Keep) {
        copied_ = false;
        scratch_.clear();
    }
    for (;;) {
        i_ = skip_plain(s_, i_, n_);
        if (i_ >= n_) return error(JsonCode::EofWhileParsingString);
        unsigned char c = static_cast<unsigned char>(s_[i_]);
        if (c == '"') {
            if constexpr (Keep) {
                if (copied_) {
                    scratch_.append(s_ + start, i_ - start);
                    out = scratch_;
                } else {
                    out = std::string_view(s_ + start, i_ - start);
                }
            }
            ++i_;
            return true;
        }
        if (c == '\\') {
            if constexpr (Keep) {
                scratch_.append(s_ + start, i_ - start);
                copied_ = true;
            }
            ++i_;
            if (!(Keep ? parse_escape() : skip_escape())) return false;
            start = i_;
        } else if (c >= 0x80) {
            size_t len = utf8_sequence_length(reinterpret_cast<const unsigned char*>(s_ + i_), n_ - i_);
            if (len == 0) {
                ++i_;
                return error(JsonCode::InvalidUnicodeCodePoint);
            }
            i_ += len;
        } else {
            // A skipped string reports the byte before the control character.
            if constexpr (Keep) ++i_;
            return error(JsonCode::ControlCharacterWhileParsingString);
        }
    }
}

bool Scanner::parse_escaped_string(std::string_view& out) { return string_body<true>(out); }

bool Scanner::ignore_string() {
    std::string_view unused;
    return string_body<false>(unused);
}

bool Scanner::skip_escape() {
    if (i_ >= n_) return error(JsonCode::EofWhileParsingString);
    switch (s_[i_++]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return true;
        case 'u': {
            uint16_t unused;
            return decode_hex_escape(unused);
        }
        default: return error(JsonCode::InvalidEscape);
    }
}

// The number grammar without its value: a skipped member may hold 1e400.
bool Scanner::ignore_number() {
    if (i_ >= n_) return error(JsonCode::InvalidNumber);
    char first = s_[i_++];
    if (first == '0') {
        if (is_digit(peek())) return peek_error(JsonCode::InvalidNumber);
    } else if (first >= '1' && first <= '9') {
        while (is_digit(peek())) ++i_;
    } else {
        return error(JsonCode::InvalidNumber);
    }
    if (peek() == '.') {
        ++i_;
        bool any = false;
        while (is_digit(peek())) {
            ++i_;
            any = true;
        }
        if (!any) return peek_error(JsonCode::InvalidNumber);
    }
    int c = peek();
    if (c == 'e' || c == 'E') {
        ++i_;
        c = peek();
        if (c == '+' || c == '-') ++i_;
        if (i_ >= n_) return error(JsonCode::InvalidNumber);
        if (!is_digit(s_[i_++])) return error(JsonCode::InvalidNumber);
        while (is_digit(peek())) ++i_;
    }
    return true;
}

bool Scanner::ignore_value() {
    // An explicit stack of open brackets: skipped values may nest without limit.
    frames_.clear();
    char enclosing = 0;
    for (;;) {
        int peeked = skip_ws();
        char frame = 0;
        switch (peeked) {
            case -1: return peek_error(JsonCode::EofWhileParsingValue);
            case 'n': ++i_; if (!parse_ident("ull")) return false; break;
            case 't': ++i_; if (!parse_ident("rue")) return false; break;
            case 'f': ++i_; if (!parse_ident("alse")) return false; break;
            case '-': ++i_; if (!ignore_number()) return false; break;
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                if (!ignore_number()) return false;
                break;
            case '"': ++i_; if (!ignore_string()) return false; break;
            case '[':
            case '{':
                if (enclosing) frames_.push_back(enclosing);
                enclosing = 0;
                ++i_;
                frame = static_cast<char>(peeked);
                break;
            default: return peek_error(JsonCode::ExpectedSomeValue);
        }

        bool accept_comma;
        if (frame) {
            accept_comma = false;
        } else if (enclosing) {
            frame = enclosing;
            enclosing = 0;
            accept_comma = true;
        } else if (!frames_.empty()) {
            frame = frames_.back();
            frames_.pop_back();
            accept_comma = true;
        } else {
            return true;
        }

        for (;;) {
            int c = skip_ws();
            if (c == ',' && accept_comma) {
                ++i_;
                break;
            }
            if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
                ++i_;
                if (frames_.empty()) return true;
                frame = frames_.back();
                frames_.pop_back();
                accept_comma = true;
                continue;
            }
            if (c < 0) {
                return peek_error(frame == '[' ? JsonCode::EofWhileParsingList : JsonCode::EofWhileParsingObject);
            }
            if (accept_comma) {
                return peek_error(frame == '[' ? JsonCode::ExpectedListCommaOrEnd
                                               : JsonCode::ExpectedObjectCommaOrEnd);
            }
            break;
        }

        if (frame == '{') {
            int c = skip_ws();
            if (c == '"') {
                ++i_;
            } else if (c < 0) {
                return peek_error(JsonCode::EofWhileParsingObject);
            } else {
                return peek_error(JsonCode::KeyMustBeAString);
            }
            if (!ignore_string()) return false;
            c = skip_ws();
            if (c == ':') {
                ++i_;
            } else if (c < 0) {
                return peek_error(JsonCode::EofWhileParsingObject);
            } else {
                return peek_error(JsonCode::ExpectedColon);
            }
        }
        enclosing = frame;
    }
}

}  // namespace radar
