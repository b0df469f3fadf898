#include "json/bytes.hpp"
#include "json/members.hpp"
#include "json/scanner.hpp"
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

namespace {

// The feed command as clients usually write it: compact, members in this
// order. Checked as whole runs of bytes; false for anything else.
bool read_usual_feed(const Dataset& dataset, std::string_view text, std::string_view& symbol, uint64_t& hash,
                     Event& event) {
    constexpr std::string_view kHead = R"({"cmd":"feed","symbol":")";
    constexpr std::string_view kEvent = R"(,"event":)";
    if (!text.starts_with(kHead)) return false;
    Scanner sc(text);
    if (!sc.enter()) return false;  // the root object's level
    sc.skip(kHead.size());
    if (!sc.parse_string(symbol) || sc.string_was_copied() || !sc.rest().starts_with(kEvent)) return false;
    hash = dataset.prefetch_slot(symbol);
    sc.skip(kEvent.size());
    struct Pending {
        const Dataset& dataset;
        uint64_t hash;
    } pending{dataset, hash};
    const ReadHook hook{[](const void* ctx) {
                            auto& p = *static_cast<const Pending*>(ctx);
                            p.dataset.prefetch_state(p.hash);
                        },
                        &pending};
    if (!read_plain_event(sc, event, hook) || sc.peek() != '}') return false;
    sc.eat();
    return sc.finish();
}

}  // namespace

bool feed_from_text(const RadarSpec& spec, Dataset& dataset, std::string_view text) {
    {
        std::string_view symbol;
        uint64_t hash = 0;
        Event event;
        if (read_usual_feed(dataset, text, symbol, hash, event)) {
            dataset.ingest(spec, symbol, hash, event);
            return true;
        }
    }
    Scanner sc(text);
    if (sc.skip_ws() != '{' || !sc.enter()) return false;
    sc.eat();
    std::string_view symbol;
    Event event;
    bool has_cmd = false, has_symbol = false, has_event = false, first = true;
    for (;;) {
        const int r = sc.next_member(first);
        if (r < 0) return false;
        if (r == 0) break;
        std::string_view key;
        if (!sc.parse_string(key) || sc.string_was_copied() || !sc.colon()) return false;
        // A repeated member is left to the general path, where the last one wins.
        if (bytes_equal(key, "cmd") && !has_cmd) {
            std::string_view name;
            if (sc.skip_ws() != '"') return false;
            sc.eat();
            if (!sc.parse_string(name) || sc.string_was_copied() || !bytes_equal(name, "feed")) return false;
            has_cmd = true;
        } else if (bytes_equal(key, "symbol") && !has_symbol) {
            if (sc.skip_ws() != '"') return false;
            sc.eat();
            // Plain strings are views of the text, valid past the next string.
            if (!sc.parse_string(symbol) || sc.string_was_copied()) return false;
            has_symbol = true;
        } else if (bytes_equal(key, "event") && !has_event) {
            if (!read_plain_event(sc, event)) return false;
            has_event = true;
        } else {
            return false;
        }
    }
    sc.eat();
    sc.leave();
    if (!has_cmd || !has_symbol || !has_event || !sc.finish()) return false;
    dataset.ingest(spec, symbol, event);
    return true;
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
