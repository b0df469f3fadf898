#include "spec/spec.hpp"

#include <algorithm>
#include <cmath>

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
    std::vector<std::string> in_order;  // labels in signal order
    in_order.reserve(signals.size());
    std::vector<std::string_view> sorted;  // the same, ordered, for long signal lists
    for (const Signal& s : signals) {
        std::string_view name = indicator_name(s.kind);
        size_t want = indicator_param_count(s.kind);
        if (s.params.size() != want) {
            std::string m(name);
            m.append(" takes ");
            append_u64(m, want);
            m.append(" parameter(s), got ");
            append_u64(m, s.params.size());
            return RadarError::bad_spec(std::move(m));
        }
        if (!std::isfinite(s.weight) || s.weight < 0) {
            return RadarError::bad_spec(std::string(name) + "' weight must be finite and non-negative");
        }
        std::string label = s.label();
        if (signals.size() <= 16) {  // the usual handful: scanning the earlier labels is cheapest
            for (const std::string& seen : in_order) {
                if (seen == label) return RadarError::bad_spec("duplicate signal: " + label);
            }
        } else {
            auto it = std::lower_bound(sorted.begin(), sorted.end(), std::string_view(label));
            if (it != sorted.end() && *it == label) return RadarError::bad_spec("duplicate signal: " + label);
            in_order.push_back(std::move(label));
            sorted.insert(it, in_order.back());  // views stay valid: in_order never reallocates
            continue;
        }
        in_order.push_back(std::move(label));
    }
    if (labels) *labels = std::move(in_order);
    return std::nullopt;
}

}  // namespace radar
