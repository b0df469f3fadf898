// A radar's specification and dataset, or a scan's partial state, as bytes
// that load_state reads back (the layout is in format.hpp).
#pragma once

#include <cstdint>
#include <string>

#include "market/bars.hpp"
#include "market/dataset.hpp"
#include "spec/spec.hpp"

namespace radar {

// The window written is the one the specification implies; `bars`, the
// bars a scan left open, continue in a scan that starts from the state.
std::string save_state(const RadarSpec& spec, const Dataset& dataset, const BarFilter* bars = nullptr);
// A scan's window and dataset, without a specification, and the bars it
// left open when it thinned events to bars.
std::string save_partial(uint64_t window, const Dataset& dataset, const BarFilter* bars = nullptr);

}  // namespace radar
