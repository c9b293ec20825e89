// Reading numbers: the general path (every form the grammar allows, and
// every number error) behind fast_number; and the layout of numbers on output.
#include "json_number.h"

#include <charconv>  // integers only: floats have their own conversions
#include <cmath>

#include "json_internal.h"

namespace vrell::json {
namespace detail {

// The canonical text of a double; needs kF64Room bytes (digits are written
// in 8-byte stores and the integer layout writes a 16-byte run of zeros,
// which that room allows for).
char* put_f64(char* o, double v) noexcept {
  if (!std::isfinite(v)) {
    std::memcpy(o, "null", 4);
    return o + 4;
  }
  if (v == 0.0) {
    if (std::signbit(v)) *o++ = '-';
    std::memcpy(o, "0.0", 3);
    return o + 3;
  }
  if (v < 0) {
    *o++ = '-';
    v = -v;
  }
  return put_decimal(o, shortest_decimal(v));
}

// The canonical layout of the nonzero decimal d (no sign); needs kF64Room bytes.
char* put_decimal(char* o, Decimal d) noexcept {
  const int n = digit_count(d.digits);
  const int e = d.exponent + n - 1;  // decimal exponent of the first digit
  if (e >= 0 && e <= 15) {
    if (n <= e + 1) {
      // An integer: its digits, zeros up to the point, ".0".
      put_digits(o, d.digits, n);
      std::memset(o + n, '0', 16);
      o += e + 1;
      std::memcpy(o, ".0", 2);
      return o + 2;
    }
    // The digits at hand, then copied in two fixed-size blocks around the
    // point (a variable-length move would become a library call).
    char digits[32] = {};
    put_digits(digits, d.digits, n);
    std::memcpy(o, digits, 16);
    o[e + 1] = '.';
    std::memcpy(o + e + 2, digits + e + 1, 16);
    return o + 1 + n;
  }
  if (e < 0 && e >= -5) {
    std::memcpy(o, "0.00000", 8);
    o += 1 - e;
    put_digits(o, d.digits, n);
    return o + n;
  }
  // d.ddde+X: the digits one place to the right, the first moved in front.
  put_digits(o + 1, d.digits, n);
  o[0] = o[1];
  if (n > 1) {
    o[1] = '.';
    o += n + 1;
  } else {
    o += 1;
  }
  *o++ = 'e';
  *o++ = e < 0 ? '-' : '+';
  const uint64_t x = static_cast<uint64_t>(e < 0 ? -e : e);
  const int xn = x >= 100 ? 3 : x >= 10 ? 2 : 1;
  put_digits(o, x, xn);
  return o + xn;
}

const char* fast_number_tail(const char* p, const char* end, char** o) noexcept {
  char pad[64] = {};
  const auto n = static_cast<size_t>(end - p);
  std::memcpy(pad, p, n);
  const char* done = fast_number(pad, pad + n, o);
  return done == nullptr ? nullptr : p + (done - pad);
}

}  // namespace detail

namespace {

using detail::is_digit;

// Where the parts of a number's text are, as the grammar reads it.
struct NumberText {
  bool negative = false;
  bool is_float = false;
  const char* int_begin = nullptr;
  size_t int_len = 0;
  const char* frac_begin = nullptr;
  const char* frac_end = nullptr;
  int64_t exponent = 0;
  uint64_t w = 0;  // the digits, exact while count <= 19
  int count = 0;   // digits seen, the leading zero of "0.x" not counted
  const char* end = nullptr;
};

// The grammar of a number from p: false with the fault's code and the byte
// it is found at (or the end of input) in *fault.
bool scan_number(const char* p, const char* end, NumberText* n, ErrorCode* code,
                 const char** fault) {
  auto fail_at = [&](const char* at, ErrorCode c) {
    *fault = at;
    *code = c;
    return false;
  };
  n->negative = *p == '-';
  if (n->negative && ++p == end) return fail_at(p, ErrorCode::EofValue);
  n->int_begin = p;
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return fail_at(p, ErrorCode::InvalidNumber);
  } else if (is_digit(*p)) {
    p = detail::scan_digits(p, end, &n->w, &n->count);
  } else {
    return fail_at(p, ErrorCode::InvalidNumber);
  }
  n->int_len = static_cast<size_t>(p - n->int_begin);
  n->frac_begin = p;
  if (p < end && *p == '.') {
    n->is_float = true;
    if (++p == end) return fail_at(p, ErrorCode::EofValue);
    if (!is_digit(*p)) return fail_at(p, ErrorCode::InvalidNumber);
    n->frac_begin = p;
    p = detail::scan_digits(p, end, &n->w, &n->count);
  }
  n->frac_end = p;
  if (p < end && (*p == 'e' || *p == 'E')) {
    n->is_float = true;
    ++p;
    bool exp_negative = false;
    if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
    if (p == end) return fail_at(p, ErrorCode::EofValue);
    if (!is_digit(*p)) return fail_at(p, ErrorCode::InvalidNumber);
    for (; p < end && is_digit(*p); ++p) {
      if (n->exponent < 1000000000) n->exponent = n->exponent * 10 + (*p - '0');
    }
    if (exp_negative) n->exponent = -n->exponent;
  }
  n->end = p;
  return true;
}

// Whether an integer keeps its text: it fits u64, or i64 when negative ("-0"
// does not: it is the float negative zero).
bool integer_keeps_text(const NumberText& n) {
  if (n.int_len > 20) return false;
  uint64_t mag = 0;
  for (const char* d = n.int_begin; d < n.int_begin + n.int_len; ++d) {
    if (platform::mul_overflow(mag, 10, &mag) ||
        platform::add_overflow(mag, static_cast<uint64_t>(*d - '0'), &mag)) {
      return false;
    }
  }
  if (!n.negative) return true;
  return mag != 0 && mag <= uint64_t{1} << 63;
}

bool exact_float(const NumberText& n, double* value) {
  return exact_nearest_double(
      std::string_view(n.int_begin, n.int_len),
      std::string_view(n.frac_begin, static_cast<size_t>(n.frac_end - n.frac_begin)), n.exponent,
      value);
}

// The first 19 significant digits of a number and how many it has in all.
void leading_digits(const NumberText& n, uint64_t* w, int64_t* significant) {
  *w = 0;
  *significant = 0;
  for (std::string_view part :
       {std::string_view(n.int_begin, n.int_len),
        std::string_view(n.frac_begin, static_cast<size_t>(n.frac_end - n.frac_begin))}) {
    for (char c : part) {
      if (*significant == 0 && c == '0') continue;
      if (*significant < 19) *w = *w * 10 + static_cast<uint64_t>(c - '0');
      ++*significant;
    }
  }
}

// The double nearest to the number (without its sign): the one-product
// conversion where it decides, the bracket of the first 19 digits for longer
// ones, the exact conversion otherwise. False when it is beyond the range.
bool float_of(const NumberText& n, double* value) {
  const int64_t q = n.exponent - (n.frac_end - n.frac_begin);
  if (platform::kFastPaths) {
    if (n.count <= 19 && nearest_double(n.w, q, value)) return true;
    if (n.count > 19) {
      // The first 19 significant digits w, and the rest as a fraction of w's
      // last unit: where w and w + 1 read as the same double, so does the
      // whole number.
      uint64_t w;
      int64_t significant;
      leading_digits(n, &w, &significant);
      if (significant <= 19) return nearest_double(w, q, value) || exact_float(n, value);
      const int64_t q19 = q + (significant - 19);
      double hi = 0.0;
      if (nearest_double(w, q19, value) && nearest_double(w + 1, q19, &hi) && *value == hi) {
        return true;
      }
    }
  }
  return exact_float(n, value);
}

// Whether a float is within the range of doubles, without converting it
// where its first digit's exponent leaves no doubt.
bool float_in_range(const NumberText& n) {
  const char* first = n.int_begin;
  const char* const int_end = n.int_begin + n.int_len;
  while (first < int_end && *first == '0') ++first;
  int64_t e = n.exponent + (int_end - first) - 1;
  if (first == int_end) {
    const char* f = n.frac_begin;
    while (f < n.frac_end && *f == '0') ++f;
    if (f == n.frac_end) return true;  // zero
    e = n.exponent - (f - n.frac_begin) - 1;
  }
  if (e < 300) return true;  // far below the largest double (small ones go to zero)
  double value;
  return float_of(n, &value);
}

}  // namespace

bool Reader::read_number(Sink& out) {
  const char* const begin = in_.data();
  char* o = out.room(detail::kF64Room);
  if (const char* done = detail::fast_number_at(begin + pos_, begin + in_.size(), &o, padded_)) {
    out.advance_to(o);
    pos_ = static_cast<size_t>(done - begin);
    return true;
  }
  return read_general_number(out);
}

bool Reader::skip_number() {
  const char* const begin = in_.data();
  NumberText n;
  ErrorCode code;
  const char* fault;
  if (!scan_number(begin + pos_, begin + in_.size(), &n, &code, &fault)) {
    pos_ = static_cast<size_t>(fault - begin);
    return fail_here(code);
  }
  pos_ = static_cast<size_t>(n.end - begin);
  // An integer too long for either integer form is a float, and may be too large.
  const bool in_range = (!n.is_float && integer_keeps_text(n)) || float_in_range(n);
  return in_range || fail(pos_, ErrorCode::NumberOutOfRange);
}

bool Reader::read_general_number(Sink& out) {
  const char* const begin = in_.data();
  const char* const start = begin + pos_;
  NumberText n;
  ErrorCode code;
  const char* fault;
  if (!scan_number(start, begin + in_.size(), &n, &code, &fault)) {
    pos_ = static_cast<size_t>(fault - begin);
    return fail_here(code);
  }
  pos_ = static_cast<size_t>(n.end - begin);
  if (!n.is_float && integer_keeps_text(n)) {
    out.write(start, static_cast<size_t>(n.end - start));
    return true;
  }
  if (!n.is_float && n.negative && n.int_len == 1 && *n.int_begin == '0') {
    out.write("-0.0", 4);
    return true;
  }
  Decimal d;
  if (n.count <= 19 && n.w != 0 &&
      detail::short_decimal(n.w, n.exponent - (n.frac_end - n.frac_begin), &d)) {
    char* o = out.room(detail::kF64Room);
    if (n.negative) *o++ = '-';
    out.advance_to(detail::put_decimal(o, d));
    return true;
  }
  double value = 0.0;
  if (!float_of(n, &value)) return fail(pos_, ErrorCode::NumberOutOfRange);
  out.advance_to(detail::put_f64(out.room(detail::kF64Room), n.negative ? -value : value));
  return true;
}

void RawWriter::u64(uint64_t v) noexcept { p_ = std::to_chars(p_, p_ + 20, v).ptr; }

void write_u64(std::string& out, uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

void write_i64(std::string& out, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

void write_f64(std::string& out, double v) {
  char buf[detail::kF64Room];
  out.append(buf, static_cast<size_t>(detail::put_f64(buf, v) - buf));
}

}  // namespace vrell::json
