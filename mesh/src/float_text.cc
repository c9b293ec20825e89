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

namespace vrell::json::float_text {
namespace {

// floor(log10(3/4 * 2^q)), checked by the generator like the others.
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
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

}  // namespace

// The shortest form with one product for most doubles: the value's rounding
// interval is scaled by 10^k so that its width is between 100 and 1000 units;
// a multiple of 1000 inside it gives the form one digit shorter than the
// scale, and otherwise the nearest multiple of 100 to the value does, found
// from the distances already at hand (a second product only settles exact
// ties). REQUIRES: a normal double whose significand c is not a power of two
// (whose interval is lopsided).
Decimal one_product_exact(int q, uint64_t c) noexcept {
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

}  // namespace vrell::json::float_text

namespace vrell::json {

Decimal shortest_decimal(double v) noexcept {
  return float_text::shortest(float_text::binary_of(v));
}

bool nearest_double(uint64_t w, int64_t q, double* out) noexcept {
  float_text::Binary b;
  if (!float_text::nearest(w, q, &b)) return false;
  *out = float_text::double_of(b);
  return true;
}

}  // namespace vrell::json
