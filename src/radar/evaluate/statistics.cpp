#include "evaluate/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace radar {

std::optional<double> mean_of(std::span<const double> v) {
    if (v.empty()) return std::nullopt;
    double sum = 0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

std::optional<double> median_of(std::span<const double> v) {
    if (v.empty()) return std::nullopt;
    // the middle by selection, not a sort: a baseline holds many values
    std::vector<double> s(v.begin(), v.end());
    const size_t n = s.size(), mid = n / 2;
    std::nth_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(mid), s.end());
    if (n % 2 == 1) return s[mid];
    const double below = *std::max_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(mid));
    return (below + s[mid]) / 2;
}

std::optional<double> sample_sd(std::span<const double> v) {
    if (v.size() < 2) return std::nullopt;
    const double m = *mean_of(v);
    double ss = 0;
    for (double x : v) ss += (x - m) * (x - m);
    return std::sqrt(ss / static_cast<double>(v.size() - 1));
}

std::vector<double> average_ranks(std::span<const double> v, double* ties) {
    std::vector<std::pair<double, size_t>> order(v.size());
    for (size_t i = 0; i < v.size(); ++i) order[i] = {v[i], i};
    std::sort(order.begin(), order.end());
    std::vector<double> ranks(v.size());
    double t3 = 0;
    for (size_t i = 0; i < order.size();) {
        size_t j = i;
        while (j + 1 < order.size() && order[j + 1].first == order[i].first) ++j;
        const double rank = (static_cast<double>(i) + static_cast<double>(j)) / 2 + 1;
        for (size_t k = i; k <= j; ++k) ranks[order[k].second] = rank;
        const double t = static_cast<double>(j - i + 1);
        t3 += t * t * t - t;
        i = j + 1;
    }
    if (ties != nullptr) *ties = t3;
    return ranks;
}

std::optional<double> rank_sum_p_greater(std::span<const double> x, std::span<const double> y) {
    if (x.empty() || y.empty()) return std::nullopt;
    std::vector<double> all(x.begin(), x.end());
    all.insert(all.end(), y.begin(), y.end());
    double ties = 0;
    const std::vector<double> ranks = average_ranks(all, &ties);
    double r1 = 0;
    for (size_t i = 0; i < x.size(); ++i) r1 += ranks[i];
    const double n1 = static_cast<double>(x.size()), n2 = static_cast<double>(y.size()), n = n1 + n2;
    const double u1 = r1 - n1 * (n1 + 1) / 2;
    const double variance = n1 * n2 / 12 * ((n + 1) - ties / (n * (n - 1)));
    if (!(variance > 0)) return std::nullopt;
    const double z = (u1 - n1 * n2 / 2 - 0.5) / std::sqrt(variance);
    return 0.5 * std::erfc(z / std::sqrt(2.0));
}

std::optional<double> spearman(std::span<const double> x, std::span<const double> y) {
    if (x.size() < 2 || x.size() != y.size()) return std::nullopt;
    const std::vector<double> rx = average_ranks(x), ry = average_ranks(y);
    const double mx = *mean_of(rx), my = *mean_of(ry);
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < rx.size(); ++i) {
        sxy += (rx[i] - mx) * (ry[i] - my);
        sxx += (rx[i] - mx) * (rx[i] - mx);
        syy += (ry[i] - my) * (ry[i] - my);
    }
    if (!(sxx > 0) || !(syy > 0)) return std::nullopt;
    return sxy / std::sqrt(sxx * syy);
}

double quantile_sorted(std::span<const double> sorted, double q) {
    const double pos = q * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<size_t>(std::floor(pos));
    if (lo + 1 >= sorted.size()) return sorted.back();
    return sorted[lo] + (sorted[lo + 1] - sorted[lo]) * (pos - static_cast<double>(lo));
}

}  // namespace radar
