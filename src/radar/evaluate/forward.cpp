#include "evaluate/forward.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace radar {

void Targets::build() {
    all.clear();
    for (size_t h = 0; h < horizons.size(); ++h) all.push_back({horizons[h], static_cast<int32_t>(h), -1});
    for (size_t k = 0; k < study.size(); ++k) all.push_back({study[k], -1, static_cast<int32_t>(k)});
    std::stable_sort(all.begin(), all.end(), [](const Target& a, const Target& b) { return a.offset < b.offset; });
}

ForwardTracker::ForwardTracker(Targets targets) : targets_(std::move(targets)) {
    targets_.build();
    horizon_target_.resize(targets_.horizons.size());
    point_target_.resize(targets_.study.size());
    for (size_t t = 0; t < targets_.all.size(); ++t) {
        if (targets_.all[t].horizon >= 0) horizon_target_[static_cast<size_t>(targets_.all[t].horizon)] = t;
        if (targets_.all[t].point >= 0) point_target_[static_cast<size_t>(targets_.all[t].point)] = t;
    }
}

uint32_t ForwardTracker::symbol_index(std::string_view symbol) {
    if (last_ != UINT32_MAX && symbols_[last_].name == symbol) return last_;
    auto it = index_.find(symbol);
    if (it == index_.end()) {
        const auto i = static_cast<uint32_t>(symbols_.size());
        symbols_.push_back(Symbol{std::string(symbol)});
        it = index_.emplace(std::string(symbol), i).first;
    }
    last_ = it->second;
    return last_;
}

int64_t ForwardTracker::due(int64_t clock, uint32_t target) const {
    if (target >= targets_.all.size()) return std::numeric_limits<int64_t>::max();
    const int64_t offset = targets_.all[target].offset;
    return clock > std::numeric_limits<int64_t>::max() - offset ? std::numeric_limits<int64_t>::max() : clock + offset;
}

void ForwardTracker::take(std::string_view symbol, const Event& event) {
    PriceSource source;
    double p;
    if (event.kind == Event::Kind::Derivatives) {
        source = PriceSource::Mark;
        p = event.mark_price();
    } else if (event.kind == Event::Kind::Orderbook) {
        source = PriceSource::Mid;
        p = (event.best_bid() + event.best_ask()) / 2;
    } else {
        return;
    }
    if (!(p > 0) || !std::isfinite(p)) {
        ++ignored_;
        return;
    }
    Symbol& s = symbols_[symbol_index(symbol)];
    if (s.mark == 0 && s.mid == 0) priced_.push_back(last_);
    (source == PriceSource::Mark ? s.mark : s.mid) = p;
    if (!s.pending.empty()) price(s, source, p, event.ts);
}

void ForwardTracker::price(Symbol& s, PriceSource source, double p, int64_t ts) {
    bool finished = false;
    for (Pending& w : s.pending) {
        if (w.source != source) continue;
        if (ts >= w.due) {
            Record& r = records_[w.record];
            double* v = &values_[r.values];
            const size_t n = targets_.all.size();
            // the extremes so far and this price, which resolves the horizon
            const double high = ts > w.clock ? std::max(w.high, p) : w.high;
            const double low = ts > w.clock ? std::min(w.low, p) : w.low;
            while (r.resolved < n && ts >= due(w.clock, r.resolved)) {
                v[r.resolved] = p;
                const int32_t h = targets_.all[r.resolved].horizon;
                if (h >= 0) {
                    v[n + 2 * static_cast<size_t>(h)] = std::max(high, p);
                    v[n + 2 * static_cast<size_t>(h) + 1] = std::min(low, p);
                }
                ++r.resolved;
            }
            w.due = due(w.clock, r.resolved);
            if (r.resolved == n) finished = true;
        }
        if (ts > w.clock) {
            w.high = std::max(w.high, p);
            w.low = std::min(w.low, p);
        }
    }
    if (finished) {
        const size_t before = s.pending.size();
        std::erase_if(s.pending, [&](const Pending& w) { return records_[w.record].resolved == targets_.all.size(); });
        pending_count_ -= before - s.pending.size();
    }
}

PriceSource ForwardTracker::price_of(uint32_t symbol, double& price) const {
    const Symbol& s = symbols_[symbol];
    if (s.mark > 0) {
        price = s.mark;
        return PriceSource::Mark;
    }
    if (s.mid > 0) {
        price = s.mid;
        return PriceSource::Mid;
    }
    price = 0;
    return PriceSource::None;
}

void ForwardTracker::open(uint32_t symbol, uint32_t checkpoint, int64_t clock, double severity, int32_t factor,
                          bool baseline) {
    Record r;
    r.symbol = symbol;
    r.checkpoint = checkpoint;
    r.clock = clock;
    r.severity = severity;
    r.factor = factor;
    r.baseline = baseline;
    r.source = price_of(symbol, r.p0);
    r.values = values_.size();
    values_.resize(values_.size() + targets_.all.size() + 2 * targets_.horizons.size(), 0.0);
    const auto id = static_cast<uint32_t>(records_.size());
    records_.push_back(r);
    if (r.source == PriceSource::None || targets_.all.empty()) return;
    const double inf = std::numeric_limits<double>::infinity();
    symbols_[symbol].pending.push_back(Pending{id, r.source, clock, due(clock, 0), -inf, inf});
    ++pending_count_;
}

}  // namespace radar
