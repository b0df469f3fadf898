// Reading a saved state back. Anything but the bytes save_state or
// save_partial wrote is refused with a message saying why; nothing is
// allocated for a count before the bytes it claims are known to be there.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "json/error.hpp"
#include "market/bars.hpp"
#include "market/dataset.hpp"
#include "spec/spec.hpp"

namespace radar {

struct SavedState {
    std::optional<RadarSpec> spec;  // present for a radar's state, validated
    uint64_t window = 0;            // the spec's window when there is a spec
    Dataset dataset;
    std::optional<BarFilter> bars;  // the bars its scan left open, when it thinned to bars
};

// Errors are of kind Parse, their message starting "state " or "not a".
Result<SavedState> load_state(std::string_view bytes);

}  // namespace radar
