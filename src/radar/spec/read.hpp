// The specification records, read once for both sources (text and parsed
// value). Members are taken in the order the source presents them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "json/describe.hpp"
#include "json/source.hpp"
#include "spec/spec.hpp"

namespace radar::spec_read {

template <class Src>
bool read_indicator(Src& src, Indicator& out) {
    typename Src::Compound c;
    std::string_view name;
    if (!src.begin_enum(c) || !src.variant_name(c, name)) return false;
    size_t k = 0;
    while (k < kIndicatorNames.size() && kIndicatorNames[k] != name) ++k;
    if (k == kIndicatorNames.size()) {
        return src.fail_here(unknown_variant(
            name, {kIndicatorNames[0], kIndicatorNames[1], kIndicatorNames[2], kIndicatorNames[3], kIndicatorNames[4]}));
    }
    if (!src.variant_unit(c, false) || !src.end_enum(c)) return false;
    out = static_cast<Indicator>(k);
    return true;
}

template <class Src>
bool read_f64_list(Src& src, std::vector<double>& out) {
    return read_seq(src, out, [](Src& s, double& d) { return s.read_f64(d); });
}

template <class Src>
bool read_string_list(Src& src, std::vector<std::string>& out) {
    return read_seq(src, out, [](Src& s, std::string& text) { return s.read_string(text, "a string"); });
}

template <class Src>
bool read_signal(Src& src, Signal& out) {
    typename Src::Compound c;
    if (!src.begin_struct(c, "struct Signal")) return false;
    out = Signal{};
    if (c.form == Form::Seq) {
        int r = src.next_element(c);
        if (r < 0) return false;
        if (r == 0) return src.fail_in(c, invalid_length(0, "struct Signal with 3 elements"));
        if (!read_indicator(src, out.kind)) return false;
        if ((r = src.next_element(c)) < 0) return false;
        if (r == 1 && !read_f64_list(src, out.params)) return false;
        if ((r = src.next_element(c)) < 0) return false;
        if (r == 1 && !src.read_f64(out.weight)) return false;
        return src.end(c);
    }
    bool has_kind = false, has_params = false, has_weight = false;
    std::string_view key;
    for (;;) {
        int r = src.next_key(c, key);
        if (r < 0) return false;
        if (r == 0) break;
        if (key == "kind") {
            if (has_kind) return src.fail_in(c, duplicate_field("kind"));
            if (!src.member_value(c) || !read_indicator(src, out.kind)) return false;
            has_kind = true;
        } else if (key == "params") {
            if (has_params) return src.fail_in(c, duplicate_field("params"));
            if (!src.member_value(c) || !read_f64_list(src, out.params)) return false;
            has_params = true;
        } else if (key == "weight") {
            if (has_weight) return src.fail_in(c, duplicate_field("weight"));
            if (!src.member_value(c) || !src.read_f64(out.weight)) return false;
            has_weight = true;
        } else if (!src.skip_member(c)) {
            return false;
        }
    }
    if (!src.end(c)) return false;
    if (!has_kind) return src.fail_here(missing_field("kind"));
    return true;
}

template <class Src>
bool read_signal_list(Src& src, std::vector<Signal>& out) {
    return read_seq(src, out, [](Src& s, Signal& signal) { return read_signal(s, signal); });
}

template <class Src>
bool read_spec(Src& src, RadarSpec& out) {
    typename Src::Compound c;
    if (!src.begin_struct(c, "struct RadarSpec")) return false;
    if (c.form == Form::Seq) {
        int r = src.next_element(c);
        if (r < 0) return false;
        if (r == 1 && !read_string_list(src, out.venues)) return false;
        if (r == 1 && (r = src.next_element(c)) < 0) return false;
        if (r == 1 && !read_string_list(src, out.symbols)) return false;
        if (r == 1 && (r = src.next_element(c)) < 0) return false;
        if (r == 0) return src.fail_in(c, invalid_length(2, "struct RadarSpec with 5 elements"));
        if (!read_signal_list(src, out.signals)) return false;
        if ((r = src.next_element(c)) < 0) return false;
        if (r == 1 && !src.read_f64(out.threshold)) return false;
        if (r == 1 && (r = src.next_element(c)) < 0) return false;
        if (r == 1 && !src.read_optional_usize(out.limit)) return false;
        return src.end(c);
    }
    bool seen[5] = {false, false, false, false, false};
    static constexpr std::string_view kFields[5] = {"venues", "symbols", "signals", "threshold", "limit"};
    std::string_view key;
    for (;;) {
        int r = src.next_key(c, key);
        if (r < 0) return false;
        if (r == 0) break;
        size_t f = 0;
        while (f < 5 && kFields[f] != key) ++f;
        if (f == 5) {
            if (!src.skip_member(c)) return false;
            continue;
        }
        if (seen[f]) return src.fail_in(c, duplicate_field(kFields[f]));
        seen[f] = true;
        if (!src.member_value(c)) return false;
        bool ok = false;
        switch (f) {
            case 0: ok = read_string_list(src, out.venues); break;
            case 1: ok = read_string_list(src, out.symbols); break;
            case 2: ok = read_signal_list(src, out.signals); break;
            case 3: ok = src.read_f64(out.threshold); break;
            case 4: ok = src.read_optional_usize(out.limit); break;
        }
        if (!ok) return false;
    }
    if (!src.end(c)) return false;
    if (!seen[2]) return src.fail_here(missing_field("signals"));
    return true;
}

}  // namespace radar::spec_read
