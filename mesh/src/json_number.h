// The number layout of the reader and writer, inline because the reader's
// inner loops (arrays of numbers) take it without a call.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "float_text.h"
#include "platform.h"

namespace vrell::json::detail {

constexpr size_t kF64Room = 40;

constexpr uint64_t kPow10U64[] = {1,
                                  10,
                                  100,
                                  1000,
                                  10000,
                                  100000,
                                  1000000,
                                  10000000,
                                  100000000,
                                  1000000000,
                                  10000000000,
                                  100000000000,
                                  1000000000000,
                                  10000000000000,
                                  100000000000000,
                                  1000000000000000,
                                  10000000000000000,
                                  100000000000000000,
                                  1000000000000000000,
                                  10000000000000000000u};

// Number of decimal digits of f > 0.
inline int digit_count(uint64_t f) noexcept {
  const int t = (std::bit_width(f) * 1233) >> 12;
  return t + 1 - (f < kPow10U64[t]);
}

// Eight ASCII digits of x < 10^8, zero-padded, the first in the lowest byte:
// splits into 4-, 2- and 1-digit lanes with multiply-shift divisions, so
// that the digits are stored with one write.
inline uint64_t eight_ascii_digits(uint64_t x) noexcept {
  uint64_t v = (x / 10000) | ((x % 10000) << 32);
  const uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007F;
  v = hundreds | ((v - hundreds * 100) << 16);
  const uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000F;
  v = tens | ((v - tens * 10) << 8);
  return v + 0x3030303030303030;
}

// The first digit goes to the lowest address on every machine.
inline void store8(char* o, uint64_t v) noexcept { platform::store_le64(o, v); }

// Writes f as n digits at o (zero-padded: n >= digit_count(f)) in whole
// 8-byte stores: up to 24 bytes from o may be written.
inline void put_digits(char* o, uint64_t f, int n) noexcept {
  if (n > 16) {
    const uint64_t top = f / 10000000000000000;
    f %= 10000000000000000;
    store8(o, eight_ascii_digits(top) >> (8 * (24 - n)));
    o += n - 16;
    n = 16;
  }
  if (n > 8) {
    // The high part's zero padding shifted out, the low part's kept.
    store8(o, eight_ascii_digits(f / 100000000) >> (8 * (16 - n)));
    store8(o + n - 8, eight_ascii_digits(f % 100000000));
  } else {
    store8(o, eight_ascii_digits(f) >> (8 * (8 - n)));
  }
}

// The canonical layout of the nonzero decimal d (no sign); needs kF64Room bytes.
char* put_decimal(char* o, Decimal d) noexcept;
// The canonical text of a double; needs kF64Room bytes.
char* put_f64(char* o, double v) noexcept;

// A decimal w * 10^q (w > 0) of at most fifteen significant digits, in the
// normal range, is already the shortest form of its double: no other decimal
// of that length reads as the same one. False leaves it to the conversions
// (and a plain-paths build always does). `kInRange`: the caller knows the
// value is within the normal range (a plain decimal of at most 19 digits).
template <bool kInRange = false>
VRELL_ALWAYS_INLINE bool short_decimal(uint64_t w, int64_t q, Decimal* d) noexcept {
  if (!platform::kFastPaths || w >= kPow10U64[15]) return false;
  while (w % 10 == 0) {
    w /= 10;
    ++q;
  }
  if (!kInRange) {
    const int64_t e = q + digit_count(w) - 1;
    if (e < -307 || e > 307) return false;
  }
  *d = {w, static_cast<int>(q)};
  return true;
}

VRELL_ALWAYS_INLINE char* copy_decimal_prefix(char* o, Decimal d, const char* start,
                                              const char* int_begin, size_t int_len, uint64_t w,
                                              int count) noexcept {
  if (!platform::kFastPaths) return nullptr;
  // The input's first significant digit: the integer part's first (then all
  // `count` digits are significant), or the first after the zeros that open
  // the fraction of "0.00x" (which `count` includes).
  int w_digits = count;
  int e = static_cast<int>(int_len) - 1;  // its decimal exponent
  if (*int_begin == '0') {
    w_digits = digit_count(w);
    e = w_digits - count - 1;
  }
  // d must start there too: then it has n digits. Taking n from the
  // exponents rather than counting d's digits keeps the output's length
  // independent of d's digits, which come last.
  const int n = e - d.exponent + 1;
  if (e < -5 || e > 15 || n <= e + 1 || n < 1 || n > w_digits) return nullptr;
  if (d.digits < kPow10U64[n - 1] || d.digits >= kPow10U64[n]) return nullptr;
  const uint64_t unit = kPow10U64[w_digits - n];
  const uint64_t lo = d.digits * unit;  // d's digits in the input's place
  // Raised or not is a coin toss: decided without a branch. Not raised,
  // w is at most unit - 1 above lo; raised, at most unit below.
  const bool raised = w < lo;
  const uint64_t pick = uint64_t{0} - static_cast<uint64_t>(raised);
  const uint64_t apart = ((w - lo) & ~pick) | ((lo - w) & pick);
  if (apart > unit - 1 + static_cast<uint64_t>(raised)) return nullptr;
  const size_t len = static_cast<size_t>(int_begin - start) + static_cast<size_t>(n) + 1 +
                     static_cast<size_t>(e < 0 ? -e : 0);
  std::memcpy(o, start, 32);  // len <= 24
  // A raised digit never carries: d is trimmed, so its last digit is not 0.
  o[len - 1] = static_cast<char>(o[len - 1] + raised);
  return o + len;
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The number in eight digit values (0-9), the first in the lowest byte.
inline uint64_t eight_digits(uint64_t v) noexcept {
  v = v * 10 + (v >> 8);
  return (((v & 0x000000FF000000FF) * (100 + (uint64_t{1000000} << 32))) +
          (((v >> 16) & 0x000000FF000000FF) * (1 + (uint64_t{10000} << 32)))) >>
         32;
}

// Advances over decimal digits, eight at a time where eight bytes remain.
// Digits are added to *w while *count (the digits seen, which always grows)
// stays within 19, so *w is exact exactly when *count <= 19. `Capped` false
// leaves out that check for a caller that refuses more than 19 digits
// anyway (*w is then exact only when *count <= 19 as well).
template <bool Capped = true>
inline const char* scan_digits(const char* p, const char* end, uint64_t* w, int* count) noexcept {
  while (end - p >= 8) {
    // The first byte in the lowest lane, whatever the machine's order.
    const uint64_t v = platform::load_le64(p);
    const uint64_t values = v - 0x3030303030303030;
    // Bytes above '9' carry into the top bit, bytes below '0' borrow into
    // it; both only disturb bytes after the first non-digit.
    const uint64_t non_digit = ((v + 0x4646464646464646) | values) & 0x8080808080808080;
    const int n = non_digit == 0 ? 8 : std::countr_zero(non_digit) >> 3;
    if (n == 0) return p;
    if (!Capped) {
      *w = *w * kPow10U64[n] + eight_digits(values << (8 * (8 - n)));
    } else if (*count + n <= 19) {
      *w = *w * kPow10U64[n] + eight_digits(values << (8 * (8 - n)));
    }
    *count += n;
    p += n;
    if (n < 8) return p;
  }
  for (; p < end && is_digit(*p); ++p) {
    if (!Capped || *count < 19) *w = *w * 10 + static_cast<uint64_t>(*p - '0');
    ++*count;
  }
  return p;
}

// The common number forms read and written in one pass with everything in
// registers: an optional minus, at most 19 digits with an optional fraction,
// no exponent, and not zero. Writes the canonical text at *o (kF64Room bytes
// free) and returns the number's end; nullptr leaves the number to the
// general reader, which also reports every error. REQUIRES: 32 bytes
// readable at p, whatever end says (fast_number_at sees to it).
VRELL_ALWAYS_INLINE const char* fast_number(const char* p, const char* end, char** o) noexcept {
  if (!platform::kFastPaths) return nullptr;
  const char* const start = p;
  if (*p == '-' && ++p == end) return nullptr;
  const char* const int_begin = p;
  uint64_t w = 0;
  int count = 0;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    // Integer parts are mostly short: up to three digits byte by byte.
    w = static_cast<uint64_t>(*p++ - '0');
    count = 1;
    if (p < end && is_digit(*p)) {
      w = w * 10 + static_cast<uint64_t>(*p++ - '0');
      ++count;
      if (p < end && is_digit(*p)) {
        w = w * 10 + static_cast<uint64_t>(*p++ - '0');
        ++count;
        if (p < end && is_digit(*p)) p = scan_digits<false>(p, end, &w, &count);
      }
    }
  } else {
    return nullptr;
  }
  const size_t int_len = static_cast<size_t>(p - int_begin);
  if (p == end || (*p != '.' && *p != 'e' && *p != 'E' && !is_digit(*p))) {
    // An integer: its text, when it fits in both i64 and u64 (and is not -0).
    if (int_len > 18 || (w == 0 && start != int_begin)) return nullptr;
    std::memcpy(*o, start, 20);
    *o += p - start;
    return p;
  }
  if (*p != '.' || ++p == end || !is_digit(*p)) return nullptr;
  const char* const frac_begin = p;
  p = scan_digits<false>(p, end, &w, &count);
  if (count > 19 || w == 0 || (p < end && (*p == 'e' || *p == 'E'))) return nullptr;
  if (count <= 15 && *int_begin != '0' && p[-1] != '0' && int_len <= 16) {
    // Prices and measures: at most fifteen digits, none to drop at either
    // end, laid out without an exponent. Already the shortest form (see
    // short_decimal), so the text stands as it is.
    std::memcpy(*o, start, 32);
    *o += p - start;
    return p;
  }
  const int q = static_cast<int>(frac_begin - p);
  Decimal d;
  if (!short_decimal<true>(w, q, &d)) {
    float_text::Binary value;
    if (!float_text::nearest(w, q, &value)) return nullptr;
    d = float_text::shortest(value);
  }
  if (char* done = copy_decimal_prefix(*o, d, start, int_begin, int_len, w, count)) {
    *o = done;
  } else {
    char* out = *o;
    if (start != int_begin) *out++ = '-';
    *o = put_decimal(out, d);
  }
  return p;
}

// A number within 32 bytes of the input's end, read from a padded copy.
const char* fast_number_tail(const char* p, const char* end, char** o) noexcept;

// fast_number at any place of the input: its fixed-size moves stay inside.
// `padded`: 32 bytes are readable past `end` (the reader's padded copy).
VRELL_ALWAYS_INLINE const char* fast_number_at(const char* p, const char* end, char** o,
                                               bool padded) noexcept {
  if (padded || end - p >= 32) return fast_number(p, end, o);
  return fast_number_tail(p, end, o);
}

}  // namespace vrell::json::detail
