// Messages of record conversion: what was found, what was expected.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace radar {

// Found-value descriptions: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"a\"", "sequence", "map".
std::string describe_value(const JsonValue& v);
std::string describe_unsigned(uint64_t u);
std::string describe_signed(int64_t i);
std::string describe_double(double d);
std::string describe_string(std::string_view s);

std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);
std::string invalid_length(uint64_t length, std::string_view expected);
std::string missing_field(std::string_view field);
std::string duplicate_field(std::string_view field);
// "unknown variant `{}`, expected " + the accepted names: one in backquotes,
// two joined by " or ", three or more after "one of ".
std::string unknown_variant(std::string_view name, std::initializer_list<std::string_view> accepted);

}  // namespace radar
