// What the price did after a moment: records opened at a checkpoint (an
// onset, or a baseline draw) and resolved, as prices arrive, at fixed
// offsets after the checkpoint's clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "market/event.hpp"

namespace radar {

enum class PriceSource : uint8_t { None, Mark, Mid };

// The offsets a record resolves at: the horizons (with extremes) and the
// event study's points, in one increasing list.
struct Targets {
    std::vector<int64_t> horizons;  // > 0, increasing
    std::vector<int64_t> study;     // the event study's offsets, increasing

    struct Target {
        int64_t offset;
        int32_t horizon;  // index into horizons, or -1
        int32_t point;    // index into study, or -1
    };
    std::vector<Target> all;  // by offset, horizons first on a tie

    void build();
};

struct Record {
    uint32_t symbol = 0;      // index into ForwardTracker's symbols
    uint32_t checkpoint = 0;  // index of the checkpoint it opened at
    int64_t clock = 0;
    double p0 = 0;  // the reference price; 0 with no price
    double severity = 0;
    int32_t factor = -1;  // the dominant factor's label index; -1 for a baseline draw
    PriceSource source = PriceSource::None;
    bool baseline = false;
    uint32_t resolved = 0;  // targets resolved (a prefix of Targets::all), once settle() ran
};

class ForwardTracker {
public:
    explicit ForwardTracker(Targets targets);

    // A symbol's index, created on first sight.
    uint32_t symbol_index(std::string_view symbol);
    const std::string& symbol_name(uint32_t i) const { return symbols_[i].name; }
    size_t symbol_count() const { return symbols_.size(); }

    // Takes every event the radar takes, in its order.
    void take(std::string_view symbol, const Event& event);

    // The symbol's reference price now: its last mark price, else its last mid.
    PriceSource price_of(uint32_t symbol, double& price) const;
    // Symbols that have a price, in the order they first had one.
    const std::vector<uint32_t>& priced() const { return priced_; }

    // Opens a record (its price taken now); no price leaves it unresolved for good.
    void open(uint32_t symbol, uint32_t checkpoint, int64_t clock, double severity, int32_t factor, bool baseline);

    // Brings every record's `resolved` up to date: call before reading records.
    void settle();

    const Targets& targets() const { return targets_; }
    const std::vector<Record>& records() const { return records_; }
    bool resolved(const Record& r, size_t target) const { return r.resolved > target; }
    size_t target_of_horizon(size_t h) const { return horizon_target_[h]; }
    size_t target_of_point(size_t k) const { return point_target_[k]; }
    // Horizon h of record i, once resolved: the price that resolved it and the extremes, as prices.
    double price_at(size_t i, size_t h) const { return values_[i * stride() + 3 * h]; }
    double high_at(size_t i, size_t h) const { return values_[i * stride() + 3 * h + 1]; }
    double low_at(size_t i, size_t h) const { return values_[i * stride() + 3 * h + 2]; }
    // The time of the price that resolved horizon h of record i.
    int64_t time_at(size_t i, size_t h) const { return times_[i * targets_.horizons.size() + h]; }
    // Horizon h of record i resolved, by a price before the cut.
    bool done(size_t i, size_t h) const {
        const Record& r = records_[i];
        return r.source != PriceSource::None && resolved(r, horizon_target_[h]) && time_at(i, h) < until_;
    }
    // Prices from `until` on resolve nothing that counts: the figures end there.
    void set_until(int64_t until) { until_ = until; }
    // The event study needs only means and spreads: its points are summed as they resolve.
    struct Moments {
        uint64_t n = 0;
        double mean = 0, m2 = 0;  // Welford's running mean and sum of squared deviations
        void add(double x) {
            ++n;
            const double d = x - mean;
            mean += d / static_cast<double>(n);
            m2 += d * (x - mean);
        }
    };
    // |return| at point k of the event study, over onsets or baseline draws.
    const Moments& study(size_t k, bool baseline) const { return study_[2 * k + (baseline ? 1 : 0)]; }

    uint64_t ignored_prices() const { return ignored_; }
    uint64_t pending() const { return pending_count_; }

private:
    // The records of one symbol and price source still waiting, in the order
    // opened (so their clocks never decrease). A target's due time then never
    // decreases along the line either, so the records that have resolved a
    // target are always a prefix: one position per target says which.
    struct Line {
        std::vector<uint32_t> records;
        // beside each record, what a price needs of it, so that a price reads
        // this line and not the records scattered through memory
        std::vector<int64_t> clocks;
        std::vector<uint64_t> starts;  // the number of the line's first price after its clock
        std::vector<double> p0s;       // reference prices
        std::vector<uint8_t> drawn;    // baseline draws, not onsets
        size_t head = 0;     // records before it are done
        size_t started = 0;  // records before it have seen a price after their clock
        std::vector<size_t> resolved;  // per target: records before it have resolved it
        // (due time, target) of each target whose next record has resolved
        // the targets before it: a min-heap, so a price touches only what is due
        std::vector<std::pair<int64_t, uint32_t>> due;
        uint64_t count = 0;  // prices seen
        // Monotone stacks of (price number, price): the largest and smallest
        // price from any number on are found by a binary search.
        std::vector<std::pair<uint64_t, double>> high, low;
        size_t high_head = 0, low_head = 0;
    };
    struct Symbol {
        std::string name;
        double mark = 0, mid = 0;  // 0: none yet
        Line lines[2];  // mark, mid
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    size_t stride() const { return 3 * targets_.horizons.size(); }
    void price(Line& line, double p, int64_t ts);
    int64_t due(int64_t clock, size_t target) const;
    void resolve(Line& line, double p, int64_t ts);
    void wait_for(Line& line, size_t target);  // target's next record goes on the heap
    void trim(Line& line);

    Targets targets_;
    std::vector<size_t> horizon_target_, point_target_;
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> index_;
    std::vector<Symbol> symbols_;
    std::vector<uint32_t> priced_;
    std::vector<Record> records_;
    std::vector<double> values_;
    std::vector<int64_t> times_;
    int64_t until_ = INT64_MAX;
    std::vector<Moments> study_;  // per point: onsets, then baseline
    uint64_t ignored_ = 0;
    uint64_t pending_count_ = 0;
    uint32_t last_ = UINT32_MAX;  // the last symbol looked up: events come in runs of one symbol
};

}  // namespace radar
