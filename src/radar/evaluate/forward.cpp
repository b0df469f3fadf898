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
    study_.resize(2 * targets_.study.size());
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
    while (line.started < line.records.size() && line.clocks[line.started] < ts) line.starts[line.started++] = line.count;
    if (line.started > line.head) {
        while (line.high.size() > line.high_head && line.high.back().second <= p) line.high.pop_back();
        line.high.emplace_back(line.count, p);
        while (line.low.size() > line.low_head && line.low.back().second >= p) line.low.pop_back();
        line.low.emplace_back(line.count, p);
    }
    ++line.count;
    if (!line.due.empty() && ts >= line.due.front().first) resolve(line, p, ts);
}

namespace {

bool later_due(const std::pair<int64_t, uint32_t>& a, const std::pair<int64_t, uint32_t>& b) { return a > b; }

}  // namespace

void ForwardTracker::wait_for(Line& line, size_t t) {
    const size_t at = line.resolved[t];
    // the next record of target t must be there and have resolved t - 1
    if (at >= line.records.size() || (t > 0 && line.resolved[t - 1] <= at)) return;
    line.due.emplace_back(due(line.clocks[at], t), static_cast<uint32_t>(t));
    std::push_heap(line.due.begin(), line.due.end(), later_due);
}

void ForwardTracker::resolve(Line& line, double p, int64_t ts) {
    const size_t n = targets_.all.size();
    // Due times of one record rise with the target, and ties pop the lower
    // target first, so a record always meets its targets in order.
    while (!line.due.empty() && line.due.front().first <= ts) {
        std::pop_heap(line.due.begin(), line.due.end(), later_due);
        const size_t t = line.due.back().second;
        line.due.pop_back();
        const Targets::Target& target = targets_.all[t];
        size_t& at = line.resolved[t];
        const size_t was = at;
        while (at < line.records.size() && (t == 0 || at < line.resolved[t - 1])) {
            if (ts < due(line.clocks[at], t)) break;
            const uint32_t id = line.records[at];
            if (target.horizon >= 0) {
                double* v = &values_[id * stride() + 3 * static_cast<size_t>(target.horizon)];
                v[0] = p;
                // the prices from the first past the clock to this one, which is past it too
                v[1] = from_on(line.high, line.high_head, line.starts[at]);
                v[2] = from_on(line.low, line.low_head, line.starts[at]);
                times_[id * targets_.horizons.size() + static_cast<size_t>(target.horizon)] = ts;
            } else if (ts < until_) {
                study_[2 * static_cast<size_t>(target.point) + line.drawn[at]].add(std::fabs(p / line.p0s[at] - 1));
            }
            ++at;
        }
        wait_for(line, t);
        // the next target had nothing ready while this one held its record back
        if (t + 1 < n && line.resolved[t + 1] == was && at > was) wait_for(line, t + 1);
    }
    // the records done with every target leave the line
    const size_t done = line.resolved[n - 1];
    if (done > line.head) {
        pending_count_ -= done - line.head;
        for (size_t i = line.head; i < done; ++i) records_[line.records[i]].resolved = static_cast<uint32_t>(n);
        line.head = done;
        if (line.started < line.head) line.started = line.head;
        trim(line);
    }
}

void ForwardTracker::trim(Line& line) {
    // no waiting record reads a price numbered before the oldest one's start
    const uint64_t keep = line.head < line.started ? line.starts[line.head] : line.count;
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
        line.clocks.erase(line.clocks.begin(), line.clocks.begin() + static_cast<std::ptrdiff_t>(gone));
        line.starts.erase(line.starts.begin(), line.starts.begin() + static_cast<std::ptrdiff_t>(gone));
        line.p0s.erase(line.p0s.begin(), line.p0s.begin() + static_cast<std::ptrdiff_t>(gone));
        line.drawn.erase(line.drawn.begin(), line.drawn.begin() + static_cast<std::ptrdiff_t>(gone));
        line.head = 0;
        line.started -= gone;
        for (size_t& at : line.resolved) at -= gone;
    }
}

void ForwardTracker::settle() {
    for (Symbol& s : symbols_)
        for (Line& line : s.lines)
            for (size_t i = line.head; i < line.records.size(); ++i) {
                uint32_t resolved = 0;
                while (resolved < line.resolved.size() && line.resolved[resolved] > i) ++resolved;
                records_[line.records[i]].resolved = resolved;
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
    times_.resize(times_.size() + targets_.horizons.size(), INT64_MAX);
    if (r.source == PriceSource::None || targets_.all.empty()) return;
    Line& line = symbols_[symbol].lines[r.source == PriceSource::Mark ? 0 : 1];
    if (line.resolved.empty()) line.resolved.assign(targets_.all.size(), line.records.size());
    if (line.head == line.records.size()) {
        // an empty line starts afresh: nothing before now is read again
        line.records.clear();
        line.clocks.clear();
        line.starts.clear();
        line.p0s.clear();
        line.drawn.clear();
        line.head = line.started = 0;
        line.resolved.assign(targets_.all.size(), 0);
        line.due.clear();
        line.high.clear();
        line.low.clear();
        line.high_head = line.low_head = 0;
    }
    line.records.push_back(id);
    line.clocks.push_back(clock);
    line.starts.push_back(UINT64_MAX);
    line.p0s.push_back(r.p0);
    line.drawn.push_back(baseline ? 1 : 0);
    // the first target waits on this record when it waited on none
    if (line.resolved[0] == line.records.size() - 1) wait_for(line, 0);
    ++pending_count_;
}

}  // namespace radar
