// Conversions between doubles and decimals, exact and without allocation:
// the shortest decimal form of a double, and the double nearest to a decimal.
#pragma once

#include <cstdint>

namespace vrell::json {

struct Decimal {
  uint64_t digits;  // at most 17 decimal digits, the last of them not 0
  int exponent;     // the value is digits * 10^exponent
};

// The fewest significant digits that read back to v, and of those the one
// nearest to v (ties to an even last digit).
// REQUIRES: v is finite and greater than zero.
Decimal shortest_decimal(double v) noexcept;

// The double nearest to w * 10^q (ties to even) when it is a normal double
// and the fast method can decide it; false leaves the answer to a general
// conversion (zero, subnormal and out-of-range results, and the rare product
// too close to a rounding boundary).
bool nearest_double(uint64_t w, int64_t q, double* out) noexcept;

}  // namespace vrell::json
