#include "evaluate/evaluation.hpp"

#include <algorithm>
#include <numeric>

#include "scan/scoring.hpp"

namespace radar {

namespace {

constexpr uint64_t kNever = UINT64_MAX;
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
      random_(options_.seed) {
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
    const auto c = checkpoints_++;
    AlertListBuilder builder(spec_, labels_);
    for (const auto& [symbol, state] : dataset_) builder.add(symbol, state);
    const ScanResult result = builder.finish();
    size_t listed_priced = 0;
    for (const Alert& alert : result.alerts) {
        const uint32_t i = tracker_.symbol_index(alert.symbol);
        if (listed_.size() <= i) {
            listed_.resize(tracker_.symbol_count(), kNever);
            last_onset_.resize(tracker_.symbol_count(), kNever);
            drawn_.resize(tracker_.symbol_count(), kNever);
        }
        const bool was = c > 0 && listed_[i] == c - 1;
        listed_[i] = c;
        double price;
        listed_priced += tracker_.price_of(i, price) != PriceSource::None;
        if (was) continue;
        if (last_onset_[i] != kNever && c <= last_onset_[i] + options_.cooldown) continue;
        last_onset_[i] = c;
        ++onsets_;
        tracker_.open(i, static_cast<uint32_t>(c), clock, alert.severity, dominant(alert.factors), false);
    }
    draw_baseline(static_cast<uint32_t>(c), clock, listed_priced);
}

void Evaluation::draw_baseline(uint32_t c, int64_t clock, size_t listed) {
    if (options_.baseline == 0) return;
    const std::vector<uint32_t>& priced = tracker_.priced();
    if (listed_.size() < tracker_.symbol_count()) {
        listed_.resize(tracker_.symbol_count(), kNever);
        last_onset_.resize(tracker_.symbol_count(), kNever);
        drawn_.resize(tracker_.symbol_count(), kNever);
    }
    const size_t eligible = priced.size() - listed;
    const size_t k = std::min<uint64_t>(options_.baseline, eligible);
    if (k == 0) return;
    auto draw = [&](uint32_t i) {
        drawn_[i] = c;
        tracker_.open(i, c, clock, 0.0, -1, true);
    };
    if (eligible <= 2 * k) {
        // few to choose from: the first k of a shuffle
        eligible_.clear();
        for (uint32_t i : priced)
            if (listed_[i] != c) eligible_.push_back(i);
        for (size_t j = 0; j < k; ++j) {
            std::swap(eligible_[j], eligible_[j + random_.below(eligible_.size() - j)]);
            draw(eligible_[j]);
        }
        return;
    }
    // many: draw and throw back what is listed or taken already
    for (size_t taken = 0; taken < k;) {
        const uint32_t i = priced[random_.below(priced.size())];
        if (listed_[i] == c || drawn_[i] == c) continue;
        draw(i);
        ++taken;
    }
}

}  // namespace radar
