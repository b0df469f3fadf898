#include "sweep/sweep_pass.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>

#include "scan/indicators.hpp"
#include "scan/scoring.hpp"

namespace radar {

namespace {

// The IEEE total order as an unsigned key, as the alert list ranks by.
uint64_t order_key(double d) {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

bool same_signal(const Signal& a, const Signal& b) {
    if (a.kind != b.kind || a.params.size() != b.params.size()) return false;
    for (size_t i = 0; i < a.params.size(); ++i)
        if (std::bit_cast<uint64_t>(a.params[i]) != std::bit_cast<uint64_t>(b.params[i])) return false;
    return true;
}

}  // namespace

SweepPass::SweepPass(std::vector<RadarSpec> candidates, int64_t horizon, std::vector<std::string> paths,
                     FileReadOptions read, Checkpoints checkpoints, bool merged)
    : replay_(std::move(paths), read, checkpoints, merged), tracker_(horizon) {
    // Candidates sharing signals and weights rank symbols alike: one group scores them.
    std::map<std::vector<uint64_t>, uint32_t> group_of;
    for (RadarSpec& spec : candidates) {
        Candidate c;
        std::vector<uint64_t> key;
        std::vector<uint32_t> columns;
        for (const Signal& s : spec.signals) {
            size_t d = 0;
            while (d < distinct_.size() && !same_signal(distinct_[d], s)) ++d;
            if (d == distinct_.size()) distinct_.push_back(Signal{s.kind, s.params, 1.0});
            columns.push_back(static_cast<uint32_t>(d));
            key.push_back(d);
            key.push_back(std::bit_cast<uint64_t>(s.weight));
        }
        auto [it, fresh] = group_of.emplace(std::move(key), static_cast<uint32_t>(groups_.size()));
        if (fresh) {
            Group g;
            g.signals = spec.signals;
            g.distinct = std::move(columns);
            g.lowest = spec.threshold;
            groups_.push_back(std::move(g));
        }
        Group& g = groups_[it->second];
        g.lowest = std::min(g.lowest, spec.threshold);
        g.longest = std::max(g.longest, spec.limit ? *spec.limit : std::numeric_limits<uint64_t>::max());
        g.members.push_back(static_cast<uint32_t>(candidates_.size()));
        c.group = it->second;
        c.spec = std::move(spec);
        candidates_.push_back(std::move(c));
    }
    // Every candidate shares the base's venues and symbols; the reading keeps every signal.
    if (!candidates_.empty()) {
        reading_.venues = candidates_[0].spec.venues;
        reading_.symbols = candidates_[0].spec.symbols;
    }
    reading_.signals = distinct_;
    replay_.set_observer(this);
}

void SweepPass::take(std::string_view symbol, const Event& event) {
    const uint32_t i = tracker_.symbol_index(symbol);
    if (i >= states_.size()) {
        states_.resize(i + 1, nullptr);
        dirty_.resize(i + 1, 0);
        strengths_.resize((i + 1) * distinct_.size(), 0.0);
    }
    if (states_[i] == nullptr) states_[i] = dataset_.find(symbol);
    if (!dirty_[i]) {
        dirty_[i] = 1;
        changed_.push_back(i);
    }
    tracker_.take(symbol, event);
}

SweepPass::Stop SweepPass::advance(std::chrono::milliseconds budget) {
    const auto until = std::chrono::steady_clock::now() + budget;
    for (;;) {
        switch (replay_.advance(&reading_, &dataset_)) {
            case FileReplay::Stop::Checkpoint:
                if (replay_.clock()) checkpoint(*replay_.clock());
                if (std::chrono::steady_clock::now() >= until) return Stop::Running;
                break;
            case FileReplay::Stop::End:
                if (replay_.clock() && replay_.fed() != fed_at_checkpoint_) checkpoint(*replay_.clock());
                return Stop::End;
            case FileReplay::Stop::Interrupted: return Stop::Running;
            case FileReplay::Stop::Bad: return Stop::Bad;
            case FileReplay::Stop::Fatal: return Stop::Fatal;
        }
    }
}

void SweepPass::checkpoint(int64_t clock) {
    fed_at_checkpoint_ = replay_.fed();
    const auto c = static_cast<uint32_t>(clocks_.size());
    clocks_.push_back(clock);
    // every priced symbol is followed: any candidate's onsets and draws are among them
    const std::vector<uint32_t>& priced = tracker_.priced();
    priced_counts_.push_back(static_cast<uint32_t>(priced.size()));
    record_bases_.push_back(tracker_.records());
    tracker_.open_all(clock);

    // unchanged states give unchanged lists: nothing to log
    if (changed_.empty()) return;
    const size_t width = distinct_.size();
    for (uint32_t i : changed_) {
        for (size_t d = 0; d < width; ++d) strengths_[i * width + d] = signal_strength(distinct_[d], *states_[i]);
        dirty_[i] = 0;
    }
    scored_ += changed_.size();
    if (by_name_.size() != states_.size()) {
        by_name_.resize(states_.size());
        for (uint32_t i = 0; i < by_name_.size(); ++i) by_name_[i] = i;
        std::sort(by_name_.begin(), by_name_.end(),
                  [&](uint32_t a, uint32_t b) { return tracker_.symbol_name(a) < tracker_.symbol_name(b); });
    }
    changed_.clear();
    for (const Group& g : groups_) score_group(g);
}

void SweepPass::score_group(const Group& g) {
    const size_t width = distinct_.size();
    const auto c = static_cast<uint32_t>(clocks_.size() - 1);
    ranked_.clear();
    gathered_.resize(g.signals.size());
    // in byte order, so that a stable sort breaks severity ties by name
    for (uint32_t i : by_name_) {
        const double* row = &strengths_[i * width];
        for (size_t k = 0; k < g.distinct.size(); ++k) gathered_[k] = row[g.distinct[k]];
        const double severity = combine_strengths(g.signals, gathered_.data());
        if (!(severity >= g.lowest)) continue;
        ranked_.push_back({order_key(severity), i, severity});
    }
    std::stable_sort(ranked_.begin(), ranked_.end(), [](const Ranked& a, const Ranked& b) { return a.key > b.key; });
    if (g.longest < ranked_.size()) ranked_.resize(static_cast<size_t>(g.longest));
    for (uint32_t j : g.members) {
        Candidate& cand = candidates_[j];
        size_t n = 0;
        while (n < ranked_.size() && ranked_[n].severity >= cand.spec.threshold) ++n;
        if (cand.spec.limit && *cand.spec.limit < n) n = static_cast<size_t>(*cand.spec.limit);
        fresh_.clear();
        for (size_t k = 0; k < n; ++k) fresh_.push_back(ranked_[k].symbol);
        std::sort(fresh_.begin(), fresh_.end());
        if (fresh_ == cand.listed) continue;
        // entering in rank order, then those that left
        for (size_t k = 0; k < n; ++k)
            if (!std::binary_search(cand.listed.begin(), cand.listed.end(), ranked_[k].symbol))
                cand.log.enter(c, ranked_[k].symbol, ranked_[k].severity);
        for (uint32_t i : cand.listed)
            if (!std::binary_search(fresh_.begin(), fresh_.end(), i))
                cand.log.leave(c, i);
        cand.listed.swap(fresh_);
    }
}

}  // namespace radar
