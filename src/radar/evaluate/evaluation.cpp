#include "evaluate/evaluation.hpp"

#include <algorithm>
#include <numeric>

#include "scan/scoring.hpp"

namespace radar {

namespace {

constexpr size_t kStudyPoints = 20;

Targets targets_of(const EvaluateOptions& options) {
    Targets t;
    t.horizons = options.horizons;
    if (!t.horizons.empty()) t.study = study_offsets(t.horizons.back());
    return t;
}

}  // namespace

std::vector<int64_t> study_offsets(int64_t longest) {
    std::vector<int64_t> out;
    for (size_t k = 1; k <= kStudyPoints; ++k) {
        // longest * k / 20 without overflowing
        const int64_t whole = longest / static_cast<int64_t>(kStudyPoints);
        const int64_t part = longest % static_cast<int64_t>(kStudyPoints);
        out.push_back(whole * static_cast<int64_t>(k) + part * static_cast<int64_t>(k) / static_cast<int64_t>(kStudyPoints));
    }
    return out;
}

Evaluation::Evaluation(RadarSpec spec, std::vector<std::string> labels, EvaluateOptions options,
                       std::vector<std::string> paths, FileReadOptions read, Checkpoints checkpoints, bool merged)
    : spec_(std::move(spec)),
      labels_(std::move(labels)),
      options_(std::move(options)),
      replay_(std::move(paths), read, checkpoints, merged),
      tracker_(targets_of(options_)),
      draws_(options_.cooldown, options_.baseline, options_.seed) {
    tracker_.set_until(options_.judge_to);
    std::vector<size_t> order(labels_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return labels_[a] < labels_[b]; });
    for (size_t i : order) {
        keys_.push_back(labels_[i]);
        key_weight_.push_back(spec_.signals[i].weight);
    }
    replay_.set_observer(this);
}

Evaluation::Stop Evaluation::advance(std::chrono::milliseconds budget) {
    const auto until = std::chrono::steady_clock::now() + budget;
    for (;;) {
        const FileReplay::Stop stop = replay_.advance(&spec_, &dataset_);
        switch (stop) {
            case FileReplay::Stop::Checkpoint:
                if (replay_.clock()) checkpoint(*replay_.clock());
                if (std::chrono::steady_clock::now() >= until) return Stop::Running;
                break;
            case FileReplay::Stop::End:
                // the end is a checkpoint too, unless nothing came after the last one
                if (replay_.clock() && replay_.fed() != fed_at_checkpoint_) checkpoint(*replay_.clock());
                return Stop::End;
            case FileReplay::Stop::Interrupted: return Stop::Running;  // back to the caller, who may go on
            case FileReplay::Stop::Bad: return Stop::Bad;
            case FileReplay::Stop::Fatal: return Stop::Fatal;
        }
    }
}

int32_t Evaluation::dominant(const std::vector<double>& factors) const {
    int32_t best = 0;
    for (size_t k = 1; k < keys_.size(); ++k)
        if (factors[k] * key_weight_[k] > factors[static_cast<size_t>(best)] * key_weight_[static_cast<size_t>(best)])
            best = static_cast<int32_t>(k);
    return best;
}

void Evaluation::checkpoint(int64_t clock) {
    fed_at_checkpoint_ = replay_.fed();
    const auto c = static_cast<uint32_t>(all_checkpoints_++);
    // outside the window the draws are still made: the window's are then those of the whole run
    const bool judged = options_.judged(clock);
    checkpoints_ += judged;
    AlertListBuilder builder(spec_, labels_);
    for (const auto& [symbol, state] : dataset_) builder.add(symbol, state);
    const ScanResult result = builder.finish();
    listed_.clear();
    for (const Alert& alert : result.alerts) listed_.push_back(tracker_.symbol_index(alert.symbol));
    draws_.checkpoint(
        c, tracker_.symbol_count(), listed_, tracker_.priced(),
        [&](uint32_t i) {
            double price;
            return tracker_.price_of(i, price) != PriceSource::None;
        },
        [&](uint32_t i, size_t k) {
            if (!judged) return;
            ++onsets_;
            tracker_.open(i, c, clock, result.alerts[k].severity, dominant(result.alerts[k].factors), false);
        },
        [&](uint32_t i) {
            if (judged) tracker_.open(i, c, clock, 0.0, -1, true);
        });
}

}  // namespace radar
