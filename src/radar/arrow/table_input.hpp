// A table's rows, one after another, as the events of a replay: the batches
// of an Arrow stream read in order on the replay's thread, each row judged
// as the table scan judges it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arrow/table_scan.hpp"
#include "replay/event_input.hpp"

namespace radar::arrow {

class TableInput final : public EventInput {
public:
    // Takes the stream over (its release is called here).
    TableInput(ArrowArrayStream stream, TableScanOptions options);
    ~TableInput() override;

    bool open(std::string& error) override;
    bool next(std::string_view& symbol, Event& event) override;
    bool stopped() const override { return stopped_; }
    const std::vector<BadLine>& bad() const override { return bad_; }
    const std::string& fatal() const override { return fatal_; }
    uint64_t done() const override { return rows_; }

    // What open() found missing, when it was a column.
    const LayoutError& layout_error() const { return layout_error_; }
    const TableLayout& layout() const { return layout_; }

private:
    void release_batch();

    ArrowArrayStream stream_;
    TableScanOptions options_;
    TableLayout layout_;
    LayoutError layout_error_;
    std::unique_ptr<RowReader> reader_;
    ArrowArray batch_{};
    BatchColumns columns_;
    int64_t row_ = 0;    // the next row of the batch
    uint64_t rows_ = 0;  // rows handed out or refused so far
    std::vector<BadLine> bad_;
    std::string fatal_;
    bool stopped_ = false;
    bool ended_ = false;
};

}  // namespace radar::arrow
