// Strings: validating UTF-8, resolving escapes, and writing strings back
// with the writer's escapes.
#include "json_internal.h"

namespace vrell::json {
namespace detail {

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

// Each byte's hex digit value, or -1.
struct HexTable {
  signed char value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                 : -1);
    }
  }
};
constexpr HexTable kHexValues;

// The four hex digits at p as one number, or -1 when one is not a digit.
int32_t hex4(const char* p) noexcept {
  const auto at = [p](int i) {
    return int32_t{kHexValues.value[static_cast<unsigned char>(p[i])]};
  };
  const int32_t a = at(0), b = at(1), c = at(2), d = at(3);
  return (a | b | c | d) < 0 ? -1 : (a << 12) | (b << 8) | (c << 4) | d;
}

}  // namespace detail

namespace {

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

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

// Reads string content after the opening quote up to and including the
// closing quote. With `json_out` the bytes are written as JSON string content
// (escaped for output); otherwise as the raw UTF-8 bytes.
template <class Out>
bool Reader::scan_string(Out& out, bool json_out) {
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
      size_t bad_at = 0;
      if (!detail::skip_utf8_run(s, &i, n, &bad_at)) {
        if (i + bad_at >= n) {
          pos_ = n;
          return fail_here(ErrorCode::EofString);
        }
        return fail(i + bad_at + 1, ErrorCode::InvalidCodePoint);
      }
    }
    out.write(in_.data() + run_start, i - run_start);
    pos_ = i;
    if (i >= n) return fail_here(ErrorCode::EofString);
    const unsigned char c = s[i];
    if (c == '"') {
      pos_ = i + 1;
      return true;
    }
    if (c != '\\') return fail_here(ErrorCode::ControlCharacter);
    // The escape of a character outside ASCII and the surrogates, what
    // ASCII-only writers put for accented letters: decoded here.
    if (i + 6 <= n && s[i + 1] == 'u') {
      const int32_t cp = detail::hex4(in_.data() + i + 2);
      if (cp >= 0x80 && (cp < 0xD800 || cp > 0xDFFF)) {
        ++escapes_;
        out.advance_to(detail::put_utf8(out.room(4), static_cast<uint32_t>(cp)));
        i += 6;
        continue;
      }
    }
    if (!read_escape(out, json_out)) return false;
    i = pos_;
  }
}

template <class Out>
bool Reader::read_escape(Out& out, bool json_out) {
  ++escapes_;
  bump();  // the backslash
  if (at_end()) return fail_here(ErrorCode::EofString);
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
    case 'u':
      return read_unicode_escape(out, json_out);
    default:
      return fail_here(ErrorCode::InvalidEscape);
  }
  bump();
  const auto byte = static_cast<unsigned char>(decoded);
  if (json_out && detail::kOutput.escape[byte]) {
    out.advance_to(detail::put_escaped_byte(out.room(6), byte));
  } else {
    out.put(decoded);
  }
  return true;
}

// After "\\u": four hex digits, and for a leading surrogate the escape of
// its trailing one.
template <class Out>
bool Reader::read_unicode_escape(Out& out, bool json_out) {
  bump();
  auto read_hex4 = [this](uint32_t& v) {
    if (in_.size() - pos_ < 4) {
      pos_ = in_.size();
      return fail_here(ErrorCode::EofString);
    }
    if (const int32_t all = detail::hex4(in_.data() + pos_); all >= 0) {
      v = static_cast<uint32_t>(all);
      pos_ += 4;
      return true;
    }
    // Digit by digit, to report the first that is not one.
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = hex_value(peek());
      if (h < 0) return fail_here(ErrorCode::InvalidEscape);
      v = (v << 4) | static_cast<uint32_t>(h);
      bump();
    }
    return true;
  };
  uint32_t cp = 0;
  if (!read_hex4(cp)) return false;
  // A trailing surrogate with no leading one before it: every unpaired
  // surrogate is reported alike, at its last hex digit.
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(pos_, ErrorCode::LoneSurrogate);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (at_end()) return fail_here(ErrorCode::EofString);
    if (peek() != '\\') return fail_here(ErrorCode::UnexpectedEndOfHexEscape);
    bump();
    if (at_end()) return fail_here(ErrorCode::EofString);
    if (peek() != 'u') return fail_here(ErrorCode::UnexpectedEndOfHexEscape);
    bump();
    uint32_t low = 0;
    if (!read_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) {
      return fail(pos_, ErrorCode::LoneSurrogate);
    }
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  char* p = out.room(6);
  out.advance_to(json_out && cp < 0x80 && detail::kOutput.escape[cp]
                     ? detail::put_escaped_byte(p, static_cast<unsigned char>(cp))
                     : detail::put_utf8(p, cp));
  return true;
}

template bool Reader::scan_string(Sink&, bool);
template bool Reader::scan_string(NullSink&, bool);

void RawWriter::string(std::string_view utf8) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  *p_++ = '"';
  for (size_t i = 0; i < n;) {
    const size_t run = scan::skip_unescaped(s, i, n);
    std::memcpy(p_, utf8.data() + i, run - i);
    p_ += run - i;
    if (run == n) break;
    p_ = detail::put_escaped_byte(p_, s[run]);
    i = run + 1;
  }
  *p_++ = '"';
}

void write_string(std::string& out, std::string_view utf8) {
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  size_t i = scan::skip_unescaped(s, 0, n);
  // Most texts need no escape: the quotes and the text in one reservation.
  out.reserve(out.size() + n + 2);
  out.push_back('"');
  out.append(utf8.data(), i);
  while (i < n) {
    char esc[6];
    out.append(esc, static_cast<size_t>(detail::put_escaped_byte(esc, s[i]) - esc));
    const size_t run = scan::skip_unescaped(s, i + 1, n);
    out.append(utf8.data() + i + 1, run - i - 1);
    i = run;
  }
  out.push_back('"');
}

}  // namespace vrell::json
