// The handle's symbol states, ordered by symbol bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "json/bytes.hpp"
#include "market/event.hpp"
#include "market/symbol_state.hpp"
#include "spec/spec.hpp"

namespace radar {

class Dataset {
public:
    // Unsigned bytes, a prefix first: the order in which "alerts" visits the symbols.
    using Map = std::map<std::string, SymbolState, BytesLess>;

    // Creates the symbol's state with the spec's window if it is missing,
    // then applies the event. Cannot fail.
    void ingest(const RadarSpec& spec, std::string_view symbol, const Event& event);
    // The same as ingesting each event in order; an empty list creates nothing.
    void ingest_all(const RadarSpec& spec, std::string_view symbol, EventSpan events);

    void clear() { states_.clear(); }
    size_t size() const { return states_.size(); }
    Map::const_iterator begin() const { return states_.begin(); }
    Map::const_iterator end() const { return states_.end(); }
    const SymbolState* find(std::string_view symbol) const;

private:
    SymbolState& state_for(const RadarSpec& spec, std::string_view symbol);

    Map states_;
};

}  // namespace radar
