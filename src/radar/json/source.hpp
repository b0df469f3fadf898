// The record-reading machinery. Record readers (specification, signal,
// indicator, event) are written once as templates over a source, and the
// source decides where values come from:
//   TextSource  streams over JSON text; errors carry line and column;
//   ValueSource walks an already parsed JsonValue; errors carry none.
//
// A source has a "current value", the one the next read consumes. Compound
// values (objects, arrays, enums) are walked through a Compound cursor:
//   begin_struct / begin_seq / begin_map / begin_enum open one,
//   next_key + member_value / skip_member walk an object's members,
//   next_element walks an array's elements,
//   end closes it, fail_in reports an error of the record being built there.
// Every operation returns false (or -1) after setting the error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/describe.hpp"
#include "json/error.hpp"
#include "json/scanner.hpp"
#include "json/value.hpp"

namespace radar {

enum class Form : uint8_t { Map, Seq, Str };

// ---------------------------------------------------------------------------
class TextSource {
public:
    struct Compound {
        Form form = Form::Map;
        bool first = true;
    };

    explicit TextSource(std::string_view text) : sc_(text) {}

    JsonError take_error() { return sc_.take_error(); }
    bool finish() { return sc_.finish(); }

    // An object (Map) or an array (Seq); anything else is a type error.
    bool begin_struct(Compound& c, std::string_view expected) {
        int b = sc_.skip_ws();
        if (b == '[' || b == '{') return open(c, b == '[' ? Form::Seq : Form::Map);
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingValue);
        return invalid_type_here(b, expected);
    }
    bool begin_any(Compound& c, std::string_view expected) { return begin_struct(c, expected); }
    bool begin_seq(Compound& c, std::string_view expected) {
        int b = sc_.skip_ws();
        if (b == '[') return open(c, Form::Seq);
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingValue);
        return invalid_type_here(b, expected);
    }
    bool begin_map(Compound& c, std::string_view expected) {
        int b = sc_.skip_ws();
        if (b == '{') return open(c, Form::Map);
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingValue);
        return invalid_type_here(b, expected);
    }

    // 1: a key was read; 0: the object ends; -1: error.
    int next_key(Compound& c, std::string_view& key) {
        int r = sc_.next_member(c.first);
        if (r != 1) return r;
        return sc_.parse_string(key) ? 1 : -1;
    }
    bool member_value(Compound&) { return sc_.colon(); }
    bool skip_member(Compound&) { return sc_.colon() && sc_.ignore_value(); }

    // 1: an element follows (it is the current value); 0: the array ends.
    int next_element(Compound& c) { return sc_.next_element(c.first); }
    bool skip_value() { return sc_.ignore_value(); }

    bool end(Compound& c) {
        int b = sc_.skip_ws();
        if (c.form == Form::Map) {
            if (b == '}') return close();
            if (b == ',') return sc_.peek_error(JsonCode::TrailingComma);
            if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingObject);
            return sc_.peek_error(JsonCode::TrailingCharacters);
        }
        if (b == ']') return close();
        if (b == ',') {
            sc_.eat();
            b = sc_.skip_ws();
            return sc_.peek_error(b == ']' ? JsonCode::TrailingComma : JsonCode::TrailingCharacters);
        }
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingList);
        return sc_.peek_error(JsonCode::TrailingCharacters);
    }

    // An error of the record under construction (duplicate field, missing
    // element): placed where closing the record would have left the reader.
    bool fail_in(Compound& c, std::string_view message) {
        int b = sc_.skip_ws();
        if (c.form == Form::Map) {
            if (b == '}') sc_.eat();
        } else if (b == ']') {
            sc_.eat();
        } else if (b == ',') {
            sc_.eat();
            sc_.skip_ws();
        }
        return sc_.fail_here(message);
    }
    // An error about what was just read (unknown variant, missing field once
    // the record was closed).
    bool fail_here(std::string_view message) { return sc_.fail_here(message); }

    bool read_f64(double& out, std::string_view expected = "f64") {
        ParsedNumber n;
        if (!read_number(n, expected)) return false;
        out = n.to_f64();
        return true;
    }
    bool read_i64(int64_t& out, std::string_view expected = "i64") {
        ParsedNumber n;
        if (!read_number(n, expected)) return false;
        switch (n.kind) {
            case JsonValue::NumberKind::Unsigned:
                if (n.u > static_cast<uint64_t>(INT64_MAX)) return sc_.fail_here(invalid_value(describe_unsigned(n.u), expected));
                out = static_cast<int64_t>(n.u);
                return true;
            case JsonValue::NumberKind::Signed: out = n.i; return true;
            case JsonValue::NumberKind::Double: return sc_.fail_here(invalid_type(describe_double(n.d), expected));
        }
        return false;
    }
    // null, or an integer from 0 to 2^64-1.
    bool read_optional_usize(std::optional<uint64_t>& out) {
        int b = sc_.skip_ws();
        if (b == 'n') {
            sc_.eat();
            if (!sc_.parse_ident("ull")) return false;
            out.reset();
            return true;
        }
        ParsedNumber n;
        if (!read_number(n, "usize")) return false;
        switch (n.kind) {
            case JsonValue::NumberKind::Unsigned: out = n.u; return true;
            case JsonValue::NumberKind::Signed: return sc_.fail_here(invalid_value(describe_signed(n.i), "usize"));
            case JsonValue::NumberKind::Double: return sc_.fail_here(invalid_type(describe_double(n.d), "usize"));
        }
        return false;
    }
    bool read_string(std::string& out, std::string_view expected) {
        std::string_view s;
        if (!read_identifier(s, expected)) return false;
        out.assign(s);
        return true;
    }
    // A string whose view stays valid until the next string is read.
    bool read_identifier(std::string_view& out, std::string_view expected = "variant identifier") {
        int b = sc_.skip_ws();
        if (b == '"') {
            sc_.eat();
            return sc_.parse_string(out);
        }
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingValue);
        return invalid_type_here(b, expected);
    }

    // Enums: a name as a string, or an object with exactly one member whose
    // key is the name and whose value is the unit.
    bool begin_enum(Compound& c) {
        int b = sc_.skip_ws();
        if (b == '{') return open(c, Form::Map);
        if (b == '"') {
            c.form = Form::Str;
            return true;
        }
        return sc_.peek_error(b < 0 ? JsonCode::EofWhileParsingValue : JsonCode::ExpectedSomeValue);
    }
    bool variant_name(Compound&, std::string_view& name) { return read_identifier(name); }
    bool variant_unit(Compound& c, bool allow_empty_map) {
        if (c.form != Form::Map) return true;
        if (!sc_.colon()) return false;
        int b = sc_.skip_ws();
        if (b == 'n') {
            sc_.eat();
            return sc_.parse_ident("ull");
        }
        if (allow_empty_map && b == '{') {
            Compound inner;
            std::string_view unused;
            if (!open(inner, Form::Map)) return false;
            int r = next_key(inner, unused);
            if (r == 0) return end(inner);
            if (r < 0) return false;
            return sc_.fail_here(invalid_type("map", "unit"));
        }
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingValue);
        return invalid_type_here(b, "unit");
    }
    bool end_enum(Compound& c) {
        if (c.form != Form::Map) return true;
        int b = sc_.skip_ws();
        if (b == '}') return close();
        return sc_.error(b < 0 ? JsonCode::EofWhileParsingObject : JsonCode::ExpectedSomeValue);
    }

private:
    bool open(Compound& c, Form form) {
        if (!sc_.enter()) return false;
        sc_.eat();
        c.form = form;
        c.first = true;
        return true;
    }
    bool close() {
        sc_.eat();
        sc_.leave();
        return true;
    }
    bool read_number(ParsedNumber& n, std::string_view expected) {
        int b = sc_.skip_ws();
        if (b == '-') {
            sc_.eat();
            return sc_.parse_number(false, n);
        }
        if (b >= '0' && b <= '9') return sc_.parse_number(true, n);
        if (b < 0) return sc_.peek_error(JsonCode::EofWhileParsingValue);
        return invalid_type_here(b, expected);
    }

    // The value at the cursor has the wrong type: scalars are read whole
    // first (their own errors win) and the error placed at their last byte;
    // an array or object is refused at its bracket, before it is consumed.
    bool invalid_type_here(int b, std::string_view expected) {
        switch (b) {
            case 'n':
                sc_.eat();
                if (!sc_.parse_ident("ull")) return false;
                return sc_.fail_here(invalid_type("null", expected));
            case 't':
                sc_.eat();
                if (!sc_.parse_ident("rue")) return false;
                return sc_.fail_here(invalid_type("boolean `true`", expected));
            case 'f':
                sc_.eat();
                if (!sc_.parse_ident("alse")) return false;
                return sc_.fail_here(invalid_type("boolean `false`", expected));
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9': {
                ParsedNumber n;
                bool positive = b != '-';
                if (!positive) sc_.eat();
                if (!sc_.parse_number(positive, n)) return false;
                std::string found;
                switch (n.kind) {
                    case JsonValue::NumberKind::Unsigned: found = describe_unsigned(n.u); break;
                    case JsonValue::NumberKind::Signed: found = describe_signed(n.i); break;
                    case JsonValue::NumberKind::Double: found = describe_double(n.d); break;
                }
                return sc_.fail_here(invalid_type(found, expected));
            }
            case '"': {
                sc_.eat();
                std::string_view s;
                if (!sc_.parse_string(s)) return false;
                return sc_.fail_here(invalid_type(describe_string(s), expected));
            }
            case '[': return sc_.fail_here(invalid_type("sequence", expected));
            case '{': return sc_.fail_here(invalid_type("map", expected));
            default: return sc_.peek_error(JsonCode::ExpectedSomeValue);
        }
    }

    Scanner sc_;
};

// ---------------------------------------------------------------------------
class ValueSource {
public:
    struct Compound {
        Form form = Form::Map;
        const JsonValue* value = nullptr;
        size_t next = 0;
    };

    explicit ValueSource(const JsonValue& root) : cur_(&root) {}

    const std::string& error_message() const { return error_; }

    bool begin_struct(Compound& c, std::string_view expected) {
        if (cur_->is_object()) return open(c, Form::Map);
        if (cur_->is_array()) return open(c, Form::Seq);
        return type_error(expected);
    }
    bool begin_any(Compound& c, std::string_view expected) { return begin_struct(c, expected); }
    bool begin_seq(Compound& c, std::string_view expected) {
        return cur_->is_array() ? open(c, Form::Seq) : type_error(expected);
    }
    bool begin_map(Compound& c, std::string_view expected) {
        return cur_->is_object() ? open(c, Form::Map) : type_error(expected);
    }

    int next_key(Compound& c, std::string_view& key) {
        const auto& members = c.value->members();
        if (c.next >= members.size()) return 0;
        key = members[c.next++].key;
        return 1;
    }
    bool member_value(Compound& c) {
        cur_ = &c.value->members()[c.next - 1].value;
        return true;
    }
    bool skip_member(Compound&) { return true; }
    // Members of a parsed object can be visited again.
    void rewind(Compound& c) { c.next = 0; }

    int next_element(Compound& c) {
        const auto& items = c.value->items();
        if (c.next >= items.size()) return 0;
        cur_ = &items[c.next++];
        return 1;
    }
    bool skip_value() { return true; }

    bool end(Compound& c) {
        if (c.form == Form::Seq && c.next < c.value->items().size()) {
            return fail(invalid_length(c.value->items().size(), "fewer elements in array"));
        }
        return true;
    }
    bool fail_in(Compound&, std::string_view message) { return fail(message); }
    bool fail_here(std::string_view message) { return fail(message); }

    bool read_f64(double& out, std::string_view expected = "f64") {
        if (cur_->kind() != JsonValue::Kind::Number) return type_error(expected);
        out = cur_->to_f64();
        return true;
    }
    bool read_i64(int64_t& out, std::string_view expected = "i64") {
        if (cur_->kind() != JsonValue::Kind::Number) return type_error(expected);
        switch (cur_->number_kind()) {
            case JsonValue::NumberKind::Unsigned:
                if (cur_->as_u64() > static_cast<uint64_t>(INT64_MAX)) {
                    return fail(invalid_value(describe_unsigned(cur_->as_u64()), expected));
                }
                out = static_cast<int64_t>(cur_->as_u64());
                return true;
            case JsonValue::NumberKind::Signed: out = cur_->as_i64(); return true;
            case JsonValue::NumberKind::Double: return type_error(expected);
        }
        return false;
    }
    bool read_optional_usize(std::optional<uint64_t>& out) {
        if (cur_->is_null()) {
            out.reset();
            return true;
        }
        if (cur_->kind() == JsonValue::Kind::Number) {
            if (cur_->number_kind() == JsonValue::NumberKind::Unsigned) {
                out = cur_->as_u64();
                return true;
            }
            if (cur_->number_kind() == JsonValue::NumberKind::Signed) {
                return fail(invalid_value(describe_signed(cur_->as_i64()), "usize"));
            }
        }
        return type_error("usize");
    }
    bool read_string(std::string& out, std::string_view expected) {
        if (!cur_->is_string()) return type_error(expected);
        out.assign(cur_->as_string());
        return true;
    }
    bool read_identifier(std::string_view& out, std::string_view expected = "variant identifier") {
        if (!cur_->is_string()) return type_error(expected);
        out = cur_->as_string();
        return true;
    }

    bool begin_enum(Compound& c) {
        if (cur_->is_string()) {
            c.form = Form::Str;
            c.value = cur_;
            return true;
        }
        if (cur_->is_object()) {
            if (cur_->members().size() != 1) return fail(invalid_value("map", "map with a single key"));
            return open(c, Form::Map);
        }
        return type_error("string or map");
    }
    bool variant_name(Compound& c, std::string_view& name) {
        name = c.form == Form::Str ? c.value->as_string() : std::string_view(c.value->members()[0].key);
        return true;
    }
    bool variant_unit(Compound& c, bool allow_empty_map) {
        if (c.form != Form::Map) return true;
        cur_ = &c.value->members()[0].value;
        if (cur_->is_null()) return true;
        if (allow_empty_map && cur_->is_object() && cur_->members().empty()) return true;
        return type_error("unit");
    }
    bool end_enum(Compound&) { return true; }

private:
    bool open(Compound& c, Form form) {
        c.form = form;
        c.value = cur_;
        c.next = 0;
        return true;
    }
    bool fail(std::string_view message) {
        error_.assign(message);
        return false;
    }
    bool type_error(std::string_view expected) { return fail(invalid_type(describe_value(*cur_), expected)); }

    const JsonValue* cur_;
    std::string error_;
};

// ---------------------------------------------------------------------------
// An array read element by element: read_one(src, element) reads one.
template <class Src, class T, class ReadOne>
bool read_seq(Src& src, std::vector<T>& out, ReadOne read_one) {
    typename Src::Compound c;
    if (!src.begin_seq(c, "a sequence")) return false;
    out.clear();
    for (;;) {
        int r = src.next_element(c);
        if (r < 0) return false;
        if (r == 0) break;
        out.emplace_back();
        if (!read_one(src, out.back())) return false;
    }
    return src.end(c);
}

}  // namespace radar
