// Feeding the events of files, in file order, into a dataset that is scored
// now and then: the replay loop, stopping at each checkpoint.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/byte_source.hpp"
#include "files/file_lines.hpp"
#include "files/file_read.hpp"
#include "files/line_reader.hpp"
#include "market/bars.hpp"
#include "market/dataset.hpp"

namespace radar {

struct Checkpoints {
    uint64_t every = 1000;  // events between checkpoints, when every_ts is 0
    int64_t every_ts = 0;   // > 0: a checkpoint before the first event at or past each multiple
};

struct ReplayedEvent {
    std::string symbol;
    Event event;
};

class FileReplay {
public:
    FileReplay(std::vector<std::string> paths, FileReadOptions options, Checkpoints checkpoints);
    ~FileReplay();

    // Opens every file up front; false with "PATH: reason".
    bool open(std::string& error);

    enum class Stop : uint8_t { Checkpoint, End, Bad, Fatal };
    // Feeds events (into nothing when `dataset` is null: reading only) until a checkpoint is due (Checkpoint), the files are
    // done (End), a bad line stops the replay (Bad: not with skip_bad) or a
    // file can't be read (Fatal: `fatal()`).
    Stop advance(const RadarSpec* spec, Dataset* dataset);

    uint64_t fed() const { return fed_; }      // events read (what `every` counts)
    uint64_t kept() const { return kept_n_; }  // of them, passed on to the dataset: all but what a bar left out
    uint64_t dropped() const { return bars_ ? bars_->dropped() : 0; }  // replaced within their bar
    uint64_t held() const { return fed_ - kept_n_ - dropped(); }      // waiting for their bar to close
    std::optional<int64_t> clock() const { return clock_; }  // largest ts read
    const std::vector<BadLine>& bad() const { return bad_; }
    const std::vector<ReasonCounts>& skipped() const { return skipped_; }
    const std::string& fatal() const { return fatal_; }
    uint64_t bytes_done() const;
    uint64_t bytes_total() const { return total_; }
    // With keep_events, the events passed on since the last call of
    // take_events(), in the order the dataset took them.
    void keep_events(bool keep) { keep_ = keep; }
    std::vector<ReplayedEvent> take_events() { return std::move(kept_); }

private:
    bool next_event(std::string_view& symbol, Event& event);  // false at the end or a stop

    std::vector<std::string> paths_;
    FileReadOptions options_;
    Checkpoints checkpoints_;
    std::vector<std::unique_ptr<ByteSource>> sources_;
    size_t file_ = 0;
    std::unique_ptr<LineReader> reader_;
    std::unique_ptr<FileLines> lines_;
    uint64_t done_before_ = 0;  // bytes of the files already finished
    uint64_t total_ = 0;

    std::optional<BarFilter> bars_;
    uint64_t fed_ = 0;
    uint64_t kept_n_ = 0;
    uint64_t since_ = 0;  // events since the last checkpoint by count
    std::optional<int64_t> clock_;
    std::optional<int64_t> mark_;
    bool held_ = false;  // an event read but not fed: it comes after the checkpoint
    std::string held_symbol_;
    Event held_event_;
    std::vector<BadLine> bad_;
    std::vector<ReasonCounts> skipped_;
    std::string fatal_;
    bool stopped_ = false;
    bool keep_ = false;
    std::vector<ReplayedEvent> kept_;
};

}  // namespace radar
