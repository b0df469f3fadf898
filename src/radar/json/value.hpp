// The parsed JSON tree. Objects keep their members sorted by key bytes with
// each key once (the last occurrence in the text wins), so lookups are binary
// searches and iteration is in key order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace radar {

struct JsonMember;

class JsonValue {
public:
    enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
    // A number is exactly one of: unsigned 64-bit, negative signed 64-bit, double.
    enum class NumberKind : uint8_t { Unsigned, Signed, Double };

    JsonValue() = default;
    static JsonValue null();
    static JsonValue boolean(bool b);
    static JsonValue unsigned_number(uint64_t u);
    static JsonValue signed_number(int64_t i);
    static JsonValue double_number(double d);
    static JsonValue string(std::string s);
    static JsonValue array(std::vector<JsonValue> items);
    // Sorts by key and keeps the last of equal keys.
    static JsonValue object(std::vector<JsonMember> members);

    Kind kind() const { return kind_; }
    NumberKind number_kind() const { return num_; }
    bool is_null() const { return kind_ == Kind::Null; }
    bool is_string() const { return kind_ == Kind::String; }
    bool is_array() const { return kind_ == Kind::Array; }
    bool is_object() const { return kind_ == Kind::Object; }

    bool as_bool() const { return b_; }
    uint64_t as_u64() const { return n_.u; }
    int64_t as_i64() const { return n_.i; }
    double as_f64() const { return n_.d; }
    // Any number converted to the nearest double.
    double to_f64() const;
    std::string_view as_string() const { return str_; }
    const std::vector<JsonValue>& items() const { return items_; }
    const std::vector<JsonMember>& members() const { return members_; }

    // Binary search among the (sorted, unique) members of an object.
    const JsonValue* find(std::string_view key) const;

private:
    Kind kind_ = Kind::Null;
    NumberKind num_ = NumberKind::Unsigned;
    bool b_ = false;
    union {
        uint64_t u;
        int64_t i;
        double d;
    } n_{0};
    std::string str_;
    std::vector<JsonValue> items_;
    std::vector<JsonMember> members_;

    friend class ValueBuilder;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

inline JsonValue JsonValue::null() { return JsonValue(); }

}  // namespace radar
