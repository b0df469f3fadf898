// "feed" and "feed_batch": decode the command's events, then fold them into
// the dataset. A failure leaves the dataset untouched.
#pragma once

#include <optional>
#include <string_view>

#include "json/error.hpp"
#include "json/value.hpp"
#include "market/dataset.hpp"
#include "market/event.hpp"
#include "spec/spec.hpp"

namespace radar {

std::optional<RadarError> feed_command(const RadarSpec& spec, Dataset& dataset, const JsonValue& command,
                                       const EventLists& lists);
// A "feed" command of the usual shape (the three members, plain strings,
// nothing else), read and applied straight from its text. False, with
// nothing changed, for anything else: the general path then answers.
bool feed_from_text(const RadarSpec& spec, Dataset& dataset, std::string_view text);
// `lists` holds the event lists decoded while the command was read.
std::optional<RadarError> feed_batch_command(const RadarSpec& spec, Dataset& dataset, const JsonValue& command,
                                             const EventLists& lists);

}  // namespace radar
