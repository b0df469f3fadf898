#include "market/event.hpp"

#include "json/source.hpp"
#include "market/event_read.hpp"

namespace radar {

namespace {

bool read_event_list(ValueSource& src, EventList& out) {
    return read_seq(src, out, [](ValueSource& s, Event& e) { return event_read::read_event(s, e); });
}

}  // namespace

Result<Event> Event::from_json_value(const JsonValue& value) {
    ValueSource src(value);
    Event ev;
    if (event_read::read_event(src, ev)) return ev;
    return RadarError::parse(src.error_message());
}

Result<EventList> decode_event_list(const JsonValue& value) {
    ValueSource src(value);
    EventList events;
    if (value.is_array()) events.reserve(value.items().size());
    if (read_event_list(src, events)) return events;
    return RadarError::parse(src.error_message());
}

Result<EventMap> decode_event_map(const JsonValue& value) {
    ValueSource src(value);
    ValueSource::Compound c;
    EventMap map;
    if (!src.begin_map(c, "a map")) return RadarError::parse(src.error_message());
    map.reserve(value.members().size());
    std::string_view symbol;
    while (src.next_key(c, symbol) == 1) {
        map.emplace_back(symbol, EventList{});
        src.member_value(c);
        if (!read_event_list(src, map.back().second)) return RadarError::parse(src.error_message());
    }
    return map;
}

}  // namespace radar
