#include "market/dataset.hpp"

#include <algorithm>

namespace radar {

namespace {

// FNV-1a: symbols are short, and this is all the mixing they need.
uint64_t hash_of(std::string_view s) {
    uint64_t h = 0xcbf29ce484222325;
    for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3;
    return h;
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

SymbolState& Dataset::state_for(const RadarSpec& spec, std::string_view symbol) {
    const uint64_t hash = hash_of(symbol);
    if (Node* node = lookup(symbol, hash)) return node->second;
    auto it = states_.emplace(std::string(symbol), SymbolState(window_length(spec))).first;
    index(&*it, hash);
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

}  // namespace radar
