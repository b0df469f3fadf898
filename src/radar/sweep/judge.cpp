#include "sweep/judge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "evaluate/onsets.hpp"
#include "evaluate/random.hpp"
#include "evaluate/statistics.hpp"
#include "sweep/sweep_pass.hpp"

namespace radar {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kOpenFrom = std::numeric_limits<int64_t>::min();
constexpr int64_t kOpenTo = std::numeric_limits<int64_t>::max();

double or_none(Maybe v) { return v && std::isfinite(*v) ? *v : kNone; }

// first + floor(span * num / den) without overflow, for num <= den
int64_t point_in(int64_t first, int64_t last, uint64_t num, uint64_t den) {
    const uint64_t span = static_cast<uint64_t>(last) - static_cast<uint64_t>(first);
    const uint64_t part = (span / den) * num + (span % den) * num / den;
    return static_cast<int64_t>(static_cast<uint64_t>(first) + part);
}

// A candidate's onset or baseline draw, as a record of the pass's tracker.
struct Pick {
    uint32_t checkpoint;
    uint64_t record;
    double severity;
};

}  // namespace

std::vector<std::pair<Window, Window>> sweep_steps(const SweepOptions& o, int64_t first_ts, int64_t last_ts) {
    std::vector<std::pair<Window, Window>> steps;
    if (o.folds == 0) {
        const auto ppm = static_cast<uint64_t>(std::llround(o.split * 1e6));
        const int64_t t = point_in(first_ts, last_ts, ppm, 1000000);
        steps.push_back({{kOpenFrom, t}, {t, kOpenTo}});
        return steps;
    }
    for (uint32_t i = 1; i < o.folds; ++i) {
        const int64_t from = point_in(first_ts, last_ts, i, o.folds);
        const int64_t to = i + 1 == o.folds ? kOpenTo : point_in(first_ts, last_ts, i + 1, o.folds);
        steps.push_back({{kOpenFrom, from}, {from, to}});
    }
    return steps;
}

std::vector<Window> sweep_blocks(const SweepOptions& o, int64_t first_ts, int64_t last_ts) {
    std::vector<Window> blocks;
    for (uint32_t b = 0; b < o.blocks; ++b)
        blocks.push_back({b == 0 ? kOpenFrom : point_in(first_ts, last_ts, b, o.blocks),
                          b + 1 == o.blocks ? kOpenTo : point_in(first_ts, last_ts, b + 1, o.blocks)});
    return blocks;
}

namespace {

class Judge {
public:
    Judge(const SweepPass& pass, const SweepOptions& o) : pass_(pass), o_(o), t_(pass.tracker()) {
        const auto& priced = t_.priced();
        rank_.assign(t_.symbol_count(), UINT32_MAX);
        for (uint32_t k = 0; k < priced.size(); ++k) rank_[priced[k]] = k;
    }

    // Reads candidate j's onsets and draws back from its log, as the evaluation made them.
    void picks(size_t j, std::vector<Pick>& onsets, std::vector<Pick>& draws) const {
        onsets.clear();
        draws.clear();
        OnsetDraws decide(o_.cooldown, o_.baseline, o_.seed);
        std::vector<ListChange> log;
        pass_.changes(j).expand(log);
        const auto& clocks = pass_.clocks();
        const auto& counts = pass_.priced_counts();
        const auto& bases = pass_.record_bases();
        const auto& priced = t_.priced();
        std::vector<uint32_t> current, listed;
        std::vector<double> severity;
        size_t at = 0;
        for (uint32_t c = 0; c < clocks.size(); ++c) {
            listed.clear();
            severity.clear();
            for (; at < log.size() && log[at].checkpoint == c; ++at) {
                const ListChange& change = log[at];
                if (change.leaves()) {
                    const auto it = std::find(current.begin(), current.end(), change.symbol);
                    if (it != current.end()) current.erase(it);
                } else {
                    listed.push_back(change.symbol);
                    severity.push_back(change.severity);
                }
            }
            const size_t entering = listed.size();
            listed.insert(listed.end(), current.begin(), current.end());
            current.insert(current.end(), listed.begin(), listed.begin() + static_cast<std::ptrdiff_t>(entering));
            const uint32_t count = counts[c];
            auto has_price = [&](uint32_t i) { return i < rank_.size() && rank_[i] < count; };
            decide.checkpoint(
                c, t_.symbol_count(), listed, std::span<const uint32_t>(priced.data(), count), has_price,
                [&](uint32_t i, size_t k) {
                    if (has_price(i)) onsets.push_back({c, bases[c] + rank_[i], severity[k]});
                },
                [&](uint32_t i) { draws.push_back({c, bases[c] + rank_[i], 0.0}); });
        }
    }

    // `cut`: prices from then on resolve nothing; the window's end unless said otherwise.
    void sample(const std::vector<Pick>& picks, Window w, Sample& s, int64_t cut = INT64_MIN) const {
        if (cut == INT64_MIN) cut = w.to;
        s.clear();
        const auto& clocks = pass_.clocks();
        for (const Pick& p : picks) {
            const int64_t clock = clocks[p.checkpoint];
            if (clock < w.from || clock >= w.to) continue;
            ++s.records;
            if (t_.done(p.record, cut)) s.add_return(t_.return_of(p.record), p.severity, p.checkpoint);
        }
    }

    // The candidate's onsets moved to random priced symbols of the same checkpoints.
    void placebo(const std::vector<Pick>& onsets, Window w, Random& random, Sample& s) const {
        s.clear();
        const auto& clocks = pass_.clocks();
        const auto& counts = pass_.priced_counts();
        const auto& bases = pass_.record_bases();
        std::vector<uint64_t> taken;
        for (size_t k = 0; k < onsets.size();) {
            const uint32_t c = onsets[k].checkpoint;
            size_t end = k;
            while (end < onsets.size() && onsets[end].checkpoint == c) ++end;
            const int64_t clock = clocks[c];
            if (clock < w.from || clock >= w.to) {
                k = end;
                continue;
            }
            taken.clear();
            for (; k < end; ++k) {
                uint64_t record;
                do record = bases[c] + random.below(counts[c]);
                while (std::find(taken.begin(), taken.end(), record) != taken.end());
                taken.push_back(record);
                ++s.records;
                if (t_.done(record, w.to)) s.add_return(t_.return_of(record), onsets[k].severity, c);
            }
        }
    }

    std::string detail(const Sample& on_in, const Sample& base_in, const Sample& on_out, const Sample& base_out) const {
        std::string out = "\"in_sample\":";
        out += horizon_block(on_in, base_in, o_.horizon_name, o_.horizon, o_.seed, o_.horizon_index, o_.bootstrap).text;
        out += ",\"out_of_sample\":";
        out += horizon_block(on_out, base_out, o_.horizon_name, o_.horizon, o_.seed, o_.horizon_index, o_.bootstrap).text;
        return out;
    }

private:
    const SweepPass& pass_;
    const SweepOptions& o_;
    const ForwardReturns& t_;
    std::vector<uint32_t> rank_;  // a symbol's place among the priced
};

// Larger first, none last, then the lower index.
bool leads(double a, uint64_t ia, double b, uint64_t ib) {
    const bool na = std::isnan(a), nb = std::isnan(b);
    if (na != nb) return nb;
    if (!na && a != b) return a > b;
    return ia < ib;
}

}  // namespace

SweepPartial judge_pass(const SweepPass& pass, const SweepOptions& o) {
    SweepPartial part;
    part.options = o;
    const FileReplay& replay = pass.replay();
    part.events = replay.fed();
    part.checkpoints = pass.clocks().size();
    part.records = pass.tracker().records();
    part.first_ts = replay.first_ts().value_or(0);
    part.last_ts = replay.clock().value_or(0);
    const auto steps = sweep_steps(o, part.first_ts, part.last_ts);
    const auto blocks = sweep_blocks(o, part.first_ts, part.last_ts);
    const size_t m = pass.candidates(), n_steps = steps.size();
    part.index.resize(m);
    part.choose.assign(m * n_steps, kNone);
    part.judge.assign(m * n_steps, kNone);
    part.p.assign(m, kNone);
    part.blocks.assign(m * blocks.size() * kBlockStats, kNone);
    std::vector<std::vector<double>> nulls(m, std::vector<double>(o.null_runs, kNone));
    Judge judge(pass, o);

    auto one = [&](size_t j) {
        std::vector<Pick> onsets, draws;
        Sample on, base;
        judge.picks(j, onsets, draws);
        const uint64_t global = o.first + j;
        part.index[j] = global;
        for (size_t s = 0; s < n_steps; ++s) {
            judge.sample(onsets, steps[s].first, on);
            judge.sample(draws, steps[s].first, base);
            part.choose[j * n_steps + s] = or_none(metric_of(o.metric, on, base));
            if (s + 1 == n_steps) {
                // the no-skill candidates are chosen among on the same data as the winner
                Sample fake;
                for (uint32_t r = 0; r < o.null_runs; ++r) {
                    uint64_t state = o.seed ^ 0x6E756C6CULL;
                    state ^= splitmix64(state) + global;
                    state ^= splitmix64(state) + r;
                    Random random(splitmix64(state));
                    judge.placebo(onsets, steps[s].first, random, fake);
                    nulls[j][r] = or_none(metric_of(o.metric, fake, base));
                }
            }
            judge.sample(onsets, steps[s].second, on);
            judge.sample(draws, steps[s].second, base);
            part.judge[j * n_steps + s] = or_none(metric_of(o.metric, on, base));
            if (s + 1 == n_steps) part.p[j] = or_none(rank_sum_p_greater(on.abs, base.abs));
        }
        // A block holds the records of its checkpoints, however late they resolve: as a period holds the
        // trades it opened. Cut at its end, a horizon longer than a block would leave every block empty.
        for (size_t b = 0; b < blocks.size(); ++b) {
            judge.sample(onsets, blocks[b], on, kOpenTo);
            judge.sample(draws, blocks[b], base, kOpenTo);
            double* stats = &part.blocks[(j * blocks.size() + b) * kBlockStats];
            double sum_on = 0, sum_base = 0;
            for (double a : on.abs) sum_on += a;
            for (double a : base.abs) sum_base += a;
            stats[0] = sum_on;
            stats[1] = static_cast<double>(on.abs.size());
            stats[2] = sum_base;
            stats[3] = static_cast<double>(base.abs.size());
            const Maybe median = median_of(base.abs);
            double hits = 0;
            if (median)
                for (double a : on.abs) hits += a > *median;
            stats[4] = median ? hits : kNone;
            stats[5] = or_none(spearman(on.severity, on.abs));
        }
    };
    {
        std::thread other([&] {
            for (size_t j = 1; j < m; j += 2) one(j);
        });
        for (size_t j = 0; j < m; j += 2) one(j);
        other.join();
    }

    part.null_max.assign(o.null_runs, kNone);
    for (uint32_t r = 0; r < o.null_runs; ++r)
        for (size_t j = 0; j < m; ++j)
            if (leads(nulls[j][r], 0, part.null_max[r], 0)) part.null_max[r] = nulls[j][r];

    // the leading candidates here, with their figures in full
    std::vector<size_t> order(m);
    for (size_t j = 0; j < m; ++j) order[j] = j;
    const size_t last = n_steps - 1;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return leads(part.choose[a * n_steps + last], part.index[a], part.choose[b * n_steps + last], part.index[b]);
    });
    const std::vector<size_t> wanted(order.begin(),
                                     order.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(std::max<uint32_t>(o.top, 1), m)));
    for (size_t j : wanted) {
        std::vector<Pick> onsets, draws;
        Sample on_in, base_in, on_out, base_out;
        judge.picks(j, onsets, draws);
        judge.sample(onsets, steps[last].first, on_in);
        judge.sample(draws, steps[last].first, base_in);
        judge.sample(onsets, steps[last].second, on_out);
        judge.sample(draws, steps[last].second, base_out);
        part.detail_index.push_back(part.index[j]);
        part.detail.push_back(judge.detail(on_in, base_in, on_out, base_out));
    }
    return part;
}

}  // namespace radar
