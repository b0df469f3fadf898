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

int64_t ForwardTracker::due(int64_t clock, size_t target) const {
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
    Line& line = s.lines[source == PriceSource::Mark ? 0 : 1];
    if (line.head < line.records.size()) price(line, p, event.ts);
}

namespace {

// The first entry of a monotone stack numbered `from` or later.
double from_on(const std::vector<std::pair<uint64_t, double>>& stack, size_t head, uint64_t from) {
    auto it = std::lower_bound(stack.begin() + static_cast<std::ptrdiff_t>(head), stack.end(), from,
                               [](const std::pair<uint64_t, double>& e, uint64_t n) { return e.first < n; });
    return it->second;
}

}  // namespace

void ForwardTracker::price(Line& line, double p, int64_t ts) {
    // records whose clock this price is past start seeing prices here
    while (line.started < line.records.size() && records_[line.records[line.started]].clock < ts)
        records_[line.records[line.started++]].start = line.count;
    if (line.started > line.head) {
        while (line.high.size() > line.high_head && line.high.back().second <= p) line.high.pop_back();
        line.high.emplace_back(line.count, p);
        while (line.low.size() > line.low_head && line.low.back().second >= p) line.low.pop_back();
        line.low.emplace_back(line.count, p);
    }
    ++line.count;
    if (ts >= line.next_due) resolve(line, p, ts);
}

void ForwardTracker::resolve(Line& line, double p, int64_t ts) {
    const size_t n = targets_.all.size();
    for (size_t t = 0; t < n; ++t) {
        size_t& at = line.resolved[t];
        while (at < line.records.size()) {
            const uint32_t id = line.records[at];
            Record& r = records_[id];
            if (r.resolved != t || ts < due(r.clock, t)) break;
            const Targets::Target& target = targets_.all[t];
            if (target.horizon >= 0) {
                double* v = &values_[id * stride() + 3 * static_cast<size_t>(target.horizon)];
                v[0] = p;
                // the prices from the first past the clock to this one, which is past it too
                v[1] = from_on(line.high, line.high_head, r.start);
                v[2] = from_on(line.low, line.low_head, r.start);
            } else {
                study_[id * targets_.study.size() + static_cast<size_t>(target.point)] =
                    static_cast<float>(std::fabs(p / r.p0 - 1));
            }
            ++r.resolved;
            ++at;
        }
    }
    // the records done with every target leave the line
    const size_t done = line.resolved[n - 1];
    if (done > line.head) {
        pending_count_ -= done - line.head;
        line.head = done;
        if (line.started < line.head) line.started = line.head;
        trim(line);
    }
    line.next_due = INT64_MAX;
    for (size_t t = 0; t < n; ++t)
        if (line.resolved[t] < line.records.size())
            line.next_due = std::min(line.next_due, due(records_[line.records[line.resolved[t]]].clock, t));
}

void ForwardTracker::trim(Line& line) {
    // no waiting record reads a price numbered before the oldest one's start
    const uint64_t keep = line.head < line.started ? records_[line.records[line.head]].start : line.count;
    while (line.high_head < line.high.size() && line.high[line.high_head].first < keep) ++line.high_head;
    while (line.low_head < line.low.size() && line.low[line.low_head].first < keep) ++line.low_head;
    auto compact = [](auto& v, size_t& head) {
        if (head > 256 && head * 2 > v.size()) {
            v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    };
    compact(line.high, line.high_head);
    compact(line.low, line.low_head);
    if (line.head > 256 && line.head * 2 > line.records.size()) {
        const size_t gone = line.head;
        line.records.erase(line.records.begin(), line.records.begin() + static_cast<std::ptrdiff_t>(gone));
        line.head = 0;
        line.started -= gone;
        for (size_t& at : line.resolved) at -= gone;
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
    const auto id = static_cast<uint32_t>(records_.size());
    records_.push_back(r);
    values_.resize(values_.size() + stride(), 0.0);
    study_.resize(study_.size() + targets_.study.size(), 0.0f);
    if (r.source == PriceSource::None || targets_.all.empty()) return;
    Line& line = symbols_[symbol].lines[r.source == PriceSource::Mark ? 0 : 1];
    if (line.resolved.empty()) line.resolved.assign(targets_.all.size(), line.records.size());
    if (line.head == line.records.size()) {
        // an empty line starts afresh: nothing before now is read again
        line.records.clear();
        line.head = line.started = 0;
        line.resolved.assign(targets_.all.size(), 0);
        line.high.clear();
        line.low.clear();
        line.high_head = line.low_head = 0;
    }
    line.records.push_back(id);
    line.next_due = std::min(line.next_due, due(clock, r.resolved));
    ++pending_count_;
}

}  // namespace radar
