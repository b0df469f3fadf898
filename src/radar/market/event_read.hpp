// Events are internally tagged: the "kind" member (or the first element of
// the array form) selects the variant, the other members are its fields.
#pragma once

#include <string_view>

#include "json/bytes.hpp"
#include "json/describe.hpp"
#include "json/source.hpp"
#include "market/event.hpp"

namespace radar::event_read {

struct VariantInfo {
    std::string_view tag;
    std::string_view description;  // for a short array form
    std::string_view in_sequence;  // for a long array form
    size_t field_count;            // "ts" included
    std::string_view fields[5];
};

inline constexpr VariantInfo kVariants[3] = {
    {"derivatives", "struct variant Event::Derivatives with 4 elements", "4 elements in sequence", 4,
     {"ts", "open_interest", "funding_rate", "mark_price", ""}},
    {"orderbook", "struct variant Event::Orderbook with 5 elements", "5 elements in sequence", 5,
     {"ts", "bid_volume", "ask_volume", "best_bid", "best_ask"}},
    {"liquidation", "struct variant Event::Liquidation with 4 elements", "4 elements in sequence", 4,
     {"ts", "side", "qty", "price", ""}},
};

template <class Src>
bool read_tag(Src& src, Event::Kind& out) {
    std::string_view name;
    if (!src.read_identifier(name)) return false;
    for (size_t k = 0; k < 3; ++k) {
        if (bytes_equal(kVariants[k].tag, name)) {
            out = static_cast<Event::Kind>(k);
            return true;
        }
    }
    return src.fail_here(unknown_variant(name, {"derivatives", "orderbook", "liquidation"}));
}

template <class Src>
bool read_side(Src& src, Side& out) {
    typename Src::Compound c;
    std::string_view name;
    if (!src.begin_enum(c) || !src.variant_name(c, name)) return false;
    if (name == "buy") {
        out = Side::Buy;
    } else if (name == "sell") {
        out = Side::Sell;
    } else {
        return src.fail_here(unknown_variant(name, {"buy", "sell"}));
    }
    return src.variant_unit(c, true) && src.end_enum(c);
}

// Field i of the event's variant (0 is "ts").
template <class Src>
bool read_field(Src& src, Event& ev, size_t i) {
    if (i == 0) return src.read_i64(ev.ts);
    if (ev.kind == Event::Kind::Liquidation) {
        if (i == 1) return read_side(src, ev.side);
        return src.read_f64(ev.f[i - 2]);
    }
    return src.read_f64(ev.f[i - 1]);
}

template <class Src>
bool read_event(Src& src, Event& ev) {
    typename Src::Compound c;
    if (!src.begin_any(c, "internally tagged enum Event")) return false;
    ev = Event{};
    if (c.form == Form::Seq) {
        int r = src.next_element(c);
        if (r < 0) return false;
        if (r == 0) return src.fail_in(c, missing_field("kind"));
        if (!read_tag(src, ev.kind)) return false;
        const VariantInfo& v = kVariants[static_cast<size_t>(ev.kind)];
        for (size_t i = 0; i < v.field_count; ++i) {
            if ((r = src.next_element(c)) < 0) return false;
            if (r == 0) return src.fail_in(c, invalid_length(i, v.description));
            if (!read_field(src, ev, i)) return false;
        }
        size_t extra = 0;
        while ((r = src.next_element(c)) == 1) {
            if (!src.skip_value()) return false;
            ++extra;
        }
        if (r < 0) return false;
        if (extra) return src.fail_in(c, invalid_length(v.field_count + extra, v.in_sequence));
        return src.end(c);
    }

    // The tag first, wherever it stands among the members...
    bool has_tag = false;
    std::string_view key;
    for (;;) {
        int r = src.next_key(c, key);
        if (r < 0) return false;
        if (r == 0) break;
        if (bytes_equal(key, "kind")) {
            if (has_tag) return src.fail_in(c, duplicate_field("kind"));
            if (!src.member_value(c) || !read_tag(src, ev.kind)) return false;
            has_tag = true;
        } else if (!src.skip_member(c)) {
            return false;
        }
    }
    if (!has_tag) return src.fail_in(c, missing_field("kind"));

    // ...then the variant's fields from the other members.
    const VariantInfo& v = kVariants[static_cast<size_t>(ev.kind)];
    bool seen[5] = {false, false, false, false, false};
    src.rewind(c);
    for (;;) {
        int r = src.next_key(c, key);
        if (r < 0) return false;
        if (r == 0) break;
        size_t i = 0;
        while (i < v.field_count && !bytes_equal(v.fields[i], key)) ++i;
        if (i == v.field_count) {
            if (!src.skip_member(c)) return false;
            continue;
        }
        if (seen[i]) return src.fail_in(c, duplicate_field(v.fields[i]));
        if (!src.member_value(c) || !read_field(src, ev, i)) return false;
        seen[i] = true;
    }
    if (!src.end(c)) return false;
    for (size_t i = 0; i < v.field_count; ++i) {
        if (!seen[i]) return src.fail_here(missing_field(v.fields[i]));
    }
    return true;
}

}  // namespace radar::event_read
