// A candidate's alert list as it changed, 8 bytes a change: a mark when the
// checkpoint moves on, then each symbol entering (with its severity, a
// multiple of 1e-8, as a count of them) or leaving. Severities that are no
// such multiple are kept aside, whole.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace radar {

// A change of one specification's alert list at a checkpoint.
struct ListChange {
    uint32_t checkpoint;
    uint32_t symbol;  // the tracker's index
    double severity;  // entering; NaN for a symbol that left the list
    bool leaves() const { return severity != severity; }
};

class ChangeLog {
public:
    void enter(uint32_t checkpoint, uint32_t symbol, double severity) {
        mark(checkpoint);
        const double units = std::round(severity / 1e-8);
        if (units >= 0 && units < kAside &&
            std::bit_cast<uint64_t>(units * 1e-8) == std::bit_cast<uint64_t>(severity)) {
            words_.push_back({symbol, static_cast<uint32_t>(units)});
        } else {
            words_.push_back({symbol, kAside | static_cast<uint32_t>(aside_.size())});
            aside_.push_back(severity);
        }
    }
    void leave(uint32_t checkpoint, uint32_t symbol) {
        mark(checkpoint);
        words_.push_back({symbol | kLeaves, 0});
    }
    // The changes in order, as they were logged.
    void expand(std::vector<ListChange>& out) const {
        out.clear();
        uint32_t checkpoint = 0;
        for (const Word& w : words_) {
            if (w.a == kMark) {
                checkpoint = w.b;
            } else if (w.a & kLeaves) {
                out.push_back({checkpoint, w.a & ~kLeaves, std::numeric_limits<double>::quiet_NaN()});
            } else {
                const double severity = (w.b & kAside) ? aside_[w.b & ~kAside] : static_cast<double>(w.b) * 1e-8;
                out.push_back({checkpoint, w.a, severity});
            }
        }
    }
    size_t bytes() const { return words_.capacity() * sizeof(Word) + aside_.capacity() * sizeof(double); }

private:
    static constexpr uint32_t kMark = UINT32_MAX;       // a checkpoint mark; symbols stay below 2^31
    static constexpr uint32_t kLeaves = uint32_t{1} << 31;
    static constexpr uint32_t kAside = uint32_t{1} << 31;  // a severity kept aside, by its index
    struct Word {
        uint32_t a, b;
    };
    void mark(uint32_t checkpoint) {
        if (checkpoint == last_) return;
        words_.push_back({kMark, checkpoint});
        last_ = checkpoint;
    }

    std::vector<Word> words_;
    std::vector<double> aside_;
    uint32_t last_ = UINT32_MAX;
};

}  // namespace radar
