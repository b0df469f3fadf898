// The evaluation's figures as JSON, and its records as CSV.
#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <thread>

#include "evaluate/evaluation.hpp"
#include "evaluate/figures.hpp"
#include "evaluate/statistics.hpp"
#include "json/writer.hpp"

namespace radar {

namespace {

void bound(std::string& out, std::string_view name, int64_t v, int64_t open) {
    json_key(out, name);
    if (v == open)
        out += "null";
    else
        append_i64(out, v);
}

}  // namespace

std::string Evaluation::result_json() const {
    const ForwardTracker& t = tracker_;
    const auto& records = t.records();
    const EvaluateOptions& o = options_;
    // horizon h's resolved returns of the records kept
    // the priced onsets and baseline draws: every sample is of one or the other
    std::vector<uint32_t> onset_ids, draw_ids;
    for (uint32_t i = 0; i < records.size(); ++i)
        if (records[i].source != PriceSource::None) (records[i].baseline ? draw_ids : onset_ids).push_back(i);
    auto sample = [&](const std::vector<uint32_t>& ids, auto&& keep, size_t h) {
        Sample s;
        for (uint32_t i : ids) {
            const Record& r = records[i];
            if (!keep(r)) continue;
            ++s.records;
            if (!t.done(i, h)) continue;
            s.add(t.price_at(i, h), r.p0, r.severity, r.checkpoint);
        }
        return s;
    };
    auto every = [](const Record&) { return true; };

    uint64_t no_price = 0, draws = 0;
    for (const Record& r : records) {
        if (r.baseline)
            ++draws;
        else if (r.source == PriceSource::None)
            ++no_price;
    }

    std::string out = "{";
    json_count(out, "checkpoints", checkpoints_);
    json_count(out, "events", replay_.fed());
    json_count(out, "onsets", onsets_);
    json_count(out, "no_price", no_price);
    json_count(out, "baseline_draws", draws);
    json_count(out, "ignored_prices", t.ignored_prices());
    json_count(out, "cooldown", o.cooldown);
    json_count(out, "baseline", o.baseline);
    json_count(out, "seed", o.seed);
    json_count(out, "bootstrap", o.bootstrap);
    if (o.windowed()) {
        bound(out, "judge_from", o.judge_from, INT64_MIN);
        bound(out, "judge_to", o.judge_to, INT64_MAX);
    }

    // per horizon; the baselines are kept for the breakdowns below
    std::vector<Sample> bases;
    std::vector<Maybe> base_median_abs, base_mean_abs;
    json_key(out, "horizons");
    out += '[';
    // One horizon's figures, apart from the others: the horizons share the two cores.
    using Block = HorizonBlock;
    auto block = [&](size_t h) {
        const Sample on = sample(onset_ids, every, h), base = sample(draw_ids, every, h);
        return horizon_block(on, base, o.horizon_names[h], o.horizons[h], o.seed, h, o.bootstrap);
    };
    std::vector<Block> blocks(o.horizons.size());
    {
        std::thread other([&] {
            for (size_t h = 1; h < blocks.size(); h += 2) blocks[h] = block(h);
        });
        for (size_t h = 0; h < blocks.size(); h += 2) blocks[h] = block(h);
        other.join();
    }
    for (size_t h = 0; h < blocks.size(); ++h) {
        if (h > 0) out += ',';
        out += blocks[h].text;
        base_median_abs.push_back(blocks[h].median_abs);
        base_mean_abs.push_back(blocks[h].mean_abs);
    }
    out += ']';

    // A group of onsets, per horizon, against the whole baseline.
    auto group_horizons = [&](auto&& keep) {
        json_key(out, "horizons");
        out += '[';
        for (size_t h = 0; h < o.horizons.size(); ++h) {
            const Sample s = sample(onset_ids, keep, h);
            if (h > 0) out += ',';
            out += '{';
            json_key(out, "horizon");
            append_json_string(out, o.horizon_names[h]);
            json_count(out, "resolved", s.ret.size());
            json_field(out, "mean_return", mean_of(s.ret));
            json_field(out, "mean_abs_return", mean_of(s.abs));
            json_field(out, "hit_rate", hit_rate(s.abs, base_median_abs[h]));
            json_field(out, "lift", ratio(mean_of(s.abs), base_mean_abs[h]));
            out += '}';
        }
        out += ']';
    };

    json_key(out, "by_factor");
    out += '[';
    bool first = true;
    for (size_t k = 0; k < keys_.size(); ++k) {
        uint64_t n = 0;
        for (const Record& r : records) n += !r.baseline && r.source != PriceSource::None && r.factor == static_cast<int32_t>(k);
        if (n == 0) continue;
        if (!first) out += ',';
        first = false;
        out += '{';
        json_key(out, "factor");
        append_json_string(out, keys_[k]);
        json_count(out, "onsets", n);
        group_horizons([&](const Record& r) { return !r.baseline && r.factor == static_cast<int32_t>(k); });
        out += '}';
    }
    out += ']';

    // quintiles of severity, ties ordered by clock and then symbol
    std::vector<uint32_t> ranked;
    for (uint32_t i = 0; i < records.size(); ++i)
        if (!records[i].baseline && records[i].source != PriceSource::None) ranked.push_back(i);
    std::stable_sort(ranked.begin(), ranked.end(), [&](uint32_t a, uint32_t b) {
        const Record &x = records[a], &y = records[b];
        if (x.severity != y.severity) return x.severity < y.severity;
        if (x.clock != y.clock) return x.clock < y.clock;
        return t.symbol_name(x.symbol) < t.symbol_name(y.symbol);
    });
    std::vector<uint32_t> quintile(records.size(), 5);
    json_key(out, "by_quintile");
    out += '[';
    const size_t n = ranked.size();
    for (size_t g = 0; g < 5; ++g) {
        const size_t lo = g * n / 5, hi = (g + 1) * n / 5;
        for (size_t i = lo; i < hi; ++i) quintile[ranked[i]] = static_cast<uint32_t>(g);
        if (g > 0) out += ',';
        out += '{';
        json_count(out, "quintile", g + 1);
        json_field(out, "severity_min", lo < hi ? Maybe(records[ranked[lo]].severity) : std::nullopt);
        json_field(out, "severity_max", lo < hi ? Maybe(records[ranked[hi - 1]].severity) : std::nullopt);
        json_count(out, "onsets", hi - lo);
        const Record* base = records.data();
        group_horizons([&](const Record& r) { return quintile[static_cast<size_t>(&r - base)] == g; });
        out += '}';
    }
    out += ']';

    json_key(out, "event_study");
    out += '[';
    for (size_t k = 0; k < t.targets().study.size(); ++k) {
        if (k > 0) out += ',';
        out += '{';
        json_key(out, "offset");
        append_i64(out, t.targets().study[k]);
        for (bool baseline : {false, true}) {
            const ForwardTracker::Moments& m = t.study(k, baseline);
            json_key(out, baseline ? "baseline" : "onsets");
            out += '{';
            json_count(out, "n", m.n);
            json_field(out, "mean", m.n > 0 ? Maybe(m.mean) : std::nullopt);
            Maybe half;
            if (m.n > 1) half = 1.96 * std::sqrt(m.m2 / static_cast<double>(m.n - 1)) / std::sqrt(static_cast<double>(m.n));
            json_field(out, "low", half ? Maybe(m.mean - *half) : std::nullopt);
            json_field(out, "high", half ? Maybe(m.mean + *half) : std::nullopt);
            out += '}';
        }
        out += '}';
    }
    out += "]}";
    return out;
}

namespace {

void csv_text(std::string& out, std::string_view s) {
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

std::string Evaluation::records_csv(bool baseline) const {
    const ForwardTracker& t = tracker_;
    std::string out = baseline ? "symbol,clock,price" : "symbol,clock,severity,factor,price";
    for (const std::string& name : options_.horizon_names)
        for (const char* column : {"return_", "max_", "min_", "resolved_"}) {
            out += ',';
            csv_text(out, column + name);
        }
    out += '\n';
    for (size_t i = 0; i < t.records().size(); ++i) {
        const Record& r = t.records()[i];
        if (r.baseline != baseline) continue;
        csv_text(out, t.symbol_name(r.symbol));
        out += ',';
        append_i64(out, r.clock);
        if (!baseline) {
            out += ',';
            append_json_double(out, r.severity);
            out += ',';
            csv_text(out, keys_[static_cast<size_t>(r.factor)]);
        }
        out += ',';
        if (r.source != PriceSource::None) append_json_double(out, r.p0);
        for (size_t h = 0; h < options_.horizons.size(); ++h) {
            const bool done = t.done(i, h);
            for (double price : {t.price_at(i, h), t.high_at(i, h), t.low_at(i, h)}) {
                out += ',';
                if (done) append_json_double(out, price / r.p0 - 1);
            }
            out += done ? ",true" : ",false";
        }
        out += '\n';
    }
    return out;
}

}  // namespace radar
