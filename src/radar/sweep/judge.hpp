// Judging the candidates of a sweep: each one's onsets and baseline draws
// read back from its list's log, its figures on the windows it is chosen
// and judged on, and what counts the trials: Holm's adjustment, the best
// a candidate with no skill reaches, and the probability of backtest
// overfitting. A pass over a share of the candidates gives a partial;
// partials from shares of the same files combine into the whole answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "evaluate/figures.hpp"

namespace radar {

class SweepPass;

struct SweepOptions {
    std::string horizon_name;
    int64_t horizon = 0;
    uint64_t horizon_index = 0;  // among evaluate's horizons: it seeds the bootstrap as there
    Metric metric = Metric::Lift;
    uint64_t cooldown = 0, baseline = 20, seed = 1, bootstrap = 1000;
    double split = 0.7;   // used when folds is 0
    uint32_t folds = 0;   // walk-forward over this many folds
    uint32_t blocks = 8;  // even, for the overfitting probability
    uint32_t top = 10;
    uint32_t null_runs = 20;  // replications of the no-skill candidates
    uint64_t first = 0;  // the global index of this pass's first candidate
    uint64_t total = 0;  // candidates in the whole sweep
};

// Checkpoints with a clock in [from, to), resolved by prices before `to`.
struct Window {
    int64_t from, to;
};

struct SweepPartial {
    SweepOptions options;  // `first` aside, every share's must agree
    uint64_t events = 0, checkpoints = 0, records = 0;
    int64_t first_ts = 0, last_ts = 0;
    std::vector<uint64_t> index;       // global index of each candidate here
    std::vector<double> choose, judge;  // candidate x step: the metric, NaN for none
    std::vector<double> p;              // per candidate: the final judged window's p-value, NaN for none
    std::vector<double> blocks;         // candidate x block x kBlockStats
    std::vector<double> null_max;       // per replication: the best no-skill metric here, NaN for none
    std::vector<uint64_t> detail_index;
    std::vector<std::string> detail;    // "in_sample":{...},"out_of_sample":{...} of the leading ones

    std::string serialize() const;
    // False for bytes that are not a partial.
    bool parse(std::string_view bytes);
};

inline constexpr size_t kBlockStats = 6;  // onsets' |return| sum and count, the baseline's, hits, rank IC

// The windows of the steps: chosen on, then judged on.
std::vector<std::pair<Window, Window>> sweep_steps(const SweepOptions& o, int64_t first_ts, int64_t last_ts);
std::vector<Window> sweep_blocks(const SweepOptions& o, int64_t first_ts, int64_t last_ts);

SweepPartial judge_pass(const SweepPass& pass, const SweepOptions& o);
// The sweep's JSON from the partials of all its shares; an error text instead when they do not fit together.
bool combine_partials(const std::vector<SweepPartial>& parts, std::string& out);

}  // namespace radar
