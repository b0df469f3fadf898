// One horizon's figures from the resolved returns of onsets and baseline
// draws: what `evaluate` reports per horizon and what a sweep ranks by.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace radar {

using Maybe = std::optional<double>;

// JSON members into an object being written: a comma unless it is the first.
void json_key(std::string& out, std::string_view name);
void json_number(std::string& out, Maybe v);  // null when empty or not finite
void json_field(std::string& out, std::string_view name, Maybe v);
void json_count(std::string& out, std::string_view name, uint64_t v);

// The resolved returns of some records at one target, in record order.
struct Sample {
    std::vector<double> ret, abs, severity;
    std::vector<uint32_t> checkpoint;
    uint64_t records = 0;  // with a price, resolved or not
    void add(double p1, double p0, double severity_, uint32_t checkpoint_) {
        add_return(p1 / p0 - 1, severity_, checkpoint_);
    }
    void add_return(double x, double severity_, uint32_t checkpoint_) {
        ret.push_back(x);
        abs.push_back(std::fabs(x));
        severity.push_back(severity_);
        checkpoint.push_back(checkpoint_);
    }
    void clear() {
        ret.clear();
        abs.clear();
        severity.clear();
        checkpoint.clear();
        records = 0;
    }
};

// Share of the values above the baseline's median absolute return.
Maybe hit_rate(const std::vector<double>& abs, Maybe median);
Maybe ratio(Maybe a, Maybe b);

struct HorizonBlock {
    std::string text;             // the horizon's JSON object
    Maybe median_abs, mean_abs;   // the baseline's, for breakdowns
    Maybe lift, hit_rate, rank_ic, p_value;
};

// The horizon's object as `evaluate --json` writes it; `h` is the horizon's
// index, which seeds its bootstrap.
HorizonBlock horizon_block(const Sample& on, const Sample& base, std::string_view name, int64_t offset, uint64_t seed,
                           size_t h, uint64_t bootstrap);

enum class Metric : uint8_t { Lift, HitRate, RankIc };
// The figure a metric names, as horizon_block computes it, without the bootstrap.
Maybe metric_of(Metric metric, const Sample& on, const Sample& base);

}  // namespace radar
