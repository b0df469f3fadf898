// The two getters every command handler reads its members through.
#pragma once

#include <string_view>

#include "json/error.hpp"
#include "json/value.hpp"

namespace radar {

// The member's value (any type, null included), or BadSpec "missing \"{key}\"".
// Returns a pointer into the command object: handlers never need their own
// copy, because conversion only reads it.
Result<const JsonValue*> require_field(const JsonValue& command, std::string_view key);

// The member's text if it is a JSON string, else BadSpec "missing string \"{key}\"".
Result<std::string_view> require_string_field(const JsonValue& command, std::string_view key);
// Its error, for a reader whose members are no JsonValue (a table's row).
RadarError missing_string_field(std::string_view key);

}  // namespace radar
