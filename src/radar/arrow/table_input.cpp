#include "arrow/table_input.hpp"

namespace radar::arrow {

TableInput::TableInput(ArrowArrayStream stream, TableScanOptions options)
    : stream_(stream), options_(std::move(options)) {}

TableInput::~TableInput() {
    release_batch();
    if (stream_.release != nullptr) stream_.release(&stream_);
}

void TableInput::release_batch() {
    if (batch_.release != nullptr) batch_.release(&batch_);
    batch_ = ArrowArray{};
    columns_.length = 0;
    row_ = 0;
}

bool TableInput::open(std::string& error) {
    ArrowSchema schema{};
    if (stream_.get_schema(&stream_, &schema) != 0) {
        error = "the table's schema could not be read: " + stream_error(stream_, "no reason given");
        return false;
    }
    const bool ok = bind_layout(schema, options_.names, options_.kind, layout_, layout_error_);
    if (schema.release != nullptr) schema.release(&schema);
    if (!ok) {
        error = layout_error_.missing.empty() ? layout_error_.message
                                              : "the table has no column \"" + layout_error_.missing + "\"";
        return false;
    }
    reader_ = std::make_unique<RowReader>(layout_);
    return true;
}

bool TableInput::next(std::string_view& symbol, Event& event) {
    std::string error;
    Field missing = kFieldCount;
    for (;;) {
        if (ended_ || stopped_ || !fatal_.empty()) return false;
        if (row_ >= columns_.length) {
            release_batch();
            if (stream_.get_next(&stream_, &batch_) != 0) {
                fatal_ = "reading the table: " + stream_error(stream_, "the stream failed");
                return false;
            }
            if (batch_.release == nullptr) {
                ended_ = true;
                return false;
            }
            if (batch_.n_children != static_cast<int64_t>(layout_.names.size()) ||
                !columns_.bind(layout_, batch_, error)) {
                fatal_ = "reading the table: " + (error.empty() ? std::string("a batch does not match its schema")
                                                                : error);
                return false;
            }
            continue;
        }
        const int64_t row = row_++;
        ++rows_;
        switch (reader_->read(columns_, row, symbol, event, error, missing)) {
            case RowReader::What::Event: return true;
            case RowReader::What::Bad:
                bad_.push_back(BadLine{0, rows_, std::move(error)});
                error.clear();
                if (!options_.skip_bad) {
                    stopped_ = true;
                    return false;
                }
                break;
            case RowReader::What::Missing: {
                std::string kind;
                for (const KindFields& kf : kKindFields)
                    for (size_t j = 0; j < kf.count; ++j)
                        if (kf.fields[j] == missing) kind = kf.name;
                fatal_ = "the table has no column \"" + options_.names[missing] + "\", which " + kind + " rows need";
                return false;
            }
        }
    }
}

}  // namespace radar::arrow
