// Thinning events to bars: at most one derivatives snapshot and one order
// book per symbol per interval of time, so a look-back counts intervals
// whatever a source's own rate. Liquidations always pass.
//
// Of the snapshots of one symbol and kind read one after another in the
// same interval (floor(ts / width)), the last one read is kept. It is held
// until its interval closes: when the next snapshot of that symbol and kind
// falls in another interval (close_until and close_all release it earlier).
// Events are taken in arrival order, as the radar takes them, so with
// timestamps out of order an interval can be read, left and read again;
// each such run keeps its own last snapshot.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "market/event.hpp"

namespace radar {

// floor(ts / width), width > 0.
inline int64_t bar_of(int64_t ts, int64_t width) {
    int64_t q = ts / width;
    if (ts % width != 0 && ts < 0) --q;
    return q;
}

struct OpenBar {
    bool seen = false;   // a snapshot of this kind was read
    bool held = false;   // `event` waits for its interval to close
    int64_t first = 0;   // the interval of the first snapshot read, for joining stretches
    int64_t bar = 0;     // the interval of `event`
    uint64_t order = 0;  // when `event` was read: released ones go in reading order
    Event event;
};

// Per symbol: [0] derivatives snapshots, [1] order books.
struct SymbolBars {
    OpenBar kinds[2];
};

class BarFilter {
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

public:
    using Map = std::unordered_map<std::string, SymbolBars, TextHash, std::equal_to<>>;

    explicit BarFilter(int64_t width) : width_(width > 0 ? width : 1) {}

    int64_t width() const { return width_; }
    // Snapshots left out: replaced by a later one of their interval.
    uint64_t dropped() const { return dropped_; }
    const Map& symbols() const { return map_; }

    // Passes `event` on through emit(symbol, event), or holds it; a
    // snapshot it replaces or closes is dropped or passed on first.
    template <class Emit>
    void take(std::string_view symbol, const Event& event, Emit&& emit) {
        if (event.kind == Event::Kind::Liquidation) {
            emit(symbol, event);
            return;
        }
        auto it = map_.find(symbol);
        if (it == map_.end()) it = map_.try_emplace(std::string(symbol)).first;
        OpenBar& open = it->second.kinds[event.kind == Event::Kind::Derivatives ? 0 : 1];
        const int64_t bar = bar_of(event.ts, width_);
        if (!open.seen) {
            open.seen = true;
            open.first = bar;
        } else if (open.held) {
            if (open.bar == bar)
                ++dropped_;
            else
                emit(std::string_view(it->first), open.event);
        }
        open.held = true;
        open.bar = bar;
        open.order = order_++;
        open.event = event;
        low_ = std::min(low_, bar);
    }

    // Releases the held snapshots whose interval ended at or before `clock`.
    template <class Emit>
    void close_until(int64_t clock, Emit&& emit) {
        const int64_t current = bar_of(clock, width_);
        if (current <= low_) return;  // nothing held has ended: no walk over every symbol
        release([current](const OpenBar& open) { return open.bar < current; }, emit);
    }

    // Releases every held snapshot: the end of the events.
    template <class Emit>
    void close_all(Emit&& emit) {
        release([](const OpenBar&) { return true; }, emit);
    }

    // Joins the filter of the events that came right after this one's:
    // each snapshot held here is dropped or released through emit as
    // reading both in order would have done, then this holds what both hold.
    template <class Emit>
    void merge_later(BarFilter&& later, Emit&& emit) {
        std::vector<OpenBar*> out;
        std::vector<std::string_view> names;
        for (auto& [symbol, bars] : map_) {
            auto found = later.map_.find(symbol);
            if (found == later.map_.end()) continue;
            for (int k = 0; k < 2; ++k) {
                OpenBar& mine = bars.kinds[k];
                const OpenBar& theirs = found->second.kinds[k];
                if (!mine.held || !theirs.seen) continue;
                if (theirs.first == mine.bar) {
                    ++dropped_;
                } else {
                    out.push_back(&mine);
                    names.push_back(symbol);
                }
            }
        }
        release_listed(out, names, emit);
        const uint64_t base = order_;
        for (auto& [symbol, theirs] : later.map_) {
            for (OpenBar& open : theirs.kinds) open.order += base;
            auto it = map_.find(symbol);
            if (it == map_.end()) {
                map_.emplace(symbol, theirs);
                continue;
            }
            for (int k = 0; k < 2; ++k) {
                OpenBar& mine = it->second.kinds[k];
                const OpenBar& next = theirs.kinds[k];
                if (!next.seen) continue;
                const int64_t first = mine.seen ? mine.first : next.first;
                mine = next;
                mine.first = first;
            }
        }
        order_ += later.order_;
        dropped_ += later.dropped_;
        low_ = std::min(low_, later.low_);
        later.map_.clear();
        later.order_ = later.dropped_ = 0;
    }

    // Puts back a symbol's bars as saved; false when the symbol is already here.
    bool restore(std::string symbol, const SymbolBars& bars) {
        auto [it, inserted] = map_.try_emplace(std::move(symbol), bars);
        if (!inserted) return false;
        for (OpenBar& open : it->second.kinds) {
            open.order = order_++;
            if (open.held) low_ = std::min(low_, open.bar);
        }
        return true;
    }
    void add_dropped(uint64_t n) { dropped_ += n; }

private:
    template <class Which, class Emit>
    void release(Which which, Emit& emit) {
        std::vector<OpenBar*> out;
        std::vector<std::string_view> names;
        int64_t low = INT64_MAX;  // of what stays held
        for (auto& [symbol, bars] : map_)
            for (OpenBar& open : bars.kinds) {
                if (!open.held) continue;
                if (which(open)) {
                    out.push_back(&open);
                    names.push_back(symbol);
                } else {
                    low = std::min(low, open.bar);
                }
            }
        low_ = low;
        release_listed(out, names, emit);
    }

    template <class Emit>
    void release_listed(const std::vector<OpenBar*>& out, const std::vector<std::string_view>& names,
                        Emit& emit) {
        std::vector<size_t> idx(out.size());
        for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
        std::sort(idx.begin(), idx.end(), [&](size_t a, size_t b) { return out[a]->order < out[b]->order; });
        for (size_t i : idx) {
            emit(names[i], out[i]->event);
            out[i]->held = false;
        }
    }

    int64_t width_;
    int64_t low_ = INT64_MAX;  // no held snapshot's interval is below it
    uint64_t order_ = 0;
    uint64_t dropped_ = 0;
    Map map_;
};

}  // namespace radar
