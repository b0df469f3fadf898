#include "json/printable.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace radar {

namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "json/printable_table.inc"

constexpr char32_t kReplacement = 0xFFFD;

void append_escape(std::string& out, char32_t c) {
    char buf[8];
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<uint32_t>(c), 16);
    out += "\\u{";
    out.append(buf, res.ptr);
    out.push_back('}');
}

// Length of the well-formed UTF-8 sequence at the start of `s` (Unicode
// Table 3-7: no overlongs, surrogates or values past U+10FFFF), or 0.
size_t sequence_length(std::string_view s, char32_t& c) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(0);
    size_t len;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead < 0x80) {
        c = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        c = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        c = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        unsigned char b = byte(i);
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    return len;
}

}  // namespace

bool is_printable(char32_t c) {
    if (c > 0x10FFFF) return false;
    // First range that starts after c; the one before it is the only candidate.
    const CodeRange* it = std::upper_bound(
        std::begin(kNonPrintableRanges), std::end(kNonPrintableRanges), c,
        [](char32_t value, const CodeRange& r) { return value < r.first; });
    return it == std::begin(kNonPrintableRanges) || c > (it - 1)->last;
}

void append_debug_string(std::string& out, std::string_view utf8) {
    out.push_back('"');
    while (!utf8.empty()) {
        char32_t c = 0;
        size_t len = sequence_length(utf8, c);
        if (len == 0) {
            append_escape(out, kReplacement);
            utf8.remove_prefix(1);
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\0': out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default:
                if (is_printable(c)) {
                    out.append(utf8.data(), len);
                } else {
                    append_escape(out, c);
                }
        }
        utf8.remove_prefix(len);
    }
    out.push_back('"');
}

}  // namespace radar
