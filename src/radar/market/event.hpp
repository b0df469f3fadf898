// One market observation about one symbol. A plain value: it owns no heap
// memory and is copied freely into lists.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "json/error.hpp"
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

using EventList = std::vector<Event>;
// Symbols in ascending byte order; the names point into the decoded value,
// which outlives the map for the duration of a command.
using EventMap = std::vector<std::pair<std::string_view, EventList>>;

Result<EventList> decode_event_list(const JsonValue& value);
Result<EventMap> decode_event_map(const JsonValue& value);

}  // namespace radar
