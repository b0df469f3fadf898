// Rows of tardis-style CSV files (one exchange data type per file) decoded
// into events. No I/O here: the file reader hands over one line at a time,
// without its terminator and surrounding " \t\r\n", blank lines left out,
// the first line being the header.
//
// Three kinds of file are read, told apart by their header:
//   derivative_ticker -> derivatives (open_interest, funding_rate, mark_price)
//   book_snapshot_N   -> orderbook (top level: bids[0].*, asks[0].*)
//   liquidations      -> liquidation (side, price, amount; qty = amount, or
//                        amount * price when notional quantities are asked for)
// Timestamps are microseconds in the file and milliseconds (floored) in the
// event; `timestamp` falls back to `local_timestamp` when empty. Rows with an
// empty field the event needs are skipped with a reason, never read as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/error.hpp"
#include "market/event.hpp"

namespace radar {

enum class TardisKind : uint8_t { Ticker, Book, Liquidations };

// True when a file's first non-blank line is a CSV header rather than JSON:
// it does not open with '{' or '[' and has "symbol" and "timestamp" columns.
// Such a file is read as tardis CSV, so an unreadable header gets an error
// in CSV terms instead of a JSON parse error.
bool looks_like_tardis_header(std::string_view line);

class TardisTable {
public:
    // From the header line; `file_name` is the path as given: a
    // liquidations-shaped file whose base name, lowercased, says "trades"
    // and not "liquidation" is refused. On failure the error's `message` is
    // the reason alone (the caller prefixes "FILE:1: "); its render() would
    // add a "parse: " prefix, so use `message`.
    static Result<TardisTable> from_header(std::string_view header, std::string_view file_name, bool notional);

    enum class Row : uint8_t { Event, Skipped, Error };

    // Decodes one data row.
    // Event: `symbol` and `event` set. `symbol` is a view into `line`, or,
    //   for a quoted symbol cell whose text is not a plain slice of the line
    //   (doubled quotes and the like), into this table's own buffer, valid
    //   until the next call. The text is not checked (it may be empty).
    // Skipped: `reason` set ("no open_interest", "no timestamp", "no side",
    //   "side unknown", ...), to be counted by reason.
    // Error: `reason` set to the message ("expected 11 fields, got 3",
    //   "open_interest: not a number: 'abc'", ...).
    // Allocates nothing for usual rows. Not for concurrent use on one table.
    Row row(std::string_view line, std::string_view& symbol, Event& event, std::string& reason) const;

    TardisKind kind() const { return kind_; }
    // "derivative_ticker", "book_snapshot" or "liquidations"
    std::string_view kind_name() const;
    // Number of columns of the header; every row must have as many fields.
    size_t width() const { return width_; }

    // A cell as the row decoder sees it: its text when `plain`, else the raw
    // quoted span that still needs unquoting. Public for the file's helpers.
    struct Cell {
        std::string_view text;
        bool plain = true;
    };
    static constexpr size_t kMaxSlots = 8;

private:
    TardisTable() = default;

    // Slots: symbol, timestamp, local_timestamp, then the kind's fields in
    // reading order (ticker: open_interest, funding_rate, mark_price; book:
    // bids[0].price, bids[0].amount, asks[0].price, asks[0].amount;
    // liquidations: side, price, amount).
    static constexpr size_t kSymbol = 0;
    static constexpr size_t kTs = 1;
    static constexpr size_t kLocalTs = 2;
    static constexpr size_t kFirstField = 3;

    struct Wanted {
        size_t column;
        uint8_t slot;
    };

    TardisKind kind_ = TardisKind::Ticker;
    bool notional_ = false;
    bool has_local_ts_ = false;
    size_t width_ = 0;
    // Columns to keep, ascending by column: a row is only cut into cells up
    // to the last of them, the rest of its commas merely counted.
    Wanted wanted_[kMaxSlots] = {};
    size_t n_wanted_ = 0;
    mutable std::string symbol_buf_;
};

}  // namespace radar
