// Arbitrary bytes as a market-data file, read by the native file reader.
//
// Input: three control bytes, then the file's content (at most 64 KB).
//   byte 0, bits 0-1: the file on disk: plain, gzip, gzip in two members,
//                     or gzip cut short or with a byte flipped (corrupt)
//           bits 2-3: format: Auto (0, 1), JSON Lines (2), tardis (3)
//           bit 4:    notional liquidation quantities
//           bit 5:    the file is named like a trades file
//           bit 6:    the ranged read runs on two threads
//           bit 7:    the file is also read as two explicit byte ranges
//   byte 1: the range size for ranged reads (lines get cut anywhere), and
//           where the second gzip member starts
//   byte 2: the replay's checkpoints (bits 0-5); bits 6-7 a bar width, when
//           not 0, for a second round of the reads thinned to bars
//
// Checked, with bad lines skipped:
//   - JSON Lines: each line is an event exactly when its "feed" command is
//     accepted (see feed_command_of), else it is reported as bad; the read's
//     "alerts" equals that of one handle fed every accepted command;
//   - a whole read on one thread, a ranged read on one or two threads, and
//     (plain files) an explicit split into two byte ranges agree (alerts,
//     bad lines, skipped rows, counts);
//   - a replay feeds as many events, reports the same bad lines and ends
//     with the same "alerts";
//   - thinned to bars, a whole read, a ranged one and a two-range split
//     keep the same events, and so does a replay without checkpoints; with
//     checkpoints, a replay still accounts for every event it read;
//   - nothing crashes, and every response has a documented shape.
//
// With FUZZ_FILES_SEEDS=DIR set, the target first writes its seed inputs
// into DIR (how fuzz/corpus/fuzz_files was made).
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files/file_read.hpp"
#include "replay/file_replay.hpp"
#include "files/tardis.hpp"
#include "invariants.hpp"
#include "json/writer.hpp"
#include "scan/commands.hpp"

namespace {

constexpr size_t kMaxContent = 64 << 10;
constexpr uint64_t kWhole = uint64_t{1} << 40;  // a range size no input reaches

constexpr std::string_view kSpec =
    R"({"signals":[{"kind":"oi_delta","params":[3,0.05],"weight":2},{"kind":"funding_flip","params":[0.0005]},)"
    R"({"kind":"book_imbalance","params":[0.6]},{"kind":"liq_cluster","params":[4,1000]},)"
    R"({"kind":"oi_price_divergence","params":[3,0.02]}],"threshold":0.1,"limit":5})";

std::string work_dir;

radar::Handle& reference() {
    static std::unique_ptr<radar::Handle> h = std::move(radar::Handle::create(kSpec).value());
    return *h;
}

std::string gzip(std::string_view data) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool strict_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        const size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        uint32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < len; ++k) {
            const unsigned b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

struct TextLine {
    uint64_t number;
    std::string_view text;  // trimmed, not blank
};

// The content's lines as the reader numbers them: split on '\n', every line
// counted, blank ones left out, a byte-order mark dropped from line 1.
std::vector<TextLine> lines_of(std::string_view content) {
    std::vector<TextLine> out;
    uint64_t number = 0;
    while (!content.empty()) {
        const size_t nl = content.find('\n');
        std::string_view text = trim(content.substr(0, nl));
        content = nl == std::string_view::npos ? std::string_view() : content.substr(nl + 1);
        ++number;
        if (number == 1 && text.starts_with("\xEF\xBB\xBF")) text = trim(text.substr(3));
        if (!text.empty()) out.push_back(TextLine{number, text});
    }
    return out;
}

// The "feed" command a JSON Lines line stands for, or empty when the line is
// not one JSON value (then no command means it, and it must be bad).
//   - A line with an "event" member is the command's body: the command is the
//     line with "cmd":"feed" added as its last member (a later duplicate wins,
//     so a "cmd" of the line's own is overridden; other members are ignored
//     by "feed"). It nests as deep as the line.
//   - Any other line is the event: {"cmd":"feed","symbol":S,"event":LINE}
//     with S the line's "symbol" member (a string written out again, same
//     text), or null when it has none that is a string, which "feed" refuses
//     as the reader must. The line then sits one level deeper, so a line
//     near the nesting limit is judged by the command's limit.
// Telling the two apart needs the line read as JSON; that reading is also
// the guard against splicing text that is not one value (`1,"x":2` would
// make a valid command out of a line that is not).
std::string feed_command_of(std::string_view line) {
    static radar::JsonDocument doc;
    radar::JsonError e;
    if (!doc.parse(line, e)) return {};
    const radar::JsonValue& root = doc.root();
    std::string cmd;
    if (root.is_object() && root.find("event") != nullptr) {
        cmd.assign(line.substr(0, line.size() - 1));  // an object: it ends with '}'
        cmd.append(R"(,"cmd":"feed"})");
        return cmd;
    }
    const radar::JsonValue* symbol = root.is_object() ? root.find("symbol") : nullptr;
    cmd.assign(R"({"cmd":"feed","symbol":)");
    if (symbol != nullptr && symbol->is_string()) {
        radar::append_json_string(cmd, symbol->as_string());
    } else {
        cmd.append("null");
    }
    cmd.append(R"(,"event":)");
    cmd.append(line);
    cmd.push_back('}');
    return cmd;
}

struct Outcome {
    std::string alerts;
    std::vector<radar::BadLine> bad;
    std::vector<std::vector<std::pair<std::string, uint64_t>>> skipped;
    uint64_t events = 0;
    uint64_t lines = 0;
    uint64_t dropped = 0;  // by bars
    std::string fatal;
};

std::string alerts_text(const radar::Dataset& dataset) {
    auto r = radar::alerts_command(reference().spec, dataset);
    if (!r) fuzzcheck::fail("alerts of a read dataset failed", r.error().render());
    fuzzcheck::check_response(r.value());
    return r.value();
}

Outcome read_file(const std::vector<std::string>& paths, radar::FileReadOptions options,
                  std::vector<radar::ByteRange> ranges = {}) {
    radar::FileRead read(paths, options, std::move(ranges));
    Outcome out;
    std::string error;
    if (!read.open(error)) {
        out.fatal = "open: " + error;
        return out;
    }
    radar::FileReadResult r = read.run(reference().spec);
    if (r.bars) {
        out.dropped = r.bars->dropped();
        r.bars->close_all([&r](std::string_view s, const radar::Event& e) { r.dataset.ingest(reference().spec, s, e); });
    }
    out.alerts = alerts_text(r.dataset);
    out.bad = std::move(r.bad);
    for (const radar::ReasonCounts& counts : r.skipped) out.skipped.emplace_back(counts.begin(), counts.end());
    out.events = r.events;
    out.lines = r.lines;
    out.fatal = std::move(r.fatal);
    return out;
}

bool same_bad(const std::vector<radar::BadLine>& a, const std::vector<radar::BadLine>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].file != b[i].file || a[i].line != b[i].line || a[i].error != b[i].error) return false;
    return true;
}

void same_outcome(const Outcome& a, const Outcome& b, const char* what) {
    if (a.fatal != b.fatal) fuzzcheck::fail(what, "fatal: " + a.fatal + " / " + b.fatal);
    if (!a.fatal.empty()) return;
    if (a.alerts != b.alerts) fuzzcheck::fail(what, a.alerts + " / " + b.alerts);
    if (!same_bad(a.bad, b.bad)) fuzzcheck::fail(what, "bad lines differ");
    if (a.skipped != b.skipped) fuzzcheck::fail(what, "skipped rows differ");
    if (a.events != b.events || a.lines != b.lines || a.dropped != b.dropped) fuzzcheck::fail(what, "counts differ");
}

// A replay thinned to bars: without checkpoints it keeps what a read keeps;
// with them, every event read is kept, dropped or (never at the end) held.
void check_barred_replay(const std::string& path, radar::FileReadOptions options, uint8_t control,
                         const Outcome& whole) {
    for (const bool stops : {false, true}) {
        radar::Checkpoints checkpoints{UINT64_MAX, 0};
        if (stops) checkpoints = {1 + uint64_t{control & 7u}, (control & 8) ? int64_t{1000} : 0};
        radar::FileReplay replay({path}, options, checkpoints);
        std::string error;
        if (!replay.open(error)) return;
        radar::Dataset dataset;
        radar::FileReplay::Stop stop;
        uint64_t rounds = 0;
        while ((stop = replay.advance(&reference().spec, &dataset)) == radar::FileReplay::Stop::Checkpoint) {
            if (replay.kept() + replay.dropped() + replay.held() != replay.fed())
                fuzzcheck::fail("a barred replay lost count at a checkpoint", path);
            if (++rounds > 2 * kMaxContent + 8) fuzzcheck::fail("barred replay does not end", path);
        }
        if (!whole.fatal.empty()) continue;
        if (replay.held() != 0 || replay.kept() + replay.dropped() != replay.fed() || replay.fed() != whole.events)
            fuzzcheck::fail("a barred replay ended holding or losing events", path);
        if (!stops && (replay.dropped() != whole.dropped || alerts_text(dataset) != whole.alerts))
            fuzzcheck::fail("a barred replay keeps other events than a barred read", path);
    }
}

void check_replay(const std::string& path, radar::FileReadOptions options, uint8_t control, const Outcome& whole) {
    radar::Checkpoints checkpoints;
    checkpoints.every = 1 + (control & 7);
    constexpr int64_t kEveryTs[] = {0, 0, 1, 1000, 60000, INT64_MAX / 2, INT64_MAX, -5};
    checkpoints.every_ts = kEveryTs[(control >> 3) & 7];
    radar::FileReplay replay({path}, options, checkpoints);
    std::string error;
    if (!replay.open(error)) {
        if (whole.fatal.empty()) fuzzcheck::fail("replay cannot open what a read opened", error);
        return;
    }
    radar::Dataset dataset;
    radar::FileReplay::Stop stop;
    uint64_t rounds = 0;
    while ((stop = replay.advance(&reference().spec, &dataset)) == radar::FileReplay::Stop::Checkpoint) {
        if (++rounds > 2 * kMaxContent + 8) fuzzcheck::fail("replay does not end", path);
    }
    if (stop == radar::FileReplay::Stop::Bad) fuzzcheck::fail("replay stopped at a bad line it should skip", path);
    if ((stop == radar::FileReplay::Stop::Fatal) != !whole.fatal.empty())
        fuzzcheck::fail("replay and read disagree on a fatal error", replay.fatal() + " / " + whole.fatal);
    if (!whole.fatal.empty()) return;
    if (replay.fed() != whole.events) fuzzcheck::fail("replay fed another number of events", path);
    if (!same_bad(replay.bad(), whole.bad)) fuzzcheck::fail("replay reports other bad lines", path);
    if (alerts_text(dataset) != whole.alerts) fuzzcheck::fail("replay alerts differently", path);
}

// Each line against its "feed" command, and the read against a handle fed them.
void check_json_lines(std::string_view content, const Outcome& whole) {
    radar::Handle& ref = reference();
    radar::run_command(ref, R"({"cmd":"reset"})");
    std::vector<uint64_t> expected_bad;
    uint64_t expected_events = 0;
    for (const TextLine& line : lines_of(content)) {
        bool accepted = false;
        if (strict_utf8(line.text)) {
            const std::string cmd = feed_command_of(line.text);
            if (!cmd.empty()) accepted = fuzzcheck::check_response(radar::run_command(ref, cmd));
        }
        if (accepted) {
            ++expected_events;
        } else {
            expected_bad.push_back(line.number);
        }
    }
    if (whole.bad.size() != expected_bad.size())
        fuzzcheck::fail("bad lines are not the lines feed refuses",
                        std::to_string(whole.bad.size()) + " vs " + std::to_string(expected_bad.size()));
    for (size_t i = 0; i < expected_bad.size(); ++i)
        if (whole.bad[i].line != expected_bad[i])
            fuzzcheck::fail("bad line is not the line feed refuses",
                            std::to_string(whole.bad[i].line) + " vs " + std::to_string(expected_bad[i]));
    if (whole.events != expected_events) fuzzcheck::fail("events are not the lines feed accepts", "");
    const std::string fed = fuzzcheck::alerts_of(ref);
    if (fed != whole.alerts) fuzzcheck::fail("read alerts unlike fed alerts", fed + " / " + whole.alerts);
}

void put(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    if (!f) fuzzcheck::fail("cannot write", path);
}

void write_seeds(const std::string& dir) {
    auto seed = [&dir](const std::string& name, uint8_t mode, uint8_t range, uint8_t checkpoints,
                       const std::string& content) {
        std::string bytes{static_cast<char>(mode), static_cast<char>(range), static_cast<char>(checkpoints)};
        put(dir + "/" + name, bytes + content);
    };
    const std::string wrapper =
        R"({"symbol":"BTCUSDT","event":{"kind":"derivatives","ts":1000,"open_interest":100,"funding_rate":0.0001,"mark_price":60000}})" "\n"
        R"({"symbol":"BTCUSDT","event":{"kind":"orderbook","ts":1001,"bid_volume":5,"ask_volume":2,"best_bid":1,"best_ask":2}})" "\n"
        R"({"symbol":"ETHUSDT","event":{"kind":"liquidation","ts":1002,"side":"sell","qty":3,"price":2900}})" "\n"
        R"({"symbol":"BTCUSDT","event":{"kind":"derivatives","ts":4000,"open_interest":130,"funding_rate":-0.001,"mark_price":61000}})" "\n";
    const std::string flat =
        R"({"symbol":"BTCUSDT","kind":"derivatives","ts":1000,"open_interest":100,"funding_rate":0.0001,"mark_price":60000})" "\n"
        R"({"kind":"orderbook","symbol":"ETH\u0055SDT","ts":1001,"bid_volume":5,"ask_volume":2,"best_bid":1,"best_ask":2})" "\n"
        R"( {"symbol":"ETHUSDT","kind":"liquidation","ts":1002,"side":"buy","qty":3,"price":2900,"venue":"x"} )" "\n"
        R"({"symbol":"BTCUSDT","kind":"derivatives","ts":4000,"open_interest":130,"funding_rate":-0.001,"mark_price":61000})" "\n";
    const std::string bad =
        "{\"symbol\":\"A\",\"event\":{\"kind\":\"derivatives\",\"ts\":1}}\n"
        "not json\n"
        "\n"
        "{\"symbol\":\"\xC3\x28\",\"kind\":\"liquidation\",\"ts\":1,\"side\":\"buy\",\"qty\":1,\"price\":1}\n"
        "{\"symbol\":5,\"event\":{\"kind\":\"orderbook\",\"ts\":2}}\n"
        "[1,2]\n"
        "{\"symbol\":\"A\",\"kind\":\"nope\",\"ts\":3}\n" +
        std::string(126, '[') + std::string(126, ']') + "\n" + wrapper;
    std::string crlf;
    for (char c : flat) {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
    }
    seed("wrapper", 0x80, 40, 3, wrapper);
    seed("flat", 0, 17, 0x09, flat);
    seed("bad_lines", 0xc0, 5, 0x12, bad);
    seed("crlf_bom", 0x40, 60, 0x1b, "\xEF\xBB\xBF" + crlf);
    seed("gzip_one", 1, 9, 2, wrapper + flat);
    seed("gzip_two", 2, 128, 4, flat + bad);
    seed("gzip_corrupt", 3, 200, 1, wrapper);
    seed("forced_jsonl", 8, 30, 5, flat);
    seed("bars_wrapper", 0x80, 40, 0x83, wrapper + wrapper);
    seed("bars_flat", 0xc0, 90, 0x4b, flat + wrapper + flat);
    const std::string ticker =
        "exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,predicted_funding_rate,open_interest,"
        "last_price,index_price,mark_price\n"
        "binance-futures,BTCUSDT,1715644800123456,1715644800125001,1715659200000000,0.0001,,71234.512,61530.1,61510.2,"
        "61528.3\n"
        "binance-futures,ETHUSDT,1715644800223999,1715644800226000,1715659200000000,0.000085,,1283451.2,2901.55,2900.9,"
        "2901.4\n"
        "binance-futures,BTCUSDT,,1715644860125001,1715659200000000,0.0002,,,61530.1,61510.2,61528.3\n"
        "binance-futures,\"BTC\"\"X\",1715644900000000,1715644900000000,1715659200000000,-0.0001,,71300,1,1,61600\n"
        "bad,row\n";
    const std::string book =
        "exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,bids[0].price,bids[0].amount\n"
        "deribit,BTC-PERPETUAL,1715644800000000,1715644800001000,61530.5,1200,61530,800\n"
        "deribit,BTC-PERPETUAL,1715644801000000,1715644801001000,61531,,61530,900\n"
        "deribit,BTC-PERPETUAL,1715644802000000,1715644802001000,abc,1,2,3\n";
    const std::string liquidations =
        "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\r\n"
        "bybit,BTCUSDT,1715644860001000,1715644860003000,,sell,61210.5,0.75\r\n"
        "bybit,BTCUSDT,1715644860002500,1715644860004000,,buy,61200,1.2\r\n"
        "bybit,BTCUSDT,1715644860002500,1715644860004000,,sideways,61200,1.2\r\n";
    seed("tardis_ticker", 0xc0, 30, 0x0b, ticker);
    seed("tardis_book", 1, 30, 1, book);
    seed("tardis_liquidations", 0x90, 20, 2, liquidations);
    seed("tardis_trades_name", 0x20, 20, 2, liquidations);
    seed("tardis_forced", 0x0c, 20, 2, wrapper);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("FUZZ_FILES_SEEDS")) write_seeds(dir);
    char tmpl[] = "/tmp/fuzz_files.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    work_dir = tmpl;
    // The files go when the process does, crash or not.
    static struct Cleanup {
        ~Cleanup() {
            for (const char* name : {"/in.jsonl", "/trades.csv"}) ::unlink((work_dir + name).c_str());
            ::rmdir(work_dir.c_str());
        }
    } cleanup;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size - 3 > kMaxContent) return 0;
    const uint8_t mode = data[0], range = data[1], control = data[2];
    const std::string content(reinterpret_cast<const char*>(data) + 3, size - 3);
    const unsigned container = mode & 3;
    const unsigned format_bits = (mode >> 2) & 3;

    std::string bytes;
    switch (container) {
        case 0: bytes = content; break;
        case 1: bytes = gzip(content); break;
        case 2: {
            const size_t cut = content.size() * range / 256;
            bytes = gzip(std::string_view(content).substr(0, cut)) + gzip(std::string_view(content).substr(cut));
            break;
        }
        default: {
            bytes = gzip(content);
            const size_t at = bytes.size() * range / 256;
            if (range & 1) {
                bytes.resize(at);
            } else {
                bytes[at] = static_cast<char>(bytes[at] ^ (1u << (control & 7)));
            }
        }
    }
    const std::string path = work_dir + ((mode & 0x20) ? "/trades.csv" : "/in.jsonl");
    put(path, bytes);
    // Plain content that opens like gzip is read as gzip: not the content.
    const bool gzip_magic =
        content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0x1f && static_cast<unsigned char>(content[1]) == 0x8b;
    const bool plain = container == 0 && !gzip_magic;
    const bool as_written = plain || container == 1 || container == 2;

    radar::FileReadOptions options;
    options.format = format_bits == 2 ? radar::FileFormat::JsonLines
                     : format_bits == 3 ? radar::FileFormat::Tardis
                                        : radar::FileFormat::Auto;
    options.notional = mode & 0x10;
    options.skip_bad = true;
    options.threads = 1;
    options.range_bytes = kWhole;
    const Outcome whole = read_file({path}, options);

    // Ranges of at least a third of the file keep the parts few: each
    // part's reader holds a large buffer, which the sanitizers make slow.
    options.range_bytes = std::max<uint64_t>(1 + (range & 63), bytes.size() / 3 + range);
    options.threads = (mode & 0x40) ? 2 : 1;
    same_outcome(whole, read_file({path}, options), options.threads == 2 ? "ranged read on two threads differs" : "ranged read differs");

    if (plain && !bytes.empty() && (mode & 0x80)) {
        // Two ranges of one file as two inputs: the same events in the same
        // order; the second range numbers its lines from its start.
        const uint64_t cut = bytes.size() * range / 256;
        const Outcome split = read_file({path, path}, options, {{0, cut}, {cut, UINT64_MAX}});
        if (split.fatal != whole.fatal) fuzzcheck::fail("split read fails otherwise", split.fatal + " / " + whole.fatal);
        if (whole.fatal.empty() &&
            (split.alerts != whole.alerts || split.events != whole.events || split.lines != whole.lines ||
             split.bad.size() != whole.bad.size()))
            fuzzcheck::fail("split read differs", split.alerts + " / " + whole.alerts);
    }

    options.threads = 1;
    options.range_bytes = 0;
    check_replay(path, options, control, whole);

    constexpr int64_t kBars[] = {0, 1, 1000, 60000};
    if (const int64_t bar = kBars[control >> 6]) {
        options.bar = bar;
        options.range_bytes = kWhole;
        const Outcome barred = read_file({path}, options);
        options.range_bytes = std::max<uint64_t>(1 + (range & 63), bytes.size() / 3 + range);
        options.threads = (mode & 0x40) ? 2 : 1;
        same_outcome(barred, read_file({path}, options), "ranged read with bars differs");
        if (plain && !bytes.empty() && (mode & 0x80)) {
            const uint64_t cut = bytes.size() * range / 256;
            const Outcome split = read_file({path, path}, options, {{0, cut}, {cut, UINT64_MAX}});
            if (barred.fatal.empty() && (split.alerts != barred.alerts || split.dropped != barred.dropped))
                fuzzcheck::fail("split read with bars differs", split.alerts + " / " + barred.alerts);
        }
        options.threads = 1;
        options.range_bytes = 0;
        check_barred_replay(path, options, control, barred);
        options.bar = 0;
    }

    if (as_written && whole.fatal.empty()) {
        // The format is told by the first line not refused for its bytes.
        std::string first;
        for (const TextLine& line : lines_of(content)) {
            if (!strict_utf8(line.text)) continue;
            first = line.text;
            break;
        }
        const bool json_lines = options.format == radar::FileFormat::JsonLines ||
                                (options.format == radar::FileFormat::Auto && !radar::looks_like_tardis_header(first));
        if (json_lines) check_json_lines(content, whole);
    } else if (as_written && container != 3) {
        fuzzcheck::fail("a readable file failed", whole.fatal);
    }
    return 0;
}
