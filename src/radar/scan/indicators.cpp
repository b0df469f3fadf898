#include "scan/indicators.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

// Every operation below is written in the order the results are defined by:
// reordering even a commutative step can change the last printed digit.

namespace radar {

namespace {

constexpr double kFloor = 1e-12;

// Clamp to [0, 1], a -0.0 raw value staying -0.0. The lower bound tests the
// bits, not the value: `b < 0.0 ? 0.0 : b` differs from max(b, 0.0) only
// for -0.0, and some optimizers (clang for aarch64) lower it to a max
// instruction all the same, which gives +0.0. An integer test has no such
// reading. A finite b is negative and non-zero exactly when its sign bit is
// set and some other bit is too: as an integer, above the bits of -0.0.
// The upper bound may become a min instruction: it agrees with the
// comparison on every finite value.
double finish(double b) {
    if (!std::isfinite(b)) return 0.0;
    constexpr uint64_t kNegativeZero = uint64_t{1} << 63;
    if (std::bit_cast<uint64_t>(b) > kNegativeZero) return 0.0;
    return b > 1.0 ? 1.0 : b;
}

// Relative changes divide by the older value, floored so that a zero or
// negative one cannot flip or blow up the ratio.
double floored(double x) { return x > kFloor ? x : kFloor; }

double oi_delta(const Signal& s, const SymbolState& st) {
    const auto oi = st.open_interest();
    uint64_t n = observation_count(s.params[0]);
    if (oi.size() <= n) return 0.0;
    double last = oi.back();
    double past = oi[oi.size() - 1 - n];
    double b = std::fabs((last - past) / floored(past)) / s.params[1];
    return finish(b);
}

double funding_flip(const Signal& s, const SymbolState& st) {
    const auto fr = st.funding_rate();
    if (fr.size() < 2) return 0.0;
    double f = fr.back();
    double g = fr[fr.size() - 2];
    double b = std::fabs(f) / s.params[0];
    // A zero on either side, or a product that underflows to zero, is no flip.
    if (f * g < 0.0) b = b + b;
    return finish(b);
}

double book_imbalance(const Signal& s, const SymbolState& st) {
    if (!st.book) return 0.0;
    double bid = st.book->bid_volume;
    double ask = st.book->ask_volume;
    double imbalance = std::fabs((bid - ask) / floored(bid + ask));
    return finish(imbalance / s.params[0]);
}

double liq_cluster(const Signal& s, const SymbolState& st) {
    const auto q = st.liquidation_qty();
    if (q.empty()) return 0.0;
    uint64_t n = observation_count(s.params[0]);
    size_t m = n < q.size() ? static_cast<size_t>(n) : q.size();
    // An empty sum is -0.0, which a positive scale keeps as a -0.0 strength.
    double sum = -0.0;
    for (size_t i = q.size() - m; i < q.size(); ++i) sum += q[i];
    return finish(sum / s.params[1]);
}

double oi_price_divergence(const Signal& s, const SymbolState& st) {
    const auto oi = st.open_interest();
    const auto px = st.mark_price();
    uint64_t n = observation_count(s.params[0]);
    if (oi.size() <= n) return 0.0;
    size_t k = oi.size() - 1;
    size_t j = k - static_cast<size_t>(n);
    double d_oi = (oi[k] - oi[j]) / floored(oi[j]);
    double d_px = (px[k] - px[j]) / floored(px[j]);
    double u = d_px * (-d_oi);
    // +0 for a negative, zero or NaN product
    double positive = u > 0.0 ? u : 0.0;
    double p1 = s.params[1];
    return finish(positive / (p1 * p1));
}

}  // namespace

double signal_strength(const Signal& signal, const SymbolState& state) {
    switch (signal.kind) {
        case Indicator::OiDelta: return oi_delta(signal, state);
        case Indicator::FundingFlip: return funding_flip(signal, state);
        case Indicator::BookImbalance: return book_imbalance(signal, state);
        case Indicator::LiqCluster: return liq_cluster(signal, state);
        case Indicator::OiPriceDivergence: return oi_price_divergence(signal, state);
    }
    return 0.0;
}

}  // namespace radar
