// Events of the common shapes decoded straight from the command text, so a
// large "scan" or "feed_batch" never builds a tree for them. Anything else,
// every error included, is declined and read by the general path, which
// then gives the exact message: so whatever is accepted here must decode
// to the same Event there.
#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <string>
#include <limits>
#include <string_view>

#include "json/bytes.hpp"
#include "json/scanner.hpp"
#include "market/event.hpp"

namespace radar {

namespace {

// Members an event object may name; the variant picks its fields from them.
enum Slot : uint8_t {
    kTs, kOpenInterest, kFundingRate, kMarkPrice, kBidVolume, kAskVolume, kBestBid, kBestAsk, kSide, kQty, kPrice,
    kSlots, kKind = kSlots, kOther
};

// The names of the slots, as members spell them.
constexpr std::string_view kSlotNames[kSlots] = {"ts",         "open_interest", "funding_rate", "mark_price",
                                                 "bid_volume", "ask_volume",    "best_bid",     "best_ask",
                                                 "side",       "qty",           "price"};

// The slot a key names. Each case is a name's length, so two names that
// came to share a length without sharing a case would not compile.
Slot slot_of(std::string_view key) {
    auto is = [key](Slot slot) { return bytes_equal(key, kSlotNames[slot]); };
    switch (key.size()) {
        case kSlotNames[kTs].size(): return is(kTs) ? kTs : kOther;
        case kSlotNames[kQty].size(): return is(kQty) ? kQty : kOther;
        case kSlotNames[kSide].size():
            if (bytes_equal(key, "kind")) return kKind;
            return is(kSide) ? kSide : kOther;
        case kSlotNames[kPrice].size(): return is(kPrice) ? kPrice : kOther;
        case kSlotNames[kBestBid].size():
            if (is(kBestBid)) return kBestBid;
            return is(kBestAsk) ? kBestAsk : kOther;
        case kSlotNames[kMarkPrice].size():
            if (is(kMarkPrice)) return kMarkPrice;
            if (is(kBidVolume)) return kBidVolume;
            return is(kAskVolume) ? kAskVolume : kOther;
        case kSlotNames[kFundingRate].size(): return is(kFundingRate) ? kFundingRate : kOther;
        case kSlotNames[kOpenInterest].size(): return is(kOpenInterest) ? kOpenInterest : kOther;
        default: return kOther;
    }
}
static_assert(std::string_view("kind").size() == kSlotNames[kSide].size() &&
              kSlotNames[kBestAsk].size() == kSlotNames[kBestBid].size() &&
              kSlotNames[kBidVolume].size() == kSlotNames[kMarkPrice].size() &&
              kSlotNames[kAskVolume].size() == kSlotNames[kMarkPrice].size(),
              "names sharing a case share its length");

// The variant's fields as slots, in field order ("ts" first).
constexpr Slot kFields[3][5] = {
    {kTs, kOpenInterest, kFundingRate, kMarkPrice, kOther},
    {kTs, kBidVolume, kAskVolume, kBestBid, kBestAsk},
    {kTs, kSide, kQty, kPrice, kOther},
};
constexpr size_t kFieldCount[3] = {4, 5, 4};

// `,"name":` for each slot, how a member after "kind" is usually written,
// as three little-endian words and masks: tried as a whole, in field order,
// before reading a member the long way.
struct Opening {
    uint64_t word[3];
    uint64_t mask[3];
    size_t size;
};

constexpr Opening opening_of(std::string_view name) {
    Opening o{};
    const size_t size = name.size() + 4;
    for (size_t i = 0; i < size; ++i) {
        const char c = i < 2 ? (i == 0 ? ',' : '"') : i < size - 2 ? name[i - 2] : (i == size - 2 ? '"' : ':');
        o.word[i / 8] |= uint64_t{static_cast<unsigned char>(c)} << (8 * (i % 8));
        o.mask[i / 8] |= uint64_t{0xFF} << (8 * (i % 8));
    }
    o.size = size;
    return o;
}

constexpr std::array<Opening, kSlots> kOpenings = [] {
    std::array<Opening, kSlots> t{};
    for (size_t i = 0; i < kSlots; ++i) t[i] = opening_of(kSlotNames[i]);
    return t;
}();
static_assert(kOpenings[kOpenInterest].size <= 24, "three words per opening");

constexpr unsigned wanted_slots(size_t v) {
    unsigned wanted = 0;
    for (size_t i = 0; i < kFieldCount[v]; ++i) wanted |= 1u << kFields[v][i];
    return wanted;
}
constexpr unsigned kWanted[3] = {wanted_slots(0), wanted_slots(1), wanted_slots(2)};

class TextEvent {
public:
    explicit TextEvent(Scanner& sc, ReadHook hook = {}, unsigned* others = nullptr)
        : sc_(sc), hook_(hook), others_(others) {}

    // The line's object: its "symbol" and "event" members are its own, the rest the event's.
    bool read_line(std::string_view& symbol, Event& ev, std::string& store) {
        if (sc_.skip_ws() != '{') return false;
        symbol_ = &symbol;
        store_ = &store;
        return read_object(ev);
    }

    bool read(Event& ev) {
        int b = sc_.skip_ws();
        if (b == '{') return read_object(ev);
        if (b == '[') return read_array(ev);
        return false;
    }

private:
    bool string(std::string_view& s) {
        if (sc_.skip_ws() != '"') return false;
        sc_.eat();
        return sc_.parse_string(s) && !sc_.string_was_copied();
    }
    bool tag(Event::Kind& kind) {
        std::string_view s;
        if (!string(s)) return false;
        if (hook_.fn != nullptr) hook_.fn(hook_.ctx);
        if (bytes_equal(s, "derivatives")) kind = Event::Kind::Derivatives;
        else if (bytes_equal(s, "orderbook")) kind = Event::Kind::Orderbook;
        else if (bytes_equal(s, "liquidation")) kind = Event::Kind::Liquidation;
        else return false;
        return true;
    }
    bool side(Side& out) {
        std::string_view s;
        if (!string(s)) return false;
        if (bytes_equal(s, "buy")) out = Side::Buy;
        else if (bytes_equal(s, "sell")) out = Side::Sell;
        else return false;
        return true;
    }
    bool number(ParsedNumber& n) {
        int b = sc_.skip_ws();
        if (b == '-') {
            sc_.eat();
            return sc_.parse_number(false, n);
        }
        return b >= '0' && b <= '9' && sc_.parse_number(true, n);
    }
    bool f64(double& out) {
        ParsedNumber n;
        if (!number(n)) return false;
        out = n.to_f64();
        return true;
    }
    bool i64(int64_t& out) {
        ParsedNumber n;
        if (!number(n)) return false;
        if (n.kind == JsonValue::NumberKind::Signed) {
            out = n.i;
            return true;
        }
        if (n.kind != JsonValue::NumberKind::Unsigned || n.u > static_cast<uint64_t>(INT64_MAX)) return false;
        out = static_cast<int64_t>(n.u);
        return true;
    }
    // A member the variant doesn't read: any scalar, read in full so that
    // its grammar and range are checked as the tree would check them.
    bool scalar() {
        int b = sc_.skip_ws();
        switch (b) {
            case '"': {
                std::string_view unused;
                sc_.eat();
                return sc_.parse_string(unused);
            }
            case 't': sc_.eat(); return sc_.parse_ident("rue");
            case 'f': sc_.eat(); return sc_.parse_ident("alse");
            case 'n': sc_.eat(); return sc_.parse_ident("ull");
            default: {
                ParsedNumber unused;
                return number(unused);
            }
        }
    }

    // Consumes the opening when the text at the cursor is exactly it.
    bool match(const Opening& o) {
        if constexpr (std::endian::native != std::endian::little) return false;
        const std::string_view rest = sc_.rest();
        uint64_t w[3] = {0, 0, 0};  // past the end: NUL, in no opening
        if (rest.size() >= sizeof w) {
            std::memcpy(w, rest.data(), sizeof w);
        } else {
            std::memcpy(w, rest.data(), rest.size());
        }
        if ((((w[0] ^ o.word[0]) & o.mask[0]) | ((w[1] ^ o.word[1]) & o.mask[1]) | ((w[2] ^ o.word[2]) & o.mask[2])) != 0)
            return false;
        sc_.skip(o.size);
        return true;
    }

    bool read_object(Event& ev) {
        if (!sc_.enter()) return false;
        sc_.eat();
        double values[kSlots];  // only the slots in `seen` are read
        Side side_value = Side::Buy;
        int64_t ts = 0;
        unsigned seen = 0;
        bool has_kind = false;
        Event::Kind kind = Event::Kind::Derivatives;
        bool first = true;
        size_t usual = 0;  // the next of the usual keys, once "kind" came first
        for (;;) {
            Slot slot;
            if (usual > 0 && usual <= kFieldCount[static_cast<size_t>(kind)] &&
                match(kOpenings[kFields[static_cast<size_t>(kind)][usual - 1]])) {
                slot = kFields[static_cast<size_t>(kind)][usual - 1];
                ++usual;
            } else {
                usual = 0;  // off the usual order: the long way from here on
                int r = sc_.next_member(first);
                if (r < 0) return false;
                if (r == 0) break;
                std::string_view key;
                if (!sc_.parse_string(key) || sc_.string_was_copied() || !sc_.colon()) return false;
                if (symbol_ != nullptr && line_member(key)) {
                    if (failed_) return false;
                    continue;
                }
                slot = slot_of(key);
            }
            if (slot == kOther) {
                if (others_ != nullptr) ++*others_;
                if (!scalar()) return false;
                continue;
            }
            if (slot == kKind) {
                if (has_kind || !tag(kind)) return false;
                has_kind = true;
                if (seen == 0) usual = 1;
                continue;
            }
            if (seen & (1u << slot)) return false;  // repeated: the tree keeps the last
            seen |= 1u << slot;
            bool ok = slot == kTs ? i64(ts) : slot == kSide ? side(side_value) : f64(values[slot]);
            if (!ok) return false;
        }
        sc_.eat();
        sc_.leave();
        if (symbol_ != nullptr) {
            if (!has_symbol_) return false;
            // the "event" member is the event, whatever the line holds beside it
            if (has_event_) {
                ev = event_;
                return true;
            }
        }
        if (!has_kind) return false;
        // Members of other variants are ignored by the tree whatever their
        // type, which this reader didn't allow for: let the tree decide.
        if (seen != kWanted[static_cast<size_t>(kind)]) return false;
        ev = Event{};
        ev.kind = kind;
        ev.ts = ts;
        ev.side = side_value;
        switch (kind) {
            case Event::Kind::Derivatives:
                ev.f[0] = values[kOpenInterest];
                ev.f[1] = values[kFundingRate];
                ev.f[2] = values[kMarkPrice];
                break;
            case Event::Kind::Orderbook:
                ev.f[0] = values[kBidVolume];
                ev.f[1] = values[kAskVolume];
                ev.f[2] = values[kBestBid];
                ev.f[3] = values[kBestAsk];
                break;
            case Event::Kind::Liquidation:
                ev.f[0] = values[kQty];
                ev.f[1] = values[kPrice];
                break;
        }
        return true;
    }

    bool read_array(Event& ev) {
        if (!sc_.enter()) return false;
        sc_.eat();
        bool first = true;
        if (sc_.next_element(first) != 1) return false;
        ev = Event{};
        if (!tag(ev.kind)) return false;
        const size_t v = static_cast<size_t>(ev.kind);
        for (size_t i = 0, f = 0; i < kFieldCount[v]; ++i) {
            if (sc_.next_element(first) != 1) return false;
            const Slot slot = kFields[v][i];
            bool ok = slot == kTs ? i64(ev.ts) : slot == kSide ? side(ev.side) : f64(ev.f[f++]);
            if (!ok) return false;
        }
        if (sc_.next_element(first) != 0) return false;
        sc_.eat();
        sc_.leave();
        return true;
    }

    // The line's own members; false for any other key. Sets failed_ when it cannot read one.
    bool line_member(std::string_view key) {
        if (bytes_equal(key, "symbol")) {
            std::string_view s;
            failed_ = has_symbol_ || sc_.skip_ws() != '"';
            if (failed_) return true;
            sc_.eat();
            failed_ = !sc_.parse_string(s);
            if (failed_) return true;
            if (sc_.string_was_copied()) {
                store_->assign(s);
                s = *store_;
            }
            *symbol_ = s;
            has_symbol_ = true;
            return true;
        }
        if (bytes_equal(key, "event")) {
            failed_ = has_event_ || !TextEvent(sc_).read(event_);
            has_event_ = true;
            return true;
        }
        return false;
    }

    Scanner& sc_;
    ReadHook hook_;
    unsigned* others_;
    // reading a whole line
    std::string_view* symbol_ = nullptr;
    std::string* store_ = nullptr;
    bool has_symbol_ = false, has_event_ = false, failed_ = false;
    Event event_;
};

}  // namespace

bool read_plain_event(Scanner& scanner, Event& out, ReadHook hook) { return TextEvent(scanner, hook).read(out); }

bool read_plain_event(Scanner& scanner, Event& out, unsigned& others) {
    return TextEvent(scanner, {}, &others).read(out);
}

bool read_line_event(Scanner& scanner, std::string_view& symbol, Event& out, std::string& store) {
    return TextEvent(scanner).read_line(symbol, out, store) && scanner.finish();
}

bool EventLists::try_element(Scanner& scanner) {
    Info& info = lists_.back();
    if (info.failed) return false;  // the rest is only read for its grammar
    Event ev;
    if (!TextEvent(scanner).read(ev)) return false;
    events_.push_back(ev);
    ++info.count;
    return true;
}

bool EventLists::try_single(Scanner& scanner, uint64_t& id) {
    Event ev;
    if (!TextEvent(scanner).read(ev)) return false;
    lists_.push_back(Info{events_.size(), 1, {}, false});
    events_.push_back(ev);
    id = lists_.size() - 1;
    return true;
}

}  // namespace radar
