#include "replay/file_replay.hpp"

#include <thread>

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

FileReplay::FileReplay(std::vector<std::string> paths, FileReadOptions options, Checkpoints checkpoints)
    : paths_(std::move(paths)), options_(options), checkpoints_(checkpoints) {
    if (checkpoints_.every == 0) checkpoints_.every = 1;
    if (options_.bar > 0) bars_.emplace(options_.bar);
}

FileReplay::~FileReplay() = default;

bool FileReplay::open(std::string& error) {
    skipped_.assign(paths_.size(), {});
    for (const std::string& path : paths_) {
        std::string why;
        auto source = ByteSource::open(path, why);
        if (!source) {
            error = (path == "-" ? std::string("<stdin>") : path) + ": " + why;
            return false;
        }
        total_ += source->size();
        sources_.push_back(std::move(source));
    }
    return true;
}

uint64_t FileReplay::bytes_done() const {
    uint64_t done = done_before_;
    if (file_ < sources_.size() && sources_[file_]) done += sources_[file_]->consumed();
    return done;
}

bool FileReplay::next_event(std::string_view& symbol, Event& event) {
    std::string message;
    Line line;
    while (file_ < sources_.size()) {
        if (!reader_) {
            // the replay parses on one thread: another can inflate ahead of it
            if (std::thread::hardware_concurrency() > 1) sources_[file_]->read_ahead();
            reader_ = std::make_unique<LineReader>(*sources_[file_]);
            lines_ = std::make_unique<FileLines>(options_.format, paths_[file_], options_.notional);
        }
        std::string error;
        const int r = reader_->next(line, error);
        if (r < 0) {
            fatal_ = (paths_[file_] == "-" ? std::string("<stdin>") : paths_[file_]) + ": " + error;
            stopped_ = true;
            return false;
        }
        if (r == 0) {
            done_before_ += sources_[file_]->size();
            reader_.reset();
            lines_.reset();
            sources_[file_].reset();
            ++file_;
            continue;
        }
        switch (lines_->line(line, symbol, event, message)) {
            case FileLines::What::Nothing: break;
            case FileLines::What::Event: return true;
            case FileLines::What::Skipped: skipped_[file_].add(message); break;
            case FileLines::What::Bad:
                bad_.push_back(BadLine{file_, line.number, std::move(message)});
                message.clear();
                if (!options_.skip_bad) {
                    stopped_ = true;
                    return false;
                }
                break;
        }
    }
    return false;
}

FileReplay::Stop FileReplay::advance(const RadarSpec* spec, Dataset* dataset) {
    auto pass = [&](std::string_view symbol, const Event& event) {
        if (dataset != nullptr) dataset->ingest(*spec, symbol, event);
        ++kept_n_;
        if (keep_) kept_.push_back(ReplayedEvent{std::string(symbol), event});
    };
    auto feed = [&](std::string_view symbol, const Event& event) {
        ++fed_;
        ++since_;
        if (!clock_ || event.ts > *clock_) clock_ = event.ts;
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
        if (stopped_ || !next_event(symbol, event)) break;
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
    // The end, or a stop: what was read before it is all passed on.
    if (bars_) bars_->close_all(pass);
    if (!fatal_.empty()) return Stop::Fatal;
    if (stopped_) return Stop::Bad;
    return Stop::End;
}

}  // namespace radar
