// The forward return of every symbol with a price, from every checkpoint,
// at one horizon: what any candidate's onset or baseline draw there will
// read. A record is 16 bytes once resolved (its return and the time of the
// price that resolved it), so following every symbol stays cheap; it
// resolves exactly as the evaluation's records do.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "market/event.hpp"

namespace radar {

class ForwardReturns {
public:
    explicit ForwardReturns(int64_t horizon) : horizon_(horizon) {}

    uint32_t symbol_index(std::string_view symbol);
    const std::string& symbol_name(uint32_t i) const { return symbols_[i].name; }
    size_t symbol_count() const { return symbols_.size(); }
    // Symbols that have a price, in the order they first had one.
    const std::vector<uint32_t>& priced() const { return priced_; }

    // Takes every event the radar takes, in its order.
    void take(std::string_view symbol, const Event& event);
    // Opens a record for each priced symbol, in the order of priced().
    void open_all(int64_t clock);

    uint64_t records() const { return returns_.size(); }
    uint64_t pending() const { return pending_; }
    // Resolved: by a price at or after clock + horizon, before `cut`.
    bool done(uint64_t id, int64_t cut) const { return times_[id] < cut; }
    double return_of(uint64_t id) const { return returns_[id]; }

private:
    struct Waiting {
        uint64_t id;
        int64_t due;
        double p0;
    };
    struct Symbol {
        std::string name;
        double mark = 0, mid = 0;  // 0: none yet
        // mark, mid: dues never decrease along a line, so the due ones are a prefix
        std::vector<Waiting> lines[2];
        size_t heads[2] = {0, 0};
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    int64_t horizon_;
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> index_;
    std::vector<Symbol> symbols_;
    std::vector<uint32_t> priced_;
    std::vector<double> returns_;
    std::vector<int64_t> times_;  // max: not resolved
    uint64_t pending_ = 0;
    uint32_t last_ = UINT32_MAX;
};

}  // namespace radar
