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
    if (order_.empty()) {
        *this = std::move(later);
        return;
    }
    // In the order the later states were made: their chunks are read
    // straight through, and each symbol's slot is asked for a few ahead.
    std::vector<Node*>& theirs = later.order_;
    constexpr size_t kAhead = 8;
    std::vector<uint64_t> hashes(std::min(theirs.size(), kAhead));
    for (size_t i = 0; i < hashes.size(); ++i) hashes[i] = prefetch_slot(theirs[i]->first);
    for (size_t i = 0; i < theirs.size(); ++i) {
        Node* node = theirs[i];
        const uint64_t hash = hashes[i % kAhead];
        if (i + kAhead < theirs.size()) hashes[i % kAhead] = prefetch_slot(theirs[i + kAhead]->first);
        if (Node* mine = lookup(node->first, hash)) {
            mine->second.merge_later(node->second);
            continue;
        }
        // The key is const in its node: copied, which costs nothing for a
        // short symbol; the state's rows move.
        add(std::string(node->first), std::move(node->second), hash);
    }
    later.clear();
}

}  // namespace radar
