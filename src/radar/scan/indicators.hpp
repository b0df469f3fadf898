// Evaluating one signal on one symbol's state.
#pragma once

#include "market/symbol_state.hpp"
#include "spec/spec.hpp"

namespace radar {

// The signal's strength in [0, 1] (possibly -0.0); 0 whenever the state
// lacks the data the indicator needs or the raw value is not finite. Reads
// the parameters by position, so the spec must have been validated. Pure:
// allocates nothing and never fails.
double signal_strength(const Signal& signal, const SymbolState& state);

}  // namespace radar
