// Compact JSON writing. Strings escape only what JSON requires ('"', '\\'
// and control characters); everything else, '/' and non-ASCII included, is
// written raw.
#pragma once

#include <string>
#include <string_view>

#include "json/number_text.hpp"

namespace radar {

void append_json_string(std::string& out, std::string_view s);

}  // namespace radar
