#include "market/dataset.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "portable.hpp"

namespace radar {

namespace {

// The first 8 bytes, big-endian, zero past the end: ordering these as
// integers orders the symbols as their bytes do, except where they tie.
uint64_t order_key(const std::string& s) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, s.data(), std::min<size_t>(8, s.size()));
    uint64_t k = 0;
    for (unsigned char b : bytes) k = k << 8 | b;
    return k;
}

constexpr size_t kFirstChunk = 16, kLargestChunk = 512;

}  // namespace

void Dataset::make_room() {
    if (2 * (order_.size() + 1) <= index_.size()) return;
    std::vector<Slot> old(std::max<size_t>(16, 2 * index_.size()));
    old.swap(index_);
    const size_t mask = index_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.node == nullptr) continue;
        size_t i = slot.hash & mask;
        while (index_[i].node != nullptr) i = (i + 1) & mask;
        index_[i] = slot;
    }
}

void Dataset::index(Node* node, uint64_t hash) {
    const size_t mask = index_.size() - 1;
    size_t i = hash & mask;
    while (index_[i].node != nullptr) i = (i + 1) & mask;
    index_[i] = Slot{node, hash};
}

Dataset::Node* Dataset::add(std::string_view symbol, SymbolState&& state, uint64_t hash) {
    return add(std::string(symbol), std::move(state), hash);
}

Dataset::Node* Dataset::add(std::string&& symbol, SymbolState&& state, uint64_t hash) {
    if (chunks_.empty() || chunks_.back().used == chunks_.back().capacity) {
        const size_t capacity = chunks_.empty() ? kFirstChunk : std::min(kLargestChunk, 2 * chunks_.back().capacity);
        chunks_.reserve(chunks_.size() + 1);  // so the push below cannot throw and leak
        Node* nodes = static_cast<Node*>(::operator new(capacity * sizeof(Node)));
        chunks_.push_back(Chunk{nodes, 0, capacity});
    }
    // Room in the index and the order first: a failed allocation then leaves
    // nothing half added.
    make_room();
    if (order_.size() == order_.capacity()) order_.reserve(std::max<size_t>(16, 2 * order_.size()));
    Chunk& chunk = chunks_.back();
    Node* node = new (chunk.nodes + chunk.used) Node(std::move(symbol), std::move(state));
    ++chunk.used;
    index(node, hash);
    // Symbols that arrive in order (a saved state, a merge into nothing)
    // stay in order without sorting.
    if (ordered_ == order_.size() && (order_.empty() || bytes_less(order_.back()->first, node->first))) ++ordered_;
    order_.push_back(node);
    return node;
}

void Dataset::put_in_order() const {
    if (ordered_ == order_.size()) return;
    // The new ones sorted by their first bytes, the rare ties by all of them,
    // then merged with those already in order.
    std::vector<std::pair<uint64_t, Node*>> keyed;
    keyed.reserve(order_.size() - ordered_);
    for (size_t i = ordered_; i < order_.size(); ++i) keyed.emplace_back(order_key(order_[i]->first), order_[i]);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return bytes_less(a.second->first, b.second->first);
    });
    for (size_t i = 0; i < keyed.size(); ++i) order_[ordered_ + i] = keyed[i].second;
    const auto less = [](const Node* a, const Node* b) { return bytes_less(a->first, b->first); };
    std::inplace_merge(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(ordered_), order_.end(), less);
    ordered_ = order_.size();
}

void Dataset::release() noexcept {
    for (Chunk& c : chunks_) {
        for (size_t i = 0; i < c.used; ++i) c.nodes[i].~Node();
        ::operator delete(c.nodes);
    }
    chunks_ = {};
    index_ = {};
    order_ = {};
    ordered_ = 0;
}

SymbolState& Dataset::state_for(const RadarSpec& spec, std::string_view symbol, uint64_t hash) {
    if (Node* node = lookup(symbol, hash)) return node->second;
    return add(symbol, SymbolState(window_length(spec)), hash)->second;
}

SymbolState& Dataset::state_for(uint64_t window, std::string_view symbol, uint64_t hash) {
    if (Node* node = lookup(symbol, hash)) return node->second;
    return add(symbol, SymbolState(window), hash)->second;
}

void Dataset::ingest(const RadarSpec& spec, std::string_view symbol, const Event& event) {
    state_for(spec, symbol, hash_of_symbol(symbol)).apply(event);
}

void Dataset::ingest(uint64_t window, std::string_view symbol, const Event& event) {
    state_for(window, symbol, hash_of_symbol(symbol)).apply(event);
}

void Dataset::ingest(const RadarSpec& spec, std::string_view symbol, uint64_t hash, const Event& event) {
    state_for(spec, symbol, hash).apply(event);
}

void Dataset::ingest_all(const RadarSpec& spec, std::string_view symbol, EventSpan events) {
    if (events.empty()) return;
    SymbolState& state = state_for(spec, symbol, hash_of_symbol(symbol));
    for (const Event& e : events) state.apply(e);
}

bool Dataset::insert(std::string_view symbol, SymbolState state) {
    const uint64_t hash = hash_of_symbol(symbol);
    if (lookup(symbol, hash) != nullptr) return false;
    add(symbol, std::move(state), hash);
    return true;
}

}  // namespace radar
