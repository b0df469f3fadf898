// The radar specification: which signals to evaluate, the alert threshold and
// the largest number of alerts to return.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.hpp"
#include "json/value.hpp"

namespace radar {

// The value is the index into every per-kind table.
enum class Indicator : uint8_t {
    OiDelta = 0,
    FundingFlip = 1,
    BookImbalance = 2,
    LiqCluster = 3,
    OiPriceDivergence = 4,
};

inline constexpr std::array<std::string_view, 5> kIndicatorNames = {
    "oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence"};
inline constexpr std::array<uint8_t, 5> kIndicatorParamCounts = {2, 1, 1, 2, 2};

inline std::string_view indicator_name(Indicator k) { return kIndicatorNames[static_cast<size_t>(k)]; }
inline size_t indicator_param_count(Indicator k) { return kIndicatorParamCounts[static_cast<size_t>(k)]; }

struct Signal {
    Indicator kind = Indicator::OiDelta;
    std::vector<double> params;
    double weight = 1.0;

    // "{kind}({grid values of params, positional, comma separated})"
    std::string label() const;
};

struct RadarSpec {
    std::vector<std::string> venues;
    std::vector<std::string> symbols;
    std::vector<Signal> signals;
    double threshold = 0.0;
    std::optional<uint64_t> limit;

    // Reads straight from text; errors carry the line and column.
    static Result<RadarSpec> from_json_text(std::string_view text);
    // Converts an already parsed value; errors carry no position.
    static Result<RadarSpec> from_json_value(const JsonValue& value);

    // The ordered checks; a BadSpec error on the first failure. On success
    // `labels`, when given, receives every signal's label in signal order.
    std::optional<RadarError> validate(std::vector<std::string>* labels = nullptr) const;
};

}  // namespace radar
