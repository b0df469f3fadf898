// The fixed response texts. They are generic objects, so their members are
// written in key order ("error" before "ok").
#pragma once

#include <string>
#include <string_view>

#include "json/error.hpp"

namespace radar {

inline constexpr std::string_view kOkResponse = R"({"ok":true})";

std::string ok_response();
std::string error_response(const RadarError& error);

}  // namespace radar
