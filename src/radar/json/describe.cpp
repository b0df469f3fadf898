#include "json/describe.hpp"

#include "json/number_text.hpp"
#include "json/printable.hpp"

namespace radar {

std::string describe_unsigned(uint64_t u) {
    std::string out = "integer `";
    append_u64(out, u);
    out.push_back('`');
    return out;
}

std::string describe_signed(int64_t i) {
    std::string out = "integer `";
    append_i64(out, i);
    out.push_back('`');
    return out;
}

std::string describe_double(double d) {
    std::string out = "floating point `";
    append_json_double(out, d);
    out.push_back('`');
    return out;
}

std::string describe_string(std::string_view s) {
    std::string out = "string ";
    append_debug_string(out, s);
    return out;
}

std::string describe_value(const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::Null: return "null";
        case JsonValue::Kind::Bool: return v.as_bool() ? "boolean `true`" : "boolean `false`";
        case JsonValue::Kind::Number:
            switch (v.number_kind()) {
                case JsonValue::NumberKind::Unsigned: return describe_unsigned(v.as_u64());
                case JsonValue::NumberKind::Signed: return describe_signed(v.as_i64());
                case JsonValue::NumberKind::Double: return describe_double(v.as_f64());
            }
            break;
        case JsonValue::Kind::String: return describe_string(v.as_string());
        case JsonValue::Kind::Array: return "sequence";
        case JsonValue::Kind::Object: return "map";
    }
    return "";
}

namespace {

std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out.append(p);
    return out;
}

}  // namespace

std::string invalid_type(std::string_view found, std::string_view expected) {
    return join({"invalid type: ", found, ", expected ", expected});
}

std::string invalid_value(std::string_view found, std::string_view expected) {
    return join({"invalid value: ", found, ", expected ", expected});
}

std::string invalid_length(uint64_t length, std::string_view expected) {
    std::string out = "invalid length ";
    append_u64(out, length);
    out.append(", expected ");
    out.append(expected);
    return out;
}

std::string missing_field(std::string_view field) { return join({"missing field `", field, "`"}); }

std::string duplicate_field(std::string_view field) { return join({"duplicate field `", field, "`"}); }

std::string unknown_variant(std::string_view name, std::initializer_list<std::string_view> accepted) {
    std::string out = join({"unknown variant `", name, "`, expected "});
    if (accepted.size() == 2) {
        auto it = accepted.begin();
        out.append(join({"`", it[0], "` or `", it[1], "`"}));
        return out;
    }
    if (accepted.size() > 2) out.append("one of ");
    bool first = true;
    for (std::string_view a : accepted) {
        if (!first) out.append(", ");
        first = false;
        out.append(join({"`", a, "`"}));
    }
    return out;
}

}  // namespace radar
