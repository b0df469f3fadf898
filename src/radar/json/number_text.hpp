// Number texts: the JSON double format of every response, the positional
// decimal text of signal labels, and grid rounding to 1e-8.
#pragma once

#include <cstdint>
#include <string>

namespace radar {

// Shortest round-trip digits; fixed notation for decimal exponents -5..15
// ("0.00001", "12.5", "1.0", "-0.0"), otherwise "1e-8", "1.5e-7", "1e+16".
// NaN and infinities are written as null.
void append_json_double(std::string& out, double d);

// Shortest round-trip digits in plain positional notation, never an exponent:
// "3", "0.00000001", "-0.5", "-0", "100000000000000000000". Non-finite
// values are written "inf", "-inf" or "NaN".
void append_positional_double(std::string& out, double d);

void append_u64(std::string& out, uint64_t v);
void append_i64(std::string& out, int64_t v);

// round(x / 1e-8) * 1e-8 in double arithmetic, halves away from zero.
inline double grid_value(double x);

}  // namespace radar

#include <cmath>

inline double radar::grid_value(double x) { return std::round(x / 1e-8) * 1e-8; }
