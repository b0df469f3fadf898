// How much finding a symbol's state and writing one row costs as the number
// of symbols grows, with no parsing at all: the part of the scan's cost per
// event that depends on the memory system. For measuring only.
//
//     g++ -O2 -std=c++20 bench/floor/lookup_floor.cpp -o /tmp/lookup_floor
//     /tmp/lookup_floor SYMBOLS STRATEGY [INLINE]
//
// 5M events over SYMBOLS keys drawn as bench/gen_files.py draws activity
// (weight 1 / (1 + k)^0.8, seed 1); each event finds its key in an
// open-addressing table (made on first sight) and writes a 3-double row
// into a 21-row ring. STRATEGY: 0 one event after another; 1 a pipeline
// that prefetches the slot, then the state (8 events later), then the row
// (16), applying 24 events later, as the reader does; 2 batches of 256Ki
// events partitioned by the hash's high bits into 64 parts, the states of
// each part in memory of its own, applied part by part. INLINE: the ring in
// the state's own memory instead of an allocation of its own.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr size_t kWindow = 21, kEvents = 5'000'000, kBatch = 1 << 18, kParts = 64;

struct State {
    uint64_t key;
    size_t head, len;
    int64_t last_ts;
    double* rows;
    double book[2];
    double inline_rows[kWindow * 3];
};
struct Event {
    uint64_t key;
    double f[3];
    int64_t ts;
};

uint64_t mix(uint64_t h) {
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}
size_t part_of(uint64_t hash) { return (hash >> 40) % kParts; }

class Table {
public:
    Table(size_t keys, bool inline_rows, bool parted) : inline_(inline_rows) {
        size_t c = 16;
        while (c < 2 * keys) c <<= 1;
        slots_.assign(c, nullptr);
        hashes_.assign(c, 0);
        mask_ = c - 1;
        if (parted) arenas_.resize(kParts);
        for (auto& a : arenas_) a.reserve(2 * keys / kParts + 64);
    }
    const void* slot_address(uint64_t h) const { return &slots_[h & mask_]; }
    State* peek(uint64_t h) const { return slots_[h & mask_]; }
    State* find(uint64_t key, uint64_t h) {
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            State* s = slots_[i];
            if (s == nullptr) return add(key, h, i);
            if (hashes_[i] == h && s->key == key) return s;
        }
    }
    double checksum() const {
        double sum = 0;
        for (State* s : slots_)
            if (s != nullptr) sum += s->rows[0] + static_cast<double>(s->last_ts);
        return sum;
    }

private:
    State* add(uint64_t key, uint64_t h, size_t i) {
        State* s;
        if (!arenas_.empty()) {
            auto& arena = arenas_[part_of(h)];  // reserved: never moves
            arena.emplace_back();
            s = &arena.back();
        } else {
            owned_.push_back(std::make_unique<State>());
            s = owned_.back().get();
        }
        *s = State{key, 0, 0, INT64_MIN, nullptr, {0, 0}, {}};
        if (inline_) {
            s->rows = s->inline_rows;
        } else {
            rows_.push_back(std::make_unique<double[]>(kWindow * 3));
            s->rows = rows_.back().get();
        }
        slots_[i] = s;
        hashes_[i] = h;
        return s;
    }
    bool inline_;
    std::vector<State*> slots_;
    std::vector<uint64_t> hashes_;
    size_t mask_;
    std::vector<std::vector<State>> arenas_;
    std::vector<std::unique_ptr<State>> owned_;
    std::vector<std::unique_ptr<double[]>> rows_;
};

double* next_row(State* s) { return &s->rows[((s->head + s->len) % kWindow) * 3]; }
void apply(State* s, const Event& e) {
    std::memcpy(next_row(s), e.f, sizeof e.f);
    if (s->len < kWindow)
        ++s->len;
    else
        s->head = (s->head + 1) % kWindow;
    s->last_ts = std::max(s->last_ts, e.ts);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lookup_floor SYMBOLS STRATEGY [INLINE]\n");
        return 2;
    }
    const size_t keys = std::max<long>(1, std::atol(argv[1]));
    const int strategy = std::atoi(argv[2]);
    const bool inline_rows = argc > 3 && std::atoi(argv[3]) != 0;

    std::mt19937_64 rng(1);
    std::vector<double> cumulative(keys);
    double total = 0;
    for (size_t k = 0; k < keys; ++k) cumulative[k] = total += 1.0 / std::pow(1.0 + k, 0.8);
    std::vector<uint64_t> names(keys);
    for (size_t i = 0; i < keys; ++i) names[i] = i * 7919 + 13;
    std::shuffle(names.begin(), names.end(), rng);
    std::uniform_real_distribution<double> draw(0, total);
    std::vector<Event> events(kEvents);
    for (size_t i = 0; i < kEvents; ++i) {
        size_t k = std::lower_bound(cumulative.begin(), cumulative.end(), draw(rng)) - cumulative.begin();
        events[i] = {names[std::min(k, keys - 1)], {1.0 * i, 2, 3}, static_cast<int64_t>(i)};
    }

    Table table(keys, inline_rows, strategy == 2);
    const auto t0 = std::chrono::steady_clock::now();
    if (strategy == 0) {
        for (const Event& e : events) apply(table.find(e.key, mix(e.key)), e);
    } else if (strategy == 1) {
        constexpr size_t kState = 8, kRow = 16, kApply = 24;
        std::vector<uint64_t> hash(kEvents);
        for (size_t i = 0; i < kEvents + kApply; ++i) {
            if (i < kEvents) {
                hash[i] = mix(events[i].key);
                __builtin_prefetch(table.slot_address(hash[i]));
            }
            if (i >= kState && i - kState < kEvents)
                if (State* s = table.peek(hash[i - kState])) __builtin_prefetch(s);
            if (i >= kRow && i - kRow < kEvents)
                if (State* s = table.peek(hash[i - kRow])) __builtin_prefetch(next_row(s));
            if (i >= kApply) apply(table.find(events[i - kApply].key, hash[i - kApply]), events[i - kApply]);
        }
    } else {
        struct Queued {
            uint64_t hash;
            Event event;
        };
        std::vector<std::vector<Queued>> parts(kParts);
        for (size_t b = 0; b < kEvents; b += kBatch) {
            for (auto& p : parts) p.clear();
            for (size_t i = b; i < std::min(kEvents, b + kBatch); ++i) {
                const uint64_t h = mix(events[i].key);
                parts[part_of(h)].push_back({h, events[i]});
            }
            for (const auto& p : parts)
                for (const Queued& q : p) apply(table.find(q.event.key, q.hash), q.event);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("{\"symbols\": %zu, \"strategy\": %d, \"inline\": %d, \"ns_per_event\": %.1f, \"check\": %.6g}\n", keys,
                strategy, inline_rows ? 1 : 0, seconds / kEvents * 1e9, table.checksum());
    return 0;
}
