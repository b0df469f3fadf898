// Severity of a symbol, the ranked alert list and its JSON text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "market/symbol_state.hpp"
#include "spec/spec.hpp"

namespace radar {

// Every alert of one result has the same factor keys (one per signal plus
// "severity"), so the keys are held once by the result and an alert keeps
// only the values, aligned with them.
struct Alert {
    std::string symbol;
    double severity = 0.0;
    std::vector<double> factors;  // grid values, in ScanResult::factor_keys order
    int64_t ts = 0;
};

struct ScanResult {
    // Signal labels in byte order, then "severity".
    std::vector<std::string> factor_keys;
    std::vector<Alert> alerts;
    uint64_t scanned = 0;
};

// Weighted mean of the (unrounded) strengths, as a grid value; +0 when every
// weight is 0. Writes each signal's raw strength to strengths[i], in signal order.
double score_symbol(const SymbolState& state, const std::vector<Signal>& signals, double* strengths);
// The severity from the signals' raw strengths, in signal order: what
// score_symbol returns for them.
double combine_strengths(const std::vector<Signal>& signals, const double* strengths);

// Builds a ScanResult from symbols added in ascending byte order. Labels
// depend only on the spec, so they are made once here rather than per symbol.
// The spec must be validated and outlive the builder; added symbol texts must
// stay valid until finish().
class AlertListBuilder {
public:
    // `labels`: every signal's label in signal order, as validation made them.
    AlertListBuilder(const RadarSpec& spec, std::vector<std::string> labels);

    void add(std::string_view symbol, const SymbolState& state);

    // Ranks by severity (descending) then symbol and applies the limit.
    // Call once: the builder hands its keys over to the result.
    ScanResult finish();

private:
    struct Candidate {
        uint64_t rank_key;  // severity mapped onto the IEEE total order
        std::string_view symbol;
        double severity;
        int64_t ts;
        size_t first;  // offset of its factor values in values_
    };

    const RadarSpec& spec_;
    std::vector<std::string> keys_;
    std::vector<size_t> signal_of_key_;
    std::vector<double> strengths_;
    std::vector<Candidate> candidates_;
    std::vector<double> values_;
    uint64_t scanned_ = 0;
};

void write_scan_result(std::string& out, const ScanResult& result);
std::string write_scan_result(const ScanResult& result);

}  // namespace radar
