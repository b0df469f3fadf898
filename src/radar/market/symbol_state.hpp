// The rolling per-symbol state that every indicator reads.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "market/bounded_series.hpp"
#include "market/event.hpp"
#include "spec/spec.hpp"

namespace radar {

struct BookVolumes {
    double bid_volume;
    double ask_volume;
};

struct SymbolState {
    std::optional<BookVolumes> book;
    // Open interest, funding rate and mark price come in together, one row
    // per derivatives snapshot.
    BoundedRows<3> derivatives;
    BoundedRows<1> liquidations;
    int64_t last_ts = std::numeric_limits<int64_t>::min();
    uint64_t window;

    explicit SymbolState(uint64_t w) : derivatives(w), liquidations(w), window(w) {}

    SeriesView<3> open_interest() const { return {derivatives, 0}; }
    SeriesView<3> funding_rate() const { return {derivatives, 1}; }
    SeriesView<3> mark_price() const { return {derivatives, 2}; }
    SeriesView<1> liquidation_qty() const { return {liquidations, 0}; }

    // Folds one event in; events are taken in arrival order whatever their ts.
    void apply(const Event& event);
    // The memory apply() will write for this event, or null.
    const void* target_of(const Event& event) const {
        switch (event.kind) {
            case Event::Kind::Derivatives: return derivatives.next_row();
            case Event::Kind::Liquidation: return liquidations.next_row();
            case Event::Kind::Orderbook: break;
        }
        return nullptr;
    }
    // Folds in the state of events that came after this one's (same window):
    // the result is the state of all of them in order.
    void merge_later(const SymbolState& later);
};

// A parameter read as a number of observations: the integer part of a
// positive finite value, saturated at 2^64 - 1; anything else counts 0.
inline uint64_t observation_count(double p) {
    if (!(p > 0.0) || p == std::numeric_limits<double>::infinity()) return 0;
    if (p >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(p);
}

// One more than the longest look-back of the spec's signals, at least 2.
uint64_t window_length(const RadarSpec& spec);

}  // namespace radar
