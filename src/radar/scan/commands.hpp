// "scan" and "alerts": both answer the scan result text.
#pragma once

#include <string>

#include "json/error.hpp"
#include "json/value.hpp"
#include "market/dataset.hpp"
#include "market/event.hpp"
#include "spec/spec.hpp"

namespace radar {

// `lists` holds the event lists decoded while the command was read.
Result<std::string> scan_command(const RadarSpec& spec, const JsonValue& command, const EventLists& lists);
Result<std::string> alerts_command(const RadarSpec& spec, const Dataset& dataset);

}  // namespace radar
