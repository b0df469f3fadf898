#include "market/event.hpp"

#include "json/source.hpp"
#include "market/event_read.hpp"

namespace radar {

Result<Event> Event::from_json_value(const JsonValue& value) {
    ValueSource src(value);
    Event ev;
    if (event_read::read_event(src, ev)) return ev;
    return RadarError::parse(src.error_message());
}

void EventLists::clear(bool all) {
    // A buffer grown by a large command is given back; a usual one (up to
    // 384 KB of events, 64 KB of list entries) stays for the next command.
    constexpr size_t kKeepEvents = (size_t{384} << 10) / sizeof(Event);
    constexpr size_t kKeepLists = (size_t{64} << 10) / sizeof(Info);
    if (all || events_.capacity() > kKeepEvents) EventList().swap(events_);
    events_.clear();
    if (all || lists_.capacity() > kKeepLists) std::vector<Info>().swap(lists_);
    lists_.clear();
    second_.reset();  // only very large commands use it
}

ListDecoder* EventLists::second() {
    if (!second_) second_ = std::make_unique<EventLists>();
    second_->events_.clear();
    second_->lists_.clear();
    return second_.get();
}

uint64_t EventLists::adopt_second() {
    const uint64_t shift = lists_.size();
    for (Info& info : second_->lists_) {
        info.in_second = true;
        lists_.push_back(std::move(info));
    }
    second_->lists_.clear();
    return shift;
}

void EventLists::begin_list() { lists_.push_back(Info{events_.size(), 0, {}, false}); }

void EventLists::element(const JsonValue& element) {
    Info& info = lists_.back();
    if (info.failed) return;  // only the first bad element is reported
    ValueSource src(element);
    Event ev;
    if (event_read::read_event(src, ev)) {
        events_.push_back(ev);
        ++info.count;
    } else {
        info.failed = true;
        info.error = src.error_message();
    }
}

uint64_t EventLists::end_list() { return lists_.size() - 1; }

Result<EventSpan> EventLists::list(uint64_t id) const {
    const Info& info = lists_[id];
    if (info.failed) return RadarError::parse(info.error);
    const EventList& events = info.in_second ? second_->events_ : events_;
    return EventSpan(events.data() + info.first, info.count);
}

namespace {

bool read_event_list(ValueSource& src, EventList& out) {
    return read_seq(src, out, [](ValueSource& s, Event& e) { return event_read::read_event(s, e); });
}

}  // namespace

Result<EventSpan> decode_event_list(const JsonValue& value, const EventLists& lists, EventList& scratch) {
    if (value.is_decoded_list()) return lists.list(value.decoded_list());
    ValueSource src(value);
    scratch.clear();
    if (read_event_list(src, scratch)) return EventSpan(scratch);
    return RadarError::parse(src.error_message());
}

Result<EventMap> decode_event_map(const JsonValue& value, const EventLists& lists, EventList& scratch) {
    ValueSource src(value);
    ValueSource::Compound c;
    if (!src.begin_map(c, "a map")) return RadarError::parse(src.error_message());
    // Lists not decoded while reading go to scratch; their spans are made
    // once scratch has stopped growing.
    struct Entry {
        std::string_view symbol;
        EventSpan decoded;
        size_t first, count;
        bool in_scratch;
    };
    std::vector<Entry> entries;
    entries.reserve(value.members().size());
    scratch.clear();
    EventList one;
    for (const JsonMember& m : value.members()) {
        if (m.value.is_decoded_list()) {
            auto list = lists.list(m.value.decoded_list());
            if (!list) return std::move(list.error());
            entries.push_back({m.key, list.value(), 0, 0, false});
            continue;
        }
        ValueSource inner(m.value);
        one.clear();
        if (!read_event_list(inner, one)) return RadarError::parse(inner.error_message());
        entries.push_back({m.key, {}, scratch.size(), one.size(), true});
        scratch.insert(scratch.end(), one.begin(), one.end());
    }
    EventMap map;
    map.reserve(entries.size());
    for (const Entry& e : entries) {
        map.emplace_back(e.symbol, e.in_scratch ? EventSpan(scratch.data() + e.first, e.count) : e.decoded);
    }
    return map;
}

}  // namespace radar
