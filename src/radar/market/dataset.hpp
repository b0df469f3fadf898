// The handle's symbol states, ordered by symbol bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "json/bytes.hpp"
#include "market/event.hpp"
#include "market/symbol_state.hpp"
#include "spec/spec.hpp"

namespace radar {

class Dataset {
public:
    // The index points into the map's nodes: a copy would point into another map.
    Dataset() = default;
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;
    Dataset(Dataset&&) = default;
    Dataset& operator=(Dataset&&) = default;

    // Unsigned bytes, a prefix first: the order in which "alerts" visits the symbols.
    using Map = std::map<std::string, SymbolState, BytesLess>;

    // Creates the symbol's state with the spec's window if it is missing,
    // then applies the event. Cannot fail.
    void ingest(const RadarSpec& spec, std::string_view symbol, const Event& event);
    // The same with the window given, where there is no spec (joining saved states).
    void ingest(uint64_t window, std::string_view symbol, const Event& event);
    // The same, for a symbol whose hash prefetch_slot() gave.
    void ingest(const RadarSpec& spec, std::string_view symbol, uint64_t hash, const Event& event);

    // With many symbols, ingesting one waits on memory twice: its slot in
    // the index, then its state. These start loading each in turn, so the
    // memory arrives while the caller still reads the event.
    uint64_t prefetch_slot(std::string_view symbol) const;  // the symbol's hash
    void prefetch_state(uint64_t hash) const;
    // Then, the state in cache: the state (null for a new symbol), having
    // started loading the row the event will be written to.
    SymbolState* prefetch_row(std::string_view symbol, uint64_t hash, const Event& event);
    // The same as ingesting each event in order; an empty list creates nothing.
    void ingest_all(const RadarSpec& spec, std::string_view symbol, EventSpan events);
    // Adds a state made elsewhere (a restored one) under a symbol not held
    // yet; false, changing nothing, when the symbol is already there.
    bool insert(std::string_view symbol, SymbolState state);

    // Takes in the states of events that came after this dataset's, all
    // read with the same window: the result is what ingesting both in order
    // gives. `later` is left empty.
    void merge_later(Dataset&& later);

    void clear() {
        states_.clear();
        index_.clear();
        index_.shrink_to_fit();
        indexed_ = 0;
    }
    size_t size() const { return states_.size(); }
    // The symbol's state, or null; it stays where it is while the symbol is held.
    const SymbolState* find(std::string_view symbol) const {
        const Node* node = lookup(symbol, hash_of_symbol(symbol));
        return node != nullptr ? &node->second : nullptr;
    }
    Map::const_iterator begin() const { return states_.begin(); }
    Map::const_iterator end() const { return states_.end(); }

private:
    SymbolState& state_for(const RadarSpec& spec, std::string_view symbol, uint64_t hash);
    SymbolState& state_for(uint64_t window, std::string_view symbol, uint64_t hash);

    using Node = Map::value_type;
    // The ordered map gives "alerts" its order; this open-addressing table
    // of its nodes (stable in a std::map) finds a symbol with one hash
    // instead of a walk down the tree on every feed. Half empty at most.
    Node* lookup(std::string_view symbol, uint64_t hash) const;
    static uint64_t hash_of_symbol(std::string_view symbol);
    void index(Node* node, uint64_t hash);

    Map states_;
    std::vector<Node*> index_;
    size_t indexed_ = 0;
};

}  // namespace radar
