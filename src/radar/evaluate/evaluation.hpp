// Replays files and, at every checkpoint, opens a record for each symbol
// that starts alerting (an onset) and for a seeded random sample of those
// that do not (the baseline), then follows their prices forward: the whole
// evaluation in one pass, in memory bounded by the states and the records.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "evaluate/forward.hpp"
#include "evaluate/onsets.hpp"
#include "evaluate/random.hpp"
#include "market/dataset.hpp"
#include "replay/file_replay.hpp"
#include "spec/spec.hpp"

namespace radar {

struct EvaluateOptions {
    std::vector<int64_t> horizons;          // > 0, increasing (timestamp units)
    std::vector<std::string> horizon_names;  // as the user wrote them
    uint64_t cooldown = 0;   // checkpoints after an onset before the symbol's next
    uint64_t baseline = 20;  // draws per checkpoint
    uint64_t seed = 1;
    uint64_t bootstrap = 1000;
    // Only checkpoints with a clock in [judge_from, judge_to) open records,
    // and only prices before judge_to resolve them: the figures of a time
    // window, with the states and draws of everything before it.
    int64_t judge_from = INT64_MIN, judge_to = INT64_MAX;
    bool judged(int64_t clock) const { return clock >= judge_from && clock < judge_to; }
    bool windowed() const { return judge_from != INT64_MIN || judge_to != INT64_MAX; }
};

// The event study's offsets: floor(longest * k / 20), k = 1..20.
std::vector<int64_t> study_offsets(int64_t longest);

class Evaluation final : private EventObserver {
public:
    // `spec` validated, `labels` its signals' labels in signal order.
    Evaluation(RadarSpec spec, std::vector<std::string> labels, EvaluateOptions options, std::vector<std::string> paths,
               FileReadOptions read, Checkpoints checkpoints, bool merged);

    bool open(std::string& error) { return replay_.open(error); }
    // Replays the events of `input` instead of the files (given none); before open().
    void use_input(std::unique_ptr<EventInput> input) { replay_.use_input(std::move(input)); }

    enum class Stop : uint8_t { Running, End, Bad, Fatal };
    // Replays until the input ends or stops, or `budget` has passed (Running:
    // call again).
    Stop advance(std::chrono::milliseconds budget);

    const FileReplay& replay() const { return replay_; }
    uint64_t checkpoints() const { return checkpoints_; }  // in the judged window
    uint64_t onsets() const { return onsets_; }
    const ForwardTracker& tracker() const { return tracker_; }
    const EvaluateOptions& options() const { return options_; }
    // The factor keys of the alerts, without "severity": what a record's factor indexes.
    const std::vector<std::string>& factor_keys() const { return keys_; }

    // Brings the records up to date for reading: before the two below, and records().
    void settle() { tracker_.settle(); }
    // The statistics as one JSON object (once the input has ended).
    std::string result_json() const;
    // One CSV row per onset, or per baseline draw.
    std::string records_csv(bool baseline) const;

private:
    void take(std::string_view symbol, const Event& event) override { tracker_.take(symbol, event); }
    void checkpoint(int64_t clock);
    int32_t dominant(const std::vector<double>& factors) const;

    RadarSpec spec_;
    std::vector<std::string> labels_;
    EvaluateOptions options_;
    Dataset dataset_;
    FileReplay replay_;
    ForwardTracker tracker_;
    OnsetDraws draws_;
    std::vector<std::string> keys_;  // factor keys in byte order
    std::vector<double> key_weight_;  // the weights of the signals with that label, summed
    std::vector<uint32_t> listed_;  // the alerts' symbols at a checkpoint, in rank order
    uint64_t all_checkpoints_ = 0;
    uint64_t checkpoints_ = 0;
    uint64_t onsets_ = 0;
    uint64_t fed_at_checkpoint_ = 0;
};

}  // namespace radar
