// The columns of an Arrow table as the members of the events they hold:
// which column stands for which event field, what type it is, and each
// cell read as the JSON value it would be in that event's "feed" command.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "market/event.hpp"

namespace radar::arrow {

// The names the JSON Lines form gives an event's members.
enum Field : uint8_t {
    kSymbol, kKind, kTs,
    kOpenInterest, kFundingRate, kMarkPrice,
    kBidVolume, kAskVolume, kBestBid, kBestAsk,
    kSide, kQty, kPrice,
    kFieldCount
};
inline constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "symbol", "kind", "ts", "open_interest", "funding_rate", "mark_price", "bid_volume",
    "ask_volume", "best_bid", "best_ask", "side", "qty", "price"};

// The fields each kind reads after "ts", in the order an event holds them
// (a liquidation's side first, then f[0], f[1]).
struct KindFields {
    std::string_view name;
    size_t count;
    Field fields[4];
};
inline constexpr KindFields kKindFields[3] = {
    {"derivatives", 3, {kOpenInterest, kFundingRate, kMarkPrice, kFieldCount}},
    {"orderbook", 4, {kBidVolume, kAskVolume, kBestBid, kBestAsk}},
    {"liquidation", 3, {kSide, kQty, kPrice, kFieldCount}},
};

enum class Type : uint8_t {
    Null, Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float32, Float64,
    Utf8, LargeUtf8, Utf8View, Timestamp, Decimal,
};

// A column's type, from its format string (and its dictionary's).
struct ColumnType {
    Type type = Type::Null;
    // Timestamps: how the unit turns into milliseconds. mul > 1 for seconds
    // (and days), div > 1 for micro- and nanoseconds (floored).
    int64_t mul = 1;
    int64_t div = 1;
    bool dictionary = false;
    Type index = Type::Int32;  // a dictionary's index type
    // Decimals: the digits after the point (negative: zeros before it), and the bits of each value.
    int32_t scale = 0;
    int32_t bits = 128;
};

// The type of a column, or nullopt with `why` naming what it is.
std::optional<ColumnType> column_type(const ArrowSchema& schema, std::string& why);

// One cell as the JSON value it stands for. Absent: a null (the member is
// left out of the event, as a missing key would be).
struct Cell {
    enum Kind : uint8_t { Absent, Bool, Unsigned, Signed, Double, String } kind = Absent;
    bool b = false;
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0;
    std::string_view s;
};

// One column of one batch: its buffers, ready to read cells from.
struct ColumnView {
    ColumnType type;
    const ArrowArray* array = nullptr;
    int64_t offset = 0;  // the array's own offset plus the batch's
    const uint8_t* validity = nullptr;
    const void* values = nullptr;
    const void* extra = nullptr;  // string bytes, or view buffers
    // dictionary values, when dictionary-encoded
    const ArrowArray* dict = nullptr;
    const uint8_t* dict_validity = nullptr;
    const void* dict_values = nullptr;
    const void* dict_extra = nullptr;
    bool all_null = false;

    void bind(const ColumnType& t, const ArrowArray* a, int64_t batch_offset);
    Cell cell(int64_t row) const;
};

// A decimal of `bytes` little-endian two's-complement bytes at `p`, as the
// number its text would be in JSON: an integer when it has no digits after
// the point, else the double nearest to it, as the JSON reader rounds.
Cell decimal_cell(const unsigned char* p, int32_t bytes, int32_t scale);

// A timestamp of some unit as the integer of milliseconds it is, floored,
// or, past the 64-bit range, the number JSON would read that integer as.
Cell timestamp_cell(int64_t value, const ColumnType& type);

}  // namespace radar::arrow
