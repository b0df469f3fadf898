#include "market/dataset.hpp"

namespace radar {

SymbolState& Dataset::state_for(const RadarSpec& spec, std::string_view symbol) {
    auto it = states_.lower_bound(symbol);
    if (it == states_.end() || !bytes_equal(it->first, symbol)) {
        it = states_.emplace_hint(it, std::string(symbol), SymbolState(window_length(spec)));
    }
    return it->second;
}

void Dataset::ingest(const RadarSpec& spec, std::string_view symbol, const Event& event) {
    state_for(spec, symbol).apply(event);
}

void Dataset::ingest_all(const RadarSpec& spec, std::string_view symbol, EventSpan events) {
    if (events.empty()) return;
    SymbolState& state = state_for(spec, symbol);
    for (const Event& e : events) state.apply(e);
}

const SymbolState* Dataset::find(std::string_view symbol) const {
    auto it = states_.find(symbol);
    return it == states_.end() ? nullptr : &it->second;
}

}  // namespace radar
