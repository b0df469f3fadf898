#include "market/symbol_state.hpp"

#include <algorithm>

namespace radar {

void SymbolState::apply(const Event& event) {
    switch (event.kind) {
        case Event::Kind::Derivatives:
            derivatives.push({event.open_interest(), event.funding_rate(), event.mark_price()});
            break;
        case Event::Kind::Orderbook:
            book = BookVolumes{event.bid_volume(), event.ask_volume()};
            break;
        case Event::Kind::Liquidation:
            liquidations.push({event.qty()});
            break;
    }
    last_ts = std::max(last_ts, event.ts);
}

uint64_t window_length(const RadarSpec& spec) {
    uint64_t longest = 0;
    for (const Signal& s : spec.signals) {
        // funding_flip and book_imbalance look at the latest values only
        if (s.kind == Indicator::FundingFlip || s.kind == Indicator::BookImbalance) continue;
        double p = s.params.empty() ? 0.0 : s.params[0];
        longest = std::max(longest, observation_count(p));
    }
    uint64_t w = longest + 1;  // wraps to 0 for a saturated look-back
    return w < 2 ? 2 : w;
}

}  // namespace radar
