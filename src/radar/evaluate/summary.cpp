// The evaluation's figures as JSON, and its records as CSV.
#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <thread>

#include "evaluate/evaluation.hpp"
#include "evaluate/statistics.hpp"
#include "json/writer.hpp"

namespace radar {

namespace {

using Maybe = std::optional<double>;

void key(std::string& out, std::string_view name) {
    if (out.back() != '{') out += ',';
    append_json_string(out, name);
    out += ':';
}

void number(std::string& out, Maybe v) {
    if (v && std::isfinite(*v))
        append_json_double(out, *v);
    else
        out += "null";
}

void field(std::string& out, std::string_view name, Maybe v) {
    key(out, name);
    number(out, v);
}

void count(std::string& out, std::string_view name, uint64_t v) {
    key(out, name);
    append_u64(out, v);
}

// The resolved returns of some records at one target.
struct Sample {
    std::vector<double> ret, abs, severity;
    std::vector<uint32_t> checkpoint;
    uint64_t records = 0;  // with a price, resolved or not
};

// Share of the values above the baseline's median absolute return.
Maybe hit_rate(const std::vector<double>& abs, Maybe median) {
    if (!median || abs.empty()) return std::nullopt;
    size_t above = 0;
    for (double a : abs) above += a > *median;
    return static_cast<double>(above) / static_cast<double>(abs.size());
}

Maybe ratio(Maybe a, Maybe b) {
    if (!a || !b || !(*b > 0)) return std::nullopt;
    return *a / *b;
}

}  // namespace

std::string Evaluation::result_json() const {
    const ForwardTracker& t = tracker_;
    const auto& records = t.records();
    const EvaluateOptions& o = options_;
    // horizon h's resolved returns of the records kept
    // the priced onsets and baseline draws: every sample is of one or the other
    std::vector<uint32_t> onset_ids, draw_ids;
    for (uint32_t i = 0; i < records.size(); ++i)
        if (records[i].source != PriceSource::None) (records[i].baseline ? draw_ids : onset_ids).push_back(i);
    auto sample = [&](const std::vector<uint32_t>& ids, auto&& keep, size_t h) {
        Sample s;
        const size_t target = t.target_of_horizon(h);
        for (uint32_t i : ids) {
            const Record& r = records[i];
            if (!keep(r)) continue;
            ++s.records;
            if (!t.resolved(r, target)) continue;
            const double x = t.price_at(i, h) / r.p0 - 1;
            s.ret.push_back(x);
            s.abs.push_back(std::fabs(x));
            s.severity.push_back(r.severity);
            s.checkpoint.push_back(r.checkpoint);
        }
        return s;
    };
    auto every = [](const Record&) { return true; };

    uint64_t no_price = 0, draws = 0;
    for (const Record& r : records) {
        if (r.baseline)
            ++draws;
        else if (r.source == PriceSource::None)
            ++no_price;
    }

    std::string out = "{";
    count(out, "checkpoints", checkpoints_);
    count(out, "events", replay_.fed());
    count(out, "onsets", onsets_);
    count(out, "no_price", no_price);
    count(out, "baseline_draws", draws);
    count(out, "ignored_prices", t.ignored_prices());
    count(out, "cooldown", o.cooldown);
    count(out, "baseline", o.baseline);
    count(out, "seed", o.seed);
    count(out, "bootstrap", o.bootstrap);

    // per horizon; the baselines are kept for the breakdowns below
    std::vector<Sample> bases;
    std::vector<Maybe> base_median_abs, base_mean_abs;
    key(out, "horizons");
    out += '[';
    // One horizon's figures, apart from the others: the horizons share the two cores.
    struct Block {
        std::string text;
        Maybe median_abs, mean_abs;  // the baseline's, for the breakdowns below
    };
    auto block = [&](size_t h) {
        Block result;
        std::string& out = result.text;
        const Sample on = sample(onset_ids, every, h), base = sample(draw_ids, every, h);
        const Maybe on_mean_abs = mean_of(on.abs), b_mean_abs = mean_of(base.abs);
        const Maybe b_median_abs = median_of(base.abs);
        out += '{';
        key(out, "horizon");
        append_json_string(out, o.horizon_names[h]);
        key(out, "offset");
        append_i64(out, o.horizons[h]);
        count(out, "onsets", on.records);
        count(out, "resolved", on.ret.size());
        count(out, "unresolved", on.records - on.ret.size());
        field(out, "mean_return", mean_of(on.ret));
        field(out, "median_return", median_of(on.ret));
        field(out, "mean_abs_return", on_mean_abs);
        field(out, "hit_rate", hit_rate(on.abs, b_median_abs));
        field(out, "lift", ratio(on_mean_abs, b_mean_abs));

        // The interval resamples whole checkpoints: symbols that moved together stay together.
        struct Cluster {
            double on = 0, base = 0;
            uint64_t n_on = 0, n_base = 0;
        };
        // records open in checkpoint order, so a checkpoint's records are consecutive
        std::vector<Cluster> clusters;
        {
            size_t i = 0, j = 0;
            while (i < on.abs.size() || j < base.abs.size()) {
                const uint32_t c = std::min(i < on.abs.size() ? on.checkpoint[i] : UINT32_MAX,
                                            j < base.abs.size() ? base.checkpoint[j] : UINT32_MAX);
                Cluster cluster;
                for (; i < on.abs.size() && on.checkpoint[i] == c; ++i, ++cluster.n_on) cluster.on += on.abs[i];
                for (; j < base.abs.size() && base.checkpoint[j] == c; ++j, ++cluster.n_base) cluster.base += base.abs[j];
                clusters.push_back(cluster);
            }
        }
        std::vector<double> lifts;
        if (!clusters.empty() && !on.abs.empty() && !base.abs.empty()) {
            uint64_t state = o.seed ^ (0xB0075742ULL + h);
            Random rng(splitmix64(state));
            lifts.reserve(o.bootstrap);
            for (uint64_t b = 0; b < o.bootstrap; ++b) {
                Cluster sum;
                for (size_t j = 0; j < clusters.size(); ++j) {
                    const Cluster& c = clusters[rng.below(clusters.size())];
                    sum.on += c.on;
                    sum.base += c.base;
                    sum.n_on += c.n_on;
                    sum.n_base += c.n_base;
                }
                if (sum.n_on == 0 || sum.n_base == 0 || !(sum.base > 0)) continue;
                lifts.push_back((sum.on / static_cast<double>(sum.n_on)) / (sum.base / static_cast<double>(sum.n_base)));
            }
        }
        key(out, "lift_ci");
        if (lifts.empty()) {
            out += "null";
        } else {
            std::sort(lifts.begin(), lifts.end());
            out += '[';
            number(out, quantile_sorted(lifts, 0.025));
            out += ',';
            number(out, quantile_sorted(lifts, 0.975));
            out += ']';
        }
        count(out, "bootstrap_used", lifts.size());
        field(out, "p_value", rank_sum_p_greater(on.abs, base.abs));
        field(out, "rank_ic", spearman(on.severity, on.abs));
        key(out, "baseline");
        out += '{';
        count(out, "onsets", base.records);
        count(out, "resolved", base.ret.size());
        count(out, "unresolved", base.records - base.ret.size());
        field(out, "mean_return", mean_of(base.ret));
        field(out, "median_return", median_of(base.ret));
        field(out, "mean_abs_return", b_mean_abs);
        for (const char* none : {"hit_rate", "lift", "lift_ci", "p_value", "rank_ic"}) field(out, none, std::nullopt);
        out += "}}";
        result.median_abs = b_median_abs;
        result.mean_abs = b_mean_abs;
        return result;
    };
    std::vector<Block> blocks(o.horizons.size());
    {
        std::thread other([&] {
            for (size_t h = 1; h < blocks.size(); h += 2) blocks[h] = block(h);
        });
        for (size_t h = 0; h < blocks.size(); h += 2) blocks[h] = block(h);
        other.join();
    }
    for (size_t h = 0; h < blocks.size(); ++h) {
        if (h > 0) out += ',';
        out += blocks[h].text;
        base_median_abs.push_back(blocks[h].median_abs);
        base_mean_abs.push_back(blocks[h].mean_abs);
    }
    out += ']';

    // A group of onsets, per horizon, against the whole baseline.
    auto group_horizons = [&](auto&& keep) {
        key(out, "horizons");
        out += '[';
        for (size_t h = 0; h < o.horizons.size(); ++h) {
            const Sample s = sample(onset_ids, keep, h);
            if (h > 0) out += ',';
            out += '{';
            key(out, "horizon");
            append_json_string(out, o.horizon_names[h]);
            count(out, "resolved", s.ret.size());
            field(out, "mean_return", mean_of(s.ret));
            field(out, "mean_abs_return", mean_of(s.abs));
            field(out, "hit_rate", hit_rate(s.abs, base_median_abs[h]));
            field(out, "lift", ratio(mean_of(s.abs), base_mean_abs[h]));
            out += '}';
        }
        out += ']';
    };

    key(out, "by_factor");
    out += '[';
    bool first = true;
    for (size_t k = 0; k < keys_.size(); ++k) {
        uint64_t n = 0;
        for (const Record& r : records) n += !r.baseline && r.source != PriceSource::None && r.factor == static_cast<int32_t>(k);
        if (n == 0) continue;
        if (!first) out += ',';
        first = false;
        out += '{';
        key(out, "factor");
        append_json_string(out, keys_[k]);
        count(out, "onsets", n);
        group_horizons([&](const Record& r) { return !r.baseline && r.factor == static_cast<int32_t>(k); });
        out += '}';
    }
    out += ']';

    // quintiles of severity, ties ordered by clock and then symbol
    std::vector<uint32_t> ranked;
    for (uint32_t i = 0; i < records.size(); ++i)
        if (!records[i].baseline && records[i].source != PriceSource::None) ranked.push_back(i);
    std::stable_sort(ranked.begin(), ranked.end(), [&](uint32_t a, uint32_t b) {
        const Record &x = records[a], &y = records[b];
        if (x.severity != y.severity) return x.severity < y.severity;
        if (x.clock != y.clock) return x.clock < y.clock;
        return t.symbol_name(x.symbol) < t.symbol_name(y.symbol);
    });
    std::vector<uint32_t> quintile(records.size(), 5);
    key(out, "by_quintile");
    out += '[';
    const size_t n = ranked.size();
    for (size_t g = 0; g < 5; ++g) {
        const size_t lo = g * n / 5, hi = (g + 1) * n / 5;
        for (size_t i = lo; i < hi; ++i) quintile[ranked[i]] = static_cast<uint32_t>(g);
        if (g > 0) out += ',';
        out += '{';
        count(out, "quintile", g + 1);
        field(out, "severity_min", lo < hi ? Maybe(records[ranked[lo]].severity) : std::nullopt);
        field(out, "severity_max", lo < hi ? Maybe(records[ranked[hi - 1]].severity) : std::nullopt);
        count(out, "onsets", hi - lo);
        const Record* base = records.data();
        group_horizons([&](const Record& r) { return quintile[static_cast<size_t>(&r - base)] == g; });
        out += '}';
    }
    out += ']';

    key(out, "event_study");
    out += '[';
    for (size_t k = 0; k < t.targets().study.size(); ++k) {
        if (k > 0) out += ',';
        out += '{';
        key(out, "offset");
        append_i64(out, t.targets().study[k]);
        for (bool baseline : {false, true}) {
            const ForwardTracker::Moments& m = t.study(k, baseline);
            key(out, baseline ? "baseline" : "onsets");
            out += '{';
            count(out, "n", m.n);
            field(out, "mean", m.n > 0 ? Maybe(m.mean) : std::nullopt);
            Maybe half;
            if (m.n > 1) half = 1.96 * std::sqrt(m.m2 / static_cast<double>(m.n - 1)) / std::sqrt(static_cast<double>(m.n));
            field(out, "low", half ? Maybe(m.mean - *half) : std::nullopt);
            field(out, "high", half ? Maybe(m.mean + *half) : std::nullopt);
            out += '}';
        }
        out += '}';
    }
    out += "]}";
    return out;
}

namespace {

void csv_text(std::string& out, std::string_view s) {
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

std::string Evaluation::records_csv(bool baseline) const {
    const ForwardTracker& t = tracker_;
    std::string out = baseline ? "symbol,clock,price" : "symbol,clock,severity,factor,price";
    for (const std::string& name : options_.horizon_names)
        for (const char* column : {"return_", "max_", "min_", "resolved_"}) {
            out += ',';
            csv_text(out, column + name);
        }
    out += '\n';
    for (size_t i = 0; i < t.records().size(); ++i) {
        const Record& r = t.records()[i];
        if (r.baseline != baseline) continue;
        csv_text(out, t.symbol_name(r.symbol));
        out += ',';
        append_i64(out, r.clock);
        if (!baseline) {
            out += ',';
            append_json_double(out, r.severity);
            out += ',';
            csv_text(out, keys_[static_cast<size_t>(r.factor)]);
        }
        out += ',';
        if (r.source != PriceSource::None) append_json_double(out, r.p0);
        for (size_t h = 0; h < options_.horizons.size(); ++h) {
            const size_t target = t.target_of_horizon(h);
            const bool done = r.source != PriceSource::None && t.resolved(r, target);
            for (double price : {t.price_at(i, h), t.high_at(i, h), t.low_at(i, h)}) {
                out += ',';
                if (done) append_json_double(out, price / r.p0 - 1);
            }
            out += done ? ",true" : ",false";
        }
        out += '\n';
    }
    return out;
}

}  // namespace radar
