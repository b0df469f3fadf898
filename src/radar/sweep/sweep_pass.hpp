// Many specifications over one reading of the files: the states are kept
// for the longest window any of them needs, each distinct indicator is
// computed once per symbol and only when the symbol's state changed, and
// each specification keeps no more than its alert list and a log of how
// that list changed. Prices are followed forward once for every symbol at
// every checkpoint, so every specification's onsets and baseline draws can
// be read back afterwards from the log alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sweep/change_log.hpp"
#include "sweep/returns.hpp"
#include "market/dataset.hpp"
#include "replay/file_replay.hpp"
#include "spec/spec.hpp"

namespace radar {

class SweepPass final : private EventObserver {
public:
    // `candidates` validated; `horizon` in timestamp units.
    SweepPass(std::vector<RadarSpec> candidates, int64_t horizon, std::vector<std::string> paths, FileReadOptions read,
              Checkpoints checkpoints, bool merged);

    bool open(std::string& error) { return replay_.open(error); }
    enum class Stop : uint8_t { Running, End, Bad, Fatal };
    Stop advance(std::chrono::milliseconds budget);

    const FileReplay& replay() const { return replay_; }
    const ForwardReturns& tracker() const { return tracker_; }
    size_t candidates() const { return candidates_.size(); }
    const RadarSpec& spec(size_t j) const { return candidates_[j].spec; }
    const ChangeLog& changes(size_t j) const { return candidates_[j].log; }
    // per checkpoint: its clock, how many symbols had a price, and its first record in the tracker
    const std::vector<int64_t>& clocks() const { return clocks_; }
    const std::vector<uint32_t>& priced_counts() const { return priced_counts_; }
    const std::vector<uint64_t>& record_bases() const { return record_bases_; }
    uint64_t scored() const { return scored_; }  // symbol states scored, distinct indicators each

private:
    struct Group {  // candidates whose severities agree: the same signals and weights
        std::vector<Signal> signals;
        std::vector<uint32_t> distinct;  // each signal's column in the strengths
        std::vector<uint32_t> members;
        double lowest = 0;   // the lowest threshold of a member
        uint64_t longest = 0;  // the longest list a member keeps
    };
    struct Candidate {
        RadarSpec spec;
        uint32_t group;
        std::vector<uint32_t> listed;  // sorted
        ChangeLog log;
    };
    struct Ranked {
        uint64_t key;
        uint32_t symbol;
        double severity;
    };

    void take(std::string_view symbol, const Event& event) override;
    void checkpoint(int64_t clock);
    void score_group(const Group& group);

    std::vector<Candidate> candidates_;
    std::vector<Group> groups_;
    std::vector<Signal> distinct_;
    RadarSpec reading_;  // every distinct signal: its window is the longest
    Dataset dataset_;
    FileReplay replay_;
    ForwardReturns tracker_;

    // per symbol (the tracker's index)
    std::vector<const SymbolState*> states_;
    std::vector<uint8_t> dirty_;
    std::vector<uint32_t> changed_;
    std::vector<double> strengths_;  // symbols x distinct signals
    std::vector<uint32_t> by_name_;  // symbol indices in byte order of their names

    std::vector<int64_t> clocks_;
    std::vector<uint32_t> priced_counts_;
    std::vector<uint64_t> record_bases_;
    std::vector<Ranked> ranked_;
    std::vector<double> gathered_;
    std::vector<uint32_t> fresh_;
    uint64_t fed_at_checkpoint_ = 0;
    uint64_t scored_ = 0;
};

}  // namespace radar
