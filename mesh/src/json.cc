#include "json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

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

void append_escaped_byte(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out.append("\\\"");
      return;
    case '\\':
      out.append("\\\\");
      return;
    case '\b':
      out.append("\\b");
      return;
    case '\t':
      out.append("\\t");
      return;
    case '\n':
      out.append("\\n");
      return;
    case '\f':
      out.append("\\f");
      return;
    case '\r':
      out.append("\\r");
      return;
    default: {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(esc, 6);
    }
  }
}

void append_utf8(std::string& out, uint32_t cp) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (cp >> 12));
    b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(b, n);
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when any byte of w is a quote, a backslash, a control or a non-ASCII byte.
inline bool special_in_word(uint64_t w) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  const uint64_t quote = w ^ (kOnes * '"');
  const uint64_t backslash = w ^ (kOnes * '\\');
  const uint64_t has_quote = (quote - kOnes) & ~quote;
  const uint64_t has_backslash = (backslash - kOnes) & ~backslash;
  const uint64_t has_control = (w - kOnes * 0x20) & ~w;
  return ((has_quote | has_backslash | has_control) & kHigh) != 0 || (w & kHigh) != 0;
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

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

Kind Value::kind() const noexcept {
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

Reader::Reader(std::string_view input) noexcept : in_(input), ws_(&own_) {
  thread_local Workspace shared;
  if (!shared.in_use) {
    shared.in_use = true;
    shared.members.clear();
    shared.key_scratch.clear();
    ws_ = &shared;
  }
}

Reader::~Reader() {
  if (ws_ != &own_) ws_->in_use = false;
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

bool Reader::enter_level() {
  if (++depth_ > kMaxDepth) return fail_here("recursion limit exceeded");
  return true;
}

bool Reader::read_value(std::string& out) {
  skip_ws();
  return read_any(out);
}

bool Reader::read_any(std::string& out) {
  if (at_end()) return fail_here("EOF while parsing a value");
  switch (peek()) {
    case '{':
      return read_object(out);
    case '[':
      return read_array(out);
    case '"':
      bump();
      out.push_back('"');
      if (!scan_string(out, true)) return false;
      out.push_back('"');
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

bool Reader::read_literal(std::string_view word, std::string& out) {
  bump();
  for (size_t i = 1; i < word.size(); ++i) {
    if (at_end()) return fail_here("EOF while parsing a value");
    if (peek() != word[i]) return fail_here("expected ident");
    bump();
  }
  out.append(word);
  return true;
}

bool Reader::read_array(std::string& out) {
  if (!enter_level()) return false;
  bump();
  out.push_back('[');
  skip_ws();
  if (at_end()) return fail_here("EOF while parsing a list");
  if (peek() == ']') {
    bump();
    out.push_back(']');
    leave_level();
    return true;
  }
  for (;;) {
    if (!read_any(out)) return false;
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing a list");
    const char c = peek();
    if (c == ']') {
      bump();
      out.push_back(']');
      leave_level();
      return true;
    }
    if (c != ',') return fail_here("expected `,` or `]`");
    bump();
    out.push_back(',');
    skip_ws();
    if (!at_end() && peek() == ']') return fail_here("trailing comma");
  }
}

bool Reader::read_object(std::string& out) {
  if (!enter_level()) return false;
  bump();
  out.push_back('{');
  const size_t body_start = out.size();
  const size_t first_member = ws_->members.size();
  const size_t scratch_mark = ws_->key_scratch.size();
  skip_ws();
  if (at_end()) return fail_here("EOF while parsing an object");
  if (peek() == '}') {
    bump();
    out.push_back('}');
    leave_level();
    return true;
  }
  for (;;) {
    if (peek() != '"') return fail_here("key must be a string");
    bump();
    const size_t start = out.size();
    const size_t key_in = pos_;
    out.push_back('"');
    if (!scan_string(out, true)) return false;
    out.push_back('"');
    Member member{start + 1, out.size() - start - 2, false, start, 0};
    // A key without escapes reads the same in the output; one with escapes is
    // decoded again for comparisons.
    if (std::memchr(in_.data() + key_in, '\\', pos_ - key_in) != nullptr) {
      const size_t after = pos_;
      pos_ = key_in;
      member.key_off = ws_->key_scratch.size();
      if (!scan_string(ws_->key_scratch, false)) return false;
      member.key_len = ws_->key_scratch.size() - member.key_off;
      member.key_in_scratch = true;
      pos_ = after;
    }
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing an object");
    if (peek() != ':') return fail_here("expected `:`");
    bump();
    out.push_back(':');
    skip_ws();
    if (!read_any(out)) return false;
    member.end = out.size();
    ws_->members.push_back(member);
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing an object");
    const char c = peek();
    if (c == '}') {
      bump();
      if (!finish_object(out, body_start, first_member)) return false;
      ws_->members.resize(first_member);
      ws_->key_scratch.resize(scratch_mark);
      leave_level();
      return true;
    }
    if (c != ',') return fail_here("expected `,` or `}`");
    bump();
    out.push_back(',');
    skip_ws();
    if (at_end()) return fail_here("EOF while parsing a value");
    if (peek() == '}') return fail_here("trailing comma");
  }
}

// Members are written in input order; when their keys are not already strictly
// ascending, the body is rebuilt in key order keeping the last of equal keys.
bool Reader::finish_object(std::string& out, size_t body_start, size_t first_member) {
  const size_t n = ws_->members.size() - first_member;
  Member* m = ws_->members.data() + first_member;
  auto key = [&](const Member& x) {
    return std::string_view(x.key_in_scratch ? ws_->key_scratch : out).substr(x.key_off, x.key_len);
  };
  bool ordered = true;
  for (size_t i = 1; i < n; ++i) {
    if (!(key(m[i - 1]) < key(m[i]))) {
      ordered = false;
      break;
    }
  }
  if (!ordered) {
    std::stable_sort(m, m + n, [&](const Member& a, const Member& b) { return key(a) < key(b); });
    std::string& body = ws_->sort_buf;
    body.clear();
    for (size_t i = 0; i < n; ++i) {
      if (i + 1 < n && key(m[i]) == key(m[i + 1])) continue;  // a later one wins
      if (!body.empty()) body.push_back(',');
      body.append(out, m[i].start, m[i].end - m[i].start);
    }
    out.resize(body_start);
    out.append(body);
  }
  out.push_back('}');
  return true;
}

bool Reader::read_string(std::string& out) {
  bump();
  return scan_string(out, false);
}

// Reads string content after the opening quote up to and including the
// closing quote. With `json_out` the bytes are appended as JSON string content
// (escaped for output); otherwise as the raw UTF-8 bytes.
bool Reader::scan_string(std::string& out, bool json_out) {
  const auto* s = reinterpret_cast<const unsigned char*>(in_.data());
  const size_t n = in_.size();
  size_t i = pos_;
  for (;;) {
    // Plain bytes are copied as one run: ASCII eight at a time, multi-byte
    // sequences validated in place.
    const size_t run_start = i;
    for (;;) {
      while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (special_in_word(w)) break;
        i += 8;
      }
      while (i < n && !kInput.special[s[i]]) ++i;
      if (i >= n || s[i] < 0x80) break;
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
    }
    out.append(in_.data() + run_start, i - run_start);
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

bool Reader::read_escape(std::string& out, bool json_out) {
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
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(pos_, "invalid unicode code point");
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
      if (json_out && cp < 0x80 && kOutput.escape[cp]) {
        append_escaped_byte(out, static_cast<unsigned char>(cp));
      } else {
        append_utf8(out, cp);
      }
      return true;
    }
    default:
      return fail_here("invalid escape");
  }
  bump();
  if (json_out && kOutput.escape[static_cast<unsigned char>(decoded)]) {
    append_escaped_byte(out, static_cast<unsigned char>(decoded));
  } else {
    out.push_back(decoded);
  }
  return true;
}

bool Reader::read_number(std::string& out) {
  const char* const begin = in_.data();
  const char* const end = begin + in_.size();
  const char* p = begin + pos_;
  const char* const start = p;
  // Each fault is reported at the byte it is found at, or at the end.
  auto fail_at = [&](const char* at, std::string_view message) {
    pos_ = static_cast<size_t>(at - begin);
    return fail_here(message);
  };
  const bool negative = *p == '-';
  if (negative && ++p == end) return fail_at(p, "EOF while parsing a value");
  const char* const int_begin = p;
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return fail_at(p, "invalid number");
  } else if (is_digit(*p)) {
    while (p < end && is_digit(*p)) ++p;
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
    while (p < end && is_digit(*p)) ++p;
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

  if (!is_float && int_len <= 20) {
    // Integers keep their text when they fit: u64, or i64 for negatives.
    uint64_t mag = 0;
    bool fits = true;
    for (const char* d = int_begin; d < int_begin + int_len; ++d) {
      fits = fits && !__builtin_mul_overflow(mag, 10, &mag) &&
             !__builtin_add_overflow(mag, static_cast<uint64_t>(*d - '0'), &mag);
    }
    if (fits && (!negative || (mag != 0 && mag <= uint64_t{1} << 63))) {
      out.append(text);
      return true;
    }
    if (fits && mag == 0) {
      out.append("-0.0");
      return true;
    }
  }
  double value = 0.0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // The decimal exponent of the first significant digit tells which end it fell off.
    const char* first_sig = int_begin;
    while (first_sig < int_begin + int_len && *first_sig == '0') ++first_sig;
    int64_t adjusted;
    bool zero = false;
    if (first_sig < int_begin + int_len) {
      adjusted = exponent + (int_begin + int_len - first_sig) - 1;
    } else {
      const char* f = frac_begin;
      while (f < frac_end && *f == '0') ++f;
      zero = f == frac_end;
      adjusted = exponent - (f - frac_begin) - 1;
    }
    if (!zero && adjusted >= 0) return fail(pos_, "number out of range");
    value = negative ? -0.0 : 0.0;
  } else if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
    return fail(pos_, "invalid number");
  }
  if (!std::isfinite(value)) return fail(pos_, "number out of range");
  write_f64(out, value);
  return true;
}

Expected<Value, Error> parse(std::string_view text) {
  Reader reader(text);
  std::string out;
  out.reserve(text.size());
  if (!reader.read_value(out)) return unexpected(reader.take_error());
  reader.skip_ws();
  if (!reader.at_end()) {
    reader.fail_here("trailing characters");
    return unexpected(reader.take_error());
  }
  if (out.capacity() > out.size() + out.size() / 4 + 32) out.shrink_to_fit();
  return Value::from_canonical(std::move(out));
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
    append_escaped_byte(out, s[run]);
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
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  if (v == 0.0) {
    out.append(std::signbit(v) ? "-0.0" : "0.0");
    return;
  }
  // Shortest round-trip digits and their exponent, laid out by hand:
  // to_chars gives "[-]d[.ddd]e[+-]XX".
  char sci[40];
  const char* const sci_end =
      std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* p = sci;
  char buf[48];
  char* o = buf;
  if (*p == '-') *o++ = *p++;
  const char first = *p++;
  const char* rest = p;
  if (*p == '.') rest = ++p;
  while (*p != 'e') ++p;
  const int nrest = static_cast<int>(p - rest);
  const bool exp_negative = p[1] == '-';
  int e = 0;
  for (const char* q = p + 2; q < sci_end; ++q) e = e * 10 + (*q - '0');
  if (exp_negative) e = -e;
  if (e >= 0 && e <= 15) {
    // d ddd . ddd, padded with zeros up to the point.
    *o++ = first;
    const int whole_rest = e;
    for (int i = 0; i < whole_rest; ++i) *o++ = i < nrest ? rest[i] : '0';
    *o++ = '.';
    if (nrest > whole_rest) {
      std::memcpy(o, rest + whole_rest, static_cast<size_t>(nrest - whole_rest));
      o += nrest - whole_rest;
    } else {
      *o++ = '0';
    }
  } else if (e < 0 && e >= -5) {
    *o++ = '0';
    *o++ = '.';
    for (int i = 0; i < -e - 1; ++i) *o++ = '0';
    *o++ = first;
    std::memcpy(o, rest, static_cast<size_t>(nrest));
    o += nrest;
  } else {
    *o++ = first;
    if (nrest > 0) {
      *o++ = '.';
      std::memcpy(o, rest, static_cast<size_t>(nrest));
      o += nrest;
    }
    *o++ = 'e';
    *o++ = exp_negative ? '-' : '+';
    o = std::to_chars(o, buf + sizeof buf, e < 0 ? -e : e).ptr;
  }
  out.append(buf, static_cast<size_t>(o - buf));
}

}  // namespace vrell::json
