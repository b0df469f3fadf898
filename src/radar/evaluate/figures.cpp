#include "evaluate/figures.hpp"

#include <algorithm>
#include <cmath>

#include "evaluate/random.hpp"
#include "evaluate/statistics.hpp"
#include "json/writer.hpp"

namespace radar {

void json_key(std::string& out, std::string_view name) {
    if (out.back() != '{') out += ',';
    append_json_string(out, name);
    out += ':';
}

void json_number(std::string& out, Maybe v) {
    if (v && std::isfinite(*v))
        append_json_double(out, *v);
    else
        out += "null";
}

void json_field(std::string& out, std::string_view name, Maybe v) {
    json_key(out, name);
    json_number(out, v);
}

void json_count(std::string& out, std::string_view name, uint64_t v) {
    json_key(out, name);
    append_u64(out, v);
}

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

HorizonBlock horizon_block(const Sample& on, const Sample& base, std::string_view name, int64_t offset, uint64_t seed,
                           size_t h, uint64_t bootstrap) {
        HorizonBlock result;
        std::string& out = result.text;
        const Maybe on_mean_abs = mean_of(on.abs), b_mean_abs = mean_of(base.abs);
        const Maybe b_median_abs = median_of(base.abs);
        out += '{';
        json_key(out, "horizon");
        append_json_string(out, name);
        json_key(out, "offset");
        append_i64(out, offset);
        json_count(out, "onsets", on.records);
        json_count(out, "resolved", on.ret.size());
        json_count(out, "unresolved", on.records - on.ret.size());
        json_field(out, "mean_return", mean_of(on.ret));
        json_field(out, "median_return", median_of(on.ret));
        json_field(out, "mean_abs_return", on_mean_abs);
        result.hit_rate = hit_rate(on.abs, b_median_abs);
        result.lift = ratio(on_mean_abs, b_mean_abs);
        json_field(out, "hit_rate", result.hit_rate);
        json_field(out, "lift", result.lift);

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
            uint64_t state = seed ^ (0xB0075742ULL + h);
            Random rng(splitmix64(state));
            lifts.reserve(bootstrap);
            for (uint64_t b = 0; b < bootstrap; ++b) {
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
        json_key(out, "lift_ci");
        if (lifts.empty()) {
            out += "null";
        } else {
            std::sort(lifts.begin(), lifts.end());
            out += '[';
            json_number(out, quantile_sorted(lifts, 0.025));
            out += ',';
            json_number(out, quantile_sorted(lifts, 0.975));
            out += ']';
        }
        json_count(out, "bootstrap_used", lifts.size());
        result.p_value = rank_sum_p_greater(on.abs, base.abs);
        result.rank_ic = spearman(on.severity, on.abs);
        json_field(out, "p_value", result.p_value);
        json_field(out, "rank_ic", result.rank_ic);
        json_key(out, "baseline");
        out += '{';
        json_count(out, "onsets", base.records);
        json_count(out, "resolved", base.ret.size());
        json_count(out, "unresolved", base.records - base.ret.size());
        json_field(out, "mean_return", mean_of(base.ret));
        json_field(out, "median_return", median_of(base.ret));
        json_field(out, "mean_abs_return", b_mean_abs);
        for (const char* none : {"hit_rate", "lift", "lift_ci", "p_value", "rank_ic"}) json_field(out, none, std::nullopt);
        out += "}}";
        result.median_abs = b_median_abs;
        result.mean_abs = b_mean_abs;
        return result;
}

Maybe metric_of(Metric metric, const Sample& on, const Sample& base) {
    switch (metric) {
        case Metric::Lift: return ratio(mean_of(on.abs), mean_of(base.abs));
        case Metric::HitRate: return hit_rate(on.abs, median_of(base.abs));
        case Metric::RankIc: return spearman(on.severity, on.abs);
    }
    return std::nullopt;
}

}  // namespace radar
