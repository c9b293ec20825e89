// The search for the shortest form follows the interval method: the double
// c * 2^q rounds back from every decimal inside its rounding interval, and the
// interval is scaled by 10^-k so that its width is between 1 and 10 units of
// the last digit. Then only four candidates need checking: the two multiples of
// ten that bracket the scaled value (one digit fewer) and the two integers that
// do. Scaling uses a 126-bit upper approximation of 10^-k from the generated
// table; the proofs of why 126 bits and a sticky bit are enough are in the
// literature on this method, and the unit tests compare every case class with
// the standard library's own shortest formatting.
#include "float_text.h"

#include <bit>
#include <cstring>

namespace vrell::json {
namespace {

#include "float_table.inc"

constexpr int kPrecision = 53;  // significand bits, the hidden one included
constexpr int kQMin = -1074;    // binary exponent of the subnormals
constexpr uint64_t kCMin = uint64_t{1} << (kPrecision - 1);

// floor(q * log10(2)), floor(log10(3/4 * 2^q)) and floor(e * log2(10)) over
// the exponents of doubles; the generator checks them exactly.
constexpr int floor_log10_pow2(int q) noexcept {
  return static_cast<int>((int64_t{q} * 661971961083) >> 41);
}
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
}
constexpr int floor_log2_pow10(int e) noexcept {
  return static_cast<int>((int64_t{e} * 913124641741) >> 38);
}

__extension__ using uint128 = unsigned __int128;

inline uint64_t mul_high(uint64_t a, uint64_t b) noexcept {
  return static_cast<uint64_t>((static_cast<uint128>(a) * b) >> 64);
}

// floor(g * cp / 2^127) with its lowest bit or-ed with "inexact", where
// g = g1 * 2^63 + g0.
inline uint64_t round_to_odd(uint64_t g1, uint64_t g0, uint64_t cp) noexcept {
  const uint128 y = static_cast<uint128>(g1) * cp;
  const uint64_t x1 = mul_high(g0, cp);
  const uint64_t z = (static_cast<uint64_t>(y) >> 1) + x1;
  const uint64_t vbp = static_cast<uint64_t>(y >> 64) + (z >> 63);
  constexpr uint64_t kMask63 = (uint64_t{1} << 63) - 1;
  return vbp | (((z & kMask63) + kMask63) >> 63);
}

Decimal trimmed(uint64_t f, int e) noexcept {
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

Decimal search(int q, uint64_t c) noexcept {
  const uint64_t out = c & 1;  // an even significand's interval is closed
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  uint64_t cbl;
  int k;
  if (c != kCMin || q == kQMin) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {
    // At a power of two the interval below is half as wide as above.
    cbl = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  const int h = q + floor_log2_pow10(-k) + 2;
  const uint64_t g1 = kPow10Table[k - kTableKMin][0];
  const uint64_t g0 = kPow10Table[k - kTableKMin][1];
  const uint64_t vb = round_to_odd(g1, g0, cb << h);
  const uint64_t vbl = round_to_odd(g1, g0, cbl << h);
  const uint64_t vbr = round_to_odd(g1, g0, cbr << h);
  const uint64_t s = vb >> 2;
  {
    // One digit fewer: the multiples of ten around the value. (Below ten,
    // the lower one is 0, which no positive value's interval holds.)
    const uint64_t s10 = s / 10;
    const uint64_t sp10 = 10 * s10;
    const uint64_t tp10 = sp10 + 10;
    const bool upin = vbl + out <= sp10 << 2;
    const bool wpin = (tp10 << 2) + out <= vbr;
    if (upin != wpin) return trimmed(upin ? s10 : s10 + 1, k + 1);
  }
  const uint64_t t = s + 1;
  const bool uin = vbl + out <= s << 2;
  const bool win = (t << 2) + out <= vbr;
  if (uin != win) return trimmed(uin ? s : t, k);
  // Both in: the nearer one, ties to even.
  const int64_t cmp = static_cast<int64_t>(vb - ((s + t) << 1));
  return trimmed(cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k);
}

struct U128 {
  uint64_t hi;
  uint64_t lo;
};

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
  const uint128 high = static_cast<uint128>(x) * y.hi + mul_high(x, y.lo);
  return {static_cast<uint64_t>(high >> 64), static_cast<uint64_t>(high)};
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
Decimal one_product(int q, uint64_t c) noexcept {
  constexpr int kKappa = 2;
  constexpr uint32_t kBig = 1000, kSmall = 100;
  const int minus_k = floor_log10_pow2(q) - kKappa;
  const U128 cache = pow10_rounded_up(-minus_k);
  const int beta = q + floor_log2_pow10(-minus_k);
  const uint64_t two_c = c << 1;
  const bool closed = (c & 1) == 0;  // an even significand's interval is closed
  const uint32_t delta = static_cast<uint32_t>(cache.hi >> (63 - beta));
  const U128 z = mul_upper128((two_c | 1) << beta, cache);  // the right end, scaled
  uint64_t digits = z.hi / kBig;
  uint32_t r = static_cast<uint32_t>(z.hi - kBig * digits);
  bool shorter;
  if (r < delta) {
    // The multiple of 1000 below the right end is inside, unless it is the
    // right end itself and that is excluded.
    shorter = !(r == 0 && z.lo == 0 && !closed);
    if (!shorter) {
      --digits;
      r = kBig;
    }
  } else if (r > delta) {
    shorter = false;
  } else {
    // On the left end, up to the fractional parts.
    const Parity x = mul_parity(two_c - 1, cache, beta);
    shorter = x.odd || (x.integer && closed);
  }
  if (shorter) return trimmed(digits, minus_k + kKappa + 1);
  // The multiple of 100 nearest to the value: its distance below the right
  // end is about r - delta / 2.
  digits *= 10;
  uint32_t dist = r - delta / 2 + kSmall / 2;
  const bool approx_odd = ((dist ^ (kSmall / 2)) & 1) != 0;
  const bool on_a_multiple = dist % kSmall == 0;
  dist /= kSmall;
  digits += dist;
  if (on_a_multiple) {
    // Rounding of the estimate settled exactly; ties go to the even digit.
    const Parity y = mul_parity(two_c, cache, beta);
    if (y.odd != approx_odd) {
      --digits;
    } else if ((digits & 1) != 0 && y.integer) {
      --digits;
    }
  }
  return trimmed(digits, minus_k + kKappa);
}

}  // namespace

Decimal shortest_decimal(double v) noexcept {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const uint64_t fraction = bits & (kCMin - 1);
  const int biased = static_cast<int>(bits >> (kPrecision - 1));
  if (biased != 0) {
    const int q = biased - 1 - 1022 - (kPrecision - 1);  // as c * 2^q
    const uint64_t c = kCMin | fraction;
    // Integers below 2^53 are their own shortest form.
    if (q < 0 && -q < kPrecision) {
      const uint64_t f = c >> -q;
      if (f << -q == c) return trimmed(f, 0);
    }
    if (fraction != 0) return one_product(q, c);
    return search(q, c);
  }
  return search(kQMin, fraction);
}

// The product of w and a 128-bit mantissa of 5^q has 190 or 191 bits; its
// top 53 bits are the significand and the next one the rounding bit. Where
// the table is exact (5^q below 2^128) the product is exact and ties round to
// even. Elsewhere the true mantissa lies strictly between the entry and the
// entry plus one, so the true product lies strictly between P and P + w: the
// rounding is P's unless adding less than w could carry into the rounding
// bit, which sends the case to the general conversion.
bool nearest_double(uint64_t w, int64_t q, double* out) noexcept {
  if (w == 0 || q < kReadQMin || q > kReadQMax) return false;
  if (w <= (uint64_t{1} << 53) && q >= -22 && q <= 22) {
    // Both operands exact as doubles: one correctly rounded operation.
    static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double d = static_cast<double>(w);
    *out = q < 0 ? d / kExact[-q] : d * kExact[q];
    return true;
  }
  const int lz = std::countl_zero(w);
  const uint64_t ws = w << lz;
  const uint64_t* const t = kPow5Table[q - kReadQMin];
  const uint128 low = static_cast<uint128>(ws) * t[1];
  const uint128 high = static_cast<uint128>(ws) * t[0];
  const uint128 mid = (low >> 64) + static_cast<uint64_t>(high);
  const uint64_t p0 = static_cast<uint64_t>(low);
  const uint64_t p1 = static_cast<uint64_t>(mid);
  const uint64_t p2 = static_cast<uint64_t>(high >> 64) + static_cast<uint64_t>(mid >> 64);
  const int upper = static_cast<int>(p2 >> 63);
  const int shift = 10 + upper;  // p2 >> shift: the 53 significand bits
  uint64_t m = p2 >> shift;
  const bool round = ((p2 >> (shift - 1)) & 1) != 0;
  const uint64_t below_mask = (uint64_t{1} << (shift - 1)) - 1;
  const uint64_t below = p2 & below_mask;
  const bool exact = q >= 0 && q <= 55;
  if (!exact && below == below_mask && p1 == ~uint64_t{0}) return false;
  if (round) {
    const bool tie = exact && below == 0 && p1 == 0 && p0 == 0;
    m += tie ? (m & 1) : 1;
  }
  // The leading bit's binary exponent: P = m * 2^(138 + upper) and
  // 5^q = entry * 2^(floor(q log2 5) - 127).
  int64_t e = 190 + upper + ((q * 152170) >> 16) - 127 + q - lz;
  if (m == uint64_t{1} << 53) {
    m >>= 1;
    ++e;
  }
  if (e < -1022 || e > 1023) return false;
  const uint64_t bits = (static_cast<uint64_t>(e + 1023) << 52) | (m & (kCMin - 1));
  *out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace vrell::json
