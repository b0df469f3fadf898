// The partials of a sweep's shares into its answer, and a partial as bytes
// for shipping between processes.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "json/writer.hpp"
#include "sweep/judge.hpp"

namespace radar {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr std::string_view kMagic = "zolvar-sweep-partial-1";

void put(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put(std::string& out, const std::vector<double>& v) {
    put(out, v.size());
    for (double d : v) put(out, std::bit_cast<uint64_t>(d));
}
void put(std::string& out, const std::vector<uint64_t>& v) {
    put(out, v.size());
    for (uint64_t x : v) put(out, x);
}

struct Reader {
    std::string_view in;
    bool ok = true;
    uint64_t u64() {
        if (in.size() < 8) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t{static_cast<unsigned char>(in[static_cast<size_t>(i)])} << (8 * i);
        in.remove_prefix(8);
        return v;
    }
    size_t length(size_t each) {
        const uint64_t n = u64();
        if (!ok || n > in.size() / each) {
            ok = false;
            return 0;
        }
        return static_cast<size_t>(n);
    }
    void get(std::vector<double>& v) {
        v.resize(length(8));
        for (double& d : v) d = std::bit_cast<double>(u64());
    }
    void get(std::vector<uint64_t>& v) {
        v.resize(length(8));
        for (uint64_t& x : v) x = u64();
    }
    void get(std::string& s) {
        const size_t n = length(1);
        s.assign(in.substr(0, n));
        in.remove_prefix(n);
    }
};

bool leads(double a, uint64_t ia, double b, uint64_t ib) {
    const bool na = std::isnan(a), nb = std::isnan(b);
    if (na != nb) return nb;
    if (!na && a != b) return a > b;
    return ia < ib;
}

void number(std::string& out, double v) {
    if (std::isfinite(v))
        append_json_double(out, v);
    else
        out += "null";
}

void bound(std::string& out, int64_t v, int64_t open) {
    if (v == open)
        out += "null";
    else
        append_i64(out, v);
}

void window(std::string& out, std::string_view name, Window w) {
    append_json_string(out, name);
    out += ":{\"judge_from\":";
    bound(out, w.from, std::numeric_limits<int64_t>::min());
    out += ",\"judge_to\":";
    bound(out, w.to, std::numeric_limits<int64_t>::max());
    out += '}';
}

const char* metric_name(Metric m) {
    switch (m) {
        case Metric::Lift: return "lift";
        case Metric::HitRate: return "hit_rate";
        case Metric::RankIc: return "rank_ic";
    }
    return "lift";
}

// The metric of a candidate over some of its blocks, from their sums.
double pooled(Metric metric, const double* stats, const std::vector<uint32_t>& blocks) {
    double a = 0, b = 0, c = 0, d = 0;
    for (uint32_t k : blocks) {
        const double* s = stats + k * kBlockStats;
        switch (metric) {
            case Metric::Lift:
                a += s[0], b += s[1], c += s[2], d += s[3];
                break;
            case Metric::HitRate:
                if (!std::isnan(s[4])) a += s[4], b += s[1];
                break;
            case Metric::RankIc:
                if (!std::isnan(s[5])) a += s[5] * s[1], b += s[1];
                break;
        }
    }
    if (metric == Metric::Lift) return b > 0 && d > 0 && c > 0 ? (a / b) / (c / d) : kNone;
    return b > 0 ? a / b : kNone;
}

void put_options(std::string& out, const SweepOptions& o) {
    put(out, o.horizon_name.size());
    out += o.horizon_name;
    for (uint64_t v : {static_cast<uint64_t>(o.horizon), o.horizon_index, static_cast<uint64_t>(o.metric), o.cooldown,
                       o.baseline, o.seed, o.bootstrap, std::bit_cast<uint64_t>(o.split), uint64_t{o.folds},
                       uint64_t{o.blocks}, uint64_t{o.top}, uint64_t{o.null_runs}, o.total})
        put(out, v);
}

void get_options(Reader& r, SweepOptions& o) {
    r.get(o.horizon_name);
    o.horizon = static_cast<int64_t>(r.u64());
    o.horizon_index = r.u64();
    const uint64_t metric = r.u64();
    r.ok = r.ok && metric <= static_cast<uint64_t>(Metric::RankIc);
    o.metric = static_cast<Metric>(metric);
    o.cooldown = r.u64();
    o.baseline = r.u64();
    o.seed = r.u64();
    o.bootstrap = r.u64();
    o.split = std::bit_cast<double>(r.u64());
    const uint64_t folds = r.u64(), blocks = r.u64(), top = r.u64(), runs = r.u64();
    r.ok = r.ok && folds < 1000000 && blocks <= 16 && top < (uint64_t{1} << 32) && runs < 1000000;
    o.folds = static_cast<uint32_t>(folds);
    o.blocks = static_cast<uint32_t>(blocks);
    o.top = static_cast<uint32_t>(top);
    o.null_runs = static_cast<uint32_t>(runs);
    o.total = r.u64();
}

}  // namespace

std::string SweepPartial::serialize() const {
    std::string out(kMagic);
    put_options(out, options);
    for (uint64_t v : {events, checkpoints, records, static_cast<uint64_t>(first_ts), static_cast<uint64_t>(last_ts)}) put(out, v);
    put(out, index);
    put(out, choose);
    put(out, judge);
    put(out, p);
    put(out, blocks);
    put(out, null_max);
    put(out, detail_index);
    put(out, detail.size());
    for (const std::string& d : detail) {
        put(out, d.size());
        out += d;
    }
    return out;
}

bool SweepPartial::parse(std::string_view bytes) {
    if (bytes.substr(0, kMagic.size()) != kMagic) return false;
    Reader r{bytes.substr(kMagic.size())};
    get_options(r, options);
    events = r.u64();
    checkpoints = r.u64();
    records = r.u64();
    first_ts = static_cast<int64_t>(r.u64());
    last_ts = static_cast<int64_t>(r.u64());
    r.get(index);
    r.get(choose);
    r.get(judge);
    r.get(p);
    r.get(blocks);
    r.get(null_max);
    r.get(detail_index);
    detail.resize(r.length(8));
    for (std::string& d : detail) r.get(d);
    return r.ok && r.in.empty() && detail.size() == detail_index.size();
}

bool combine_partials(const std::vector<SweepPartial>& parts, std::string& out) {
    if (parts.empty()) {
        out = "no partial results to combine";
        return false;
    }
    const SweepPartial& head = parts.front();
    const SweepOptions& o = head.options;
    std::string options;
    put_options(options, o);
    uint64_t given = 0;
    for (const SweepPartial& part : parts) given += part.index.size();
    if (given != o.total || o.total == 0) {
        out = "a candidate is missing from the shares or judged twice";
        return false;
    }
    const auto steps = sweep_steps(o, head.first_ts, head.last_ts);
    const size_t n_steps = steps.size(), n_blocks = o.blocks;
    const uint64_t m = o.total;
    // every candidate once, its figures where the index says
    std::vector<double> choose(m * n_steps, kNone), judge(m * n_steps, kNone), p(m, 1.0);
    std::vector<double> stats(m * n_blocks * kBlockStats, kNone);
    std::vector<uint8_t> seen(m, 0);
    std::vector<double> null_max(o.null_runs, kNone);
    std::vector<std::pair<uint64_t, const std::string*>> details;
    for (const SweepPartial& part : parts) {
        if (part.first_ts != head.first_ts || part.last_ts != head.last_ts || part.events != head.events ||
            part.checkpoints != head.checkpoints) {
            out = "the shares read different data: their events or time ranges differ";
            return false;
        }
        std::string these;
        put_options(these, part.options);
        const size_t n = part.index.size();
        if (these != options || part.choose.size() != n * n_steps || part.judge.size() != n * n_steps || part.p.size() != n ||
            part.blocks.size() != n * n_blocks * kBlockStats || part.null_max.size() != o.null_runs) {
            out = "a share was judged with other options";
            return false;
        }
        for (size_t j = 0; j < n; ++j) {
            const uint64_t g = part.index[j];
            if (g >= m || seen[g]) {
                out = "a candidate is missing from the shares or judged twice";
                return false;
            }
            seen[g] = 1;
            std::copy_n(&part.choose[j * n_steps], n_steps, &choose[g * n_steps]);
            std::copy_n(&part.judge[j * n_steps], n_steps, &judge[g * n_steps]);
            p[g] = std::isnan(part.p[j]) ? 1.0 : part.p[j];
            std::copy_n(&part.blocks[j * n_blocks * kBlockStats], n_blocks * kBlockStats, &stats[g * n_blocks * kBlockStats]);
        }
        for (uint32_t r = 0; r < o.null_runs; ++r)
            if (leads(part.null_max[r], 0, null_max[r], 0)) null_max[r] = part.null_max[r];
        for (size_t k = 0; k < part.detail.size(); ++k) details.emplace_back(part.detail_index[k], &part.detail[k]);
    }
    if (std::count(seen.begin(), seen.end(), 1) != static_cast<std::ptrdiff_t>(m)) {
        out = "a candidate is missing from the shares or judged twice";
        return false;
    }

    // the choice at each step, the last one's being the winner
    std::vector<uint64_t> chosen(n_steps, 0);
    for (size_t s = 0; s < n_steps; ++s)
        for (uint64_t j = 1; j < m; ++j)
            if (leads(choose[j * n_steps + s], j, choose[chosen[s] * n_steps + s], chosen[s])) chosen[s] = j;
    const size_t last = n_steps - 1;
    std::vector<uint64_t> order(m);
    for (uint64_t j = 0; j < m; ++j) order[j] = j;
    std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
        return leads(choose[a * n_steps + last], a, choose[b * n_steps + last], b);
    });

    // Holm: the k-th smallest p-value times the candidates not yet passed, never falling
    std::vector<uint64_t> by_p(m);
    for (uint64_t j = 0; j < m; ++j) by_p[j] = j;
    std::stable_sort(by_p.begin(), by_p.end(), [&](uint64_t a, uint64_t b) { return p[a] < p[b]; });
    std::vector<double> adjusted(m, 1.0);
    double running = 0;
    for (uint64_t k = 0; k < m; ++k) {
        running = std::max(running, std::min(1.0, static_cast<double>(m - k) * p[by_p[k]]));
        adjusted[by_p[k]] = running;
    }

    // the best of the no-skill candidates, averaged over the replications
    double null_sum = 0;
    uint64_t null_n = 0;
    for (double v : null_max)
        if (!std::isnan(v)) null_sum += v, ++null_n;
    const double expected_null = null_n > 0 ? null_sum / static_cast<double>(null_n) : kNone;

    // combinatorially symmetric cross-validation: every half of the blocks chooses, the other half judges
    uint64_t combos = 0, overfit = 0;
    if (n_blocks >= 2 && m > 0) {
        std::vector<uint32_t> in, out_blocks;
        std::vector<double> is(m), oos(m);
        for (uint32_t mask = 0; mask < (1u << n_blocks); ++mask) {
            if (static_cast<uint32_t>(std::popcount(mask)) != n_blocks / 2) continue;
            in.clear();
            out_blocks.clear();
            for (uint32_t b = 0; b < n_blocks; ++b) ((mask >> b) & 1 ? in : out_blocks).push_back(b);
            for (uint64_t j = 0; j < m; ++j) {
                is[j] = pooled(o.metric, &stats[j * n_blocks * kBlockStats], in);
                oos[j] = pooled(o.metric, &stats[j * n_blocks * kBlockStats], out_blocks);
            }
            uint64_t star = 0;
            for (uint64_t j = 1; j < m; ++j)
                if (leads(is[j], j, is[star], star)) star = j;
            if (std::isnan(is[star])) continue;
            // the winner's place out of sample, 1 the worst, ties sharing theirs
            double below = 0, tied = 0;
            for (uint64_t j = 0; j < m; ++j) {
                if (j == star) continue;
                const bool nj = std::isnan(oos[j]), ns = std::isnan(oos[star]);
                if (nj && ns) tied += 1;
                else if (nj || (!ns && oos[j] < oos[star])) below += 1;
                else if (!ns && oos[j] == oos[star]) tied += 1;
            }
            const double rank = 1 + below + tied / 2;
            ++combos;
            overfit += rank / static_cast<double>(m + 1) < 0.5;
        }
    }
    const double pbo = combos > 0 ? static_cast<double>(overfit) / static_cast<double>(combos) : kNone;

    auto detail_of = [&](uint64_t j) -> const std::string* {
        for (const auto& [index, text] : details)
            if (index == j) return text;
        return nullptr;
    };
    auto candidate = [&](uint64_t j) {
        out += "{\"candidate\":";
        append_u64(out, j);
        if (const std::string* text = detail_of(j)) {
            out += ',';
            out += *text;
        }
        out += ",\"metric_in_sample\":";
        number(out, choose[j * n_steps + last]);
        out += ",\"metric_out_of_sample\":";
        number(out, judge[j * n_steps + last]);
        out += ",\"p_adjusted\":";
        number(out, adjusted[j]);
        out += ",\"expected_max_null\":";
        number(out, expected_null);
        out += ",\"pbo\":";
        number(out, pbo);
        out += '}';
    };

    out.clear();
    out += "{\"candidates\":";
    append_u64(out, m);
    out += ",\"metric\":";
    append_json_string(out, metric_name(o.metric));
    out += ",\"horizon\":";
    append_json_string(out, o.horizon_name);
    out += ",\"offset\":";
    append_i64(out, o.horizon);
    out += ",\"events\":";
    append_u64(out, head.events);
    out += ",\"checkpoints\":";
    append_u64(out, head.checkpoints);
    out += ",\"first_ts\":";
    append_i64(out, head.first_ts);
    out += ",\"last_ts\":";
    append_i64(out, head.last_ts);
    if (o.folds == 0) {
        out += ",\"split\":";
        append_json_double(out, o.split);
    } else {
        out += ",\"folds\":";
        append_u64(out, o.folds);
    }
    out += ',';
    window(out, "in_sample", steps[last].first);
    out += ',';
    window(out, "out_of_sample", steps[last].second);
    for (auto [name, v] : {std::pair<const char*, uint64_t>{"cooldown", o.cooldown}, {"baseline", o.baseline},
                           {"seed", o.seed}, {"bootstrap", o.bootstrap}, {"null_replications", null_n},
                           {"pbo_blocks", n_blocks}, {"pbo_combinations", combos}}) {
        out += ',';
        append_json_string(out, name);
        out += ':';
        append_u64(out, v);
    }
    out += ",\"expected_max_null\":";
    number(out, expected_null);
    out += ",\"pbo\":";
    number(out, pbo);
    out += ",\"best\":";
    candidate(chosen[last]);
    out += ",\"top\":[";
    const size_t top = std::min<uint64_t>(std::max<uint32_t>(o.top, 1), m);
    for (size_t k = 0; k < top; ++k) {
        if (k > 0) out += ',';
        candidate(order[k]);
    }
    out += "],\"steps\":[";
    for (size_t s = 0; s < n_steps; ++s) {
        if (s > 0) out += ',';
        out += '{';
        window(out, "choose", steps[s].first);
        out += ',';
        window(out, "judge", steps[s].second);
        out += ",\"chosen\":";
        append_u64(out, chosen[s]);
        out += ",\"metric_in_sample\":";
        number(out, choose[chosen[s] * n_steps + s]);
        out += ",\"metric_out_of_sample\":";
        number(out, judge[chosen[s] * n_steps + s]);
        out += '}';
    }
    // every candidate's metric, by index: for heatmaps and the ranks in and out of sample
    for (const auto& [name, v] : {std::pair<const char*, const std::vector<double>&>{"metric_in_sample", choose},
                                  {"metric_out_of_sample", judge}}) {
        out += "],\"";
        out += name;
        out += "\":[";
        for (uint64_t j = 0; j < m; ++j) {
            if (j > 0) out += ',';
            number(out, v[j * n_steps + last]);
        }
    }
    out += "]}";
    return true;
}

}  // namespace radar
