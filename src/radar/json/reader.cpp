#include "json/reader.hpp"

#include <string>
#include <utility>
#include <vector>

#include "json/scanner.hpp"

namespace radar {

namespace {

class TreeReader {
public:
    explicit TreeReader(std::string_view text) : sc_(text) {}

    bool read_document(JsonValue& out) { return read_value(out) && sc_.finish(); }
    JsonError take_error() { return sc_.take_error(); }

private:
    bool read_value(JsonValue& out) {
        int b = sc_.skip_ws();
        switch (b) {
            case -1: return sc_.peek_error(JsonCode::EofWhileParsingValue);
            case 'n':
                sc_.eat();
                if (!sc_.parse_ident("ull")) return false;
                out = JsonValue::null();
                return true;
            case 't':
                sc_.eat();
                if (!sc_.parse_ident("rue")) return false;
                out = JsonValue::boolean(true);
                return true;
            case 'f':
                sc_.eat();
                if (!sc_.parse_ident("alse")) return false;
                out = JsonValue::boolean(false);
                return true;
            case '-':
                sc_.eat();
                return read_number(false, out);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return read_number(true, out);
            case '"': {
                sc_.eat();
                std::string_view s;
                if (!sc_.parse_string(s)) return false;
                out = JsonValue::string(std::string(s));
                return true;
            }
            case '[': return read_array(out);
            case '{': return read_object(out);
            default: return sc_.peek_error(JsonCode::ExpectedSomeValue);
        }
    }

    bool read_number(bool positive, JsonValue& out) {
        ParsedNumber n;
        if (!sc_.parse_number(positive, n)) return false;
        switch (n.kind) {
            case JsonValue::NumberKind::Unsigned: out = JsonValue::unsigned_number(n.u); break;
            case JsonValue::NumberKind::Signed: out = JsonValue::signed_number(n.i); break;
            case JsonValue::NumberKind::Double: out = JsonValue::double_number(n.d); break;
        }
        return true;
    }

    bool read_array(JsonValue& out) {
        if (!sc_.enter()) return false;
        sc_.eat();
        std::vector<JsonValue> items;
        bool first = true;
        for (;;) {
            int c = sc_.skip_ws();
            if (c == -1) return sc_.peek_error(JsonCode::EofWhileParsingList);
            if (c == ']') break;
            if (!first) {
                if (c != ',') return sc_.peek_error(JsonCode::ExpectedListCommaOrEnd);
                sc_.eat();
                c = sc_.skip_ws();
                if (c == ']') return sc_.peek_error(JsonCode::TrailingComma);
                if (c == -1) return sc_.peek_error(JsonCode::EofWhileParsingValue);
            }
            first = false;
            items.emplace_back();
            if (!read_value(items.back())) return false;
        }
        sc_.eat();
        sc_.leave();
        out = JsonValue::array(std::move(items));
        return true;
    }

    bool read_object(JsonValue& out) {
        if (!sc_.enter()) return false;
        sc_.eat();
        std::vector<JsonMember> members;
        bool first = true;
        for (;;) {
            int c = sc_.skip_ws();
            if (c == -1) return sc_.peek_error(JsonCode::EofWhileParsingObject);
            if (c == '}') break;
            if (first) {
                if (c != '"') return sc_.peek_error(JsonCode::KeyMustBeAString);
            } else {
                if (c != ',') return sc_.peek_error(JsonCode::ExpectedObjectCommaOrEnd);
                sc_.eat();
                c = sc_.skip_ws();
                if (c == '}') return sc_.peek_error(JsonCode::TrailingComma);
                if (c == -1) return sc_.peek_error(JsonCode::EofWhileParsingValue);
                if (c != '"') return sc_.peek_error(JsonCode::KeyMustBeAString);
            }
            first = false;
            sc_.eat();
            std::string_view key;
            if (!sc_.parse_string(key)) return false;
            members.emplace_back();
            members.back().key.assign(key);
            c = sc_.skip_ws();
            if (c != ':') return sc_.peek_error(c == -1 ? JsonCode::EofWhileParsingObject : JsonCode::ExpectedColon);
            sc_.eat();
            if (!read_value(members.back().value)) return false;
        }
        sc_.eat();
        sc_.leave();
        out = JsonValue::object(std::move(members));
        return true;
    }

    Scanner sc_;
};

}  // namespace

bool parse_value(std::string_view text, JsonValue& out, JsonError& error) {
    TreeReader reader(text);
    if (reader.read_document(out)) return true;
    error = reader.take_error();
    return false;
}

}  // namespace radar
