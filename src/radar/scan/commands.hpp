// "scan" and "alerts": both answer the scan result text.
#pragma once

#include <string>

#include "json/error.hpp"
#include "json/value.hpp"
#include "market/dataset.hpp"
#include "spec/spec.hpp"

namespace radar {

Result<std::string> scan_command(const RadarSpec& spec, const JsonValue& command);
Result<std::string> alerts_command(const RadarSpec& spec, const Dataset& dataset);

}  // namespace radar
