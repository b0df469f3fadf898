#include "json/members.hpp"
#include "market/commands.hpp"
#include "market/event.hpp"

#include <utility>

namespace radar {

// Both handlers find and decode all their input before touching the
// dataset, so a failed command leaves it as it was.

std::optional<RadarError> feed_command(const RadarSpec& spec, Dataset& dataset, const JsonValue& command,
                                       const EventLists& lists) {
    auto symbol = require_string_field(command, "symbol");
    if (!symbol) return std::move(symbol.error());
    auto member = require_field(command, "event");
    if (!member) return std::move(member.error());
    const JsonValue& value = *member.value();
    if (value.is_decoded_list()) {  // decoded while the command was read
        dataset.ingest(spec, symbol.value(), lists.list(value.decoded_list()).value()[0]);
        return std::nullopt;
    }
    auto event = Event::from_json_value(value);
    if (!event) return std::move(event.error());
    dataset.ingest(spec, symbol.value(), event.value());
    return std::nullopt;
}

std::optional<RadarError> feed_batch_command(const RadarSpec& spec, Dataset& dataset, const JsonValue& command,
                                             const EventLists& lists) {
    auto symbol = require_string_field(command, "symbol");
    if (!symbol) return std::move(symbol.error());
    auto member = require_field(command, "events");
    if (!member) return std::move(member.error());
    EventList scratch;
    auto events = decode_event_list(*member.value(), lists, scratch);
    if (!events) return std::move(events.error());
    dataset.ingest_all(spec, symbol.value(), events.value());
    return std::nullopt;
}

}  // namespace radar
