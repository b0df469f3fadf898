// The parsed JSON tree. A value is a small view (24 bytes): strings point into
// the command text (or into the document's buffer when they had escapes), and
// arrays and objects point at contiguous runs of children held by the
// JsonDocument that parsed them, so reading builds no nodes on the heap.
// Objects keep their members sorted by key bytes with each key once (the
// last occurrence in the text wins): lookups are binary searches and
// iteration is in key order.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace radar {

struct JsonMember;

class JsonValue {
public:
    enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
    // A number is exactly one of: unsigned 64-bit, negative signed 64-bit, double.
    enum class NumberKind : uint8_t { Unsigned, Signed, Double };

    JsonValue() : u_(0) {}

    Kind kind() const { return kind_; }
    NumberKind number_kind() const { return num_; }
    bool is_null() const { return kind_ == Kind::Null; }
    bool is_string() const { return kind_ == Kind::String; }
    bool is_array() const { return kind_ == Kind::Array; }
    bool is_object() const { return kind_ == Kind::Object; }

    bool as_bool() const { return b_; }
    uint64_t as_u64() const { return u_; }
    int64_t as_i64() const { return i_; }
    double as_f64() const { return d_; }
    // Any number converted to the nearest double.
    double to_f64() const;
    std::string_view as_string() const { return {s_, static_cast<size_t>(len_)}; }
    std::span<const JsonValue> items() const {
        if (is_decoded_list()) return {};
        return {items_, static_cast<size_t>(len_)};
    }
    // An array whose elements went to a ListDecoder while the text was read
    // (see JsonDocument): it holds the decoder's id for them instead.
    bool is_decoded_list() const { return kind_ == Kind::Array && b_; }
    uint64_t decoded_list() const { return u_; }
    std::span<const JsonMember> members() const;

    // Binary search among the (sorted, unique) members of an object; null
    // for any other kind of value.
    const JsonValue* find(std::string_view key) const;

private:
    friend class JsonDocument;
    friend class TreeBuilder;

    Kind kind_ = Kind::Null;
    NumberKind num_ = NumberKind::Unsigned;
    bool b_ = false;    // a boolean's value; for an array, "decoded list"
    uint64_t len_ = 0;  // string length, element or member count
    union {
        uint64_t u_;
        int64_t i_;
        double d_;
        const char* s_;
        const JsonValue* items_;
        const JsonMember* members_;
    };
};

struct JsonMember {
    std::string_view key;
    JsonValue value;
};

// Nothing for a value that isn't an object, so find() is safe on any value.
inline std::span<const JsonMember> JsonValue::members() const {
    if (kind_ != Kind::Object) return {};
    return {members_, static_cast<size_t>(len_)};
}

}  // namespace radar
