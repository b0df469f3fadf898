// The few statistics an evaluation reports, each empty when it rests on
// nothing rather than a made-up 0.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace radar {

std::optional<double> mean_of(std::span<const double> v);
std::optional<double> median_of(std::span<const double> v);
// Sample standard deviation (n - 1); empty below two values.
std::optional<double> sample_sd(std::span<const double> v);
// Ranks from 1, ties sharing their average rank; `ties`, when given, gets
// the sum of t^3 - t over the groups of t equal values.
std::vector<double> average_ranks(std::span<const double> v, double* ties = nullptr);
// One-sided Mann-Whitney test that x tends to be larger than y: the normal
// approximation with tie and continuity corrections.
std::optional<double> rank_sum_p_greater(std::span<const double> x, std::span<const double> y);
// Spearman's rank correlation; empty below two pairs or with a constant side.
std::optional<double> spearman(std::span<const double> x, std::span<const double> y);
// The q quantile of sorted values, interpolating linearly between neighbours.
double quantile_sorted(std::span<const double> sorted, double q);

}  // namespace radar
