#include "state/load.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json/bytes.hpp"
#include "json/number_text.hpp"
#include "market/symbol_state.hpp"
#include "state/crc32c.hpp"
#include "state/format.hpp"
#include "json/utf8.hpp"
#include "state/wire.hpp"

namespace radar {

namespace {

namespace fmt = state_format;

RadarError corrupt(std::string_view why) {
    std::string m = "state corrupt: ";
    m.append(why);
    return RadarError::parse(std::move(m));
}

std::string counted(uint64_t n, std::string_view what) {
    std::string m;
    append_u64(m, n);
    m.push_back(' ');
    m.append(what);
    return m;
}

// One section's fields; the first failure is kept and ends the reading.
class SectionReader {
public:
    SectionReader(std::string_view bytes, std::string_view name) : in_(bytes), name_(name) {}

    RadarError take_error() { return error_ ? std::move(*error_) : corrupt("unreadable " + std::string(name_)); }

    bool fail(RadarError e) {
        if (!error_) error_ = std::move(e);
        return false;
    }
    bool ended() { return fail(corrupt(std::string(name_) + " section ends early")); }

    bool u8(uint8_t& v) { return in_.u8(v) || ended(); }
    bool u64(uint64_t& v) { return in_.u64(v) || ended(); }
    bool i64(int64_t& v) { return in_.i64(v) || ended(); }
    // The engine only ever holds finite numbers (JSON has no others).
    bool f64(double& v) {
        if (!in_.f64(v)) return ended();
        return std::isfinite(v) || fail(corrupt("non-finite number"));
    }
    bool flag(bool& v) {
        uint8_t b = 0;
        if (!u8(b)) return false;
        if (b > 1) return fail(corrupt("presence byte " + std::to_string(b)));
        v = b == 1;
        return true;
    }
    // A count of records of at least `each` bytes, checked against the
    // bytes left before anything is sized by it.
    bool count(uint64_t& n, size_t each, std::string_view what) {
        if (!u64(n)) return false;
        if (n > in_.remaining() / each) return fail(corrupt(counted(n, what) + " in " + counted(in_.remaining(), "bytes")));
        return true;
    }
    bool text(std::string_view& s, std::string_view what) {
        uint64_t n = 0;
        if (!u64(n)) return false;
        if (n > in_.remaining()) return ended();
        in_.bytes(static_cast<size_t>(n), s);
        return invalid_utf8_at(s) == 0 || fail(corrupt(std::string(what) + " is not UTF-8"));
    }
    bool finish() {
        if (in_.remaining() == 0) return true;
        return fail(corrupt(counted(in_.remaining(), "unread bytes in the ") + std::string(name_) + " section"));
    }

private:
    WireReader in_;
    std::string_view name_;
    std::optional<RadarError> error_;
};

bool read_names(SectionReader& r, std::vector<std::string>& out, std::string_view what) {
    uint64_t n = 0;
    if (!r.count(n, fmt::kMinString, std::string(what) + "s")) return false;
    out.reserve(static_cast<size_t>(n));
    for (uint64_t i = 0; i < n; ++i) {
        std::string_view s;
        if (!r.text(s, what)) return false;
        out.emplace_back(s);
    }
    return true;
}

bool read_spec(SectionReader& r, RadarSpec& spec) {
    if (!read_names(r, spec.venues, "venue") || !read_names(r, spec.symbols, "listed symbol")) return false;
    uint64_t signals = 0;
    if (!r.count(signals, fmt::kMinSignal, "signals")) return false;
    spec.signals.reserve(static_cast<size_t>(signals));
    for (uint64_t i = 0; i < signals; ++i) {
        Signal& s = spec.signals.emplace_back();
        uint8_t kind = 0;
        if (!r.u8(kind)) return false;
        if (kind >= kIndicatorNames.size()) return r.fail(corrupt("unknown signal kind " + std::to_string(kind)));
        s.kind = static_cast<Indicator>(kind);
        uint64_t params = 0;
        if (!r.count(params, 8, "parameters")) return false;
        s.params.resize(static_cast<size_t>(params));
        for (double& p : s.params)
            if (!r.f64(p)) return false;
        if (!r.f64(s.weight)) return false;
    }
    bool has_limit = false;
    uint64_t limit = 0;
    if (!r.f64(spec.threshold) || !r.flag(has_limit) || !r.u64(limit)) return false;
    if (has_limit) {
        spec.limit = limit;
    } else if (limit != 0) {
        return r.fail(corrupt("a value for an absent limit"));
    }
    if (!r.finish()) return false;
    // Whatever the engine would refuse as a specification, a state may not bring in.
    if (auto invalid = spec.validate()) return r.fail(corrupt(invalid->render()));
    return true;
}

template <size_t N>
bool read_rows(SectionReader& r, uint64_t window, BoundedRows<N>& rows, std::string_view what) {
    uint64_t n = 0;
    if (!r.count(n, 8 * N, what)) return false;
    if (n > window) return r.fail(corrupt(counted(n, what) + " for a window of " + std::to_string(window)));
    for (uint64_t i = 0; i < n; ++i) {
        double row[N] = {};
        for (double& v : row)
            if (!r.f64(v)) return false;
        rows.push(row);
    }
    return true;
}

// `spec`, when given, fixes the window.
bool read_dataset(SectionReader& r, const RadarSpec* spec, uint64_t& window, Dataset& dataset) {
    uint64_t symbols = 0;
    if (!r.u64(window)) return false;
    if (spec) {
        const uint64_t expected = window_length(*spec);
        if (window != expected) {
            return r.fail(RadarError::parse("state window " + std::to_string(window) +
                                            " does not match the specification's window " + std::to_string(expected)));
        }
    }
    if (window < 2) return r.fail(corrupt("window " + std::to_string(window) + " is below 2"));
    if (!r.count(symbols, fmt::kMinSymbol, "symbols")) return false;
    std::string_view previous;
    for (uint64_t i = 0; i < symbols; ++i) {
        std::string_view symbol;
        if (!r.text(symbol, "symbol")) return false;
        if (i > 0 && !bytes_less(previous, symbol)) return r.fail(corrupt("symbols out of order"));
        previous = symbol;
        SymbolState state(window);
        bool has_book = false;
        if (!r.i64(state.last_ts) || !r.flag(has_book)) return false;
        if (has_book) {
            BookVolumes book;
            if (!r.f64(book.bid_volume) || !r.f64(book.ask_volume)) return false;
            state.book = book;
        }
        if (!read_rows(r, window, state.derivatives, "derivatives rows") ||
            !read_rows(r, window, state.liquidations, "liquidations"))
            return false;
        // Every symbol the engine holds came with at least one event.
        if (!state.book && state.derivatives.size() == 0 && state.liquidations.size() == 0)
            return r.fail(corrupt("a symbol without data"));
        dataset.insert(symbol, std::move(state));  // new: the order is strict
    }
    return r.finish();
}

bool read_bars(SectionReader& r, std::optional<BarFilter>& out) {
    int64_t width = 0;
    uint64_t dropped = 0, symbols = 0;
    if (!r.i64(width) || !r.u64(dropped)) return false;
    if (width <= 0) return r.fail(corrupt("bar width " + std::to_string(width)));
    if (!r.count(symbols, fmt::kMinBarSymbol, "symbols with bars")) return false;
    BarFilter bars(width);
    bars.add_dropped(dropped);
    std::string_view previous;
    for (uint64_t i = 0; i < symbols; ++i) {
        std::string_view symbol;
        if (!r.text(symbol, "symbol")) return false;
        if (i > 0 && !bytes_less(previous, symbol)) return r.fail(corrupt("symbols with bars out of order"));
        previous = symbol;
        SymbolBars entry;
        for (int k = 0; k < 2; ++k) {
            OpenBar& open = entry.kinds[k];
            uint8_t what = 0;
            if (!r.u8(what)) return false;
            if (what > 2) return r.fail(corrupt("bar byte " + std::to_string(what)));
            open.seen = what >= 1;
            open.held = what == 2;
            if (open.seen && !r.i64(open.first)) return false;
            if (!open.held) continue;
            open.event.kind = k == 0 ? Event::Kind::Derivatives : Event::Kind::Orderbook;
            if (!r.i64(open.bar) || !r.i64(open.event.ts)) return false;
            for (int f = 0; f < (k == 0 ? 3 : 4); ++f)
                if (!r.f64(open.event.f[f])) return false;
            if (bar_of(open.event.ts, width) != open.bar) return r.fail(corrupt("a held snapshot outside its bar"));
        }
        if (!entry.kinds[0].seen && !entry.kinds[1].seen) return r.fail(corrupt("a symbol without bars"));
        bars.restore(std::string(symbol), entry);
    }
    if (!r.finish()) return false;
    out = std::move(bars);
    return true;
}

}  // namespace

Result<SavedState> load_state(std::string_view bytes) {
    const std::string_view magic = fmt::kMagic;
    if (bytes.size() < magic.size()) {
        if (magic.substr(0, bytes.size()) == bytes) return RadarError::parse("state truncated");
        return RadarError::parse("not a zolvar_radar state");
    }
    if (bytes.substr(0, magic.size()) != magic) return RadarError::parse("not a zolvar_radar state");
    WireReader header(bytes.substr(magic.size()));
    uint16_t version = 0;
    uint8_t kind = 0, flags = 0;
    uint64_t spec_bytes = 0, data_bytes = 0;
    if (!header.u16(version)) return RadarError::parse("state truncated");
    if (version != fmt::kVersion) return RadarError::parse("unsupported state version " + std::to_string(version));
    if (!header.u8(kind) || !header.u8(flags) || !header.u64(spec_bytes) || !header.u64(data_bytes))
        return RadarError::parse("state truncated");
    if (kind != static_cast<uint8_t>(fmt::Kind::Radar) && kind != static_cast<uint8_t>(fmt::Kind::Partial))
        return RadarError::parse("unsupported state kind " + std::to_string(kind));
    const bool open_bars = flags == fmt::kOpenBars;
    if (flags != 0 && !open_bars) return corrupt("flags " + std::to_string(flags));
    // Compared one at a time so that no sum can wrap.
    const size_t body = bytes.size() - fmt::kHeaderSize;
    if (bytes.size() < fmt::kHeaderSize + fmt::kChecksumSize || spec_bytes > body || data_bytes > body - spec_bytes ||
        fmt::kChecksumSize > body - spec_bytes - data_bytes)
        return RadarError::parse("state truncated");
    // Open bars take the bytes between the dataset and the trailer.
    const size_t extra = body - spec_bytes - data_bytes - fmt::kChecksumSize;
    if (extra != 0 && !open_bars) return corrupt(counted(extra, "bytes after the checksum"));

    const size_t checked = bytes.size() - fmt::kChecksumSize;
    WireReader trailer(bytes.substr(checked));
    uint32_t stored = 0;
    (void)trailer.u32(stored);
    if (crc32c(bytes.substr(0, checked)) != stored) return RadarError::parse("state checksum mismatch");

    const bool is_radar = kind == static_cast<uint8_t>(fmt::Kind::Radar);
    if (!is_radar && spec_bytes != 0) return corrupt("a partial state with a specification");
    SavedState out;
    if (is_radar) {
        SectionReader spec_reader(bytes.substr(fmt::kHeaderSize, spec_bytes), "specification");
        RadarSpec spec;
        if (!read_spec(spec_reader, spec)) return spec_reader.take_error();
        out.spec = std::move(spec);
    }
    SectionReader data_reader(bytes.substr(fmt::kHeaderSize + spec_bytes, data_bytes), "dataset");
    if (!read_dataset(data_reader, out.spec ? &*out.spec : nullptr, out.window, out.dataset))
        return data_reader.take_error();
    if (open_bars) {
        SectionReader bars_reader(bytes.substr(fmt::kHeaderSize + spec_bytes + data_bytes, extra), "bars");
        if (!read_bars(bars_reader, out.bars)) return bars_reader.take_error();
    }
    return out;
}

}  // namespace radar
