#include "scan/scoring.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "json/number_text.hpp"
#include "json/writer.hpp"
#include "portable.hpp"
#include "scan/indicators.hpp"

// The severity is defined by one order of operations, each rounded on its
// own: a fused multiply-add would round near ties differently on targets
// that have one.
RADAR_FP_CONTRACT_OFF

namespace radar {

namespace {

// Maps a double to an unsigned key whose order is the IEEE-754 total order
// (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
uint64_t total_order_key(double d) {
    uint64_t bits = std::bit_cast<uint64_t>(d);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

// The weighted mean with every weight divided by the largest, for weights
// whose sums overflow: the same mean, in range. Weights are finite and not
// negative, and the largest is positive when a sum overflowed.
double scaled_mean(const std::vector<Signal>& signals, const double* strengths) {
    double largest = 0.0;
    for (const Signal& signal : signals) largest = signal.weight > largest ? signal.weight : largest;
    double acc = 0.0;
    double wsum = 0.0;
    for (size_t i = 0; i < signals.size(); ++i) {
        const double w = signals[i].weight / largest;
        const double term = strengths[i] * w;
        acc = acc + term;
        wsum = wsum + w;
    }
    return acc / wsum;
}

}  // namespace

double score_symbol(const SymbolState& state, const std::vector<Signal>& signals, double* strengths) {
    for (size_t i = 0; i < signals.size(); ++i) strengths[i] = signal_strength(signals[i], state);
    return combine_strengths(signals, strengths);
}

double combine_strengths(const std::vector<Signal>& signals, const double* strengths) {
    double acc = 0.0;
    double wsum = 0.0;
    for (size_t i = 0; i < signals.size(); ++i) {
        // Separate statements: the product is rounded before it is added
        // (with contraction off; see above).
        const double term = strengths[i] * signals[i].weight;
        acc = acc + term;
        wsum = wsum + signals[i].weight;
    }
    if (!(wsum > 0.0)) return 0.0;
    // A strength is at most 1, so a term never exceeds its finite weight:
    // only the two sums can overflow. Results that stay finite keep the
    // plain computation's bits; only an overflow takes the scaled one.
    if (!std::isfinite(acc) || !std::isfinite(wsum)) return grid_value(scaled_mean(signals, strengths));
    return grid_value(acc / wsum);
}

AlertListBuilder::AlertListBuilder(const RadarSpec& spec, std::vector<std::string> labels) : spec_(spec) {
    const size_t n = spec.signals.size();

    signal_of_key_.resize(n);
    std::iota(signal_of_key_.begin(), signal_of_key_.end(), size_t{0});
    std::sort(signal_of_key_.begin(), signal_of_key_.end(),
              [&](size_t a, size_t b) { return labels[a] < labels[b]; });

    // Labels always hold "(" and start with a letter before 's', so
    // "severity" sorts after all of them.
    keys_.reserve(n + 1);
    for (size_t i : signal_of_key_) keys_.push_back(std::move(labels[i]));
    keys_.emplace_back("severity");
    strengths_.resize(n);
}

void AlertListBuilder::add(std::string_view symbol, const SymbolState& state) {
    ++scanned_;
    double severity = score_symbol(state, spec_.signals, strengths_.data());
    if (!(severity >= spec_.threshold)) return;
    candidates_.push_back({total_order_key(severity), symbol, severity, state.last_ts, values_.size()});
    for (size_t i : signal_of_key_) values_.push_back(grid_value(strengths_[i]));
    values_.push_back(severity);
}

ScanResult AlertListBuilder::finish() {
    auto before = [](const Candidate& a, const Candidate& b) {
        if (a.rank_key != b.rank_key) return a.rank_key > b.rank_key;
        return a.symbol < b.symbol;
    };
    // The order is total (symbols are distinct), so ranking only the kept
    // prefix gives the same list as a full sort.
    size_t keep = candidates_.size();
    if (spec_.limit && *spec_.limit < keep) {
        keep = static_cast<size_t>(*spec_.limit);
        std::partial_sort(candidates_.begin(), candidates_.begin() + static_cast<ptrdiff_t>(keep),
                          candidates_.end(), before);
    } else {
        std::sort(candidates_.begin(), candidates_.end(), before);
    }

    ScanResult result;
    result.scanned = scanned_;
    const size_t width = keys_.size();
    result.alerts.reserve(keep);
    for (size_t i = 0; i < keep; ++i) {
        const Candidate& c = candidates_[i];
        const double* v = values_.data() + c.first;
        result.alerts.push_back(Alert{std::string(c.symbol), c.severity, std::vector<double>(v, v + width), c.ts});
    }
    result.factor_keys = std::move(keys_);
    return result;
}

void write_scan_result(std::string& out, const ScanResult& result) {
    // Every alert repeats the same keys: write them once.
    std::vector<std::string> keys;
    keys.reserve(result.factor_keys.size());
    size_t keys_size = 0;
    for (const std::string& key : result.factor_keys) {
        std::string& k = keys.emplace_back();
        append_json_string(k, key);
        k.push_back(':');
        keys_size += k.size() + 26;  // the key, a number and a comma
    }
    out.reserve(out.size() + 64 + result.alerts.size() * (96 + keys_size));
    out += "{\"alerts\":[";
    bool first = true;
    for (const Alert& a : result.alerts) {
        if (!first) out.push_back(',');
        first = false;
        out += "{\"symbol\":";
        append_json_string(out, a.symbol);
        out += ",\"severity\":";
        append_json_double(out, a.severity);
        out += ",\"factors\":{";
        for (size_t k = 0; k < a.factors.size(); ++k) {
            if (k) out.push_back(',');
            out += keys[k];
            append_json_double(out, a.factors[k]);
        }
        out += "},\"ts\":";
        append_i64(out, a.ts);
        out.push_back('}');
    }
    out += "],\"scanned\":";
    append_u64(out, result.scanned);
    out.push_back('}');
}

std::string write_scan_result(const ScanResult& result) {
    std::string out;
    out.reserve(128);
    write_scan_result(out, result);
    return out;
}

}  // namespace radar
