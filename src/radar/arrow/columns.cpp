#include "arrow/columns.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

namespace radar::arrow {

namespace {

bool primitive(std::string_view f, Type& out) {
    if (f.size() != 1) {
        if (f == "vu") {
            out = Type::Utf8View;
            return true;
        }
        return false;
    }
    switch (f[0]) {
        case 'n': out = Type::Null; return true;
        case 'b': out = Type::Bool; return true;
        case 'c': out = Type::Int8; return true;
        case 's': out = Type::Int16; return true;
        case 'i': out = Type::Int32; return true;
        case 'l': out = Type::Int64; return true;
        case 'C': out = Type::UInt8; return true;
        case 'S': out = Type::UInt16; return true;
        case 'I': out = Type::UInt32; return true;
        case 'L': out = Type::UInt64; return true;
        case 'f': out = Type::Float32; return true;
        case 'g': out = Type::Float64; return true;
        case 'u': out = Type::Utf8; return true;
        case 'U': out = Type::LargeUtf8; return true;
        default: return false;
    }
}

bool is_integer(Type t) { return t >= Type::Int8 && t <= Type::UInt64; }
bool is_string(Type t) { return t == Type::Utf8 || t == Type::LargeUtf8 || t == Type::Utf8View; }

bool bit(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

template <class T>
T load(const void* p, int64_t i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(p) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return v;
}

Cell integer_cell(int64_t v) {
    Cell c;
    if (v >= 0) {
        c.kind = Cell::Unsigned;
        c.u = static_cast<uint64_t>(v);
    } else {
        c.kind = Cell::Signed;
        c.i = v;
    }
    return c;
}

// The i-th value of a primitive or string buffer set.
Cell value_at(Type type, const void* values, const void* extra, const ArrowArray* array, int64_t i) {
    Cell c;
    switch (type) {
        case Type::Null: return c;
        case Type::Bool:
            c.kind = Cell::Bool;
            c.b = bit(static_cast<const uint8_t*>(values), i);
            return c;
        case Type::Int8: return integer_cell(load<int8_t>(values, i));
        case Type::Int16: return integer_cell(load<int16_t>(values, i));
        case Type::Int32: return integer_cell(load<int32_t>(values, i));
        case Type::Int64: return integer_cell(load<int64_t>(values, i));
        case Type::UInt8: return integer_cell(load<uint8_t>(values, i));
        case Type::UInt16: return integer_cell(load<uint16_t>(values, i));
        case Type::UInt32: return integer_cell(load<uint32_t>(values, i));
        case Type::UInt64:
            c.kind = Cell::Unsigned;
            c.u = load<uint64_t>(values, i);
            return c;
        case Type::Float32:
            c.kind = Cell::Double;
            c.d = load<float>(values, i);
            return c;
        case Type::Float64:
            c.kind = Cell::Double;
            c.d = load<double>(values, i);
            return c;
        case Type::Utf8: {
            const int32_t a = load<int32_t>(values, i), b = load<int32_t>(values, i + 1);
            c.kind = Cell::String;
            c.s = std::string_view(static_cast<const char*>(extra) + a, static_cast<size_t>(b - a));
            return c;
        }
        case Type::LargeUtf8: {
            const int64_t a = load<int64_t>(values, i), b = load<int64_t>(values, i + 1);
            c.kind = Cell::String;
            c.s = std::string_view(static_cast<const char*>(extra) + a, static_cast<size_t>(b - a));
            return c;
        }
        case Type::Utf8View: {
            // 16 bytes: the length, then the bytes themselves when they fit
            // in 12, else a 4-byte prefix, the buffer and the offset in it
            const char* view = static_cast<const char*>(values) + i * 16;
            int32_t length;
            std::memcpy(&length, view, 4);
            c.kind = Cell::String;
            if (length <= 12) {
                c.s = std::string_view(view + 4, static_cast<size_t>(length));
            } else {
                int32_t buffer, offset;
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                // the data buffers sit between the views and their sizes
                if (buffer < 0 || offset < 0 || 2 + int64_t{buffer} >= array->n_buffers - 1) return Cell{};
                const char* data = static_cast<const char*>(array->buffers[2 + buffer]);
                c.s = std::string_view(data + offset, static_cast<size_t>(length));
            }
            return c;
        }
        case Type::Timestamp:
        case Type::Decimal: return c;  // read by the caller
    }
    return c;
}

// "d:P,S" or "d:P,S,B": the scale and the bits, when they are read here.
bool decimal_format(std::string_view f, ColumnType& t) {
    if (!f.starts_with("d:")) return false;
    int32_t values[3] = {0, 0, 128};
    size_t n = 0;
    const char* p = f.data() + 2;
    const char* end = f.data() + f.size();
    while (p < end && n < 3) {
        auto [next, ec] = std::from_chars(p, end, values[n]);
        if (ec != std::errc()) return false;
        ++n;
        p = next;
        if (p < end && *p == ',') ++p;
    }
    if (n < 2 || p != end || (values[2] != 32 && values[2] != 64 && values[2] != 128)) return false;
    t.type = Type::Decimal;
    t.scale = values[1];
    t.bits = values[2];
    return true;
}

}  // namespace

std::optional<ColumnType> column_type(const ArrowSchema& schema, std::string& why) {
    const std::string_view f = schema.format ? schema.format : "";
    ColumnType t;
    if (schema.dictionary != nullptr) {
        Type index;
        if (!primitive(f, index) || !is_integer(index)) {
            why = "a dictionary with \"" + std::string(f) + "\" indices";
            return std::nullopt;
        }
        const std::string_view vf = schema.dictionary->format ? schema.dictionary->format : "";
        Type values;
        if (!primitive(vf, values) || !is_string(values)) {
            why = "a dictionary of \"" + std::string(vf) + "\" values (only strings are read)";
            return std::nullopt;
        }
        t.type = values;
        t.dictionary = true;
        t.index = index;
        return t;
    }
    if (primitive(f, t.type)) return t;
    if (f.starts_with("ts") && f.size() >= 4 && f[3] == ':') {
        t.type = Type::Timestamp;
        switch (f[2]) {
            case 's': t.mul = 1000; return t;
            case 'm': return t;
            case 'u': t.div = 1000; return t;
            case 'n': t.div = 1000000; return t;
            default: break;
        }
    }
#if defined(__SIZEOF_INT128__)
    if (decimal_format(f, t)) return t;
#endif
    if (f == "tdD") {
        t.type = Type::Timestamp;  // days, stored as int32: read through the index type
        t.mul = 86400000;
        t.index = Type::Int32;
        return t;
    }
    if (f == "tdm") {
        t.type = Type::Timestamp;
        return t;
    }
    why = "of Arrow format \"" + std::string(f) + "\"";
    return std::nullopt;
}

Cell decimal_cell(const unsigned char* p, int32_t bytes, int32_t scale) {
    Cell c;
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 uwide;
    uwide bits = 0;
    for (int32_t k = bytes - 1; k >= 0; --k) bits = (bits << 8) | p[k];
    const bool negative = (p[bytes - 1] & 0x80) != 0;
    if (negative && bytes < 16) bits |= ~uwide{0} << (8 * bytes);  // sign-extended
    uwide magnitude = negative ? ~bits + 1 : bits;
    // its text, as a JSON writer would give it
    char digits[48];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    std::string text = negative ? "-" : "";
    if (scale <= 0) {
        for (int k = n - 1; k >= 0; --k) text.push_back(digits[k]);
        if (!(n == 1 && digits[0] == '0')) text.append(static_cast<size_t>(-scale), '0');
        const char* first = text.data();
        const char* last = text.data() + text.size();
        if (!negative) {
            uint64_t u;
            if (auto r = std::from_chars(first, last, u); r.ec == std::errc() && r.ptr == last) {
                c.kind = Cell::Unsigned;
                c.u = u;
                return c;
            }
        } else if (int64_t i; std::from_chars(first, last, i).ec == std::errc()) {
            c.kind = Cell::Signed;
            c.i = i;
            return c;
        }
    } else {
        for (int k = std::max(n, scale + 1) - 1; k >= 0; --k) {
            text.push_back(k < n ? digits[k] : '0');
            if (k == scale) text.push_back('.');
        }
    }
    c.kind = Cell::Double;
    std::from_chars(text.data(), text.data() + text.size(), c.d);
#else
    (void)p;
    (void)bytes;
    (void)scale;
#endif
    return c;
}

Cell timestamp_cell(int64_t value, const ColumnType& type) {
    Cell c;
    if (type.div > 1) {
        int64_t q = value / type.div;
        if (value % type.div != 0 && value < 0) --q;  // floored, as the CSV reader does
        return q >= 0 ? (c.kind = Cell::Unsigned, c.u = static_cast<uint64_t>(q), c)
                      : (c.kind = Cell::Signed, c.i = q, c);
    }
    const int64_t mul = type.mul;
    if (value >= 0 && static_cast<uint64_t>(value) <= UINT64_MAX / static_cast<uint64_t>(mul)) {
        c.kind = Cell::Unsigned;
        c.u = static_cast<uint64_t>(value) * static_cast<uint64_t>(mul);
    } else if (value < 0 && value >= INT64_MIN / mul) {
        c.kind = Cell::Signed;
        c.i = value * mul;
    } else {
        // past the integers JSON reads exactly: it reads them as a double,
        // rounded once from the exact product
        c.kind = Cell::Double;
#if defined(__SIZEOF_INT128__)
        __extension__ typedef __int128 wide;
        c.d = static_cast<double>(static_cast<wide>(value) * mul);
#else
        c.d = static_cast<double>(static_cast<long double>(value) * mul);
#endif
    }
    return c;
}

void ColumnView::bind(const ColumnType& t, const ArrowArray* a, int64_t batch_offset) {
    type = t;
    array = a;
    offset = a->offset + batch_offset;
    all_null = t.type == Type::Null || (a->null_count == a->length && a->length > 0);
    validity = a->null_count != 0 && a->n_buffers > 0 ? static_cast<const uint8_t*>(a->buffers[0]) : nullptr;
    values = a->n_buffers > 1 ? a->buffers[1] : nullptr;
    extra = a->n_buffers > 2 ? a->buffers[2] : nullptr;
    if (t.dictionary) {
        dict = a->dictionary;
        dict_validity = dict->null_count != 0 && dict->n_buffers > 0 ? static_cast<const uint8_t*>(dict->buffers[0])
                                                                      : nullptr;
        dict_values = dict->n_buffers > 1 ? dict->buffers[1] : nullptr;
        dict_extra = dict->n_buffers > 2 ? dict->buffers[2] : nullptr;
    }
}

Cell ColumnView::cell(int64_t row) const {
    if (all_null) return Cell{};
    const int64_t i = offset + row;
    if (validity != nullptr && !bit(validity, i)) return Cell{};
    if (type.dictionary) {
        const Cell index = value_at(type.index, values, nullptr, array, i);
        if (index.kind != Cell::Unsigned || index.u >= static_cast<uint64_t>(dict->length)) return Cell{};  // no such entry
        const int64_t k = static_cast<int64_t>(index.u) + dict->offset;
        if (dict_validity != nullptr && !bit(dict_validity, k)) return Cell{};
        return value_at(type.type, dict_values, dict_extra, dict, k);
    }
    if (type.type == Type::Decimal) {
        const int32_t bytes = type.bits / 8;
        return decimal_cell(static_cast<const unsigned char*>(values) + i * bytes, bytes, type.scale);
    }
    if (type.type == Type::Timestamp) {
        const int64_t v = type.mul == 86400000 ? load<int32_t>(values, i) : load<int64_t>(values, i);
        return timestamp_cell(v, type);
    }
    return value_at(type.type, values, extra, array, i);
}

}  // namespace radar::arrow
