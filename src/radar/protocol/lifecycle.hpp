// "version", "reset" and "set_spec".
#pragma once

#include <string>

#include "json/error.hpp"
#include "json/value.hpp"
#include "protocol/handle.hpp"

namespace radar {

std::string version_command();
std::string reset_command(Handle& handle);
// Replaces the specification and empties the dataset, or changes nothing.
Result<std::string> set_spec_command(Handle& handle, const JsonValue& command);

}  // namespace radar
