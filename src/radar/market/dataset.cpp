#include "market/dataset.hpp"

#include <algorithm>
#include <utility>

#include "portable.hpp"

namespace radar {

namespace {

// A word at a time, the last word overlapping: a symbol is hashed on every
// feed, and most are a word or two long.
uint64_t hash_of(std::string_view s) {
    const char* p = s.data();
    const size_t n = s.size();
    uint64_t h = n * 0x9E3779B97F4A7C15;
    auto mix = [&h](uint64_t w) {
        h = (h ^ w) * 0xBF58476D1CE4E5B9;
        h ^= h >> 29;
    };
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8) mix(detail::load64(p + i));
        mix(detail::load64(p + n - 8));
    } else if (n >= 4) {
        mix(uint64_t{detail::load32(p)} << 32 | detail::load32(p + n - 4));
    } else if (n > 0) {
        const auto byte = [p](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
        mix(byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1));
    }
    // The table takes the low bits: fold the well-mixed high ones down.
    return h ^ (h >> 32);
}

}  // namespace

Dataset::Node* Dataset::lookup(std::string_view symbol, uint64_t hash) const {
    if (index_.empty()) return nullptr;
    const size_t mask = index_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        Node* node = index_[i];
        if (node == nullptr) return nullptr;
        if (bytes_equal(node->first, symbol)) return node;
    }
}

void Dataset::index(Node* node, uint64_t hash) {
    if (2 * (indexed_ + 1) > index_.size()) {
        std::vector<Node*> old(std::max<size_t>(16, 2 * index_.size()), nullptr);
        old.swap(index_);
        const size_t mask = index_.size() - 1;
        for (Node* n : old) {
            if (n == nullptr) continue;
            size_t i = hash_of(n->first) & mask;
            while (index_[i] != nullptr) i = (i + 1) & mask;
            index_[i] = n;
        }
    }
    const size_t mask = index_.size() - 1;
    size_t i = hash & mask;
    while (index_[i] != nullptr) i = (i + 1) & mask;
    index_[i] = node;
    ++indexed_;
}

uint64_t Dataset::hash_of_symbol(std::string_view symbol) { return hash_of(symbol); }

SymbolState& Dataset::state_for(const RadarSpec& spec, std::string_view symbol, uint64_t hash) {
    if (Node* node = lookup(symbol, hash)) return node->second;
    return state_for(window_length(spec), symbol, hash);
}

SymbolState& Dataset::state_for(uint64_t window, std::string_view symbol, uint64_t hash) {
    if (Node* node = lookup(symbol, hash)) return node->second;
    auto it = states_.emplace(std::string(symbol), SymbolState(window)).first;
    index(&*it, hash);
    return it->second;
}

uint64_t Dataset::prefetch_slot(std::string_view symbol) const {
    const uint64_t hash = hash_of(symbol);
    if (!index_.empty()) portable::prefetch(&index_[hash & (index_.size() - 1)]);
    return hash;
}

void Dataset::prefetch_state(uint64_t hash) const {
    if (index_.empty()) return;
    // The slot's first node: most often the symbol's own. Its key and the
    // rings' bookkeeping lie in its first few lines.
    if (const Node* node = index_[hash & (index_.size() - 1)]) {
        const char* p = reinterpret_cast<const char*>(node);
        portable::prefetch(p);
        portable::prefetch(p + 64);
        portable::prefetch(p + 128);
    }
}

SymbolState* Dataset::prefetch_row(std::string_view symbol, uint64_t hash, const Event& event) {
    Node* node = lookup(symbol, hash);
    if (node == nullptr) return nullptr;
    if (const void* row = node->second.target_of(event)) portable::prefetch(row);
    return &node->second;
}

void Dataset::ingest(const RadarSpec& spec, std::string_view symbol, const Event& event) {
    state_for(spec, symbol, hash_of(symbol)).apply(event);
}

void Dataset::ingest(uint64_t window, std::string_view symbol, const Event& event) {
    state_for(window, symbol, hash_of(symbol)).apply(event);
}

void Dataset::ingest(const RadarSpec& spec, std::string_view symbol, uint64_t hash, const Event& event) {
    state_for(spec, symbol, hash).apply(event);
}

void Dataset::ingest_all(const RadarSpec& spec, std::string_view symbol, EventSpan events) {
    if (events.empty()) return;
    SymbolState& state = state_for(spec, symbol, hash_of(symbol));
    for (const Event& e : events) state.apply(e);
}

bool Dataset::insert(std::string_view symbol, SymbolState state) {
    const uint64_t hash = hash_of(symbol);
    if (lookup(symbol, hash) != nullptr) return false;
    auto it = states_.emplace(std::string(symbol), std::move(state)).first;
    index(&*it, hash);
    return true;
}

}  // namespace radar
