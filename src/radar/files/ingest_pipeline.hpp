// Events on their way into a dataset with many symbols, each one's memory
// asked for a few events before it is used: its index slot when it is read,
// its state's node 8 events later, the row it will write 16 later, and the
// event applied 24 later. In input order, so the states are those of
// ingesting one event after another; each load has had the time of several
// lines to arrive instead of stalling the one that needs it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "market/dataset.hpp"

namespace radar {

class IngestPipeline {
public:
    void push(Dataset& dataset, const RadarSpec& spec, std::string_view symbol, const Event& event) {
        Slot& s = ring_[read_ % kRing];
        s.symbol.assign(symbol);
        s.event = event;
        s.hash = dataset.prefetch_slot(symbol);
        s.state = nullptr;
        ++read_;
        if (read_ > kNode) {
            Slot& n = ring_[(read_ - 1 - kNode) % kRing];
            n.node = dataset.prefetch_node(n.hash);
        }
        if (read_ > kRow) {
            Slot& r = ring_[(read_ - 1 - kRow) % kRing];
            r.state = dataset.prefetch_row(r.symbol, r.hash, r.event, r.node);
        }
        if (read_ > kApply) apply(dataset, spec, ring_[(applied_++) % kRing]);
    }
    // Applies every event still on its way.
    void flush(Dataset& dataset, const RadarSpec& spec) {
        // those that have not reached the row's stage have no state yet, and look it up
        while (applied_ < read_) apply(dataset, spec, ring_[(applied_++) % kRing]);
        read_ = applied_ = 0;
    }
    // Drops what is on its way (its events will not count).
    void clear() { read_ = applied_ = 0; }
    bool empty() const { return read_ == applied_; }

private:
    static constexpr uint64_t kNode = 8, kRow = 16, kApply = 24, kRing = 32;
    struct Slot {
        std::string symbol;
        Event event;
        uint64_t hash = 0;
        const void* node = nullptr;    // the state of that hash at the node's stage, if there was one
        SymbolState* state = nullptr;  // found at the row's stage; null: created since, or new
    };
    static void apply(Dataset& dataset, const RadarSpec& spec, Slot& s) {
        // a state made by an earlier event since the row's stage is found by ingest()
        if (s.state != nullptr)
            s.state->apply(s.event);
        else
            dataset.ingest(spec, s.symbol, s.hash, s.event);
    }

    std::array<Slot, kRing> ring_;
    uint64_t read_ = 0, applied_ = 0;
};

}  // namespace radar
