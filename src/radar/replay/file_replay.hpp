// Feeding the events of files, merged by time or in file order, into a
// dataset that is scored now and then: the replay loop, stopping at each
// checkpoint.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/file_read.hpp"
#include "market/bars.hpp"
#include "market/dataset.hpp"
#include "replay/event_input.hpp"
#include "replay/replay_inputs.hpp"

namespace radar {

struct Checkpoints {
    uint64_t every = 1000;  // events between checkpoints, when every_ts is 0
    int64_t every_ts = 0;   // > 0: a checkpoint before the first event at or past each multiple
};

// Sees every event the dataset takes, in the order it takes them.
class EventObserver {
public:
    virtual ~EventObserver() = default;
    virtual void take(std::string_view symbol, const Event& event) = 0;
};

struct ReplayedEvent {
    std::string symbol;
    Event event;
};

class FileReplay {
public:
    // `merged`: the files' events in timestamp order (ReplayInputs); else one file after another.
    FileReplay(std::vector<std::string> paths, FileReadOptions options, Checkpoints checkpoints, bool merged = false);
    ~FileReplay();

    // Checks the files before any event is read; false with "PATH: reason".
    bool open(std::string& error);

    enum class Stop : uint8_t { Checkpoint, End, Bad, Fatal, Interrupted };
    // Feeds events (into nothing when `dataset` is null: reading only) until a checkpoint is due (Checkpoint), the files are
    // done (End), a bad line stops the replay (Bad: not with skip_bad) or a
    // file can't be read (Fatal: `fatal()`), or a read was interrupted
    // (Interrupted: calling again reads on).
    Stop advance(const RadarSpec* spec, Dataset* dataset);

    uint64_t fed() const { return fed_; }      // events read (what `every` counts)
    uint64_t kept() const { return kept_n_; }  // of them, passed on to the dataset: all but what a bar left out
    uint64_t dropped() const { return bars_ ? bars_->dropped() : 0; }  // replaced within their bar
    uint64_t held() const { return fed_ - kept_n_ - dropped(); }      // waiting for their bar to close
    std::optional<int64_t> clock() const { return clock_; }  // largest ts read
    std::optional<int64_t> first_ts() const { return first_ts_; }  // smallest ts read
    const std::vector<BadLine>& bad() const { return input_ ? input_->bad() : inputs_.bad(); }
    const std::vector<ReasonCounts>& skipped() const { return inputs_.skipped(); }
    const std::string& fatal() const { return input_ ? input_->fatal() : inputs_.fatal(); }
    // Files read merged by time: where one went back. A table read in its
    // own order (Parquet in path order): the row where time went back.
    const std::optional<Disorder>& disorder() const { return input_ ? input_disorder_ : inputs_.disorder(); }
    bool interrupted() const { return !input_ && inputs_.interrupted(); }
    uint64_t bytes_done() const { return input_ ? input_->done() : inputs_.bytes_done(); }
    uint64_t bytes_total() const { return input_ ? 0 : inputs_.bytes_total(); }
    // Reads the events of `input` instead of the files (given none); before open().
    void use_input(std::unique_ptr<EventInput> input) { input_ = std::move(input); }
    void set_observer(EventObserver* observer) { observer_ = observer; }
    // Events before `ts` are read and counted, but neither fed nor clocked:
    // a run resumed from a state saved at checkpoint `ts` goes on from there.
    void skip_before(int64_t ts) { skip_before_ = ts; }
    uint64_t skipped_before() const { return skipped_before_; }
    // With keep_events, the events passed on since the last call of
    // take_events(), in the order the dataset took them.
    void keep_events(bool keep) { keep_ = keep; }
    std::vector<ReplayedEvent> take_events() { return std::move(kept_); }

private:
    Checkpoints checkpoints_;
    ReplayInputs inputs_;
    std::unique_ptr<EventInput> input_;  // read instead of the files, when given

    std::optional<BarFilter> bars_;
    uint64_t fed_ = 0;
    uint64_t kept_n_ = 0;
    uint64_t since_ = 0;  // events since the last checkpoint by count
    std::optional<int64_t> clock_;
    std::optional<int64_t> first_ts_;
    std::optional<int64_t> mark_;
    std::optional<int64_t> skip_before_;
    uint64_t skipped_before_ = 0;
    bool held_ = false;  // an event read but not fed: it comes after the checkpoint
    std::string held_symbol_;
    Event held_event_;
    EventObserver* observer_ = nullptr;
    bool keep_ = false;
    std::vector<ReplayedEvent> kept_;
    // the input's order: its largest ts so far, and where it first went back by more than a step
    std::optional<int64_t> input_max_;
    std::optional<Disorder> input_disorder_;
};

}  // namespace radar
