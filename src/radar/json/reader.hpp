// Reading a whole text into a JsonValue tree.
#pragma once

#include <string_view>

#include "json/error.hpp"
#include "json/value.hpp"

namespace radar {

// Exactly one value surrounded only by whitespace, nested at most 127 levels.
// On failure `error` holds the message and its line and column.
bool parse_value(std::string_view text, JsonValue& out, JsonError& error);

}  // namespace radar
