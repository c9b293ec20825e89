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
  const U128 y = mul_64x64(g1, cp);
  const uint64_t x1 = mul_high(g0, cp);
  const uint64_t z = (y.lo >> 1) + x1;
  const uint64_t vbp = y.hi + (z >> 63);
  constexpr uint64_t kMask63 = (uint64_t{1} << 63) - 1;
  return vbp | (((z & kMask63) + kMask63) >> 63);
}

}  // namespace

Decimal one_product_exact(uint64_t c, const ScaledInterval& s) noexcept {
  constexpr int kKappa = ScaledInterval::kKappa;
  constexpr uint32_t kBig = ScaledInterval::kBig, kSmall = ScaledInterval::kSmall;
  const int minus_k = s.minus_k, beta = s.beta;
  const U128 cache = s.cache, z = s.z;
  const uint32_t delta = s.delta;
  const uint64_t two_c = c << 1;
  const bool closed = (c & 1) == 0;  // an even significand's interval is closed
  uint64_t digits = s.digits;
  uint32_t r = s.r;
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
namespace {

// An unsigned integer of up to kLimbs 32-bit limbs, least significant first:
// just the operations the exact conversion needs. 32-bit limbs keep every
// step in plain 64-bit arithmetic.
class BigInt {
 public:
  // 800 digits scaled by the largest powers of two and ten the conversion
  // uses stay below 2^3800.
  static constexpr int kLimbs = 128;

  explicit BigInt(uint32_t v = 0) noexcept : size_(v != 0 ? 1 : 0) { limb_[0] = v; }

  bool is_zero() const noexcept { return size_ == 0; }

  void mul_add(uint32_t m, uint32_t add) noexcept {
    uint64_t carry = add;
    for (int i = 0; i < size_; ++i) {
      const uint64_t t = uint64_t{limb_[i]} * m + carry;
      limb_[i] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    if (carry != 0) limb_[size_++] = static_cast<uint32_t>(carry);
  }

  void mul_pow10(int64_t k) noexcept {
    for (; k >= 9; k -= 9) mul_add(1000000000, 0);
    static constexpr uint32_t kSmall[] = {1,      10,      100,      1000,     10000,
                                          100000, 1000000, 10000000, 100000000};
    if (k > 0) mul_add(kSmall[k], 0);
  }

  void shift_left(int64_t bits) noexcept {
    if (size_ == 0 || bits == 0) return;
    const int whole = static_cast<int>(bits / 32), part = static_cast<int>(bits % 32);
    if (part != 0) {
      uint32_t carry = 0;
      for (int i = 0; i < size_; ++i) {
        const uint32_t next = limb_[i] >> (32 - part);
        limb_[i] = (limb_[i] << part) | carry;
        carry = next;
      }
      if (carry != 0) limb_[size_++] = carry;
    }
    if (whole != 0) {
      for (int i = size_ - 1; i >= 0; --i) limb_[i + whole] = limb_[i];
      for (int i = 0; i < whole; ++i) limb_[i] = 0;
      size_ += whole;
    }
  }

  void shift_right_one() noexcept {
    for (int i = 0; i < size_; ++i) {
      limb_[i] = (limb_[i] >> 1) | (i + 1 < size_ ? limb_[i + 1] << 31 : 0);
    }
    if (size_ > 0 && limb_[size_ - 1] == 0) --size_;
  }

  // REQUIRES: *this >= other.
  void subtract(const BigInt& other) noexcept {
    int64_t borrow = 0;
    for (int i = 0; i < size_; ++i) {
      int64_t t = int64_t{limb_[i]} - borrow - (i < other.size_ ? int64_t{other.limb_[i]} : 0);
      borrow = t < 0 ? 1 : 0;
      limb_[i] = static_cast<uint32_t>(t + (borrow << 32));
    }
    while (size_ > 0 && limb_[size_ - 1] == 0) --size_;
  }

  int64_t bit_length() const noexcept {
    return size_ == 0 ? 0 : int64_t{32} * (size_ - 1) + std::bit_width(limb_[size_ - 1]);
  }

  friend int compare(const BigInt& a, const BigInt& b) noexcept {
    if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
    for (int i = a.size_ - 1; i >= 0; --i) {
      if (a.limb_[i] != b.limb_[i]) return a.limb_[i] < b.limb_[i] ? -1 : 1;
    }
    return 0;
  }

 private:
  int size_;
  uint32_t limb_[kLimbs];
};

}  // namespace

namespace {

// The kept significant digits D of a decimal as a big integer, the exponent E
// with value = D * 10^E, and whether any digit dropped past them is nonzero.
// Digits past the 800th significant one can only tell a value just above a
// halfway point from the point itself (no halfway point between two doubles
// has more than 767 significant digits), so a sticky flag stands for them.
struct BigDecimal {
  BigInt digits;
  int kept = 0;
  int64_t exponent = 0;
  bool sticky = false;
};

void gather(std::string_view int_digits, std::string_view fraction_digits, int64_t exponent,
            BigDecimal* d) noexcept {
  constexpr int kKept = 800;
  d->exponent = exponent - static_cast<int64_t>(fraction_digits.size());
  for (std::string_view part : {int_digits, fraction_digits}) {
    for (char c : part) {
      const auto digit = static_cast<uint32_t>(c - '0');
      if (d->kept == 0 && digit == 0) continue;
      if (d->kept < kKept) {
        d->digits.mul_add(10, digit);
        ++d->kept;
      } else {
        d->sticky = d->sticky || digit != 0;
        ++d->exponent;  // a digit dropped from D keeps its place in E
      }
    }
  }
}

// floor(log2(num / den)), from the bit lengths' difference or one less.
int64_t floor_log2_of_ratio(const BigInt& num, const BigInt& den) noexcept {
  int64_t log2 = num.bit_length() - den.bit_length();
  BigInt a = num, b = den;
  if (log2 >= 0) {
    b.shift_left(log2);
  } else {
    a.shift_left(-log2);
  }
  return compare(a, b) < 0 ? log2 - 1 : log2;
}

// The double nearest to num / den * 2^e2 where num / den < 2^53, rounding on
// the remainder (ties to even, `sticky` above it); false at infinity.
bool round_quotient(BigInt& num, const BigInt& den, int64_t e2, bool sticky, double* out) noexcept {
  uint64_t m = 0;
  BigInt step = den;
  step.shift_left(52);
  for (int bit = 52; bit >= 0; --bit) {
    if (compare(num, step) >= 0) {
      num.subtract(step);
      m |= uint64_t{1} << bit;
    }
    step.shift_right_one();
  }
  num.shift_left(1);  // twice the remainder, against den
  const int half = compare(num, den);
  if (half > 0 || (half == 0 && (sticky || (m & 1) != 0))) ++m;
  if (m == uint64_t{1} << 53) {
    m >>= 1;
    ++e2;
  }
  uint64_t bits = m;  // a subnormal (or zero): the exponent field stays 0
  if (m >= float_text::kCMin) {
    const int64_t biased = e2 + 52 + 1023;
    if (biased > 2046) return false;
    bits = (static_cast<uint64_t>(biased) << 52) | (m & (float_text::kCMin - 1));
  }
  *out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace

bool exact_nearest_double(std::string_view int_digits, std::string_view fraction_digits,
                          int64_t exponent, double* out) noexcept {
  BigDecimal d;
  gather(int_digits, fraction_digits, exponent, &d);
  // The decimal exponent of the first digit: above 309 the value exceeds the
  // largest double, below -325 it is under half the smallest subnormal.
  const int64_t first = d.exponent + d.kept - 1;
  if (d.kept != 0 && first > 309) return false;
  if (d.kept == 0 || first < -325) {
    *out = 0.0;
    return true;
  }
  BigInt& num = d.digits;
  BigInt den(1);
  if (d.exponent >= 0) {
    num.mul_pow10(d.exponent);
  } else {
    den.mul_pow10(-d.exponent);
  }
  const int64_t log2 = floor_log2_of_ratio(num, den);
  if (log2 > 1023) return false;
  // Scaled so that the quotient has the 53 bits of a normal significand, or
  // fewer at the subnormals' fixed exponent.
  const int64_t e2 = log2 - 52 < -1074 ? -1074 : log2 - 52;
  if (e2 >= 0) {
    den.shift_left(e2);
  } else {
    num.shift_left(-e2);
  }
  return round_quotient(num, den, e2, d.sticky, out);
}

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
