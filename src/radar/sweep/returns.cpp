#include "sweep/returns.hpp"

#include <cmath>

namespace radar {

uint32_t ForwardReturns::symbol_index(std::string_view symbol) {
    if (last_ != UINT32_MAX && symbols_[last_].name == symbol) return last_;
    auto it = index_.find(symbol);
    if (it == index_.end()) {
        const auto i = static_cast<uint32_t>(symbols_.size());
        symbols_.push_back(Symbol{std::string(symbol)});
        it = index_.emplace(std::string(symbol), i).first;
    }
    last_ = it->second;
    return last_;
}

void ForwardReturns::take(std::string_view symbol, const Event& event) {
    // the reference price as the evaluation takes it: the mark, else the book's mid
    int line;
    double p;
    if (event.kind == Event::Kind::Derivatives) {
        line = 0;
        p = event.mark_price();
    } else if (event.kind == Event::Kind::Orderbook) {
        line = 1;
        p = (event.best_bid() + event.best_ask()) / 2;
    } else {
        return;
    }
    if (!(p > 0) || !std::isfinite(p)) return;
    Symbol& s = symbols_[symbol_index(symbol)];
    if (s.mark == 0 && s.mid == 0) priced_.push_back(last_);
    (line == 0 ? s.mark : s.mid) = p;
    std::vector<Waiting>& waiting = s.lines[line];
    size_t& head = s.heads[line];
    while (head < waiting.size() && event.ts >= waiting[head].due) {
        const Waiting& w = waiting[head++];
        returns_[w.id] = p / w.p0 - 1;
        times_[w.id] = event.ts;
        --pending_;
    }
    if (head == waiting.size()) {
        waiting.clear();
        head = 0;
    } else if (head > 64 && 2 * head > waiting.size()) {
        waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
}

void ForwardReturns::open_all(int64_t clock) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t due = clock > kMax - horizon_ ? kMax : clock + horizon_;
    for (uint32_t i : priced_) {
        Symbol& s = symbols_[i];
        const bool mark = s.mark > 0;
        const uint64_t id = returns_.size();
        returns_.push_back(0.0);
        times_.push_back(kMax);
        s.lines[mark ? 0 : 1].push_back({id, due, mark ? s.mark : s.mid});
        ++pending_;
    }
}

}  // namespace radar
