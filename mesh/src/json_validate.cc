// Validation: the reader's grammar, limits and errors over a whole document,
// for arguments that are checked and then dropped. A quick check that writes
// nothing answers the common documents. The others go through the reader:
// its fast loops up to 64 KB, and above that a walk with nothing written and
// nothing converted (numbers only checked against the range of doubles).
#include "json_internal.h"

namespace vrell::json {
namespace {

// Recognises, in one pass that writes nothing, text the reader accepts in
// its common forms. Anything less common makes it say no and leaves the
// decision, and the error if there is one, to the reader: \u escapes of
// surrogates that are not a pair, numbers with an exponent or more than 17
// digits, nesting deeper than 64. It never says yes to text the reader refuses.
class PlainCheck {
 public:
  explicit PlainCheck(std::string_view in) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(in.data())), end_(begin_ + in.size()) {}

  bool whole() noexcept { return walk_grammar(*this, begin_, end_); }

 private:
  friend bool walk_grammar<PlainCheck>(PlainCheck&, const unsigned char*,
                                       const unsigned char*) noexcept;
  using Ptr = const unsigned char*;
  static constexpr int kDepth = 64;

  static void open(int) noexcept {}

  Ptr gap(Ptr p) const noexcept {
    // Most gaps are one space or none.
    while (p != end_ && *p <= ' ' && Reader::is_ws(static_cast<char>(*p))) ++p;
    return p;
  }
  static bool digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }
  static bool continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }
  static int hex(unsigned char c) noexcept {
    if (digit(c)) return c - '0';
    c = static_cast<unsigned char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  }

  // A key, its colon, and the whitespace around them.
  Ptr key(Ptr p, int) const noexcept {
    p = gap(p);
    if (p == end_ || *p != '"') return nullptr;
    p = string(p + 1);
    if (p == nullptr) return nullptr;
    p = gap(p);
    if (p == end_ || *p != ':') return nullptr;
    return p + 1;
  }

  // After the opening quote.
  Ptr string(Ptr p) const noexcept {
    const size_t n = static_cast<size_t>(end_ - begin_);
    for (;;) {
      p = begin_ + scan::skip_plain_ascii(begin_, static_cast<size_t>(p - begin_), n);
      if (p == end_) return nullptr;
      const unsigned char c = *p;
      if (c == '"') return p + 1;
      const auto left = end_ - p;
      if (c == '\\') {
        p = escape(p);
        if (p == nullptr) return nullptr;
      } else if (c >= 0xC2 && c <= 0xDF && left > 1 && continuation(p[1])) {
        p += 2;
      } else if (c >= 0xE1 && c <= 0xEF && c != 0xED && left > 2 && continuation(p[1]) &&
                 continuation(p[2])) {
        p += 3;
      } else if (c >= 0xE0 && c <= 0xF4) {
        // The leads whose second byte has a narrower range (no overlong
        // forms, no surrogates, nothing past U+10FFFF), and four-byte forms.
        const size_t len = c >= 0xF0 ? 4 : 3;
        const unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        if (static_cast<size_t>(left) < len || p[1] < lo || p[1] > hi || !continuation(p[2]) ||
            (len == 4 && !continuation(p[3]))) {
          return nullptr;
        }
        p += len;
      } else {
        return nullptr;
      }
    }
  }

  // At the backslash.
  Ptr escape(Ptr p) const noexcept {
    if (end_ - p < 2) return nullptr;
    switch (p[1]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return p + 2;
      case 'u': {
        const int cp = code_unit(p);
        if (cp < 0xD800 || cp > 0xDFFF) return cp < 0 ? nullptr : p + 6;
        return surrogates(p, cp);
      }
      default:
        return nullptr;
    }
  }

  // A pair of surrogates at p, high then low, as writers that keep to ASCII
  // write characters past U+FFFF; `high` is the first one's code unit.
  VRELL_NOINLINE Ptr surrogates(Ptr p, int high) const noexcept {
    if (high >= 0xDC00 || end_ - p < 12 || p[6] != '\\' || p[7] != 'u') return nullptr;
    const int low = code_unit(p + 6);
    return low >= 0xDC00 && low <= 0xDFFF ? p + 12 : nullptr;
  }

  // The four hex digits of the \u escape at p, or -1.
  int code_unit(Ptr p) const noexcept {
    if (end_ - p < 6) return -1;
    int cp = 0;
    for (int k = 2; k < 6; ++k) {
      const int h = hex(p[k]);
      if (h < 0) return -1;
      cp = cp << 4 | h;
    }
    return cp;
  }

  // Short enough that any such number is within the range of doubles.
  Ptr number(Ptr p) const noexcept {
    if (*p == '-') ++p;
    const Ptr first = p;
    if (p != end_ && *p == '0') {
      ++p;
    } else {
      while (p != end_ && digit(*p)) ++p;
    }
    auto digits = p - first;
    if (digits == 0) return nullptr;
    if (p != end_ && *p == '.') {
      const Ptr fraction = ++p;
      while (p != end_ && digit(*p)) ++p;
      if (p == fraction) return nullptr;
      digits += p - fraction;
    }
    // What follows is checked as after any value: an exponent, or a digit
    // after a leading zero, makes the check say no there.
    return digits > 17 ? nullptr : p;
  }

  const unsigned char* begin_;
  const unsigned char* end_;
};

}  // namespace

bool Reader::skip_any() {
  if (at_end()) return fail_here(ErrorCode::EofValue);
  switch (peek()) {
    case '{':
      return skip_object();
    case '[':
      return skip_array();
    case '"': {
      bump();
      NullSink none;
      return scan_string(none, false);
    }
    case 't':
      return skip_literal("true");
    case 'f':
      return skip_literal("false");
    case 'n':
      return skip_literal("null");
    default:
      if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return skip_number();
      return fail_here(ErrorCode::ExpectedValue);
  }
}

bool Reader::skip_literal(std::string_view word) {
  NullSink none;
  return read_literal(word, none);
}

bool Reader::skip_array() {
  if (!begin_array()) return false;
  bool more = false;
  for (bool first = true;; first = false) {
    if (!next_element(first, more)) return false;
    if (!more) break;
    if (!skip_any()) return false;
  }
  end_array();
  return true;
}

bool Reader::skip_object() {
  if (!begin_object()) return false;
  bool more = false;
  for (bool first = true;; first = false) {
    if (!next_member(first, more)) return false;
    if (!more) break;
    bump();  // the key's opening quote
    NullSink none;
    if (!scan_string(none, false) || !member_colon() || !skip_any()) return false;
  }
  end_object();
  return true;
}

Expected<void, Error> validate(std::string_view text) {
  if (platform::kFastPaths) {
    // The quick check first: it takes nearly all canonical text too, faster
    // than the canonical check, which besides gives up on most other text
    // only after reading some of it (at the first key out of order in
    // compact text).
    if (PlainCheck(text).whole() || keeps_as_canonical(text)) return {};
    // Small documents go through the reader's fast loops, which outrun the
    // walk below even while writing: each object's output is dropped as
    // soon as it is read, unsorted.
    if (text.size() <= Reader::kPaddedUpTo) {
      thread_local Text scratch;
      return Reader::read_from_copy(text, scratch, true);
    }
  } else if (keeps_as_canonical(text)) {
    return {};
  }
  Reader reader(text);
  reader.skip_ws();
  if (!reader.skip_any()) return unexpected(reader.take_error());
  reader.skip_ws();
  if (!reader.at_end()) {
    reader.fail_here(ErrorCode::TrailingCharacters);
    return unexpected(reader.take_error());
  }
  return {};
}

}  // namespace vrell::json
