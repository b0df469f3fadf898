#include "replay/file_replay.hpp"


namespace radar {

namespace {

// Floor division, as the marks are multiples below or at a timestamp.
int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// The first multiple of `step` above `ts`, saturating.
int64_t mark_after(int64_t ts, int64_t step) {
    const int64_t q = floor_div(ts, step);
    if (q >= INT64_MAX / step) return INT64_MAX;
    return (q + 1) * step;
}

}  // namespace

FileReplay::FileReplay(std::vector<std::string> paths, FileReadOptions options, Checkpoints checkpoints, bool merged)
    : checkpoints_(checkpoints),
      // a file may go back in time by less than a checkpoint's step unremarked
      inputs_(std::move(paths), options, merged, checkpoints.every_ts > 0 ? checkpoints.every_ts : 0) {
    if (checkpoints_.every == 0) checkpoints_.every = 1;
    if (options.bar > 0) bars_.emplace(options.bar);
}

FileReplay::~FileReplay() = default;

bool FileReplay::open(std::string& error) { return input_ ? input_->open(error) : inputs_.open(error); }

FileReplay::Stop FileReplay::advance(const RadarSpec* spec, Dataset* dataset) {
    auto pass = [&](std::string_view symbol, const Event& event) {
        if (dataset != nullptr) dataset->ingest(*spec, symbol, event);
        if (observer_ != nullptr) observer_->take(symbol, event);
        ++kept_n_;
        if (keep_) kept_.push_back(ReplayedEvent{std::string(symbol), event});
    };
    auto feed = [&](std::string_view symbol, const Event& event) {
        ++fed_;
        ++since_;
        if (!clock_ || event.ts > *clock_) clock_ = event.ts;
        if (!first_ts_ || event.ts < *first_ts_) first_ts_ = event.ts;
        if (bars_)
            bars_->take(symbol, event, pass);
        else
            pass(symbol, event);
    };
    // A checkpoint sees every bar that ended by the latest time read.
    auto checkpoint = [&](std::optional<int64_t> clock) {
        if (bars_ && clock) bars_->close_until(*clock, pass);
        return Stop::Checkpoint;
    };
    if (held_) {
        held_ = false;
        feed(held_symbol_, held_event_);
    }
    std::string_view symbol;
    Event event;
    for (;;) {
        if (checkpoints_.every_ts <= 0 && since_ >= checkpoints_.every) {
            since_ = 0;
            return checkpoint(clock_);
        }
        if (!(input_ ? input_->next(symbol, event) : inputs_.next(symbol, event))) break;
        if (input_) {
            if (!input_max_ || event.ts >= *input_max_) {
                input_max_ = event.ts;
            } else if (!input_disorder_) {
                // unsigned: the gap may not fit in a signed difference
                const uint64_t back = static_cast<uint64_t>(*input_max_) - static_cast<uint64_t>(event.ts);
                const uint64_t step = checkpoints_.every_ts > 0 ? static_cast<uint64_t>(checkpoints_.every_ts) : 0;
                if (back > step) input_disorder_ = Disorder{0, input_->done(), *input_max_, event.ts};
            }
        }
        if (skip_before_ && event.ts < *skip_before_) {
            ++skipped_before_;
            continue;
        }
        if (checkpoints_.every_ts > 0) {
            if (!mark_) {
                mark_ = mark_after(event.ts, checkpoints_.every_ts);
            } else if (event.ts >= *mark_) {
                mark_ = mark_after(event.ts, checkpoints_.every_ts);
                held_ = true;
                held_symbol_.assign(symbol);
                held_event_ = event;
                return checkpoint(clock_ && *clock_ > event.ts ? clock_ : std::optional<int64_t>(event.ts));
            }
        }
        feed(symbol, event);
    }
    // An interruption is no end: the bars stay open and the next call reads on.
    if (interrupted()) return Stop::Interrupted;
    // The end, or a stop: what was read before it is all passed on.
    if (bars_) bars_->close_all(pass);
    if (!fatal().empty()) return Stop::Fatal;
    if (input_ ? input_->stopped() : inputs_.stopped()) return Stop::Bad;
    return Stop::End;
}

}  // namespace radar
