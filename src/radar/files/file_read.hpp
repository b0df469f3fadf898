// Reading whole files of market events into a dataset: JSON Lines or
// tardis-style CSV, plain or gzip, on every core, in bounded memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "market/bars.hpp"
#include "market/dataset.hpp"
#include "spec/spec.hpp"

namespace radar {

enum class FileFormat : uint8_t { Auto, JsonLines, Tardis };

struct FileReadOptions {
    FileFormat format = FileFormat::Auto;  // Auto: told by each file's first line
    bool skip_bad = false;                 // false: stop at the first bad line
    bool notional = false;                 // tardis liquidation qty = amount * price
    size_t threads = 0;                    // 0: one per core
    // Plain files larger than twice this are read in ranges of about this
    // size, on as many threads; 0: the default (16 MiB).
    uint64_t range_bytes = 0;
    // > 0: events thinned to bars of this many timestamp units (bars.hpp).
    int64_t bar = 0;
};

// Counts by reason, in the order each reason first came up.
class ReasonCounts {
public:
    void add(std::string_view reason, uint64_t n = 1) {
        for (auto& [r, count] : counts_)
            if (r == reason) {
                count += n;
                return;
            }
        counts_.emplace_back(std::string(reason), n);
    }
    auto begin() const { return counts_.begin(); }
    auto end() const { return counts_.end(); }
    bool empty() const { return counts_.empty(); }

private:
    std::vector<std::pair<std::string, uint64_t>> counts_;
};

struct BadLine {
    size_t file = 0;   // index into the paths
    uint64_t line = 0; // 1-based
    std::string error;
};

struct FileReadResult {
    Dataset dataset;
    std::vector<BadLine> bad;  // input order; one at most unless skip_bad
    // Tardis rows left out, per file, by reason.
    std::vector<ReasonCounts> skipped;
    uint64_t events = 0;  // read, whether or not a bar kept them
    uint64_t lines = 0;
    std::vector<uint64_t> file_lines;  // lines read, per path
    // With a bar: the snapshots still held, for the caller to close
    // (close_all into the dataset) or to carry on into later files.
    std::optional<BarFilter> bars;
    std::string fatal;  // "PATH: reason" when a file could not be read; then nothing else counts
    // The reading stopped for an interruption (interrupt.hpp); then nothing else counts.
    bool interrupted = false;
};

// The lines of a plain file that start in [begin, end): a piece of a file
// read apart from the rest (line numbers then count from the range's start).
struct ByteRange {
    uint64_t begin = 0;
    uint64_t end = UINT64_MAX;
};

class FileRead {
public:
    // `ranges`: empty, or one per path.
    FileRead(std::vector<std::string> paths, FileReadOptions options, std::vector<ByteRange> ranges = {});
    ~FileRead();
    FileRead(const FileRead&) = delete;
    FileRead& operator=(const FileRead&) = delete;

    // Looks at every file up front, so a missing or unreadable one is found
    // before any work; each is opened only when its turn comes (an open that
    // fails then is a fatal error of the same form). False with "PATH: reason".
    bool open(std::string& error);
    // Reads everything into states with the spec's window. Call once, after open().
    FileReadResult run(const RadarSpec& spec);

    // Progress, readable from any thread while run() works.
    uint64_t bytes_done() const { return done_.load(std::memory_order_relaxed); }
    uint64_t bytes_total() const { return total_; }

    struct Part;
    struct Plan;

private:
    std::vector<std::string> paths_;
    FileReadOptions options_;
    std::vector<ByteRange> ranges_;
    std::unique_ptr<Plan> plan_;
    std::atomic<uint64_t> done_{0};
    uint64_t total_ = 0;
};

}  // namespace radar
