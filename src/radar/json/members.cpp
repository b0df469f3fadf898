#include "json/members.hpp"

#include <string>

namespace radar {

Result<const JsonValue*> require_field(const JsonValue& command, std::string_view key) {
    if (const JsonValue* v = command.find(key)) return v;
    return RadarError::bad_spec("missing \"" + std::string(key) + "\"");
}

Result<std::string_view> require_string_field(const JsonValue& command, std::string_view key) {
    const JsonValue* v = command.find(key);
    if (v && v->is_string()) return v->as_string();
    return missing_string_field(key);
}

RadarError missing_string_field(std::string_view key) {
    return RadarError::bad_spec("missing string \"" + std::string(key) + "\"");
}

}  // namespace radar
