// "feed" and "feed_batch": decode the command's events, then fold them into
// the dataset. A failure leaves the dataset untouched.
#pragma once

#include <optional>

#include "json/error.hpp"
#include "json/value.hpp"
#include "market/dataset.hpp"
#include "market/event.hpp"
#include "spec/spec.hpp"

namespace radar {

std::optional<RadarError> feed_command(const RadarSpec& spec, Dataset& dataset, const JsonValue& command,
                                       const EventLists& lists);
// `lists` holds the event lists decoded while the command was read.
std::optional<RadarError> feed_batch_command(const RadarSpec& spec, Dataset& dataset, const JsonValue& command,
                                             const EventLists& lists);

}  // namespace radar
