// Conversions between doubles and decimals, exact and without allocation:
// the shortest decimal form of a double, and the double nearest to a decimal.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "platform.h"

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

// The double nearest to the decimal whose digits are `int_digits` then
// `fraction_digits` (ASCII digits, leading zeros allowed), times
// 10^(exponent - fraction_digits.size()), ties to even: exact for any number
// of digits and any exponent, by big-integer arithmetic. A value too small
// for the smallest subnormal rounds to zero; false when it rounds to infinity.
// Slow next to nearest_double: for what that declines.
bool exact_nearest_double(std::string_view int_digits, std::string_view fraction_digits,
                          int64_t exponent, double* out) noexcept;

// Their bodies, for the reader's number loop to inline (every other caller
// takes the functions above); the rare cases' search is in float_text.cc.
namespace float_text {

#include "float_table.inc"

constexpr int kPrecision = 53;  // significand bits, the hidden one included
constexpr int kQMin = -1074;    // binary exponent of the subnormals
constexpr uint64_t kCMin = uint64_t{1} << (kPrecision - 1);

// floor(q * log10(2)) and floor(e * log2(10)) over the exponents of
// doubles; the generator checks them exactly.
constexpr int floor_log10_pow2(int q) noexcept {
  return static_cast<int>((int64_t{q} * 661971961083) >> 41);
}
constexpr int floor_log2_pow10(int e) noexcept {
  return static_cast<int>((int64_t{e} * 913124641741) >> 38);
}

using platform::mul_64x64;
using platform::mul_high;

inline Decimal trimmed(uint64_t f, int e) noexcept {
  // Callers only hand over digits > 0. Most results end in a nonzero digit;
  // the others, in halving steps (a 17-digit one may end in 16 zeros).
  if (f % 10 != 0) return {f, e};
  while (f % 100000000 == 0) {
    f /= 100000000;
    e += 8;
  }
  if (f % 10000 == 0) {
    f /= 10000;
    e += 4;
  }
  if (f % 100 == 0) {
    f /= 100;
    e += 2;
  }
  if (f % 10 == 0) {
    f /= 10;
    e += 1;
  }
  return {f, e};
}

// The shortest form by the interval search: powers of two and subnormals.
Decimal search(int q, uint64_t c) noexcept;

using U128 = platform::U128;

// 10^k as a 128-bit mantissa rounded up: the reading table's entry (rounded
// down) plus one wherever that entry is not exact.
inline U128 pow10_rounded_up(int k) noexcept {
  const uint64_t* const t = kPow5Table[k - kReadQMin];
  U128 r{t[0], t[1]};
  if (k < 0 || k > 55) {
    r.lo += 1;
    r.hi += r.lo == 0;
  }
  return r;
}

// The top 128 bits of the 192-bit product x * y.
inline U128 mul_upper128(uint64_t x, U128 y) noexcept {
  // The carry is spelled out: a 128-bit sum makes the compiler spill.
  const U128 high = mul_64x64(x, y.hi);
  const uint64_t carry_in = mul_high(x, y.lo);
  const uint64_t lo = high.lo + carry_in;
  return {high.hi + (lo < carry_in), lo};
}

// Whether the integer part of x * y / 2^(128 - beta) is odd, and whether the
// product has no fractional part there.
struct Parity {
  bool odd;
  bool integer;
};
inline Parity mul_parity(uint64_t x, U128 y, int beta) noexcept {
  const uint64_t hi = x * y.hi + mul_high(x, y.lo);
  const uint64_t lo = x * y.lo;
  return {((hi >> (64 - beta)) & 1) != 0, ((hi << beta) | (lo >> (64 - beta))) == 0};
}

// The shortest form with one product for most doubles: the value's rounding
// interval is scaled by 10^k so that its width is between 100 and 1000 units;
// a multiple of 1000 inside it gives the form one digit shorter than the
// scale, and otherwise the nearest multiple of 100 to the value does, found
// from the distances already at hand (a second product only settles exact
// ties). REQUIRES: a normal double whose significand c is not a power of two
// (whose interval is lopsided).
//
// The scaled interval, which both versions below start from.
struct ScaledInterval {
  static constexpr int kKappa = 2;
  static constexpr uint32_t kBig = 1000, kSmall = 100;
  int minus_k;      // the scale is 10^-minus_k
  U128 cache;       // 10^-minus_k, rounded up
  int beta;         // the binary shift that goes with it
  uint32_t delta;   // the interval's width, scaled
  U128 z;           // its right end, scaled
  uint64_t digits;  // z.hi / 1000
  uint32_t r;       // z.hi % 1000
};

VRELL_ALWAYS_INLINE ScaledInterval scale_interval(int q, uint64_t c) noexcept {
  ScaledInterval s;
  s.minus_k = floor_log10_pow2(q) - ScaledInterval::kKappa;
  s.cache = pow10_rounded_up(-s.minus_k);
  s.beta = q + floor_log2_pow10(-s.minus_k);
  s.delta = static_cast<uint32_t>(s.cache.hi >> (63 - s.beta));
  s.z = mul_upper128(((c << 1) | 1) << s.beta, s.cache);
  s.digits = s.z.hi / ScaledInterval::kBig;
  s.r = static_cast<uint32_t>(s.z.hi - ScaledInterval::kBig * s.digits);
  return s;
}

// one_product in full, every case included.
Decimal one_product_exact(uint64_t c, const ScaledInterval& s) noexcept;

// The common cases are decided without a branch on the data, since whether
// the form is one digit shorter is a coin toss for most inputs; values on or
// next to an end of the interval, and estimates exactly on a multiple of 100,
// take one_product_exact.
VRELL_ALWAYS_INLINE Decimal one_product(int q, uint64_t c) noexcept {
  const ScaledInterval s = scale_interval(q, c);
  // Without the shorter form: the multiple of 100 nearest to the value, whose
  // distance below the right end is about r - delta / 2.
  const uint32_t dist = s.r - s.delta / 2 + ScaledInterval::kSmall / 2;
  if (s.r == s.delta || s.r == 0 || dist % ScaledInterval::kSmall == 0) {
    return one_product_exact(c, s);
  }
  const bool shorter = s.r < s.delta;  // a multiple of 1000 inside
  const uint64_t longer = s.digits * 10 + dist / ScaledInterval::kSmall;
  const uint64_t pick = uint64_t{0} - static_cast<uint64_t>(shorter);  // all ones if shorter
  return trimmed(longer ^ ((longer ^ s.digits) & pick),
                 s.minus_k + ScaledInterval::kKappa + static_cast<int>(shorter));
}

// A positive double as c * 2^q: c has its hidden bit where v is normal.
struct Binary {
  uint64_t c;
  int q;
};

inline Binary binary_of(double v) noexcept {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const uint64_t fraction = bits & (kCMin - 1);
  const int biased = static_cast<int>(bits >> (kPrecision - 1));
  if (biased == 0) return {fraction, kQMin};
  return {kCMin | fraction, biased - 1 - 1022 - (kPrecision - 1)};
}

// shortest_decimal of c * 2^q, as binary_of gives it.
VRELL_ALWAYS_INLINE Decimal shortest(Binary b) noexcept {
  if (b.c < kCMin) return search(kQMin, b.c);          // subnormal
  if (!platform::kFastPaths) return search(b.q, b.c);  // the plain version of what follows
  // Integers below 2^53 are their own shortest form.
  if (b.q < 0 && -b.q < kPrecision) {
    const uint64_t f = b.c >> -b.q;
    if (f << -b.q == b.c) return trimmed(f, 0);
  }
  if (b.c != kCMin) return one_product(b.q, b.c);
  return search(b.q, b.c);
}

// nearest_double, as c * 2^q with c normal. The product of w and a 128-bit
// mantissa of 5^q has 190 or 191 bits; its top 53 bits are the significand
// and the next one the rounding bit. Where the table is exact (5^q below
// 2^128) the product is exact and ties round to even. Elsewhere the true
// mantissa lies strictly between the entry and the entry plus one, so the
// true product lies strictly between P and P + w: the rounding is P's unless
// adding less than w could carry into the rounding bit, which sends the case
// to the general conversion.
VRELL_ALWAYS_INLINE bool nearest(uint64_t w, int64_t q, Binary* out) noexcept {
  // The plain version: the exact conversion, which callers fall back on.
  if (!platform::kFastPaths) return false;
  if (w == 0 || q < kReadQMin || q > kReadQMax) return false;
  if (w <= (uint64_t{1} << 53) && q >= -22 && q <= 22) {
    // Both operands exact as doubles: one correctly rounded operation.
    static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double d = static_cast<double>(w);
    *out = binary_of(q < 0 ? d / kExact[-q] : d * kExact[q]);
    return true;
  }
  const int lz = std::countl_zero(w);
  const uint64_t ws = w << lz;
  const uint64_t* const t = kPow5Table[q - kReadQMin];
  const U128 low = mul_64x64(ws, t[1]);
  const U128 high = mul_64x64(ws, t[0]);
  const uint64_t p0 = low.lo;
  const uint64_t p1 = high.lo + low.hi;
  const uint64_t p2 = high.hi + (p1 < high.lo);
  const int upper = static_cast<int>(p2 >> 63);
  const int shift = 10 + upper;  // p2 >> shift: the 53 significand bits
  uint64_t m = p2 >> shift;
  const bool round = ((p2 >> (shift - 1)) & 1) != 0;
  const uint64_t below_mask = (uint64_t{1} << (shift - 1)) - 1;
  const uint64_t below = p2 & below_mask;
  const bool exact = q >= 0 && q <= 55;
  if (!exact && ((below ^ below_mask) | (p1 + 1)) == 0) return false;
  // Rounded up unless below half, or a tie with m even; without a branch,
  // since the rounding bit is a coin toss.
  const bool tie = exact & ((below | p1 | p0) == 0);
  m += static_cast<uint64_t>(round) & (static_cast<uint64_t>(!tie) | (m & 1));
  // The leading bit's binary exponent: P = m * 2^(138 + upper) and
  // 5^q = entry * 2^(floor(q log2 5) - 127).
  int64_t e = 190 + upper + ((q * 152170) >> 16) - 127 + q - lz;
  if (m == uint64_t{1} << 53) {
    m >>= 1;
    ++e;
  }
  if (e < -1022 || e > 1023) return false;
  *out = {m, static_cast<int>(e) - (kPrecision - 1)};
  return true;
}

// The double c * 2^q from nearest.
inline double double_of(Binary b) noexcept {
  const auto biased = static_cast<uint64_t>(b.q + (kPrecision - 1) + 1023);
  return std::bit_cast<double>((biased << 52) | (b.c & (kCMin - 1)));
}

}  // namespace float_text

}  // namespace vrell::json
