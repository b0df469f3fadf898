// Compact JSON writing. Strings escape only what JSON requires ('"', '\\'
// and control characters); everything else, '/' and non-ASCII included, is
// written raw.
#pragma once

#include <string>
#include <string_view>

#include "json/number_text.hpp"
#include "json/value.hpp"

namespace radar {

void append_json_string(std::string& out, std::string_view s);

// Generic values: objects in key order, numbers by their kind.
void append_json_value(std::string& out, const JsonValue& v);
std::string to_text(const JsonValue& v);

}  // namespace radar
