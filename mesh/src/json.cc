#include "json.h"

#include <algorithm>
#include <bit>
#include <charconv>  // integers only: floats have their own conversions
#include <cmath>
#include <cstring>
#include <limits>

#include "float_text.h"
#include "platform.h"
#include "scan.h"

namespace vrell::json {
namespace {

constexpr std::string_view kControlMessage =
    "control character (\\u0000-\\u001F) found while parsing a string";

// Bytes that end a run of plain string bytes on input: the quote, the
// backslash, control characters and the start of a multi-byte sequence.
struct InputClass {
  bool special[256];
  constexpr InputClass() : special() {
    for (int c = 0; c < 256; ++c) special[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  }
};
constexpr InputClass kInput;

// Bytes the writer escapes: the quote, the backslash, control characters.
struct OutputClass {
  bool escape[256];
  constexpr OutputClass() : escape() {
    for (int c = 0; c < 256; ++c) escape[c] = c < 0x20 || c == '"' || c == '\\';
  }
};
constexpr OutputClass kOutput;

constexpr char kHex[] = "0123456789abcdef";

// Writes the escape of a byte the writer escapes; needs room for 6 bytes.
char* put_escaped_byte(char* p, unsigned char c) noexcept {
  char short_form = 0;
  switch (c) {
    case '"':
      short_form = '"';
      break;
    case '\\':
      short_form = '\\';
      break;
    case '\b':
      short_form = 'b';
      break;
    case '\t':
      short_form = 't';
      break;
    case '\n':
      short_form = 'n';
      break;
    case '\f':
      short_form = 'f';
      break;
    case '\r':
      short_form = 'r';
      break;
    default:
      break;
  }
  *p++ = '\\';
  if (short_form != 0) {
    *p++ = short_form;
    return p;
  }
  *p++ = 'u';
  *p++ = '0';
  *p++ = '0';
  *p++ = kHex[c >> 4];
  *p++ = kHex[c & 15];
  return p;
}

// Needs room for 4 bytes.
char* put_utf8(char* p, uint32_t cp) noexcept {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

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
void put_digits(char* o, uint64_t f, int n) noexcept {
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

char* put_decimal(char* o, Decimal d) noexcept;

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

// Where the input wrote a plain decimal ("-12.345", "0.00123"; no exponent),
// the canonical text of a shortest form d near it is usually the input itself
// cut short after d's last digit, that digit raised by one when d rounded up.
// Copying it skips the formatting. Writes the sign too; returns the end, or
// nullptr when d is laid out differently (an integer, an exponent, a digit
// that would carry) or the copy's 32-byte read would pass the input's end.
VRELL_ALWAYS_INLINE char* copy_decimal_prefix(char* o, Decimal d, const char* start,
                                              const char* int_begin, size_t int_len, uint64_t w,
                                              int count, const char* end) noexcept {
  if (end - start < 32) return nullptr;
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
  std::memcpy(o, start, 32);
  // A raised digit never carries: d is trimmed, so its last digit is not 0.
  o[len - 1] = static_cast<char>(o[len - 1] + raised);
  return o + len;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The first 8 bytes of a key as a big-endian number, zero-padded: ordering
// by it agrees with byte order wherever two prefixes differ.
// Built in a register: a variable-length copy into a stack word would be
// read back whole while its byte stores are still in flight, which stalls.
inline uint64_t key_prefix(std::string_view key) noexcept {
  if (key.size() >= 8) return platform::load_be64(key.data());
  uint64_t v = 0;
  for (size_t i = 0; i < key.size(); ++i) {
    v |= uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * i);
  }
  return v;
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
// general reader, which also reports every error.
VRELL_ALWAYS_INLINE const char* fast_number(const char* p, const char* end, char** o) noexcept {
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
    if (int_len > 18 || (w == 0 && start != int_begin) || end - start < 20) return nullptr;
    std::memcpy(*o, start, 20);
    *o += p - start;
    return p;
  }
  if (*p != '.' || ++p == end || !is_digit(*p)) return nullptr;
  const char* const frac_begin = p;
  p = scan_digits<false>(p, end, &w, &count);
  if (count > 19 || w == 0 || (p < end && (*p == 'e' || *p == 'E'))) return nullptr;
  const int q = static_cast<int>(frac_begin - p);
  Decimal d;
  if (count <= 15) {
    // Fifteen significant digits or fewer: no other decimal of that length
    // reads as the same double, so they are already the shortest form.
    d = {w, q};
    while (d.digits % 10 == 0) {
      d.digits /= 10;
      ++d.exponent;
    }
  } else {
    float_text::Binary value;
    if (!float_text::nearest(w, q, &value)) return nullptr;
    d = float_text::shortest(value);
  }
  if (char* done = copy_decimal_prefix(*o, d, start, int_begin, int_len, w, count, end)) {
    *o = done;
  } else {
    char* out = *o;
    if (start != int_begin) *out++ = '-';
    *o = put_decimal(out, d);
  }
  return p;
}

// Length of the well-formed UTF-8 sequence at s (which starts with a byte
// >= 0x80), or 0 when it is malformed; `avail` bytes may be read.
size_t utf8_sequence(const unsigned char* s, size_t avail, size_t* bad_at) noexcept {
  const unsigned char c = s[0];
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *bad_at = 0;
    return 0;
  }
  for (size_t i = 1; i < n; ++i) {
    if (i >= avail) {
      *bad_at = i;
      return 0;
    }
    const unsigned char b = s[i];
    const unsigned char l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
    if (b < l || b > h) {
      *bad_at = i;
      return 0;
    }
  }
  return n;
}

// Recognises text that is already canonical, so that it can be kept as it
// stands: no whitespace, strings without escapes, integers that keep their
// text, objects with strictly ascending keys, nesting within the limit. Any
// other text (floats included) is left to the reader, which also gives the
// errors; this only ever says yes to text the reader would return unchanged.
class CanonicalCheck {
 public:
  explicit CanonicalCheck(std::string_view in) noexcept
      : s_(reinterpret_cast<const unsigned char*>(in.data())), n_(in.size()) {}

  bool whole() noexcept { return value(0) && i_ == n_; }

 private:
  bool value(int depth) noexcept {
    if (i_ >= n_) return false;
    switch (s_[i_]) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return integer();
    }
  }
  bool word(std::string_view w) noexcept {
    if (n_ - i_ < w.size() || std::memcmp(s_ + i_, w.data(), w.size()) != 0) return false;
    i_ += w.size();
    return true;
  }
  // An integer of at most 18 digits: it fits either integer form. "-0"
  // becomes a float, so it is not canonical.
  bool integer() noexcept {
    const bool negative = s_[i_] == '-';
    if (negative) ++i_;
    const size_t digits = i_;
    if (i_ < n_ && s_[i_] == '0') {
      ++i_;
      if (negative) return false;
    } else {
      while (i_ < n_ && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    }
    const size_t count = i_ - digits;
    if (count == 0 || count > 18) return false;
    return i_ >= n_ || (s_[i_] != '.' && s_[i_] != 'e' && s_[i_] != 'E');
  }
  bool string() noexcept {
    ++i_;
    for (;;) {
      i_ = scan::skip_plain_ascii(s_, i_, n_);
      if (i_ >= n_) return false;
      const unsigned char c = s_[i_];
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x80) return false;  // an escape or a control
      size_t bad_at = 0;
      const size_t len = utf8_sequence(s_ + i_, n_ - i_, &bad_at);
      if (len == 0) return false;
      i_ += len;
    }
  }
  bool array(int depth) noexcept {
    if (depth > kMaxDepth) return false;
    ++i_;
    if (i_ < n_ && s_[i_] == ']') {
      ++i_;
      return true;
    }
    for (;;) {
      if (!value(depth) || i_ >= n_) return false;
      const unsigned char c = s_[i_++];
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }
  bool object(int depth) noexcept {
    if (depth > kMaxDepth) return false;
    ++i_;
    if (i_ < n_ && s_[i_] == '}') {
      ++i_;
      return true;
    }
    std::string_view previous;
    for (bool first = true;; first = false) {
      if (i_ >= n_ || s_[i_] != '"') return false;
      const size_t key_start = i_ + 1;
      if (!string()) return false;
      const std::string_view key(reinterpret_cast<const char*>(s_) + key_start, i_ - 1 - key_start);
      if (!first && !(previous < key)) return false;
      previous = key;
      if (i_ >= n_ || s_[i_++] != ':') return false;
      if (!value(depth) || i_ >= n_) return false;
      const unsigned char c = s_[i_++];
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  const unsigned char* s_;
  size_t n_;
  size_t i_ = 0;
};

}  // namespace

std::string Error::text() const {
  if (!has_position) return message;
  std::string s = message;
  s.append(" at line ");
  s.append(std::to_string(line));
  s.append(" column ");
  s.append(std::to_string(column));
  return s;
}

void Value::assign(std::string_view canonical) {
  const size_t n = canonical.size();
  if (n <= kSmall) {
    release();
    std::memcpy(small_, canonical.data(), n);
    tag_ = static_cast<unsigned char>(n);
    return;
  }
  if (tag_ == kHeap && heap_.capacity >= n && heap_.capacity <= 2 * n + 64) {
    std::memcpy(heap_.data, canonical.data(), n);
    heap_.size = n;
    return;
  }
  // The new block first: if it cannot be had, the value stays as it was.
  char* data = std::allocator<char>().allocate(n);
  std::memcpy(data, canonical.data(), n);
  release();
  heap_ = Heap{data, n, n};
  tag_ = kHeap;
}

void Value::release() noexcept {
  if (tag_ == kHeap) {
    std::allocator<char>().deallocate(heap_.data, heap_.capacity);
    tag_ = 0;
  }
}

Value Value::adopt(Text&& canonical) {
  const size_t n = canonical.size_;
  if (n <= kSmall || canonical.capacity_ > n + n / 4 + 4096) {
    // Inline, or a block mostly slack (whitespace-heavy input): a copy.
    Value v = from_canonical(canonical.view());
    canonical = Text();
    return v;
  }
  Value v;
  v.heap_ = Heap{std::exchange(canonical.data_, nullptr), n, std::exchange(canonical.capacity_, 0)};
  v.tag_ = kHeap;
  canonical.size_ = 0;
  return v;
}

void Text::reserve(size_t n) {
  if (n <= capacity_) return;
  char* data = std::allocator<char>().allocate(n);
  if (size_ != 0) std::memcpy(data, data_, size_);
  release();
  data_ = data;
  capacity_ = n;
}

void Text::release() noexcept {
  if (data_ != nullptr) std::allocator<char>().deallocate(data_, capacity_);
  data_ = nullptr;
  capacity_ = 0;
}

Kind Value::kind() const noexcept {
  const std::string_view text_ = text();
  switch (text_.empty() ? 'n' : text_[0]) {
    case 'n':
      return Kind::Null;
    case 't':
    case 'f':
      return Kind::Bool;
    case '"':
      return Kind::String;
    case '[':
      return Kind::Array;
    case '{':
      return Kind::Object;
    default:
      return Kind::Number;
  }
}

Reader::Reader(std::string_view input) : in_(input) {
  thread_local Workspace shared;
  if (!shared.in_use) {
    shared.in_use = true;
    shared.members.clear();
    shared.key_scratch.clear();
    // A large document's scratch is not kept for the thread's lifetime.
    shared.key_scratch.trim(kKeptBuffer);
    shared.sort_buf.trim(kKeptBuffer);
    ws_ = &shared;
  } else {
    own_ = std::make_unique<Workspace>();
    ws_ = own_.get();
  }
}

Reader::~Reader() {
  if (!own_) ws_->in_use = false;
}

bool Reader::fail(size_t bytes_read, std::string_view message) {
  bytes_read = std::min(bytes_read, in_.size());
  size_t line = 1, line_start = 0;
  const char* base = in_.data();
  const char* p = base;
  const char* end = base + bytes_read;
  while (p < end) {
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (lf == nullptr) break;
    p = static_cast<const char*>(lf) + 1;
    ++line;
    line_start = static_cast<size_t>(p - base);
  }
  error_.message.assign(message);
  error_.line = line;
  error_.column = bytes_read - line_start;
  error_.has_position = true;
  return false;
}

void Reader::skip_ws_run() noexcept { pos_ = scan::skip_ws(in_.data(), pos_ + 1, in_.size()); }

bool Reader::enter_level() {
  if (++depth_ > kMaxDepth) return fail_here("recursion limit exceeded");
  return true;
}

// The output of a read: a raw cursor over a Text, which is grown ahead of the
// writes and given the length written when the sink goes.
class Reader::Sink {
 public:
  Sink(Text& t, size_t expect) : t_(t) {
    t_.reserve(t_.size() + std::max<size_t>(expect, 32));
    p_ = t_.data() + t_.size();
    end_ = t_.data() + t_.capacity();
  }
  ~Sink() { t_.set_size(size()); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  size_t size() const noexcept { return static_cast<size_t>(p_ - t_.data()); }
  std::string_view view() const noexcept { return {t_.data(), size()}; }
  // Room for n more bytes at the cursor.
  char* room(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) grow(n);
    return p_;
  }
  void advance_to(char* p) noexcept { p_ = p; }
  // The cursor is kept in a local across the store: a char store may alias
  // any object, so the member would be read again.
  void put(char c) {
    char* p = room(1);
    *p = c;
    p_ = p + 1;
  }
  void write(const char* d, size_t n) {
    char* p = room(n);
    if (n <= 16) {
      // Short runs (keys, small strings, integers) are the common case:
      // a byte loop beats a call into memcpy.
      for (size_t i = 0; i < n; ++i) p[i] = d[i];
    } else {
      std::memcpy(p, d, n);
    }
    p_ = p + n;
  }
  void truncate(size_t size) noexcept { p_ = t_.data() + size; }
  char* at(size_t offset) noexcept { return t_.data() + offset; }

 private:
  VRELL_NOINLINE void grow(size_t n) {
    const size_t used = size();
    t_.set_size(used);
    t_.reserve(std::max(t_.capacity() * 2, used + n + 64));
    p_ = t_.data() + used;
    end_ = t_.data() + t_.capacity();
  }
  Text& t_;
  char* p_;
  char* end_;
};

bool Reader::read_value(std::string& out) {
  skip_ws();
  ws_->out.clear();
  bool ok;
  {
    Sink sink(ws_->out, 32);
    ok = read_any(sink);
  }
  out.append(ws_->out.view());
  return ok;
}

bool Reader::read_string(std::string& out) {
  bump();
  ws_->out.clear();
  bool ok;
  {
    Sink sink(ws_->out, 32);
    ok = scan_string(sink, false);
  }
  out.append(ws_->out.view());
  return ok;
}

bool Reader::read_any(Sink& out) {
  if (at_end()) return fail_here("EOF while parsing a value");
  switch (peek()) {
    case '{':
      return read_object(out);
    case '[':
      return read_array(out);
    case '"':
      bump();
      out.put('"');
      if (!scan_string(out, true)) return false;
      out.put('"');
      return true;
    case 't':
      return read_literal("true", out);
    case 'f':
      return read_literal("false", out);
    case 'n':
      return read_literal("null", out);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return read_number(out);
    default:
      return fail_here("expected value");
  }
}

bool Reader::read_literal(std::string_view word, Sink& out) {
  if (in_.size() - pos_ >= word.size() && in_.compare(pos_, word.size(), word) == 0) {
    pos_ += word.size();
    out.write(word.data(), word.size());
    return true;
  }
  bump();
  for (size_t i = 1; i < word.size(); ++i) {
    if (at_end()) return fail_here("EOF while parsing a value");
    if (peek() != word[i]) return fail_here("expected ident");
    bump();
  }
  return true;  // not reached: the whole word was there
}

bool Reader::read_array(Sink& out) {
  if (!enter_level()) return false;
  bump();
  out.put('[');
  skip_ws();
  if (at_end()) return fail_here("EOF while parsing a list");
  if (peek() == ']') {
    bump();
    out.put(']');
    leave_level();
    return true;
  }
  const char* const s = in_.data();
  const size_t n = in_.size();
  for (;;) {
    // Here after the opening bracket (whitespace skipped, not closed) or
    // after a comma, where whitespace may follow and a bracket is an error.
    char c = pos_ < n ? s[pos_] : '\0';
    if (c <= ' ' && is_ws(c)) {
      skip_ws();
      c = pos_ < n ? s[pos_] : '\0';
    }
    if (c == ']') return fail_here("trailing comma");
    // Numbers and arrays straight away: arrays of numbers (and of arrays of
    // them) are the bulk of many documents.
    if (is_digit(c) || c == '-') {
      char* o = out.room(kF64Room);
      if (const char* e = fast_number(s + pos_, s + n, &o)) {
        out.advance_to(o);
        pos_ = static_cast<size_t>(e - s);
      } else if (!read_number(out)) {
        return false;
      }
    } else if (!(c == '[' ? read_array(out) : read_any(out))) {
      return false;
    }
    // The compact separator first: a comma right after the value.
    if (pos_ < n && s[pos_] == ',') {
      ++pos_;
      out.put(',');
      continue;
    }
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing a list");
    const char sep = peek();
    if (sep == ']') {
      bump();
      out.put(']');
      leave_level();
      return true;
    }
    if (sep != ',') return fail_here("expected `,` or `]`");
    bump();
    out.put(',');
  }
}

bool Reader::read_object(Sink& out) {
  if (!enter_level()) return false;
  bump();
  out.put('{');
  const size_t body_start = out.size();
  const size_t first_member = ws_->members.size();
  const size_t scratch_mark = ws_->key_scratch.size();
  skip_ws();
  if (at_end()) return fail_here("EOF while parsing an object");
  if (peek() == '}') {
    bump();
    out.put('}');
    leave_level();
    return true;
  }
  for (;;) {
    if (peek() != '"') return fail_here("key must be a string");
    bump();
    const size_t start = out.size();
    const size_t key_in = pos_;
    const unsigned escapes_before = escapes_;
    out.put('"');
    if (!scan_string(out, true)) return false;
    out.put('"');
    Member member{start + 1, out.size() - start - 2, false, start, 0, 0};
    // A key without escapes reads the same in the output; one with escapes is
    // decoded again for comparisons.
    if (escapes_ != escapes_before) {
      const size_t after = pos_;
      pos_ = key_in;
      Sink scratch(ws_->key_scratch, 16);
      member.key_off = scratch.size();
      if (!scan_string(scratch, false)) return false;
      member.key_len = scratch.size() - member.key_off;
      member.key_in_scratch = true;
      pos_ = after;
    }
    member.prefix = key_prefix((member.key_in_scratch ? ws_->key_scratch.view() : out.view())
                                   .substr(member.key_off, member.key_len));
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing an object");
    if (peek() != ':') return fail_here("expected `:`");
    bump();
    out.put(':');
    skip_ws();
    if (!read_any(out)) return false;
    // Field by field: copying the whole record, just written field by field,
    // in 16-byte moves stalls on store forwarding.
    Member& slot = ws_->members.emplace_back();
    slot.key_off = member.key_off;
    slot.key_len = member.key_len;
    slot.key_in_scratch = member.key_in_scratch;
    slot.start = member.start;
    slot.end = out.size();
    slot.prefix = member.prefix;
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing an object");
    const char c = peek();
    if (c == '}') {
      bump();
      finish_object(out, body_start, first_member);
      ws_->members.resize(first_member);
      ws_->key_scratch.set_size(scratch_mark);
      leave_level();
      return true;
    }
    if (c != ',') return fail_here("expected `,` or `}`");
    bump();
    out.put(',');
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing a value");
    if (peek() == '}') return fail_here("trailing comma");
  }
}

// Members are written in input order; when their keys are not already strictly
// ascending, the body is rebuilt in key order keeping the last of equal keys.
void Reader::finish_object(Sink& out, size_t body_start, size_t first_member) {
  const size_t n = ws_->members.size() - first_member;
  Member* m = ws_->members.data() + first_member;
  const std::string_view written = out.view();
  const std::string_view scratch = ws_->key_scratch.view();
  auto key = [&](const Member& x) {
    return (x.key_in_scratch ? scratch : written).substr(x.key_off, x.key_len);
  };
  // Keys compare by their prefixes first: most differ within 8 bytes.
  auto less = [&](const Member& a, const Member& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : key(a) < key(b);
  };
  auto same = [&](const Member& a, const Member& b) {
    return a.prefix == b.prefix && key(a) == key(b);
  };
  bool ordered = true;
  for (size_t i = 1; i < n; ++i) {
    if (!less(m[i - 1], m[i])) {
      ordered = false;
      break;
    }
  }
  if (!ordered) {
    if (n <= 24) {
      // Small objects, the common case: an insertion sort (stable, like the
      // merge sort below) beats the merge sort's set-up.
      for (size_t i = 1; i < n; ++i) {
        if (!less(m[i], m[i - 1])) continue;
        const Member x = m[i];
        size_t j = i;
        do {
          m[j] = m[j - 1];
          --j;
        } while (j > 0 && less(x, m[j - 1]));
        m[j] = x;
      }
    } else {
      std::stable_sort(m, m + n, less);
    }
    // The members that stay, in order; the largest is moved once, in place,
    // and only the others go through the scratch buffer.
    size_t kept = 0, largest = 0;
    for (size_t i = 0; i < n; ++i) {
      if (i + 1 < n && same(m[i], m[i + 1])) continue;  // a later one wins
      m[kept++] = m[i];
      if (m[kept - 1].end - m[kept - 1].start > m[largest].end - m[largest].start) {
        largest = kept - 1;
      }
    }
    size_t total = 0;
    for (size_t i = 0; i < kept; ++i) total += m[i].end - m[i].start + 1;
    Text& rest = ws_->sort_buf;
    rest.clear();
    rest.reserve(total);
    char* r = rest.data();
    for (size_t i = 0; i < largest; ++i) {
      std::memcpy(r, written.data() + m[i].start, m[i].end - m[i].start);
      r += m[i].end - m[i].start;
      *r++ = ',';
    }
    const size_t before = static_cast<size_t>(r - rest.data());
    for (size_t i = largest + 1; i < kept; ++i) {
      *r++ = ',';
      std::memcpy(r, written.data() + m[i].start, m[i].end - m[i].start);
      r += m[i].end - m[i].start;
    }
    const size_t rest_size = static_cast<size_t>(r - rest.data());
    const size_t big = m[largest].end - m[largest].start;
    char* const body = out.at(body_start);
    std::memmove(body + before, out.at(m[largest].start), big);
    std::memcpy(body, rest.data(), before);
    std::memcpy(body + before + big, rest.data() + before, rest_size - before);
    out.truncate(body_start + rest_size + big);
  }
  out.put('}');
}

// Reads string content after the opening quote up to and including the
// closing quote. With `json_out` the bytes are written as JSON string content
// (escaped for output); otherwise as the raw UTF-8 bytes.
bool Reader::scan_string(Sink& out, bool json_out) {
  const auto* s = reinterpret_cast<const unsigned char*>(in_.data());
  const size_t n = in_.size();
  size_t i = pos_;
  for (;;) {
    // Plain bytes are copied as one run: ASCII eight at a time, multi-byte
    // sequences validated in place.
    const size_t run_start = i;
    for (;;) {
      i = scan::skip_plain_ascii(s, i, n);
      if (i >= n || s[i] < 0x80) break;
      // A run of multi-byte characters: the common two- and three-byte forms
      // checked inline, the rest (and every fault) by utf8_sequence.
      do {
        if (i + 16 <= n && scan::four_three_byte_chars(s + i)) {
          i += 12;
          continue;
        }
        const unsigned char c = s[i];
        if (c >= 0xE1 && c <= 0xEF && c != 0xED && i + 2 < n && (s[i + 1] & 0xC0) == 0x80 &&
            (s[i + 2] & 0xC0) == 0x80) {
          i += 3;
          continue;
        }
        if (c >= 0xC2 && c <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
          i += 2;
          continue;
        }
        size_t bad_at = 0;
        const size_t len = utf8_sequence(s + i, n - i, &bad_at);
        if (len == 0) {
          if (i + bad_at >= n) {
            pos_ = n;
            return fail_here("EOF while parsing a string");
          }
          return fail(i + bad_at + 1, "invalid unicode code point");
        }
        i += len;
      } while (i < n && s[i] >= 0x80);
    }
    out.write(in_.data() + run_start, i - run_start);
    pos_ = i;
    if (i >= n) return fail_here("EOF while parsing a string");
    const unsigned char c = s[i];
    if (c == '"') {
      pos_ = i + 1;
      return true;
    }
    if (c != '\\') return fail_here(kControlMessage);
    if (!read_escape(out, json_out)) return false;
    i = pos_;
  }
}

bool Reader::read_escape(Sink& out, bool json_out) {
  ++escapes_;
  bump();  // the backslash
  if (at_end()) return fail_here("EOF while parsing a string");
  char decoded;
  switch (peek()) {
    case '"':
      decoded = '"';
      break;
    case '\\':
      decoded = '\\';
      break;
    case '/':
      decoded = '/';
      break;
    case 'b':
      decoded = '\b';
      break;
    case 'f':
      decoded = '\f';
      break;
    case 'n':
      decoded = '\n';
      break;
    case 'r':
      decoded = '\r';
      break;
    case 't':
      decoded = '\t';
      break;
    case 'u': {
      bump();
      auto read_hex4 = [this](uint32_t& v) {
        if (in_.size() - pos_ < 4) {
          pos_ = in_.size();
          return fail_here("EOF while parsing a string");
        }
        v = 0;
        for (int i = 0; i < 4; ++i) {
          const int h = hex_value(peek());
          if (h < 0) return fail_here("invalid escape");
          v = (v << 4) | static_cast<uint32_t>(h);
          bump();
        }
        return true;
      };
      uint32_t cp = 0;
      if (!read_hex4(cp)) return false;
      // A trailing surrogate with no leading one before it: every unpaired
      // surrogate is reported alike, at its last hex digit.
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(pos_, "lone leading surrogate in hex escape");
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (at_end()) return fail_here("EOF while parsing a string");
        if (peek() != '\\') return fail_here("unexpected end of hex escape");
        bump();
        if (at_end()) return fail_here("EOF while parsing a string");
        if (peek() != 'u') return fail_here("unexpected end of hex escape");
        bump();
        uint32_t low = 0;
        if (!read_hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) {
          return fail(pos_, "lone leading surrogate in hex escape");
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      char* p = out.room(6);
      out.advance_to(json_out && cp < 0x80 && kOutput.escape[cp]
                         ? put_escaped_byte(p, static_cast<unsigned char>(cp))
                         : put_utf8(p, cp));
      return true;
    }
    default:
      return fail_here("invalid escape");
  }
  bump();
  const auto byte = static_cast<unsigned char>(decoded);
  if (json_out && kOutput.escape[byte]) {
    out.advance_to(put_escaped_byte(out.room(6), byte));
  } else {
    out.put(decoded);
  }
  return true;
}

bool Reader::read_number(Sink& out) {
  const char* const begin = in_.data();
  const char* const end = begin + in_.size();
  const char* p = begin + pos_;
  {
    char* o = out.room(kF64Room);
    if (const char* done = fast_number(p, end, &o)) {
      out.advance_to(o);
      pos_ = static_cast<size_t>(done - begin);
      return true;
    }
  }
  const char* const start = p;
  // Each fault is reported at the byte it is found at, or at the end.
  auto fail_at = [&](const char* at, std::string_view message) {
    pos_ = static_cast<size_t>(at - begin);
    return fail_here(message);
  };
  const bool negative = *p == '-';
  if (negative && ++p == end) return fail_at(p, "EOF while parsing a value");
  const char* const int_begin = p;
  uint64_t w = 0;  // the digits, while there are at most 19 of them
  int count = 0;   // digits seen, the leading zero of "0.x" not counted
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return fail_at(p, "invalid number");
  } else if (is_digit(*p)) {
    p = scan_digits(p, end, &w, &count);
  } else {
    return fail_at(p, "invalid number");
  }
  const size_t int_len = static_cast<size_t>(p - int_begin);
  bool is_float = false;
  const char* frac_begin = p;
  if (p < end && *p == '.') {
    is_float = true;
    if (++p == end) return fail_at(p, "EOF while parsing a value");
    if (!is_digit(*p)) return fail_at(p, "invalid number");
    frac_begin = p;
    p = scan_digits(p, end, &w, &count);
  }
  const char* const frac_end = p;
  int64_t exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    is_float = true;
    ++p;
    bool exp_negative = false;
    if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
    if (p == end) return fail_at(p, "EOF while parsing a value");
    if (!is_digit(*p)) return fail_at(p, "invalid number");
    while (p < end && is_digit(*p)) {
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (exp_negative) exponent = -exponent;
  }
  pos_ = static_cast<size_t>(p - begin);
  const std::string_view text(start, static_cast<size_t>(p - start));

  if (!is_float) {
    // Integers keep their text when they fit: u64, or i64 for negatives.
    // Up to 19 digits always fit in u64.
    bool fits = int_len <= 19;
    uint64_t mag = 0;
    if (!fits && int_len == 20) {
      fits = true;
      for (const char* d = int_begin; d < int_begin + int_len; ++d) {
        fits = fits && !platform::mul_overflow(mag, 10, &mag) &&
               !platform::add_overflow(mag, static_cast<uint64_t>(*d - '0'), &mag);
      }
    }
    if (fits && negative) {
      if (int_len == 1 && *int_begin == '0') {
        out.write("-0.0", 4);
        return true;
      }
      if (int_len == 19) {
        for (const char* d = int_begin; d < int_begin + int_len; ++d) mag = mag * 10 + (*d - '0');
      }
      fits = int_len < 19 || mag <= uint64_t{1} << 63;
      if (int_len == 20) fits = false;
    }
    if (fits) {
      out.write(text.data(), text.size());
      return true;
    }
  }
  double value = 0.0;
  // The value is w * 10^q when there are at most 19 digits; more, zero and
  // the rarer cases go to the general conversion.
  const int64_t q = exponent - (frac_end - frac_begin);
  if (count <= 15 && w != 0) {
    // Fifteen significant digits or fewer, in the normal range: no other
    // decimal of that length reads as the same double, so the digits are
    // already the shortest form and need no conversion.
    uint64_t digits = w;
    int64_t last = q;
    while (digits % 10 == 0) {
      digits /= 10;
      ++last;
    }
    const int n = digit_count(digits);
    if (n <= 15 && last + n - 1 >= -307 && last + n - 1 <= 307) {
      char* o = out.room(kF64Room);
      if (negative) *o++ = '-';
      out.advance_to(put_decimal(o, {digits, static_cast<int>(last)}));
      return true;
    }
  }
  if (count <= 19 && nearest_double(w, q, &value)) {
    // (Plain decimals, which may copy their own text, took fast_number.)
    out.advance_to(put_f64(out.room(kF64Room), negative ? -value : value));
    return true;
  }
  if (count > 19) {
    // The first 19 digits w, and the rest as a fraction of w's last unit:
    // where w and w + 1 read as the same double, so does the whole number.
    const int64_t q19 = q + (count - 19);
    double lo = 0.0, hi = 0.0;
    if (nearest_double(w, q19, &lo) && nearest_double(w + 1, q19, &hi) && lo == hi) {
      out.advance_to(put_f64(out.room(kF64Room), negative ? -lo : lo));
      return true;
    }
  }
  if (!exact_nearest_double(
          std::string_view(int_begin, int_len),
          std::string_view(frac_begin, static_cast<size_t>(frac_end - frac_begin)), exponent,
          &value)) {
    return fail(pos_, "number out of range");
  }
  out.advance_to(put_f64(out.room(kF64Room), negative ? -value : value));
  return true;
}

bool is_canonical(std::string_view text) noexcept { return CanonicalCheck(text).whole(); }

Expected<void, Error> parse_into(std::string_view text, Text& out) {
  if (is_canonical(text)) {
    // Text written by this module, or by a writer with the same rules: kept
    // byte for byte.
    out.clear();
    out.reserve(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    out.set_size(text.size());
    return {};
  }
  return read_document(text, out);
}

Expected<void, Error> read_document(std::string_view text, Text& out) {
  out.clear();
  Reader reader(text);
  bool ok;
  {
    reader.skip_ws();
    Reader::Sink sink(out, text.size() + 16);
    ok = reader.read_any(sink);
  }
  if (!ok) return unexpected(reader.take_error());
  reader.skip_ws();
  if (!reader.at_end()) {
    reader.fail_here("trailing characters");
    return unexpected(reader.take_error());
  }
  return {};
}

Expected<Value, Error> parse(std::string_view text) {
  thread_local Text buffer;
  buffer.trim(kKeptBuffer);
  auto r = parse_into(text, buffer);
  if (!r) return unexpected(std::move(r).error());
  if (buffer.size() >= kAdoptFrom) return Value::adopt(std::move(buffer));
  return Value::from_canonical(buffer.view());
}

void write_string(std::string& out, std::string_view utf8) {
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  out.push_back('"');
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && !kOutput.escape[s[run]]) ++run;
    out.append(utf8.data() + i, run - i);
    if (run >= n) break;
    char esc[6];
    out.append(esc, static_cast<size_t>(put_escaped_byte(esc, s[run]) - esc));
    i = run + 1;
  }
  out.push_back('"');
}

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
  char buf[kF64Room];
  out.append(buf, static_cast<size_t>(put_f64(buf, v) - buf));
}

}  // namespace vrell::json
