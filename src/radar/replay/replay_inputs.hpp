// The events of several files as one stream: merged by timestamp (each
// file in its own order, the smallest next timestamp first, ties in the
// order the files were given) or one file after another.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_read.hpp"
#include "market/event.hpp"

namespace radar {

// The first place a file's timestamps went back by more than the allowed step.
struct Disorder {
    size_t file = 0;
    uint64_t line = 0;
    int64_t from = 0;  // the largest ts of that file before the line
    int64_t to = 0;    // the line's ts
};

class ReplayInputs {
public:
    // `step`: how far back a file's timestamps may go before it is reported
    // (merged order only).
    ReplayInputs(std::vector<std::string> paths, FileReadOptions options, bool merged, int64_t step);
    ~ReplayInputs();
    ReplayInputs(const ReplayInputs&) = delete;
    ReplayInputs& operator=(const ReplayInputs&) = delete;

    // Checks every file before any event is handed out: each can be opened,
    // and, merged, each one's header and first event are read. False with
    // "PATH: reason" when a file can't be read; a bad first line is not an
    // error here but the first thing next() reports.
    bool open(std::string& error);

    // The next event; false at the end, on a bad line (not with skip_bad),
    // on a file that can't be read (then fatal() is set), or when a read was
    // interrupted (interrupted(): calling again reads on). `symbol` stays
    // valid until the next call.
    bool next(std::string_view& symbol, Event& event);

    bool stopped() const { return stopped_; }
    bool interrupted() const { return interrupted_; }
    // In file order, then line order, however the merge came upon them.
    const std::vector<BadLine>& bad() const;
    const std::vector<ReasonCounts>& skipped() const { return skipped_; }
    const std::string& fatal() const { return fatal_; }
    const std::optional<Disorder>& disorder() const { return disorder_; }
    uint64_t bytes_done() const;
    uint64_t bytes_total() const { return total_; }

private:
    struct Input;
    bool start(size_t i);               // opens input i for reading; false on a fatal error
    bool pull(size_t i);                // reads input i's next event into its head; false at its end or a stop
    void finish(size_t i);              // lets go of input i's buffers
    bool fail(size_t i, const std::string& why);
    bool before(size_t a, size_t b) const;  // a's head comes first
    void sift_down(size_t at);

    std::vector<std::string> paths_;
    FileReadOptions options_;
    bool merged_;
    int64_t step_;
    std::vector<std::unique_ptr<Input>> inputs_;
    std::vector<size_t> heap_;  // merged: the inputs holding a head, smallest first
    size_t current_ = 0;        // file order: the input being read
    std::optional<size_t> served_;  // the input whose head was handed out last: pulled on the next call
    uint64_t done_bytes_ = 0;   // of the inputs finished
    uint64_t total_ = 0;
    bool stopped_ = false;
    bool interrupted_ = false;
    mutable std::vector<BadLine> bad_;
    mutable bool bad_sorted_ = true;
    std::vector<ReasonCounts> skipped_;
    std::string fatal_;
    std::optional<Disorder> disorder_;
};

}  // namespace radar
