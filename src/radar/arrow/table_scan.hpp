// Reading an Arrow stream of market events into a dataset: batches pulled
// from the stream on the calling thread, cut into parts of rows that every
// core reads apart into partial states, merged in order as the file reader
// merges its parts, so the result is that of one reading in order.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "arrow/row_event.hpp"
#include "market/bars.hpp"
#include "market/dataset.hpp"
#include "spec/spec.hpp"

namespace radar::arrow {

struct TableScanOptions {
    std::array<std::string, kFieldCount> names;  // the table's name for each field
    std::optional<Event::Kind> kind;             // every row's kind, when the table has no kind column
    bool skip_bad = false;                       // false: stop at the first refused row
    size_t threads = 0;                          // 0: one per core
    int64_t bar = 0;                             // > 0: events thinned to bars (bars.hpp)
    int64_t part_rows = 0;                       // rows a thread reads at once; 0: the default

    TableScanOptions() {
        for (size_t f = 0; f < kFieldCount; ++f) names[f] = kFieldNames[f];
    }
};

struct BadRow {
    uint64_t row = 0;  // 1-based, across the whole stream
    std::string error;
};

struct TableScanResult {
    Dataset dataset;
    std::optional<BarFilter> bars;  // with a bar: the snapshots still held
    std::vector<BadRow> bad;        // in row order; one at most unless skip_bad
    uint64_t events = 0;            // read, whether or not a bar kept them
    uint64_t rows = 0;
    // A row needed a column the table lacks: then nothing else counts.
    LayoutError missing;
    std::string fatal;  // the stream failed; then nothing else counts
    bool interrupted = false;
};

class TableScan {
public:
    // Takes the stream over (its release is called here).
    TableScan(ArrowArrayStream stream, TableScanOptions options);
    ~TableScan();
    TableScan(const TableScan&) = delete;
    TableScan& operator=(const TableScan&) = delete;

    // Reads the schema and finds the columns; false with the error.
    bool open(LayoutError& error);
    // Reads every batch into states with the spec's window. Once, after open().
    TableScanResult run(const RadarSpec& spec);

    const TableLayout& layout() const { return layout_; }
    uint64_t rows_done() const { return rows_done_.load(std::memory_order_relaxed); }

private:
    ArrowArrayStream stream_;
    TableScanOptions options_;
    TableLayout layout_;
    std::atomic<uint64_t> rows_done_{0};
};

}  // namespace radar::arrow
