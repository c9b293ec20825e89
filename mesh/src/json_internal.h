// What the units of the JSON reader and writer share, and nothing else sees:
// the reader's output cursor, the escape rules of the writer, the decoding of
// UTF-8, and the number layout the reader's inner loops inline.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "float_text.h"
#include "json.h"
#include "platform.h"
#include "scan.h"

namespace vrell::json {

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

// A sink that keeps nothing: what validation writes to. Its room is a small
// scratch block that every write may overwrite.
class Reader::NullSink {
 public:
  char* room(size_t) noexcept { return scratch_; }
  void advance_to(char*) noexcept {}
  void put(char) noexcept {}
  void write(const char*, size_t) noexcept {}

 private:
  char scratch_[64];
};

// A string (after its opening quote) whose closing quote comes within 16
// bytes with nothing to escape or check before it, the common short key or
// value: copied with one 16-byte move, the quote consumed but not written.
// False, with nothing consumed, leaves it to scan_string.
inline bool Reader::short_string(Sink& out) {
  if (!platform::kFastPaths) return false;
  const size_t avail = in_.size() - pos_;
  const auto* src = reinterpret_cast<const unsigned char*>(in_.data()) + pos_;
  unsigned char pad[16];
  if (avail < 16 && !padded_) {
    // Near the end: a zero-padded copy (a zero byte is special, so the scan
    // stops within the input).
    std::memset(pad, 0, sizeof pad);
    std::memcpy(pad, src, avail);
    src = pad;
  }
  const size_t k = scan::first_special_16(src);
  if (k == 16 || k == avail || src[k] != '"') return false;
  char* o = out.room(16);
  std::memcpy(o, src, 16);
  out.advance_to(o + k);
  pos_ += k + 1;
  return true;
}

// A literal (true, false, null) at the current offset.
template <class Out>
bool Reader::read_literal(std::string_view word, Out& out) {
  if (in_.size() - pos_ >= word.size() && in_.compare(pos_, word.size(), word) == 0) {
    pos_ += word.size();
    out.write(word.data(), word.size());
    return true;
  }
  bump();
  for (size_t i = 1; i < word.size(); ++i) {
    if (at_end()) return fail_here(ErrorCode::EofValue);
    if (peek() != word[i]) return fail_here(ErrorCode::ExpectedIdent);
    bump();
  }
  return true;  // not reached: the whole word was there
}

namespace detail {

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
inline char* put_escaped_byte(char* p, unsigned char c) noexcept {
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
inline char* put_utf8(char* p, uint32_t cp) noexcept {
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

// Length of the well-formed UTF-8 sequence at s (which starts with a byte
// >= 0x80), or 0 when it is malformed, with *bad_at the index of the first
// byte that does not fit; `avail` bytes may be read.
size_t utf8_sequence(const unsigned char* s, size_t avail, size_t* bad_at) noexcept;

// The four hex digits at p (either case) as one number, or -1 when one is
// not a hex digit; 4 bytes are read.
int32_t hex4(const char* p) noexcept;

// Steps *i over the run of well-formed multi-byte characters that starts at
// s[*i] (a byte >= 0x80), up to the next byte below 0x80 or n: the common
// two- and three-byte forms checked inline, the rest by utf8_sequence. False
// at a malformed sequence, with *i at its start and *bad_at as utf8_sequence
// gives it. Out of line: it is the slow path of both loops that call it
// (the reader's strings, the canonical check's), which it would only grow.
VRELL_NOINLINE inline bool skip_utf8_run(const unsigned char* s, size_t* i, size_t n,
                                         size_t* bad_at) noexcept {
  size_t at = *i;
  do {
    if (at + 16 <= n && scan::four_three_byte_chars(s + at)) {
      at += 12;
      continue;
    }
    const unsigned char c = s[at];
    if (c >= 0xE1 && c <= 0xEF && c != 0xED && at + 2 < n && (s[at + 1] & 0xC0) == 0x80 &&
        (s[at + 2] & 0xC0) == 0x80) {
      at += 3;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF && at + 1 < n && (s[at + 1] & 0xC0) == 0x80) {
      at += 2;
      continue;
    }
    const size_t len = utf8_sequence(s + at, n - at, bad_at);
    if (len == 0) {
      *i = at;
      return false;
    }
    at += len;
  } while (at < n && s[at] >= 0x80);
  *i = at;
  return true;
}

// The first 8 bytes of a key as a big-endian number, zero-padded: ordering
// by it agrees with byte order wherever two prefixes differ.
inline uint64_t key_prefix(std::string_view key) noexcept {
  return scan::big_endian_prefix(key, 0);
}

}  // namespace detail
}  // namespace vrell::json
