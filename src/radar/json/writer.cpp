#include "json/writer.hpp"

#include <array>

namespace radar {

namespace {

constexpr std::array<uint8_t, 256> make_escapes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
constexpr std::array<uint8_t, 256> kEscapes = make_escapes();

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    out.push_back('"');
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        uint8_t esc = kEscapes[static_cast<unsigned char>(s[i])];
        if (!esc) continue;
        out.append(s.data() + start, i - start);
        out.push_back('\\');
        out.push_back(static_cast<char>(esc));
        if (esc == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            unsigned char c = static_cast<unsigned char>(s[i]);
            out.append("00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
        start = i + 1;
    }
    out.append(s.data() + start, s.size() - start);
    out.push_back('"');
}

void append_json_value(std::string& out, const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::Null: out.append("null"); break;
        case JsonValue::Kind::Bool: out.append(v.as_bool() ? "true" : "false"); break;
        case JsonValue::Kind::Number:
            switch (v.number_kind()) {
                case JsonValue::NumberKind::Unsigned: append_u64(out, v.as_u64()); break;
                case JsonValue::NumberKind::Signed: append_i64(out, v.as_i64()); break;
                case JsonValue::NumberKind::Double: append_json_double(out, v.as_f64()); break;
            }
            break;
        case JsonValue::Kind::String: append_json_string(out, v.as_string()); break;
        case JsonValue::Kind::Array: {
            out.push_back('[');
            bool first = true;
            for (const JsonValue& item : v.items()) {
                if (!first) out.push_back(',');
                first = false;
                append_json_value(out, item);
            }
            out.push_back(']');
            break;
        }
        case JsonValue::Kind::Object: {
            out.push_back('{');
            bool first = true;
            for (const JsonMember& m : v.members()) {
                if (!first) out.push_back(',');
                first = false;
                append_json_string(out, m.key);
                out.push_back(':');
                append_json_value(out, m.value);
            }
            out.push_back('}');
            break;
        }
    }
}

std::string to_text(const JsonValue& v) {
    std::string out;
    append_json_value(out, v);
    return out;
}

}  // namespace radar
