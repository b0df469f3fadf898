#include "json/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace radar {

namespace {

// Shortest round-trip decimal form of a finite, non-zero magnitude:
// value = d1.d2...dn x 10^exp.
struct Decimal {
    char digits[24];  // 17 significant digits at most
    int count;
    int exp;
};

// A value on the 1e-8 grid, as most response numbers are: when k / 10^8
// reads back as the value, the digits of k are its shortest form. Any
// other decimal that reads back as the value lies within one ulp (below
// 1e-8 here) of k x 10^-8, so it is not a multiple of k's last digit
// position: it needs more digits.
bool grid_decimal(double magnitude, Decimal& dec) {
    if (!(magnitude >= 1e-8 && magnitude < 1e7)) return false;
    const uint64_t k = static_cast<uint64_t>(std::nearbyint(magnitude * 1e8));
    // k < 2^53 and 10^8 are exact: one correctly rounded division.
    if (static_cast<double>(k) / 1e8 != magnitude) return false;
    char buf[20];
    const auto res = std::to_chars(buf, buf + sizeof buf, k);
    const int n = static_cast<int>(res.ptr - buf);
    int count = n;
    while (buf[count - 1] == '0') --count;  // k > 0: a non-zero digit stops it
    std::memcpy(dec.digits, buf, static_cast<size_t>(count));
    dec.count = count;
    dec.exp = n - 1 - 8;
    return true;
}

Decimal decompose(double magnitude) {
    Decimal dec{};
    if (grid_decimal(magnitude, dec)) return dec;
    // Scientific without a precision gives the shortest round-trip digits,
    // e.g. "1.5e-07" or "5e-324"; the mantissa and exponent are split here.
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const char* p = buf;
    for (; p != res.ptr && *p != 'e'; ++p) {
        if (*p != '.') dec.digits[dec.count++] = *p;
    }
    ++p;  // 'e'
    bool negative = *p == '-';
    ++p;  // the exponent sign is always present
    int exp = 0;
    for (; p != res.ptr; ++p) exp = exp * 10 + (*p - '0');
    dec.exp = negative ? -exp : exp;
    return dec;
}

void append_exponent(std::string& out, int exp) {
    out.push_back(exp < 0 ? '-' : '+');
    append_u64(out, static_cast<uint64_t>(exp < 0 ? -exp : exp));
}

// Digits placed around the decimal point; `whole_suffix` is appended to
// integral values (".0" for JSON so they read back as floats, "" for labels).
void append_positional(std::string& out, const Decimal& dec, std::string_view whole_suffix) {
    std::string_view digits(dec.digits, static_cast<size_t>(dec.count));
    if (dec.exp < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-dec.exp - 1), '0');
        out += digits;
    } else if (dec.exp < dec.count - 1) {
        size_t whole = static_cast<size_t>(dec.exp) + 1;
        out += digits.substr(0, whole);
        out.push_back('.');
        out += digits.substr(whole);
    } else {
        out += digits;
        out.append(static_cast<size_t>(dec.exp - dec.count + 1), '0');
        out += whole_suffix;
    }
}

}  // namespace

void append_json_double(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (std::signbit(d)) out.push_back('-');
    if (d == 0) {
        out += "0.0";
        return;
    }
    Decimal dec = decompose(std::fabs(d));
    if (dec.exp >= -5 && dec.exp <= 15) {
        append_positional(out, dec, ".0");
        return;
    }
    out.push_back(dec.digits[0]);
    if (dec.count > 1) {
        out.push_back('.');
        out.append(dec.digits + 1, static_cast<size_t>(dec.count - 1));
    }
    out.push_back('e');
    append_exponent(out, dec.exp);
}

void append_positional_double(std::string& out, double d) {
    if (std::isnan(d)) {
        out += "NaN";
        return;
    }
    if (std::signbit(d)) out.push_back('-');
    if (std::isinf(d)) {
        out += "inf";
        return;
    }
    if (d == 0) {
        out.push_back('0');
        return;
    }
    append_positional(out, decompose(std::fabs(d)), "");
}

void append_u64(std::string& out, uint64_t v) {
    char buf[20];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void append_i64(std::string& out, int64_t v) {
    char buf[20];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

}  // namespace radar
