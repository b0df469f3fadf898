// What a checkpoint decides for one specification: which listed symbols
// start alerting (onsets, after a cooldown) and which of the others are
// drawn at random for the baseline. One run of it is one seeded sequence,
// so the live evaluation and a later reconstruction from logged lists draw
// the same symbols.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "evaluate/random.hpp"

namespace radar {

class OnsetDraws {
public:
    OnsetDraws(uint64_t cooldown, uint64_t baseline, uint64_t seed) : cooldown_(cooldown), baseline_(baseline), random_(seed) {}

    // Checkpoint c (numbered from 0, each once, in order) over `symbols`
    // symbol indices. `listed`: the symbols alerting, with the ones that
    // might be onsets in rank order ahead of any others; `priced`: the
    // symbols with a price, in the order they first had one; `has_price(i)`
    // tells whether symbol i is among them. `onset(i, k)` for each onset
    // (k its position in `listed`), then `draw(i)` for each baseline draw.
    template <class HasPrice, class Onset, class Draw>
    void checkpoint(uint64_t c, size_t symbols, std::span<const uint32_t> listed, std::span<const uint32_t> priced,
                    HasPrice&& has_price, Onset&& onset, Draw&& draw) {
        grow(symbols);
        size_t listed_priced = 0;
        for (size_t k = 0; k < listed.size(); ++k) {
            const uint32_t i = listed[k];
            const bool was = c > 0 && listed_[i] == c - 1;
            listed_[i] = c;
            listed_priced += has_price(i);
            if (was) continue;
            if (last_onset_[i] != kNever && c <= last_onset_[i] + cooldown_) continue;
            last_onset_[i] = c;
            onset(i, k);
        }
        if (baseline_ == 0) return;
        const size_t eligible = priced.size() - listed_priced;
        const size_t k = eligible < baseline_ ? eligible : static_cast<size_t>(baseline_);
        if (k == 0) return;
        if (eligible <= 2 * k) {
            // few to choose from: the first k of a shuffle
            eligible_.clear();
            for (uint32_t i : priced)
                if (listed_[i] != c) eligible_.push_back(i);
            for (size_t j = 0; j < k; ++j) {
                std::swap(eligible_[j], eligible_[j + random_.below(eligible_.size() - j)]);
                drawn_[eligible_[j]] = c;
                draw(eligible_[j]);
            }
            return;
        }
        // many: draw and throw back what is listed or taken already
        for (size_t taken = 0; taken < k;) {
            const uint32_t i = priced[random_.below(priced.size())];
            if (listed_[i] == c || drawn_[i] == c) continue;
            drawn_[i] = c;
            draw(i);
            ++taken;
        }
    }

private:
    static constexpr uint64_t kNever = UINT64_MAX;
    void grow(size_t symbols) {
        if (listed_.size() >= symbols) return;
        listed_.resize(symbols, kNever);
        last_onset_.resize(symbols, kNever);
        drawn_.resize(symbols, kNever);
    }

    uint64_t cooldown_, baseline_;
    Random random_;
    // per symbol: the last checkpoint it was listed at, its last onset, the last checkpoint it was drawn at
    std::vector<uint64_t> listed_, last_onset_, drawn_;
    std::vector<uint32_t> eligible_;
};

}  // namespace radar
