#include "files/tardis.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/number_text.hpp"
#include "json/printable.hpp"

namespace radar {

namespace {

using Cell = TardisTable::Cell;

constexpr std::string_view kNotAHeader = "not a tardis CSV header: ";
constexpr std::string_view kOnlyThese = "; only derivative_ticker, book_snapshot_N and liquidations are read";

constexpr std::string_view kTickerFields[] = {"open_interest", "funding_rate", "mark_price"};
constexpr std::string_view kBookFields[] = {"bids[0].price", "bids[0].amount", "asks[0].price", "asks[0].amount"};
constexpr std::string_view kLiquidationFields[] = {"side", "price", "amount"};

std::span<const std::string_view> fields_of(TardisKind kind) {
    switch (kind) {
        case TardisKind::Ticker: return kTickerFields;
        case TardisKind::Book: return kBookFields;
        case TardisKind::Liquidations: return kLiquidationFields;
    }
    return {};
}

// --- splitting ----------------------------------------------------------------
//
// Lines without '"' are cut at every comma. A line with '"' is read as
// Python's csv module reads it (excel dialect, not strict): a field opening
// with '"' is quoted, "" inside it is one quote, a comma inside it is text,
// text after its closing quote joins the field, and a quote inside an
// unquoted field is just a character.

// The cell of one field's raw text (from its first character to the comma
// that ends it). Plain when its unquoted text is a slice of the raw text.
Cell cell_of_raw(std::string_view raw) {
    if (raw.empty() || raw.front() != '"') return {raw, true};
    std::string_view inner = raw.substr(1);
    const size_t quote = inner.find('"');
    if (quote == std::string_view::npos) return {inner, true};  // unterminated: runs to the end
    if (quote + 1 == inner.size()) return {inner.substr(0, quote), true};
    return {raw, false};
}

// The text of a field from its raw text.
void unquote(std::string_view raw, std::string& out) {
    enum { Start, Unquoted, Quoted, QuoteInQuoted } state = Start;
    out.clear();
    for (char c : raw) {
        switch (state) {
            case Start:
                if (c == '"') {
                    state = Quoted;
                } else {
                    out.push_back(c);
                    state = Unquoted;
                }
                break;
            case Unquoted: out.push_back(c); break;
            case Quoted:
                if (c == '"') {
                    state = QuoteInQuoted;
                } else {
                    out.push_back(c);
                }
                break;
            case QuoteInQuoted:
                out.push_back(c);  // "" is one quote; anything else follows the closing quote
                state = c == '"' ? Quoted : Unquoted;
                break;
        }
    }
}

std::string_view text_of(const Cell& cell, std::string& scratch) {
    if (cell.plain) return cell.text;
    unquote(cell.text, scratch);
    return scratch;
}

constexpr std::string_view kNewline = "new-line character seen in unquoted field";

// Calls field(raw) for each field of a line that has quotes, in order. False
// when a CR or LF outside quotes is followed by anything but more of them
// (the csv module refuses that); when only they follow, the line ends there.
template <class F>
bool walk_quoted(std::string_view line, F&& field) {
    enum { Start, Unquoted, Quoted, QuoteInQuoted } state = Start;
    size_t start = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (state == Quoted) {
            if (c == '"') state = QuoteInQuoted;
            continue;
        }
        if (c == ',') {
            field(line.substr(start, i - start));
            start = i + 1;
            state = Start;
        } else if (c == '\r' || c == '\n') {
            if (i > 0) field(line.substr(start, i - start));
            return line.find_first_not_of("\r\n", i) == std::string_view::npos;
        } else if (state == Start) {
            state = c == '"' ? Quoted : Unquoted;
        } else if (state == QuoteInQuoted) {
            state = c == '"' ? Quoted : Unquoted;
        }
    }
    field(line.substr(start));
    return true;
}

// Commas in [p, end), sixteen or eight bytes at a time: wide book rows are
// mostly counted, not cut.
size_t count_commas(const char* p, const char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
    size_t n = 0;
#if defined(__SSE2__)
    const __m128i comma16 = _mm_set1_epi8(',');
    while (end - p >= 16) {
        // per-byte counts, summed before any can pass 255
        const size_t blocks = std::min<size_t>(static_cast<size_t>(end - p) / 16, 255);
        __m128i counts = _mm_setzero_si128();
        for (size_t b = 0; b < blocks; ++b, p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(v, comma16));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        n += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (; end - p >= 8; p += 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        const uint64_t x = v ^ (kOnes * ',');
        // high bit of each byte of x that is zero, exactly (no borrows)
        const uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
        n += static_cast<size_t>(((zero >> 7) * kOnes) >> 56);
    }
    for (; p < end; ++p) n += *p == ',';
    return n;
}

// Every column name of a header, unquoted; false as walk_quoted.
bool header_columns(std::string_view line, std::vector<std::string>& out) {
    out.clear();
    if (line.find('"') == std::string_view::npos) {
        size_t start = 0;
        for (;;) {
            const size_t comma = line.find(',', start);
            out.emplace_back(line.substr(start, comma == std::string_view::npos ? comma : comma - start));
            if (comma == std::string_view::npos) return true;
            start = comma + 1;
        }
    }
    std::string scratch;
    return walk_quoted(line, [&](std::string_view raw) { out.emplace_back(text_of(cell_of_raw(raw), scratch)); });
}

bool has(const std::vector<std::string>& columns, std::string_view name) {
    return std::find(columns.begin(), columns.end(), name) != columns.end();
}

// --- numbers --------------------------------------------------------------------
//
// As Python's float() and int() read ASCII text: surrounding whitespace,
// a sign, '_' between two digits.

constexpr std::string_view kSpace = " \t\n\v\f\r";

std::string_view strip(std::string_view s) {
    const size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// `s` without its underscores, each of which must sit between two digits.
bool drop_underscores(std::string_view s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '_') {
            out.push_back(s[i]);
        } else if (i == 0 || i + 1 == s.size() || !is_digit(s[i - 1]) || !is_digit(s[i + 1])) {
            return false;
        }
    }
    return true;
}

bool equals_lower(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

enum class Number : uint8_t { Ok, Bad, NotFinite };

Number parse_float(std::string_view text, double& out) {
    // The usual cell: from_chars reads all of it and it starts like a
    // decimal number, so it has exactly the syntax float() wants.
    if (!text.empty()) {
        const char c = text[0] == '-' && text.size() > 1 ? text[1] : text[0];
        if (is_digit(c) || c == '.') {
            const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
            if (res.ec == std::errc() && res.ptr == text.data() + text.size()) return Number::Ok;
        }
    }
    std::string plain;
    if (text.find('_') != std::string_view::npos) {
        if (!drop_underscores(text, plain)) return Number::Bad;
        text = plain;
    }
    std::string_view s = strip(text);
    size_t i = 0;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) i = 1;
    const std::string_view body = s.substr(i);
    if (!body.empty() && !is_digit(body[0]) && body[0] != '.') {
        const bool special = equals_lower(body, "inf") || equals_lower(body, "infinity") || equals_lower(body, "nan");
        return special ? Number::NotFinite : Number::Bad;
    }
    // digits [. digits] with at least one digit, then [e [sign] digits]
    size_t j = 0;
    size_t int_digits = 0;  // from the first non-zero one
    size_t frac_zeros = 0;  // zeros after the point before any other digit
    bool nonzero = false;
    size_t digits = 0;
    for (; j < body.size() && is_digit(body[j]); ++j, ++digits) {
        nonzero = nonzero || body[j] != '0';
        if (nonzero) ++int_digits;
    }
    if (j < body.size() && body[j] == '.') {
        for (++j; j < body.size() && is_digit(body[j]); ++j, ++digits) {
            if (!nonzero && body[j] == '0') ++frac_zeros;
            nonzero = nonzero || body[j] != '0';
        }
    }
    if (digits == 0) return Number::Bad;
    int64_t exponent = 0;
    if (j < body.size() && (body[j] == 'e' || body[j] == 'E')) {
        ++j;
        bool negative = false;
        if (j < body.size() && (body[j] == '+' || body[j] == '-')) negative = body[j++] == '-';
        const size_t first = j;
        for (; j < body.size() && is_digit(body[j]); ++j) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[j] - '0');
        }
        if (j == first) return Number::Bad;
        if (negative) exponent = -exponent;
    }
    if (j != body.size()) return Number::Bad;

    const char* first = s.data() + (s[0] == '+' ? 1 : 0);
    double value = 0;
    const auto res = std::from_chars(first, s.data() + s.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
        // too large (inf) or too small (a signed zero): the decimal exponent
        // of the leading digit tells which
        const int64_t lead = exponent + (int_digits > 0 ? static_cast<int64_t>(std::min<size_t>(int_digits, 1u << 30))
                                                         : -static_cast<int64_t>(std::min<size_t>(frac_zeros, 1u << 30)));
        if (lead > 0) return Number::NotFinite;
        out = s[0] == '-' ? -0.0 : 0.0;
        return Number::Ok;
    }
    if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return Number::Bad;
    out = value;
    return Number::Ok;
}

enum class Integer : uint8_t { Ok, Bad, OutOfRange };

// int(text) // 1000
Integer parse_millis(std::string_view text, int64_t& out) {
    // The usual cell: up to 18 digits, which cannot overflow
    const bool negative_fast = !text.empty() && text[0] == '-';
    const std::string_view digits = text.substr(negative_fast ? 1 : 0);
    if (!digits.empty() && digits.size() <= 18 &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return is_digit(c); })) {
        int64_t v = 0;
        for (char c : digits) v = v * 10 + (c - '0');
        // floor division: C++ division truncates toward zero
        out = negative_fast ? -((v + 999) / 1000) : v / 1000;
        return Integer::Ok;
    }
    std::string plain;
    if (text.find('_') != std::string_view::npos) {
        if (!drop_underscores(text, plain)) return Integer::Bad;
        text = plain;
    }
    std::string_view s = strip(text);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return Integer::Bad;
    // the value as 1000 * q + r, so that q fits where the value would not
    uint64_t q = 0;
    uint64_t r = 0;
    bool overflow = false;
    for (char c : s) {
        if (!is_digit(c)) return Integer::Bad;
        if (overflow) continue;
        const uint64_t t = 10 * r + static_cast<uint64_t>(c - '0');
        if (q > (std::numeric_limits<uint64_t>::max() - 9) / 10) {
            overflow = true;
            continue;
        }
        q = 10 * q + t / 1000;
        r = t % 1000;
    }
    constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (overflow) return Integer::OutOfRange;
    if (!negative) {
        if (q > kMaxPositive) return Integer::OutOfRange;
        out = static_cast<int64_t>(q);
        return Integer::Ok;
    }
    const uint64_t magnitude = q + (r > 0 ? 1 : 0);  // floored toward -inf
    if (magnitude > kMaxPositive + 1) return Integer::OutOfRange;
    out = magnitude == kMaxPositive + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
    return Integer::Ok;
}

// --- messages ---------------------------------------------------------------------

// Length of the UTF-8 sequence at the start of `s` and its code point; a
// byte that does not start a well-formed sequence counts as U+FFFD, as the
// text would read after a "replace" decoding.
size_t next_code_point(std::string_view s, char32_t& c) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
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
    }
    if (len == 0 || s.size() < len) {
        c = 0xFFFD;
        return 1;
    }
    for (size_t i = 1; i < len; ++i) {
        const unsigned char b = byte(i);
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) {
            c = 0xFFFD;
            return 1;
        }
        c = (c << 6) | (b & 0x3F);
    }
    return len;
}

void append_hex(std::string& out, char prefix, uint32_t value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('\\');
    out.push_back(prefix);
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
}

// Python's repr() of a str: single quotes unless the text has a single
// quote and no double one; backslash, the quote, \t \n \r and other
// non-printable characters escaped (\xhh, \uhhhh, \Uhhhhhhhh).
void append_repr(std::string& out, std::string_view text) {
    const bool double_quoted =
        text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos;
    const char quote = double_quoted ? '"' : '\'';
    out.push_back(quote);
    while (!text.empty()) {
        char32_t c = 0;
        const size_t len = next_code_point(text, c);
        if (c == static_cast<char32_t>(quote) || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            append_hex(out, 'x', c, 2);
        } else if (c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (c == 0xFFFD && len == 1) {
            out += "\xEF\xBF\xBD";
        } else if (is_printable(c)) {
            out.append(text.data(), len);
        } else if (c <= 0xFF) {
            append_hex(out, 'x', c, 2);
        } else if (c <= 0xFFFF) {
            append_hex(out, 'u', c, 4);
        } else {
            append_hex(out, 'U', c, 8);
        }
        text.remove_prefix(len);
    }
    out.push_back(quote);
}

void set_error(std::string& reason, std::string_view name, std::string_view what, std::string_view text) {
    reason.assign(name);
    reason += ": ";
    reason += what;
    reason += ": ";
    append_repr(reason, text);
}

void set_skip(std::string& reason, std::string_view name) {
    reason.assign("no ");
    reason += name;
}

// --- header -------------------------------------------------------------------------

struct KindShape {
    TardisKind kind;
    std::string_view name;
    // required beyond symbol and timestamp
    std::span<const std::string_view> fields;
    // further columns of the kind, only to tell what a header resembles
    std::span<const std::string_view> others;
};

constexpr std::string_view kTickerOthers[] = {"funding_timestamp", "predicted_funding_rate", "last_price",
                                              "index_price"};
constexpr std::string_view kLiquidationOthers[] = {"id"};

// In the order a header is tried against them.
constexpr KindShape kShapes[] = {
    {TardisKind::Book, "book_snapshot", kBookFields, {}},
    {TardisKind::Ticker, "derivative_ticker", kTickerFields, kTickerOthers},
    {TardisKind::Liquidations, "liquidations", kLiquidationFields, kLiquidationOthers},
};

bool has_all(const std::vector<std::string>& columns, const KindShape& shape) {
    if (!has(columns, "symbol") || !has(columns, "timestamp")) return false;
    for (std::string_view name : shape.fields) {
        if (!has(columns, name)) return false;
    }
    // an incremental book file has every column liquidations need but `id`
    return shape.kind != TardisKind::Liquidations || has(columns, "id") || !has(columns, "is_snapshot");
}

std::string_view base_name(std::string_view path) {
    const size_t slash = path.find_last_of("/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool says_trades(std::string_view file_name) {
    std::string name(base_name(file_name));
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return name.find("trades") != std::string::npos && name.find("liquidation") == std::string::npos;
}

// Why a header is none of the three kinds, in the terms of what it looks like.
std::string unknown_header(const std::vector<std::string>& columns, std::string_view file_name) {
    std::string out(kNotAHeader);
    if (has(columns, "bid_price") && has(columns, "ask_price")) {
        out += "a quotes file";
        out += kOnlyThese;
        return out;
    }
    if (has(columns, "is_snapshot") && has(columns, "side") && has(columns, "price") && has(columns, "amount")) {
        out += "an incremental_book_L2 file";
        out += kOnlyThese;
        return out;
    }
    const KindShape* best = nullptr;
    size_t best_score = 0;
    for (const KindShape& shape : kShapes) {
        size_t score = 0;
        for (std::string_view name : shape.fields) score += has(columns, name);
        for (std::string_view name : shape.others) score += has(columns, name);
        if (shape.kind == TardisKind::Book && score == 0) {
            for (const std::string& c : columns) {
                if (c.starts_with("bids[") || c.starts_with("asks[")) score = 1;
            }
        }
        if (score > best_score) {
            best = &shape;
            best_score = score;
        }
    }
    if (best == nullptr) {
        out += "expected the columns of derivative_ticker, book_snapshot_N or liquidations";
        return out;
    }
    if (best->kind == TardisKind::Liquidations && says_trades(file_name)) {
        out += "a trades file";
        out += kOnlyThese;
        return out;
    }
    out += "a ";
    out += best->name;
    out += " file needs ";
    bool first = true;
    const auto missing = [&](std::string_view name) {
        if (has(columns, name)) return;
        if (!first) out += ", ";
        out += name;
        first = false;
    };
    missing("symbol");
    missing("timestamp");
    for (std::string_view name : best->fields) missing(name);
    out += " (missing)";
    return out;
}

}  // namespace

bool looks_like_tardis_header(std::string_view line) {
    if (line.empty() || line.front() == '{' || line.front() == '[') return false;
    std::vector<std::string> columns;
    return header_columns(line, columns) && has(columns, "symbol") && has(columns, "timestamp");
}

std::string_view TardisTable::kind_name() const {
    for (const KindShape& shape : kShapes) {
        if (shape.kind == kind_) return shape.name;
    }
    return {};
}

Result<TardisTable> TardisTable::from_header(std::string_view header, std::string_view file_name, bool notional) {
    std::vector<std::string> columns;
    if (!header_columns(header, columns)) return RadarError::parse(std::string(kNewline));
    const KindShape* shape = nullptr;
    for (const KindShape& s : kShapes) {
        if (has_all(columns, s)) {
            shape = &s;
            break;
        }
    }
    if (shape == nullptr) return RadarError::parse(unknown_header(columns, file_name));
    if (shape->kind == TardisKind::Liquidations && says_trades(file_name)) {
        return RadarError::parse(
            "a trades file (its columns are those of liquidations); only liquidations become events");
    }

    TardisTable table;
    table.kind_ = shape->kind;
    table.notional_ = notional;
    table.width_ = columns.size();
    // a repeated column name means its last column, as a name -> index map has it
    const auto column = [&](std::string_view name) {
        for (size_t i = columns.size(); i-- > 0;) {
            if (columns[i] == name) return i;
        }
        return columns.size();
    };
    const auto want = [&](std::string_view name, size_t slot) {
        table.wanted_[table.n_wanted_++] = Wanted{column(name), static_cast<uint8_t>(slot)};
    };
    want("symbol", kSymbol);
    want("timestamp", kTs);
    if (has(columns, "local_timestamp")) {
        table.has_local_ts_ = true;
        want("local_timestamp", kLocalTs);
    }
    size_t slot = kFirstField;
    for (std::string_view name : shape->fields) want(name, slot++);
    std::sort(table.wanted_, table.wanted_ + table.n_wanted_,
              [](const Wanted& a, const Wanted& b) { return a.column < b.column; });
    return table;
}

TardisTable::Row TardisTable::row(std::string_view line, std::string_view& symbol, Event& event,
                                  std::string& reason) const {
    Cell cells[kMaxSlots];
    size_t count = 0;  // fields in the line
    if (std::memchr(line.data(), '"', line.size()) == nullptr) {
        // cut up to the last wanted column, then only count the commas
        const char* p = line.data();
        const char* const end = p + line.size();
        size_t k = 0;
        size_t col = 0;
        for (;;) {
            if (k == n_wanted_) {
                count = col + 1 + count_commas(p, end);
                break;
            }
            const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
            const char* stop = comma ? comma : end;
            if (col == wanted_[k].column) cells[wanted_[k++].slot] = {std::string_view(p, stop - p), true};
            if (comma == nullptr) {
                count = col + 1;
                break;
            }
            p = comma + 1;
            ++col;
        }
    } else {
        size_t k = 0;
        const bool ok = walk_quoted(line, [&](std::string_view raw) {
            if (k < n_wanted_ && count == wanted_[k].column) cells[wanted_[k++].slot] = cell_of_raw(raw);
            ++count;
        });
        if (!ok) {
            reason.assign(kNewline);
            return Row::Error;
        }
    }
    if (count != width_) {
        reason.assign("expected ");
        append_u64(reason, width_);
        reason += " fields, got ";
        append_u64(reason, count);
        return Row::Error;
    }

    std::string scratch;  // only for quoted cells that are not slices of the line
    const std::span<const std::string_view> names = fields_of(kind_);
    size_t first_number = 0;
    if (kind_ == TardisKind::Liquidations) {
        const std::string_view side = text_of(cells[kFirstField], scratch);
        if (side == "buy") {
            event.side = Side::Buy;
        } else if (side == "sell") {
            event.side = Side::Sell;
        } else if (side.empty()) {
            reason.assign("no side");
            return Row::Skipped;
        } else if (side == "unknown") {
            reason.assign("side unknown");
            return Row::Skipped;
        } else {
            reason.assign("side: expected buy or sell, got ");
            append_repr(reason, side);
            return Row::Error;
        }
        first_number = 1;
    }
    double values[4] = {0, 0, 0, 0};
    for (size_t i = first_number; i < names.size(); ++i) {
        const std::string_view text = text_of(cells[kFirstField + i], scratch);
        if (text.empty()) {
            set_skip(reason, names[i]);
            return Row::Skipped;
        }
        switch (parse_float(text, values[i])) {
            case Number::Ok: break;
            case Number::Bad: set_error(reason, names[i], "not a number", text); return Row::Error;
            case Number::NotFinite: set_error(reason, names[i], "not a finite number", text); return Row::Error;
        }
    }

    std::string_view ts = text_of(cells[kTs], scratch);
    if (ts.empty() && has_local_ts_) ts = text_of(cells[kLocalTs], scratch);
    if (ts.empty()) {
        reason.assign("no timestamp");
        return Row::Skipped;
    }
    switch (parse_millis(ts, event.ts)) {
        case Integer::Ok: break;
        case Integer::Bad: set_error(reason, "timestamp", "not an integer", ts); return Row::Error;
        case Integer::OutOfRange: set_error(reason, "timestamp", "out of range", ts); return Row::Error;
    }

    switch (kind_) {
        case TardisKind::Ticker:
            event.kind = Event::Kind::Derivatives;
            event.side = Side::Buy;
            event.f[0] = values[0];  // open_interest
            event.f[1] = values[1];  // funding_rate
            event.f[2] = values[2];  // mark_price
            event.f[3] = 0;
            break;
        case TardisKind::Book:
            event.kind = Event::Kind::Orderbook;
            event.side = Side::Buy;
            event.f[0] = values[1];  // bid_volume: bids[0].amount
            event.f[1] = values[3];  // ask_volume: asks[0].amount
            event.f[2] = values[0];  // best_bid: bids[0].price
            event.f[3] = values[2];  // best_ask: asks[0].price
            break;
        case TardisKind::Liquidations: {
            const double price = values[1];
            const double amount = values[2];
            event.kind = Event::Kind::Liquidation;
            event.f[0] = notional_ ? amount * price : amount;
            event.f[1] = price;
            event.f[2] = 0;
            event.f[3] = 0;
            break;
        }
    }

    const Cell& sym = cells[kSymbol];
    if (sym.plain) {
        symbol = sym.text;
    } else {
        unquote(sym.text, symbol_buf_);
        symbol = symbol_buf_;
    }
    return Row::Event;
}

}  // namespace radar
