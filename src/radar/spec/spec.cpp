#include "spec/spec.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "json/number_text.hpp"
#include "json/source.hpp"
#include "spec/read.hpp"

namespace radar {

Result<RadarSpec> RadarSpec::from_json_text(std::string_view text) {
    TextSource src(text);
    RadarSpec spec;
    if (spec_read::read_spec(src, spec) && src.finish()) return spec;
    return RadarError::from_json(src.take_error());
}

Result<RadarSpec> RadarSpec::from_json_value(const JsonValue& value) {
    ValueSource src(value);
    RadarSpec spec;
    if (spec_read::read_spec(src, spec)) return spec;
    return RadarError::parse(src.error_message());
}

namespace {

// The position of the first label equal to an earlier one. Positions sorted
// by (label, position) put equal labels side by side, each run in signal
// order: the first repeat is the smallest position that follows an equal
// label. n log n, where inserting into a sorted list is quadratic.
std::optional<size_t> first_repeat(const std::vector<std::string>& labels) {
    const size_t n = labels.size();
    if (n <= 16) {  // the usual handful: comparing with the earlier labels is cheapest
        for (size_t i = 1; i < n; ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (labels[j] == labels[i]) return i;
            }
        }
        return std::nullopt;
    }
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&labels](size_t a, size_t b) {
        const int c = labels[a].compare(labels[b]);
        return c < 0 || (c == 0 && a < b);
    });
    std::optional<size_t> first;
    for (size_t k = 1; k < n; ++k) {
        if (labels[order[k]] == labels[order[k - 1]] && (!first || order[k] < *first)) first = order[k];
    }
    return first;
}

}  // namespace

std::string Signal::label() const {
    std::string out(indicator_name(kind));
    out.push_back('(');
    for (size_t i = 0; i < params.size(); ++i) {
        if (i) out.push_back(',');
        append_positional_double(out, grid_value(params[i]));
    }
    out.push_back(')');
    return out;
}

std::optional<RadarError> RadarSpec::validate(std::vector<std::string>* labels) const {
    if (signals.empty()) return RadarError::bad_spec("at least one signal is required");
    if (!std::isfinite(threshold)) return RadarError::bad_spec("threshold must be finite");
    if (limit && *limit == 0) return RadarError::bad_spec("limit must be greater than zero");
    // The parameter count and weight of a signal need no other signal, so one
    // pass finds the first signal failing them; a duplicate before it is then
    // reported instead, as checking the signals one after another would.
    std::vector<std::string> in_order;  // labels in signal order, up to the first faulty signal
    in_order.reserve(signals.size());
    std::optional<RadarError> faulty;
    for (const Signal& s : signals) {
        std::string_view name = indicator_name(s.kind);
        size_t want = indicator_param_count(s.kind);
        if (s.params.size() != want) {
            std::string m(name);
            m.append(" takes ");
            append_u64(m, want);
            m.append(" parameter(s), got ");
            append_u64(m, s.params.size());
            faulty = RadarError::bad_spec(std::move(m));
            break;
        }
        if (!std::isfinite(s.weight) || s.weight < 0) {
            faulty = RadarError::bad_spec(std::string(name) + "' weight must be finite and non-negative");
            break;
        }
        in_order.push_back(s.label());
    }
    if (auto repeat = first_repeat(in_order)) return RadarError::bad_spec("duplicate signal: " + in_order[*repeat]);
    if (faulty) return faulty;
    if (labels) *labels = std::move(in_order);
    return std::nullopt;
}

}  // namespace radar
