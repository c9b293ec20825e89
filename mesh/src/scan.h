// Byte-scanning helpers: the loops that look at many bytes at once, each
// beside a plain byte-by-byte version that says what it computes. Building
// with VRELL_PLAIN_PATHS routes every caller through the plain versions.
//
// All of them only read the bytes they are given and are safe on any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform.h"

namespace vrell::scan {

// Bytes that end a run of plain string bytes in JSON text: the quote, the
// backslash, control characters, and (so that multi-byte sequences can be
// checked) every byte from 0x80 up.
constexpr bool is_special(unsigned char c) noexcept {
  return c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
}

constexpr bool is_json_ws(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// --- Plain versions ----------------------------------------------------------

inline size_t skip_plain_ascii_plain(const unsigned char* s, size_t i, size_t n) noexcept {
  while (i < n && !is_special(s[i])) ++i;
  return i;
}

inline size_t skip_ws_plain(const char* s, size_t i, size_t n) noexcept {
  while (i < n && is_json_ws(s[i])) ++i;
  return i;
}

inline bool has_special_plain(std::string_view text) noexcept {
  for (char c : text) {
    if (is_special(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

// Copies the n bytes at `from` to `to` while they are below 0x80; true when
// all of them were (on false, what `to` holds is unspecified).
inline bool copy_ascii_plain(char* to, const char* from, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<unsigned char>(from[i]) >= 0x80) return false;
    to[i] = from[i];
  }
  return true;
}

// --- Word at a time ------------------------------------------------------------

// A flag (the byte's top bit) for each special byte of w (see is_special),
// and perhaps for bytes above one: a borrow runs on upwards, so the lowest
// flag is always the lowest special byte. The quotes' flags and the other
// special bytes' are each that way on their own.
inline uint64_t quote_flags(uint64_t w) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  const uint64_t quote = w ^ (kOnes * '"');
  return (quote - kOnes) & ~quote & kHigh;
}
inline uint64_t other_special_flags(uint64_t w) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  const uint64_t backslash = w ^ (kOnes * '\\');
  const uint64_t has_backslash = (backslash - kOnes) & ~backslash;
  const uint64_t has_control = (w - kOnes * 0x20) & ~w;
  return (has_backslash | has_control | w) & kHigh;
}
inline uint64_t special_flags(uint64_t w) noexcept {
  return quote_flags(w) | other_special_flags(w);
}

// The index of the first special byte among the 8 at s (8 when there is none).
inline size_t first_special_8(const unsigned char* s) noexcept {
  const uint64_t flags = special_flags(platform::load_le64(s));
  return flags == 0 ? 8 : static_cast<size_t>(std::countr_zero(flags)) / 8;
}

inline uint64_t load_word(const unsigned char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// --- The fast versions ---------------------------------------------------------

#if VRELL_SSE2
// Of the 16 bytes at s: a bit for each quote, backslash and control byte
// (what the writer escapes), and in *high one for each byte from 0x80 up.
inline unsigned escape_mask_16(const unsigned char* s, unsigned* high) noexcept {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i control_max = _mm_set1_epi8(0x1F);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, control_max), control_max);
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      control);
  *high = static_cast<unsigned>(_mm_movemask_epi8(x));  // the sign bits
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

// The first byte at or after i that is special (n when there is none).
inline size_t skip_plain_ascii(const unsigned char* s, size_t i, size_t n) noexcept {
#if defined(VRELL_PLAIN_PATHS)
  return skip_plain_ascii_plain(s, i, n);
#else
#if VRELL_SSE2
  for (; i + 16 <= n; i += 16) {
    unsigned high;
    const unsigned mask = escape_mask_16(s + i, &high) | high;
    if (mask != 0) return i + static_cast<size_t>(std::countr_zero(mask));
  }
#endif
  for (; i + 8 <= n; i += 8) {
    const size_t k = first_special_8(s + i);
    if (k < 8) return i + k;
  }
  return skip_plain_ascii_plain(s, i, n);
#endif
}

// Of the 16 bytes at s, the first byte lowest: in *quotes a mask whose lowest
// set bit marks the first quote, and returned one whose lowest set bit marks
// the first other special byte (0 when there is none; bits above the lowest
// may be set for bytes that are not). The quote that closes a string comes
// from the first mask alone, so finding it need not wait for the second.
// REQUIRES: 16 bytes readable at s.
inline unsigned quote_and_special_masks_16(const unsigned char* s, unsigned* quotes) noexcept {
#if defined(VRELL_PLAIN_PATHS)
  unsigned quote = 0, other = 0;
  for (unsigned i = 0; i < 16; ++i) {
    quote |= static_cast<unsigned>(s[i] == '"') << i;
    other |= static_cast<unsigned>(s[i] != '"' && is_special(s[i])) << i;
  }
  *quotes = quote;
  return other;
#elif VRELL_SSE2
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i control_max = _mm_set1_epi8(0x1F);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, control_max), control_max);
  const __m128i other =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\\')), control), x);
  *quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('"'))));
  return static_cast<unsigned>(_mm_movemask_epi8(other));  // the sign bits
#else
  // A word at a time: each word's flags (the lowest exact), then a bit a byte.
  const auto bits = [](uint64_t flags) {
    return static_cast<unsigned>(((flags >> 7) * 0x0102040810204080ull) >> 56);
  };
  unsigned quote = 0, other = 0;
  for (unsigned half = 0; half < 2; ++half) {
    const uint64_t w = platform::load_le64(s + 8 * half);
    quote |= bits(quote_flags(w)) << (8 * half);
    other |= bits(other_special_flags(w)) << (8 * half);
  }
  *quotes = quote;
  return other;
#endif
}

// The index of the first special byte among the 16 at s (16 when there is
// none). REQUIRES: 16 bytes readable at s.
inline size_t first_special_16(const unsigned char* s) noexcept {
#if defined(VRELL_PLAIN_PATHS)
  return skip_plain_ascii_plain(s, 0, 16);
#elif VRELL_SSE2
  unsigned high;
  const unsigned mask = escape_mask_16(s, &high) | high | 0x10000;
  return static_cast<size_t>(std::countr_zero(mask));
#else
  // Word at a time.
  for (size_t half = 0; half < 16; half += 8) {
    const size_t k = first_special_8(s + half);
    if (k < 8) return half + k;
  }
  return 16;
#endif
}

// Bytes the writer escapes: the quote, the backslash, control characters.
constexpr bool needs_escape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

struct EscapeTable {
  bool escape[256];
  constexpr EscapeTable() : escape() {
    for (int c = 0; c < 256; ++c) escape[c] = needs_escape(static_cast<unsigned char>(c));
  }
};
inline constexpr EscapeTable kEscapes;

inline size_t skip_unescaped_plain(const unsigned char* s, size_t i, size_t n) noexcept {
  while (i < n && !kEscapes.escape[s[i]]) ++i;
  return i;
}

// The first byte at or after i that the writer escapes (n when there is none).
inline size_t skip_unescaped(const unsigned char* s, size_t i, size_t n) noexcept {
#if !defined(VRELL_PLAIN_PATHS) && VRELL_SSE2
  for (; i + 16 <= n; i += 16) {
    unsigned high;
    const unsigned mask = escape_mask_16(s + i, &high);
    if (mask != 0) return i + static_cast<size_t>(std::countr_zero(mask));
  }
#endif
  return skip_unescaped_plain(s, i, n);
}

// The first byte at or after i that is not JSON whitespace (n when there is none).
inline size_t skip_ws(const char* s, size_t i, size_t n) noexcept {
#if !defined(VRELL_PLAIN_PATHS) && VRELL_SSE2
  while (i + 16 <= n) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i ws = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))),
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\r')),
                     _mm_cmpeq_epi8(x, _mm_set1_epi8('\t'))));
    const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFF;
    if (other != 0) return i + static_cast<size_t>(std::countr_zero(other));
    i += 16;
  }
#endif
  return skip_ws_plain(s, i, n);
}

// Whether the 12 bytes at s (16 readable) are four well-formed three-byte
// characters with leads E1-EF other than ED, the form most CJK text takes
// (E0 and ED need checks of their second byte and are left to the caller).
// Without SSE2 always false: the caller's byte-wise check decides.
inline bool four_three_byte_chars(const unsigned char* s) noexcept {
#if !defined(VRELL_PLAIN_PATHS) && VRELL_SSE2
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i cont = _mm_cmpeq_epi8(_mm_and_si128(x, _mm_set1_epi8(static_cast<char>(0xC0))),
                                      _mm_set1_epi8(static_cast<char>(0x80)));
  const __m128i lead =
      _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(0xE0))),
                                    _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(0xED)))),
                       _mm_cmpeq_epi8(_mm_and_si128(x, _mm_set1_epi8(static_cast<char>(0xF0))),
                                      _mm_set1_epi8(static_cast<char>(0xE0))));
  constexpr unsigned kCont = 0xDB6, kLead = 0x249;  // bytes 1,2,4,5,7,8,10,11 and 0,3,6,9
  return (static_cast<unsigned>(_mm_movemask_epi8(cont)) & kCont) == kCont &&
         (static_cast<unsigned>(_mm_movemask_epi8(lead)) & kLead) == kLead;
#else
  (void)s;
  return false;
#endif
}

// True when some byte of text is special: text without one can be written
// into JSON between quotes as it is, and is ASCII.
inline bool has_special(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  return skip_plain_ascii(s, 0, text.size()) != text.size();
}

// Eight bytes of `text` from `from` on as a big-endian number, zero-padded
// past its end: ordering by it agrees with byte order wherever two differ.
inline uint64_t big_endian_prefix(std::string_view text, size_t from) noexcept {
  if (text.size() >= from + 8) return platform::load_be64(text.data() + from);
  uint64_t v = 0;
  for (size_t i = from; i < text.size(); ++i) {
    v |= uint64_t{static_cast<unsigned char>(text[i])} << (56 - 8 * (i - from));
  }
  return v;
}

// big_endian_prefix of the `len` bytes at p, where 8 bytes are readable at p
// whatever len is: one load, the bytes past len masked off.
inline uint64_t big_endian_prefix_at(const char* p, size_t len) noexcept {
  const uint64_t v = platform::load_be64(p);
  return len >= 8 ? v : v & ~(~uint64_t{0} >> (8 * len));
}

// copy_ascii_plain, reading each byte once: text that is ASCII is checked as
// it is copied, and text that is not is given up within 64 bytes of its first
// byte from 0x80 up.
inline bool copy_ascii(char* to, const char* from, size_t n) noexcept {
#if defined(VRELL_PLAIN_PATHS)
  return copy_ascii_plain(to, from, n);
#else
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t i = 0;
#if VRELL_SSE2
  const auto load = [&](size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
  };
  const auto store = [&](size_t at, __m128i x) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), x);
  };
  for (; i + 64 <= n; i += 64) {
    const __m128i a = load(i), b = load(i + 16), c = load(i + 32), d = load(i + 48);
    store(i, a);
    store(i + 16, b);
    store(i + 32, c);
    store(i + 48, d);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) return false;
  }
  if (n >= 16) {
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
      const __m128i x = load(i);
      store(i, x);
      acc = _mm_or_si128(acc, x);
    }
    if (i < n) {  // the last 16 bytes, overlapping what is copied already
      const __m128i x = load(n - 16);
      store(n - 16, x);
      acc = _mm_or_si128(acc, x);
    }
    return _mm_movemask_epi8(acc) == 0;
  }
#endif
  uint64_t acc = 0;
  const auto copy_word = [&](size_t at) {
    const uint64_t w = load_word(reinterpret_cast<const unsigned char*>(from) + at);
    std::memcpy(to + at, &w, 8);
    acc |= w;
  };
  for (; i + 8 <= n; i += 8) copy_word(i);
  if (i < n && n >= 8) {
    copy_word(n - 8);
  } else {
    for (; i < n; ++i) {
      acc |= static_cast<unsigned char>(from[i]);
      to[i] = from[i];
    }
  }
  return (acc & kHigh) == 0;
#endif
}

}  // namespace vrell::scan
