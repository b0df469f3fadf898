// One market observation about one symbol. A plain value: it owns no heap
// memory and is copied freely into lists.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/error.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace radar {

enum class Side : uint8_t { Buy, Sell };

struct Event {
    enum class Kind : uint8_t { Derivatives, Orderbook, Liquidation };

    Kind kind = Kind::Derivatives;
    Side side = Side::Buy;  // Liquidation only
    int64_t ts = 0;
    // Derivatives: open_interest, funding_rate, mark_price
    // Orderbook:   bid_volume, ask_volume, best_bid, best_ask
    // Liquidation: qty, price
    double f[4] = {0, 0, 0, 0};

    double open_interest() const { return f[0]; }
    double funding_rate() const { return f[1]; }
    double mark_price() const { return f[2]; }
    double bid_volume() const { return f[0]; }
    double ask_volume() const { return f[1]; }
    double best_bid() const { return f[2]; }
    double best_ask() const { return f[3]; }
    double qty() const { return f[0]; }
    double price() const { return f[1]; }

    // Object form {"kind":...} or array form ["kind", ts, ...].
    static Result<Event> from_json_value(const JsonValue& value);
};

// An event of the usual shapes read straight from the text at the cursor.
// False, with the cursor anywhere, for anything else (errors included),
// which the general reader then decides.
// Called once the event's kind has been read: a chance for the caller to
// start loading memory the event will need while the rest is read.
struct ReadHook {
    void (*fn)(const void* ctx) = nullptr;
    const void* ctx = nullptr;
};
bool read_plain_event(Scanner& scanner, Event& out, ReadHook hook = {});
// The same, counting in `others` the members of an object that no event
// kind reads (a line that is the event itself carries its symbol so).
bool read_plain_event(Scanner& scanner, Event& out, unsigned& others);
// A whole line of JSON Lines at the cursor, in one pass, whatever the order
// of its members: {"symbol":S,"event":E} or the event itself with its
// "symbol" among its members; scalar members no kind reads are skipped.
// The symbol's text is kept in `store` when it had escapes. False for
// anything the general reader must decide (errors, nested unknown values,
// repeated members), with the cursor anywhere.
bool read_line_event(Scanner& scanner, std::string_view& symbol, Event& out, std::string& store);

using EventList = std::vector<Event>;
using EventSpan = std::span<const Event>;

// The event lists of one command, decoded while its text is read (see
// ListDecoder): each list stops at its first bad element and keeps that
// element's message. The storage is reused from one command to the next.
class EventLists final : public ListDecoder {
public:
    // Empties the lists; `all` also gives back every buffer.
    void clear(bool all = false);
    bool try_element(Scanner& scanner) override;  // in event_text.cpp
    bool try_single(Scanner& scanner, uint64_t& id) override;
    void begin_list() override;
    void element(const JsonValue& element) override;
    uint64_t end_list() override;
    ListDecoder* second() override;
    uint64_t adopt_second() override;

    // The decoded events of list `id`, or the first element's error.
    Result<EventSpan> list(uint64_t id) const;

private:
    struct Info {
        size_t first = 0;
        size_t count = 0;
        std::string error;  // empty while every element decoded
        bool failed = false;
        bool in_second = false;  // its events are second_'s
    };
    std::vector<Event> events_;
    std::vector<Info> lists_;
    std::unique_ptr<EventLists> second_;
};

// Symbols in ascending byte order; the names and events point into the
// command's document and its EventLists, which live for the whole command.
using EventMap = std::vector<std::pair<std::string_view, EventSpan>>;

// A list value is read from `lists` when it was decoded while reading, or
// else decoded into `scratch`.
Result<EventSpan> decode_event_list(const JsonValue& value, const EventLists& lists, EventList& scratch);
Result<EventMap> decode_event_map(const JsonValue& value, const EventLists& lists, EventList& scratch);

}  // namespace radar
