// The handle's symbol states, visited in the order of their symbols' bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/bytes.hpp"
#include "market/event.hpp"
#include "market/symbol_state.hpp"
#include "portable.hpp"
#include "spec/spec.hpp"

namespace radar {

class Dataset {
public:
    using Node = std::pair<const std::string, SymbolState>;

    Dataset() = default;
    // The index and the order point into the chunks: a copy would point into another's.
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;
    Dataset(Dataset&& other) noexcept { swap(other); }
    Dataset& operator=(Dataset&& other) noexcept {
        if (this != &other) {
            clear();
            swap(other);
        }
        return *this;
    }
    ~Dataset() { release(); }

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
    uint64_t prefetch_slot(std::string_view symbol) const {  // the symbol's hash
        const uint64_t hash = hash_of_symbol(symbol);
        if (!index_.empty()) portable::prefetch(&index_[hash & (index_.size() - 1)]);
        return hash;
    }
    void prefetch_state(uint64_t hash) const { prefetch_node(hash); }
    // The same, giving the state it started loading: the first of that
    // hash, the symbol's but for a rare collision (null: none yet). Its key
    // and the rings' bookkeeping lie in its first few lines.
    const void* prefetch_node(uint64_t hash) const {
        if (index_.empty()) return nullptr;
        const Node* node = likely_node(hash);
        if (node != nullptr) {
            const char* p = reinterpret_cast<const char*>(node);
            portable::prefetch(p);
            portable::prefetch(p + 64);
            portable::prefetch(p + 128);
        }
        return node;
    }
    // Then, the state in cache: the state (null for a new symbol), having
    // started loading the row the event will be written to. `node` is what
    // prefetch_node() gave, if anything.
    SymbolState* prefetch_row(std::string_view symbol, uint64_t hash, const Event& event, const void* node = nullptr) {
        Node* found = static_cast<Node*>(const_cast<void*>(node));
        if (found == nullptr || !bytes_equal(found->first, symbol)) found = lookup(symbol, hash);
        if (found == nullptr) return nullptr;
        if (const void* row = found->second.target_of(event)) portable::prefetch(row);
        return &found->second;
    }
    // The same as ingesting each event in order; an empty list creates nothing.
    void ingest_all(const RadarSpec& spec, std::string_view symbol, EventSpan events);
    // Adds a state made elsewhere (a restored one) under a symbol not held
    // yet; false, changing nothing, when the symbol is already there.
    bool insert(std::string_view symbol, SymbolState state);

    // Takes in the states of events that came after this dataset's, all
    // read with the same window: the result is what ingesting both in order
    // gives. `later` is left empty.
    void merge_later(Dataset&& later);

    void clear() { release(); }
    size_t size() const { return order_.size(); }
    // The symbol's state, or null; it stays where it is while the symbol is held.
    const SymbolState* find(std::string_view symbol) const {
        const Node* node = lookup(symbol, hash_of_symbol(symbol));
        return node != nullptr ? &node->second : nullptr;
    }

    // Visits the states by symbol, unsigned bytes, a prefix first: the order
    // of "alerts" and of saved states. States are kept in the order they were
    // made; the symbols are put in order only when visited, and then only
    // those made since the last visit, so reading many symbols walks no tree.
    class const_iterator {
    public:
        using value_type = Node;
        using difference_type = std::ptrdiff_t;
        using reference = const Node&;
        using pointer = const Node*;
        using iterator_category = std::forward_iterator_tag;
        const_iterator() = default;
        explicit const_iterator(std::vector<Node*>::const_iterator it) : it_(it) {}
        reference operator*() const { return **it_; }
        pointer operator->() const { return *it_; }
        const_iterator& operator++() {
            ++it_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator was = *this;
            ++it_;
            return was;
        }
        bool operator==(const const_iterator& o) const { return it_ == o.it_; }
        bool operator!=(const const_iterator& o) const { return it_ != o.it_; }

    private:
        std::vector<Node*>::const_iterator it_;
    };
    const_iterator begin() const {
        put_in_order();
        return const_iterator(order_.begin());
    }
    const_iterator end() const { return const_iterator(order_.end()); }

private:
    SymbolState& state_for(const RadarSpec& spec, std::string_view symbol, uint64_t hash);
    SymbolState& state_for(uint64_t window, std::string_view symbol, uint64_t hash);

    // An open-addressing table of the states finds a symbol with one hash.
    // Half empty at most.
    Node* lookup(std::string_view symbol, uint64_t hash) const {
        if (index_.empty()) return nullptr;
        const size_t mask = index_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = index_[i];
            if (slot.node == nullptr) return nullptr;
            if (slot.hash == hash && bytes_equal(slot.node->first, symbol)) return slot.node;
        }
    }
    const Node* likely_node(uint64_t hash) const {  // the first of that hash, or null
        const size_t mask = index_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = index_[i];
            if (slot.node == nullptr || slot.hash == hash) return slot.node;
        }
    }
    // A word at a time, the last word overlapping: a symbol is hashed on
    // every feed, and most are a word or two long.
    static uint64_t hash_of_symbol(std::string_view s) {
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
    void make_room();  // for one more in the index
    void index(Node* node, uint64_t hash);
    // A new state in the chunks, indexed and listed.
    Node* add(std::string_view symbol, SymbolState&& state, uint64_t hash);
    Node* add(std::string&& symbol, SymbolState&& state, uint64_t hash);
    void put_in_order() const;
    void release() noexcept;
    void swap(Dataset& other) noexcept {
        std::swap(chunks_, other.chunks_);
        std::swap(index_, other.index_);
        std::swap(order_, other.order_);
        std::swap(ordered_, other.ordered_);
    }

    // States live in chunks that never move, a few hundred states to a chunk,
    // so a new symbol costs no allocation of its own and the index, the
    // order and the ingest pipeline can hold their addresses.
    struct Chunk {
        Node* nodes;
        size_t used;
        size_t capacity;
    };
    std::vector<Chunk> chunks_;
    // The hash beside each node: a probe past another symbol's slot reads
    // no other state, and growing the table hashes nothing again.
    struct Slot {
        Node* node = nullptr;
        uint64_t hash = 0;
    };
    std::vector<Slot> index_;
    // Every state, the first ordered_ of them in symbol order.
    mutable std::vector<Node*> order_;
    mutable size_t ordered_ = 0;
};

}  // namespace radar
