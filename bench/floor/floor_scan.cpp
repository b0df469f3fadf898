// A floor for the file scan, for measuring only: simdjson's on-demand parser
// pulls each JSON Lines line's symbol and fields into a flat hash table of
// per-symbol rings, as little work as taking the events in can be. Nothing
// is scored and no line is judged beyond what the parse needs.
//
//     floor_scan WINDOW FILE...    prints events, symbols and CPU seconds as JSON
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "simdjson.h"

namespace {

struct State {
    std::vector<double> rows;  // window x 3: open interest, funding, mark price
    std::vector<double> qty;   // window
    size_t head = 0, len = 0, qhead = 0, qlen = 0;
    double bid = 0, ask = 0;
    int64_t last_ts = INT64_MIN;
};

// Open addressing on the symbol's text: one probe in the common case.
class Table {
public:
    explicit Table(size_t window) : window_(window), slots_(1 << 10, UINT32_MAX) {}
    State& at(std::string_view key) {
        if (2 * (names_.size() + 1) > slots_.size()) grow();
        size_t i = std::hash<std::string_view>{}(key) & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            const uint32_t s = slots_[i];
            if (s == UINT32_MAX) break;
            if (names_[s] == key) return states_[s];
        }
        slots_[i] = static_cast<uint32_t>(names_.size());
        names_.emplace_back(key);
        State st;
        st.rows.assign(3 * window_, 0.0);
        st.qty.assign(window_, 0.0);
        states_.push_back(std::move(st));
        return states_.back();
    }
    size_t size() const { return names_.size(); }

private:
    void grow() {
        std::vector<uint32_t> next(slots_.size() * 2, UINT32_MAX);
        for (uint32_t s = 0; s < names_.size(); ++s) {
            size_t i = std::hash<std::string_view>{}(names_[s]) & (next.size() - 1);
            while (next[i] != UINT32_MAX) i = (i + 1) & (next.size() - 1);
            next[i] = s;
        }
        slots_.swap(next);
    }
    size_t window_;
    std::vector<uint32_t> slots_;
    std::vector<std::string> names_;
    std::vector<State> states_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: floor_scan WINDOW FILE...\n");
        return 2;
    }
    const size_t window = std::stoul(argv[1]);
    Table table(window);
    simdjson::ondemand::parser parser;
    uint64_t events = 0, refused = 0;
    const std::clock_t c0 = std::clock();
    for (int f = 2; f < argc; ++f) {
        simdjson::padded_string text;
        if (simdjson::padded_string::load(argv[f]).get(text)) {
            std::fprintf(stderr, "%s: cannot read\n", argv[f]);
            return 2;
        }
        const char* p = text.data();
        const char* end = p + text.size();
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* line_end = nl ? nl : end;
            const size_t len = static_cast<size_t>(line_end - p);
            if (len > 0) {
                simdjson::padded_string_view view(p, len, static_cast<size_t>(end - p) + simdjson::SIMDJSON_PADDING);
                simdjson::ondemand::document doc;
                std::string_view symbol, kind;
                simdjson::ondemand::object obj;
                bool ok = !parser.iterate(view).get(doc) && !doc.get_object().get(obj) &&
                          !obj.find_field_unordered("symbol").get_string().get(symbol);
                simdjson::ondemand::object ev;
                if (ok) {
                    simdjson::ondemand::value wrapped;
                    if (!obj.find_field_unordered("event").get(wrapped))
                        ok = !wrapped.get_object().get(ev);
                    else
                        ev = obj;
                }
                int64_t ts = 0;
                ok = ok && !ev.find_field_unordered("kind").get_string().get(kind) &&
                     !ev.find_field_unordered("ts").get_int64().get(ts);
                if (ok) {
                    State& s = table.at(symbol);  // the parser's view, valid until the next line
                    if (kind == "derivatives") {
                        double oi, fr, mp;
                        ok = !ev.find_field_unordered("open_interest").get_double().get(oi) &&
                             !ev.find_field_unordered("funding_rate").get_double().get(fr) &&
                             !ev.find_field_unordered("mark_price").get_double().get(mp);
                        if (ok) {
                            const size_t slot = (s.head + s.len) % window;
                            s.rows[3 * slot] = oi, s.rows[3 * slot + 1] = fr, s.rows[3 * slot + 2] = mp;
                            if (s.len < window) ++s.len; else s.head = (s.head + 1) % window;
                        }
                    } else if (kind == "orderbook") {
                        ok = !ev.find_field_unordered("bid_volume").get_double().get(s.bid) &&
                             !ev.find_field_unordered("ask_volume").get_double().get(s.ask);
                    } else {
                        double q;
                        ok = !ev.find_field_unordered("qty").get_double().get(q);
                        if (ok) {
                            s.qty[(s.qhead + s.qlen) % window] = q;
                            if (s.qlen < window) ++s.qlen; else s.qhead = (s.qhead + 1) % window;
                        }
                    }
                    if (ok && ts > s.last_ts) s.last_ts = ts;
                }
                events += ok;
                refused += !ok;
            }
            p = line_end + 1;
        }
    }
    const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    std::printf("{\"events\":%llu,\"refused\":%llu,\"symbols\":%zu,\"cpu\":%.4f}\n",
                static_cast<unsigned long long>(events), static_cast<unsigned long long>(refused), table.size(), cpu);
    return 0;
}
