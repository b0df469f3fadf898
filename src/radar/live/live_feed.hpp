// Live events into a radar: each event as the "feed" command of its symbol
// and it would take it (the same reads, refused for the same reasons in the
// same words), through bars when they are on. The caller hands over each
// event as JSON text it wrote from its own objects; nothing else is parsed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "market/bars.hpp"
#include "market/dataset.hpp"
#include "market/event.hpp"
#include "spec/spec.hpp"

namespace radar {

class LiveFeed {
public:
    // bar: the bars' width, or 0 for none.
    explicit LiveFeed(int64_t bar);

    // `event` (JSON text) for `symbol`: fed, held by the bars, or refused
    // with the radar's error text and nothing changed.
    std::optional<std::string> take(const RadarSpec& spec, Dataset& dataset, std::string_view symbol,
                                     std::string_view event);
    // The error a "feed" command gives for the symbol member `symbol_json`
    // (JSON text) when it is not a string.
    std::string symbol_refusal(std::string_view symbol_json);
    // Feeds the held snapshots whose interval ended at or before `clock`; how many.
    uint64_t close_until(const RadarSpec& spec, Dataset& dataset, int64_t clock);

    uint64_t fed() const { return fed_; }  // events that reached the radar
    uint64_t dropped() const { return bars_ ? bars_->dropped() : 0; }
    // The snapshots the bars hold, in the order they were read.
    std::vector<std::pair<std::string, Event>> held() const;

private:
    std::optional<BarFilter> bars_;
    JsonDocument document_;
    uint64_t fed_ = 0;
};

}  // namespace radar
