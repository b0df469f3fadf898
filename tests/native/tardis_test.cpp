// Tardis CSV rows into events: headers, skips, errors, quoting, timestamps.
// Prints each failed case and exits 1 when any failed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "files/tardis.hpp"

using radar::Event;
using radar::Side;
using radar::TardisKind;
using radar::TardisTable;
using Row = TardisTable::Row;

namespace {

int failures = 0;

void fail(std::string_view where, const std::string& what) {
    ++failures;
    std::printf("FAIL %.*s: %s\n", static_cast<int>(where.size()), where.data(), what.c_str());
}

std::string quoted(std::string_view s) { return "[" + std::string(s) + "]"; }

constexpr std::string_view TICKER =
    "exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,predicted_funding_rate,"
    "open_interest,last_price,index_price,mark_price";
constexpr std::string_view BOOK =
    "exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,bids[0].price,bids[0].amount,"
    "asks[1].price,asks[1].amount,bids[1].price,bids[1].amount";
constexpr std::string_view LIQ = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount";
constexpr std::string_view LIQ_NO_ID = "exchange,symbol,timestamp,local_timestamp,side,price,amount";
constexpr std::string_view LIQ_NO_LOCAL = "symbol,timestamp,side,price,amount";

// --- headers -------------------------------------------------------------------

struct HeaderCase {
    std::string_view header;
    std::string_view file;
    bool ok;
    TardisKind kind;          // when ok
    std::string_view error;   // when not
};

const HeaderCase kHeaders[] = {
    {TICKER, "t.csv", true, TardisKind::Ticker, ""},
    {BOOK, "b.csv.gz", true, TardisKind::Book, ""},
    {LIQ, "l.csv", true, TardisKind::Liquidations, ""},
    {LIQ_NO_ID, "l.csv", true, TardisKind::Liquidations, ""},
    {"\"symbol\",timestamp,side,price,\"amount\"", "l.csv", true, TardisKind::Liquidations, ""},
    // a header with a book's and a ticker's columns reads as a book
    {"symbol,timestamp,open_interest,funding_rate,mark_price,bids[0].price,bids[0].amount,asks[0].price,"
     "asks[0].amount",
     "x.csv", true, TardisKind::Book, ""},
    // trades files have the columns of liquidations: refused by name
    {LIQ, "data/binance_trades_2024.csv", false, TardisKind::Liquidations,
     "a trades file (its columns are those of liquidations); only liquidations become events"},
    {LIQ, "/x/TRADES.csv.gz", false, TardisKind::Liquidations,
     "a trades file (its columns are those of liquidations); only liquidations become events"},
    {LIQ, "trades_liquidations.csv", true, TardisKind::Liquidations, ""},
    {LIQ, "trades/liq.csv", true, TardisKind::Liquidations, ""},  // only the base name counts
    {"exchange,symbol,timestamp,local_timestamp,asks[0].price,bids[1].price", "b.csv", false, TardisKind::Book,
     "not a tardis CSV header: a book_snapshot file needs bids[0].price, bids[0].amount, asks[0].amount (missing)"},
    {"exchange,symbol,timestamp,bids[0].amount,asks[0].price", "b.csv", false, TardisKind::Book,
     "not a tardis CSV header: a book_snapshot file needs bids[0].price, asks[0].amount (missing)"},
    {"exchange,timestamp,open_interest,funding_rate,mark_price", "t.csv", false, TardisKind::Ticker,
     "not a tardis CSV header: a derivative_ticker file needs symbol (missing)"},
    {"exchange,symbol,timestamp,funding_rate,index_price", "t.csv", false, TardisKind::Ticker,
     "not a tardis CSV header: a derivative_ticker file needs open_interest, mark_price (missing)"},
    {"exchange,symbol,local_timestamp,id,side,price,amount", "l.csv", false, TardisKind::Liquidations,
     "not a tardis CSV header: a liquidations file needs timestamp (missing)"},
    {"exchange,symbol,local_timestamp,id,side,price,amount", "trades.csv", false, TardisKind::Liquidations,
     "not a tardis CSV header: a trades file; only derivative_ticker, book_snapshot_N and liquidations are read"},
    {"exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount", "q.csv", false,
     TardisKind::Ticker,
     "not a tardis CSV header: a quotes file; only derivative_ticker, book_snapshot_N and liquidations are read"},
    {"exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount", "i.csv", false, TardisKind::Ticker,
     "not a tardis CSV header: an incremental_book_L2 file; only derivative_ticker, book_snapshot_N and "
     "liquidations are read"},
    // with `id` it has always been read as liquidations
    {"exchange,symbol,timestamp,local_timestamp,id,is_snapshot,side,price,amount", "l.csv", true,
     TardisKind::Liquidations, ""},
    {"a,b,c", "x.csv", false, TardisKind::Ticker,
     "not a tardis CSV header: expected the columns of derivative_ticker, book_snapshot_N or liquidations"},
    {"symbol,timestamp", "x.csv", false, TardisKind::Ticker,
     "not a tardis CSV header: expected the columns of derivative_ticker, book_snapshot_N or liquidations"},
    {"symbol,timestamp,\"side\r\",price\r,amount", "l.csv", false, TardisKind::Ticker,
     "new-line character seen in unquoted field"},
};

void check_headers() {
    for (const HeaderCase& c : kHeaders) {
        auto table = TardisTable::from_header(c.header, c.file, false);
        const std::string where = std::string(c.file) + " " + quoted(c.header);
        if (table.ok() != c.ok) {
            fail(where, table.ok() ? "accepted" : "refused: " + table.error().message);
        } else if (c.ok && table.value().kind() != c.kind) {
            fail(where, "wrong kind");
        } else if (!c.ok && table.error().message != c.error) {
            fail(where, "error " + quoted(table.error().message));
        }
    }
}

struct DetectCase {
    std::string_view line;
    bool tardis;
};

const DetectCase kDetect[] = {
    {TICKER, true},
    {BOOK, true},
    {LIQ, true},
    {"exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount", true},
    {"\"symbol\",\"timestamp\",x", true},
    {"symbol;timestamp;price", false},
    {"symbol,time", false},
    {"{\"symbol\":\"A\",\"timestamp\":1,\"kind\":\"liquidation\"}", false},
    {"[\"symbol\",\"timestamp\"]", false},
    {"symbols,timestamps", false},
};

void check_detection() {
    for (const DetectCase& c : kDetect) {
        if (radar::looks_like_tardis_header(c.line) != c.tardis) fail(quoted(c.line), "detection");
    }
}

// --- rows ----------------------------------------------------------------------------

struct RowCase {
    std::string_view header;
    std::string_view line;
    Row row;
    // Event: symbol, ts and the event's numbers in field order (f[0..3]); the side for liquidations.
    // Skipped / Error: the reason.
    std::string_view text;
    int64_t ts = 0;
    std::vector<double> f = {};
    Side side = Side::Buy;
    bool notional = false;
};

constexpr double kInf = HUGE_VAL;

const RowCase kRows[] = {
    // tickers: f = open_interest, funding_rate, mark_price
    {TICKER, "binance-futures,BTCUSDT,1715644800123456,1715644800200000,1715673600000000,0.0001,0.00012,80000.5,"
             "61000.1,61001.2,61002.3",
     Row::Event, "BTCUSDT", 1715644800123, {80000.5, 0.0001, 61002.3}},
    {TICKER, "x,ETH,1000,2000,,0.0001,,12,,,3000", Row::Event, "ETH", 1, {12, 0.0001, 3000}},
    {TICKER, "x,ETH,1000,2000,,0.0001,,,,,3000", Row::Skipped, "no open_interest"},
    {TICKER, "x,ETH,1000,2000,,,,12,,,", Row::Skipped, "no funding_rate"},
    {TICKER, "x,ETH,1000,2000,,1,,12,,,", Row::Skipped, "no mark_price"},
    // the first field in reading order decides between a skip and an error
    {TICKER, "x,ETH,1000,2000,,,,abc,,,1", Row::Error, "open_interest: not a number: 'abc'"},
    {TICKER, "x,ETH,1000,2000,,abc,,,,,1", Row::Skipped, "no open_interest"},
    {TICKER, "x,ETH,,,,1,,1,,,1", Row::Skipped, "no timestamp"},
    {TICKER, "x,ETH,,5999,,1,,1,,,1", Row::Event, "ETH", 5, {1, 1, 1}},  // local_timestamp stands in
    {TICKER, "x,ETH,,1.5,,1,,1,,,1", Row::Error, "timestamp: not an integer: '1.5'"},
    {TICKER, "x,ETH,1000,2000", Row::Error, "expected 11 fields, got 4"},
    {TICKER, "x,ETH,1000,2000,,1,,1,,,1,", Row::Error, "expected 11 fields, got 12"},
    {TICKER, "x,ETH,1000,2000,,1,,1,,,1,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,", Row::Error,
     "expected 11 fields, got 48"},
    {TICKER, "x", Row::Error, "expected 11 fields, got 1"},
    // what Python's float() and int() accept
    {TICKER, "x,E,+1000, ,,-1e-4,, 12 ,,,+3.5E3", Row::Event, "E", 1, {12, -1e-4, 3500}},
    {TICKER, "x,E,1_000,,,1_0.2_5,,.5,,,5.", Row::Event, "E", 1, {0.5, 10.25, 5}},
    {TICKER, "x,E,\t1000\t,,,1,,1,,,1", Row::Event, "E", 1, {1, 1, 1}},
    {TICKER, "x,E,1000,,,1,,1__0,,,1", Row::Error, "open_interest: not a number: '1__0'"},
    {TICKER, "x,E,1000,,,1,,_1,,,1", Row::Error, "open_interest: not a number: '_1'"},
    {TICKER, "x,E,1000,,,1,,1_,,,1", Row::Error, "open_interest: not a number: '1_'"},
    {TICKER, "x,E,1000,,,1,,1_.5,,,1", Row::Error, "open_interest: not a number: '1_.5'"},
    {TICKER, "x,E,1000,,,1,,1e,,,1", Row::Error, "open_interest: not a number: '1e'"},
    {TICKER, "x,E,1000,,,1,,.,,,1", Row::Error, "open_interest: not a number: '.'"},
    {TICKER, "x,E,1000,,,1,,- 1,,,1", Row::Error, "open_interest: not a number: '- 1'"},
    {TICKER, "x,E,1000,,,1,,0x10,,,1", Row::Error, "open_interest: not a number: '0x10'"},
    {TICKER, "x,E,1000,,,1,,nan(1),,,1", Row::Error, "open_interest: not a number: 'nan(1)'"},
    {TICKER, "x,E,1000,,,1,, ,,,1", Row::Error, "open_interest: not a number: ' '"},
    {TICKER, "x,E,1000,,,1,,NaN,,,1", Row::Error, "open_interest: not a finite number: 'NaN'"},
    {TICKER, "x,E,1000,,,1,,-Infinity,,,1", Row::Error, "open_interest: not a finite number: '-Infinity'"},
    {TICKER, "x,E,1000,,,1,,+inf,,,1", Row::Error, "open_interest: not a finite number: '+inf'"},
    {TICKER, "x,E,1000,,,1,,infinit,,,1", Row::Error, "open_interest: not a number: 'infinit'"},
    {TICKER, "x,E,1000,,,1,,1e400,,,1", Row::Error, "open_interest: not a finite number: '1e400'"},
    {TICKER, "x,E,1000,,,1,,123456789e305,,,1", Row::Error, "open_interest: not a finite number: '123456789e305'"},
    {TICKER, "x,E,1000,,,1e-400,,0.000001e-320,,,1", Row::Event, "E", 1, {0.0, 0.0, 1}},
    {TICKER, "x,E,1000,,,-1e-400,,5e-324,,,1", Row::Event, "E", 1, {5e-324, -0.0, 1}},
    {TICKER, "x,E,1000,,,1,,0.1000000000000000055511151231257827021181583404541015625000001,,,1", Row::Event, "E",
     1, {0.1, 1, 1}},
    {TICKER, "x,E,1000,,,1,,1,,,1.7976931348623158e308", Row::Event, "E", 1, {1, 1, 1.7976931348623157e308}},
    {TICKER, "x,E,1000,,,1,,1,,,1.7976931348623159e308", Row::Error,
     "mark_price: not a finite number: '1.7976931348623159e308'"},
    // timestamps: microseconds floored to milliseconds, toward -inf
    {TICKER, "x,E,999,,,1,,1,,,1", Row::Event, "E", 0, {1, 1, 1}},
    {TICKER, "x,E,-1,,,1,,1,,,1", Row::Event, "E", -1, {1, 1, 1}},
    {TICKER, "x,E,-999,,,1,,1,,,1", Row::Event, "E", -1, {1, 1, 1}},
    {TICKER, "x,E,-1000,,,1,,1,,,1", Row::Event, "E", -1, {1, 1, 1}},
    {TICKER, "x,E,-1001,,,1,,1,,,1", Row::Event, "E", -2, {1, 1, 1}},
    {TICKER, "x,E,-0,,,1,,1,,,1", Row::Event, "E", 0, {1, 1, 1}},
    {TICKER, "x,E,00012345,,,1,,1,,,1", Row::Event, "E", 12, {1, 1, 1}},
    {TICKER, "x,E,9223372036854775807999,,,1,,1,,,1", Row::Event, "E", INT64_MAX, {1, 1, 1}},
    {TICKER, "x,E,9223372036854775808000,,,1,,1,,,1", Row::Error,
     "timestamp: out of range: '9223372036854775808000'"},
    {TICKER, "x,E,-9223372036854775808000,,,1,,1,,,1", Row::Event, "E", INT64_MIN, {1, 1, 1}},
    {TICKER, "x,E,-9223372036854775807001,,,1,,1,,,1", Row::Event, "E", INT64_MIN, {1, 1, 1}},
    {TICKER, "x,E,-9223372036854775808001,,,1,,1,,,1", Row::Error,
     "timestamp: out of range: '-9223372036854775808001'"},
    {TICKER, "x,E,123456789012345678901234567890,,,1,,1,,,1", Row::Error,
     "timestamp: out of range: '123456789012345678901234567890'"},
    {TICKER, "x,E,123456789012345678901234567890x,,,1,,1,,,1", Row::Error,
     "timestamp: not an integer: '123456789012345678901234567890x'"},
    {TICKER, "x,E,1e6,,,1,,1,,,1", Row::Error, "timestamp: not an integer: '1e6'"},
    {TICKER, "x,E,+,,,1,,1,,,1", Row::Error, "timestamp: not an integer: '+'"},
    {TICKER, "x,E,1_000_000,,,1,,1,,,1", Row::Event, "E", 1000, {1, 1, 1}},
    {TICKER, "x,E,1__000,,,1,,1,,,1", Row::Error, "timestamp: not an integer: '1__000'"},
    {TICKER, "x,E,,abc,,1,,1,,,1", Row::Error, "timestamp: not an integer: 'abc'"},

    // books: f = bid_volume, ask_volume, best_bid, best_ask
    {BOOK, "deribit,BTC-PERPETUAL,1715644800000999,1715644800001000,61000.5,1200,60999,3400,61001,10,60998,20",
     Row::Event, "BTC-PERPETUAL", 1715644800000, {3400, 1200, 60999, 61000.5}},
    {BOOK, "deribit,B,1000,1000,,,60999,3400,,,,", Row::Skipped, "no asks[0].price"},
    {BOOK, "deribit,B,1000,1000,61000,1,,,,,,", Row::Skipped, "no bids[0].price"},
    {BOOK, "deribit,B,1000,1000,61000,,60999,1,,,,", Row::Skipped, "no asks[0].amount"},
    {BOOK, "deribit,B,1000,1000,61000,1,60999,x,,,,", Row::Error, "bids[0].amount: not a number: 'x'"},
    {BOOK, "deribit,B,1000,1000,61000,1,60999,1,,,", Row::Error, "expected 12 fields, got 11"},

    // liquidations: f = qty, price
    {LIQ, "bybit,BTCUSDT,1715644800500000,1715644800600000,abc-1,sell,61000,0.5", Row::Event, "BTCUSDT",
     1715644800500, {0.5, 61000}, Side::Sell},
    {LIQ, "bybit,BTCUSDT,1715644800500000,,,buy,61000,0.5", Row::Event, "BTCUSDT", 1715644800500, {30500, 61000},
     Side::Buy, true},
    {LIQ, "bybit,X,1000,,,buy,0.1,0.7", Row::Event, "X", 1, {0.7 * 0.1, 0.1}, Side::Buy, true},
    {LIQ_NO_ID, "bybit,X,1000,,sell,3,2", Row::Event, "X", 1, {2, 3}, Side::Sell},
    {LIQ_NO_LOCAL, "X,1000,sell,3,2", Row::Event, "X", 1, {2, 3}, Side::Sell},
    {LIQ_NO_LOCAL, "X,,sell,3,2", Row::Skipped, "no timestamp"},
    {LIQ, "bybit,X,1000,,,,abc,abc", Row::Skipped, "no side"},
    {LIQ, "bybit,X,1000,,,unknown,abc,abc", Row::Skipped, "side unknown"},
    {LIQ, "bybit,X,1000,,,SELL,1,1", Row::Error, "side: expected buy or sell, got 'SELL'"},
    {LIQ, "bybit,X,1000,,,Unknown,1,1", Row::Error, "side: expected buy or sell, got 'Unknown'"},
    {LIQ, "bybit,X,1000,,,sell,,1", Row::Skipped, "no price"},
    {LIQ, "bybit,X,1000,,,sell,1,", Row::Skipped, "no amount"},
    {LIQ, "bybit,X,1000,,,sell,nan,1", Row::Error, "price: not a finite number: 'nan'"},
    {LIQ, "bybit,X,1000,,,sell,1", Row::Error, "expected 8 fields, got 7"},

    // quoting, as Python's csv module reads a line with '"'
    {LIQ, "bybit,\"X,Y\",1000,,,sell,1,2", Row::Event, "X,Y", 1, {2, 1}, Side::Sell},
    {LIQ, "bybit,\"X\"\"Y\",1000,,,sell,1,2", Row::Event, "X\"Y", 1, {2, 1}, Side::Sell},
    {LIQ, "bybit,\"X\"Y,1000,,,sell,1,2", Row::Event, "XY", 1, {2, 1}, Side::Sell},
    {LIQ, "bybit,X\"Y\",1000,,,sell,1,2", Row::Event, "X\"Y\"", 1, {2, 1}, Side::Sell},
    {LIQ, "\"bybit\",\"\",\"1000\",\"\",\"\",\"sell\",\"1\",\"2\"", Row::Event, "", 1, {2, 1}, Side::Sell},
    {LIQ, "bybit,X,1000,,,sell,1,\"2", Row::Event, "X", 1, {2, 1}, Side::Sell},  // unterminated
    {LIQ, "bybit,X,1000,,,sell,1,\"2,3\"", Row::Error, "amount: not a number: '2,3'"},
    {LIQ, "bybit,X,1000,,,sell,\"1\"\"\",2", Row::Error, "price: not a number: '1\"'"},
    {LIQ, "bybit,X,1000,,,sell,\"1'\",2", Row::Error, "price: not a number: \"1'\""},
    {LIQ, "bybit,X,1000,,,\"\",1,2", Row::Skipped, "no side"},
    {LIQ, "bybit,X,1000,,,\"un\"\"known\",1,2", Row::Error, "side: expected buy or sell, got 'un\"known'"},
    {LIQ, "bybit,\"X\",1000,,,sell,1,2,\"a,b,c\"", Row::Error, "expected 8 fields, got 9"},
    {LIQ, "bybit,\"X\",1000,,,sell,1,2\r\"", Row::Error, "new-line character seen in unquoted field"},
    {LIQ, "bybit,X,1000,,,sell,1,\"2\r3\"", Row::Error, "amount: not a number: '2\\r3'"},
    {LIQ, "bybit,X,1000,,,sell,1,2\r3", Row::Error, "amount: not a number: '2\\r3'"},  // no quote: kept

    // repr() of the cell in messages
    {LIQ, "bybit,X,1000,,,it's,1,2", Row::Error, "side: expected buy or sell, got \"it's\""},
    {LIQ, "bybit,X,1000,,,\"it's \"\"x\"\"\",1,2", Row::Error, "side: expected buy or sell, got 'it\\'s \"x\"'"},
    {LIQ, "bybit,X,1000,,,a\\b\tc\x01\x7f,1,2", Row::Error, "side: expected buy or sell, got 'a\\\\b\\tc\\x01\\x7f'"},
    {LIQ, "bybit,X,1000,,,\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80,1,2", Row::Error,
     "side: expected buy or sell, got '\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80'"},
    {LIQ, "bybit,X,1000,,,\xc2\xa0\xc2\x85\xe2\x80\x8b\xf3\xa0\x80\x81,1,2", Row::Error,
     "side: expected buy or sell, got '\\xa0\\x85\\u200b\\U000e0001'"},
    {LIQ, "bybit,\xe6\xaf\x94\xe7\x89\xb9,1000,,,sell,1,2", Row::Event, "\xe6\xaf\x94\xe7\x89\xb9", 1, {2, 1},
     Side::Sell},
};

bool same(double a, double b) { return a == b && std::signbit(a) == std::signbit(b); }

void check_rows() {
    for (const RowCase& c : kRows) {
        const std::string where = quoted(c.line);
        auto table = TardisTable::from_header(c.header, "f.csv", c.notional);
        if (!table.ok()) {
            fail(where, "header refused: " + table.error().message);
            continue;
        }
        std::string_view symbol = "untouched";
        Event event;
        std::string reason = "stale text from an earlier row, long enough to be on the heap";
        const Row row = table.value().row(c.line, symbol, event, reason);
        if (row != c.row) {
            fail(where, "row kind " + std::to_string(static_cast<int>(row)) + ", reason " + quoted(reason));
            continue;
        }
        if (row != Row::Event) {
            if (reason != c.text) fail(where, "reason " + quoted(reason));
            continue;
        }
        if (symbol != c.text) fail(where, "symbol " + quoted(symbol));
        if (event.ts != c.ts) fail(where, "ts " + std::to_string(event.ts));
        for (size_t i = 0; i < c.f.size(); ++i) {
            if (!same(event.f[i], c.f[i])) fail(where, "f[" + std::to_string(i) + "] " + std::to_string(event.f[i]));
        }
        const TardisKind kind = table.value().kind();
        const Event::Kind want = kind == TardisKind::Ticker ? Event::Kind::Derivatives
                                 : kind == TardisKind::Book ? Event::Kind::Orderbook
                                                            : Event::Kind::Liquidation;
        if (event.kind != want) fail(where, "event kind");
        if (kind == TardisKind::Liquidations && event.side != c.side) fail(where, "side");
    }
}

// Repeated column names mean the last one; the symbol of an unquoted line
// points into it; the table keeps no state between rows.
void check_table_details() {
    auto table = TardisTable::from_header("symbol,timestamp,side,price,amount,price", "l.csv", false);
    if (!table.ok()) return fail("duplicate columns", table.error().message);
    std::string_view symbol;
    Event event;
    std::string reason;
    const std::string line = "S,2000,buy,1,2,3";
    if (table.value().row(line, symbol, event, reason) != Row::Event || event.price() != 3 || event.qty() != 2) {
        fail("duplicate columns", "not the last column's value");
    }
    if (symbol.data() != line.data()) fail("symbol view", "not into the line");
    if (table.value().width() != 6) fail("width", std::to_string(table.value().width()));

    auto quoted_table = TardisTable::from_header(LIQ, "l.csv", false);
    const std::string first = "b,\"A\"\"B\",1000,,,sell,1,2";
    const std::string second = "b,\"C\"\"D\",1000,,,sell,1,2";
    std::string_view s1;
    std::string_view s2;
    (void)quoted_table.value().row(first, s1, event, reason);
    const std::string kept(s1);
    (void)quoted_table.value().row(second, s2, event, reason);
    if (kept != "A\"B" || s2 != "C\"D") fail("quoted symbols", kept + " " + std::string(s2));

    if (quoted_table.value().kind_name() != "liquidations") fail("kind name", std::string(quoted_table.value().kind_name()));
}

// A book file at depth 25: only the first columns are cut, the rest counted.
void check_wide_book() {
    std::string header = "exchange,symbol,timestamp,local_timestamp";
    std::string line = "deribit,W,5000,6000";
    for (int level = 0; level < 25; ++level) {
        for (const char* side : {"asks", "bids"}) {
            for (const char* what : {"price", "amount"}) {
                header += std::string(",") + side + "[" + std::to_string(level) + "]." + what;
                line += "," + std::to_string(level + 1);
            }
        }
    }
    auto table = TardisTable::from_header(header, "book_snapshot_25.csv", false);
    if (!table.ok()) return fail("wide book", table.error().message);
    std::string_view symbol;
    Event event;
    std::string reason;
    if (table.value().row(line, symbol, event, reason) != Row::Event || symbol != "W" || event.ts != 5) {
        fail("wide book", "row " + reason);
    }
    if (table.value().row(line + ",", symbol, event, reason) != Row::Error || reason != "expected 104 fields, got 105") {
        fail("wide book", "extra field: " + reason);
    }
}

}  // namespace

int main() {
    check_headers();
    check_detection();
    check_rows();
    check_table_details();
    check_wide_book();
    const size_t cases = std::size(kHeaders) + std::size(kDetect) + std::size(kRows) + 2;
    if (failures != 0) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("tardis: %zu cases passed\n", cases);
    return 0;
}
