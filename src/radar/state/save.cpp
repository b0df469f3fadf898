#include "state/save.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "json/bytes.hpp"

#include "market/symbol_state.hpp"
#include "state/crc32c.hpp"
#include "state/format.hpp"
#include "state/wire.hpp"

namespace radar {

namespace {

namespace fmt = state_format;

size_t spec_size(const RadarSpec& spec) {
    size_t n = 8 + 8 + 8 + 8 + 1 + 8;  // three counts, threshold, limit
    for (const std::string& v : spec.venues) n += 8 + v.size();
    for (const std::string& s : spec.symbols) n += 8 + s.size();
    for (const Signal& s : spec.signals) n += fmt::kMinSignal + 8 * s.params.size();
    return n;
}

size_t dataset_size(const Dataset& dataset) {
    size_t n = 8 + 8;  // window, symbol count
    for (const auto& [symbol, state] : dataset) {
        n += fmt::kMinSymbol + symbol.size() + (state.book ? 16 : 0);
        n += fmt::kDerivativesRow * state.derivatives.size() + fmt::kLiquidationRow * state.liquidations.size();
    }
    return n;
}

void write_spec(WireWriter& w, const RadarSpec& spec) {
    w.u64(spec.venues.size());
    for (const std::string& v : spec.venues) w.text(v);
    w.u64(spec.symbols.size());
    for (const std::string& s : spec.symbols) w.text(s);
    w.u64(spec.signals.size());
    for (const Signal& s : spec.signals) {
        w.u8(static_cast<uint8_t>(s.kind));
        w.u64(s.params.size());
        for (double p : s.params) w.f64(p);
        w.f64(s.weight);
    }
    w.f64(spec.threshold);
    w.u8(spec.limit ? 1 : 0);
    w.u64(spec.limit.value_or(0));
}

void write_dataset(WireWriter& w, uint64_t window, const Dataset& dataset) {
    w.u64(window);
    w.u64(dataset.size());
    for (const auto& [symbol, state] : dataset) {
        w.text(symbol);
        w.i64(state.last_ts);
        w.u8(state.book ? 1 : 0);
        if (state.book) {
            w.f64(state.book->bid_volume);
            w.f64(state.book->ask_volume);
        }
        const size_t rows = state.derivatives.size();
        w.u64(rows);
        for (size_t i = 0; i < rows; ++i)
            for (size_t k = 0; k < 3; ++k) w.f64(state.derivatives.at(i, k));
        const size_t liquidations = state.liquidations.size();
        w.u64(liquidations);
        for (size_t i = 0; i < liquidations; ++i) w.f64(state.liquidations.at(i, 0));
    }
}

void write_bars(WireWriter& w, const BarFilter& bars) {
    std::vector<const BarFilter::Map::value_type*> symbols;
    for (const auto& entry : bars.symbols()) symbols.push_back(&entry);
    std::sort(symbols.begin(), symbols.end(),
              [](const auto* a, const auto* b) { return bytes_less(a->first, b->first); });
    w.i64(bars.width());
    w.u64(bars.dropped());
    w.u64(symbols.size());
    for (const auto* entry : symbols) {
        w.text(entry->first);
        for (int k = 0; k < 2; ++k) {
            const OpenBar& open = entry->second.kinds[k];
            w.u8(open.held ? 2 : open.seen ? 1 : 0);
            if (open.seen) w.i64(open.first);
            if (!open.held) continue;
            w.i64(open.bar);
            w.i64(open.event.ts);
            for (int i = 0; i < (k == 0 ? 3 : 4); ++i) w.f64(open.event.f[i]);
        }
    }
}

std::string save(fmt::Kind kind, const RadarSpec* spec, uint64_t window, const Dataset& dataset,
                 const BarFilter* bars = nullptr) {
    const size_t spec_bytes = spec ? spec_size(*spec) : 0;
    const size_t data_bytes = dataset_size(dataset);
    std::string out;
    out.reserve(fmt::kHeaderSize + spec_bytes + data_bytes + fmt::kChecksumSize);
    WireWriter w(out);
    w.bytes(fmt::kMagic);
    w.u16(fmt::kVersion);
    w.u8(static_cast<uint8_t>(kind));
    w.u8(bars ? fmt::kOpenBars : 0);
    const size_t lengths_at = w.position();
    w.u64(0);
    w.u64(0);
    const size_t spec_at = w.position();
    if (spec) write_spec(w, *spec);
    const size_t data_at = w.position();
    write_dataset(w, window, dataset);
    w.patch_u64(lengths_at, data_at - spec_at);
    w.patch_u64(lengths_at + 8, w.position() - data_at);
    if (bars) write_bars(w, *bars);
    w.u32(crc32c(out));
    return out;
}

}  // namespace

std::string save_state(const RadarSpec& spec, const Dataset& dataset, const BarFilter* bars) {
    return save(fmt::Kind::Radar, &spec, window_length(spec), dataset, bars);
}

std::string save_partial(uint64_t window, const Dataset& dataset, const BarFilter* bars) {
    return save(fmt::Kind::Partial, nullptr, window, dataset, bars);
}

}  // namespace radar
