// Joining the states of consecutive stretches of events, so stretches can be
// read apart (on other threads, in other processes) and still give exactly
// the state of one reading.
#include "market/dataset.hpp"
#include "market/symbol_state.hpp"

namespace radar {

namespace {

// The later rows go in after the earlier ones, so the ring keeps the last
// `capacity` of the two stretches, oldest first.
template <size_t N>
void append_rows(BoundedRows<N>& into, const BoundedRows<N>& later) {
    double row[N];
    for (size_t i = 0; i < later.size(); ++i) {
        for (size_t k = 0; k < N; ++k) row[k] = later.at(i, k);
        into.push(row);
    }
}

}  // namespace

void SymbolState::merge_later(const SymbolState& later) {
    append_rows(derivatives, later.derivatives);
    append_rows(liquidations, later.liquidations);
    if (later.book) book = later.book;
    if (later.last_ts > last_ts) last_ts = later.last_ts;
}

void Dataset::merge_later(Dataset&& later) {
    if (states_.empty()) {
        *this = std::move(later);
        later.clear();
        return;
    }
    while (!later.states_.empty()) {
        auto node = later.states_.extract(later.states_.begin());
        const uint64_t hash = prefetch_slot(node.key());
        if (Node* mine = lookup(node.key(), hash)) {
            mine->second.merge_later(node.mapped());
            continue;
        }
        // A map node keeps its address when moved between maps, so the index
        // can point at it as it would at one made here.
        auto inserted = states_.insert(std::move(node));
        index(&*inserted.position, hash);
    }
    later.clear();
}

}  // namespace radar
