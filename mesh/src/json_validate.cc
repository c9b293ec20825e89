// Validation: the reader's grammar, limits and errors over a whole document,
// for arguments that are checked and then dropped. A quick check that writes
// nothing answers the common documents. The others go through the reader:
// its fast loops up to 64 KB, and above that a walk with nothing written and
// nothing converted (numbers only checked against the range of doubles).
#include "json_internal.h"

namespace vrell::json {
namespace {

// Recognises, in one pass that writes nothing, text the reader accepts in
// its common forms. It reads a copy followed by kPadding zero bytes: a zero
// byte is refused wherever it stands (outside strings it is no token, inside
// them a control character), so every loop stops at the end without testing
// for it, and loads of up to 16 bytes need no care. Anything less common
// makes it say no and leaves the decision, and the error if there is one, to
// the reader: \u escapes of surrogates that are not a pair, numbers that may
// lie beyond the range of doubles, nesting deeper than 64. It never says yes
// to text the reader refuses.
class QuickCheck {
 public:
  static constexpr size_t kPadding = 16;

  // REQUIRES: kPadding zero bytes follow the text.
  static bool whole(std::string_view padded) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(padded.data());
    return QuickCheck(p + padded.size()).walk(p);
  }

 private:
  using Ptr = const unsigned char*;
  static constexpr int kDepth = 64;

  explicit QuickCheck(Ptr end) noexcept : end_(end) {}

  static bool digit(unsigned char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }
  static bool ws(unsigned char c) noexcept { return Reader::is_ws(static_cast<char>(c)); }
  static bool continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }
  static int hex(unsigned char c) noexcept {
    if (digit(c)) return c - '0';
    c = static_cast<unsigned char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  }
  static Ptr skip_ws(Ptr p) noexcept {
    while (*p <= ' ' && ws(*p)) ++p;
    return p;
  }

  // Three states: at a value, at an object's key, after a value. The gap
  // writers put after a comma or a colon (one space, or none) is stepped
  // over by a branch, which is predicted: a computed step would make every
  // later position wait for the load of that byte. Other whitespace takes a
  // slower turn.
  bool walk(Ptr p) noexcept {
    // The open containers: how many, and a bit each, set for an object, the
    // innermost lowest.
    int depth = 0;
    uint64_t objects = 0;
    unsigned char c;
  value:
    c = *p;
    if (c == '"') {
      if ((p = string(p + 1)) == nullptr) return false;
      goto after;
    }
    if (digit(c) || c == '-') {
      if ((p = number(p)) == nullptr) return false;
      goto after;
    }
    if (c == '{' || c == '[') {
      const bool object = c == '{';
      if (depth == kDepth) return false;
      ++depth;
      objects = objects << 1 | static_cast<uint64_t>(object);
      p = skip_ws(p + 1);
      if (*p == (object ? '}' : ']')) {
        ++p;
        --depth;
        objects >>= 1;
        goto after;
      }
      if (object) goto key;
      goto value;
    }
    if (std::memcmp(p, "true", 4) == 0 || std::memcmp(p, "null", 4) == 0) {
      p += 4;
      goto after;
    }
    if (std::memcmp(p, "false", 5) == 0) {
      p += 5;
      goto after;
    }
    if (!ws(c)) return false;
    p = skip_ws(p + 1);
    goto value;
  key:
    if (*p != '"') {
      p = skip_ws(p);
      if (*p != '"') return false;
    }
    // Keys come back from document to document, and so do their lengths: a
    // loop over plain bytes, its end predicted, finds the quote sooner than a
    // computed position would (a long key costs a step a byte, some four times
    // the 16-byte scan's; capping the loop at 32 bytes cost the short ones 5%).
    // Anything else goes to string().
    ++p;
    while (*p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\') ++p;
    if (*p == '"') {
      ++p;
    } else if ((p = string(p)) == nullptr) {
      return false;
    }
    if (*p != ':') {
      p = skip_ws(p);
      if (*p != ':') return false;
    }
    if (*++p == ' ') ++p;
    goto value;
  after:
    c = *p;
    if (c == ',' && depth > 0) {
      if (*++p == ' ') ++p;
      if ((objects & 1) != 0) goto key;
      goto value;
    }
    if ((c == '}' || c == ']') && depth > 0) {
      if ((c == '}') != ((objects & 1) != 0)) return false;
      ++p;
      --depth;
      objects >>= 1;
      goto after;
    }
    if (ws(c)) {
      p = skip_ws(p + 1);
      goto after;
    }
    return depth == 0 && p == end_;
  }

  // After the opening quote.
  static Ptr string(Ptr p) noexcept {
    for (;;) {
      unsigned quotes;
      const unsigned other = scan::quote_and_special_masks_16(p, &quotes);
      // Nothing to check before the first quote (the bits below it): the
      // string ends there, or goes on past these 16 bytes.
      if ((other & (quotes - 1) & ~quotes) == 0) {
        if (quotes != 0) return p + std::countr_zero(quotes) + 1;
        p += 16;
        continue;
      }
      p += std::countr_zero(other);  // before any quote
      const unsigned char c = *p;
      if (c == '\\') {
        if ((p = escape(p)) == nullptr) return nullptr;
        continue;
      }
      if (c >= 0xC2 && c <= 0xDF && continuation(p[1])) {
        p += 2;
        continue;
      }
      if (c >= 0xE1 && c <= 0xEF && c != 0xED && continuation(p[1]) && continuation(p[2])) {
        p += 3;
        continue;
      }
      if (c < 0xE0 || c > 0xF4) return nullptr;  // a control character, or no UTF-8 lead
      // The leads whose second byte has a narrower range (no overlong
      // forms, no surrogates, nothing past U+10FFFF), and four-byte forms:
      // detail::utf8_sequence's rule, written out here because a call to it
      // from this loop made the check 4% slower on plain ASCII text.
      const size_t len = c >= 0xF0 ? 4 : 3;
      const unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
      const unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
      if (p[1] < lo || p[1] > hi || !continuation(p[2]) || (len == 4 && !continuation(p[3]))) {
        return nullptr;
      }
      p += len;
    }
  }

  // At the backslash.
  static Ptr escape(Ptr p) noexcept {
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
  VRELL_NOINLINE static Ptr surrogates(Ptr p, int high) noexcept {
    if (high >= 0xDC00 || p[6] != '\\' || p[7] != 'u') return nullptr;
    const int low = code_unit(p + 6);
    return low >= 0xDC00 && low <= 0xDFFF ? p + 12 : nullptr;
  }

  // The four hex digits of the \u escape at p, or -1.
  static int code_unit(Ptr p) noexcept {
    int cp = 0;
    for (int k = 2; k < 6; ++k) {
      const int h = hex(p[k]);
      if (h < 0) return -1;
      cp = cp << 4 | h;
    }
    return cp;
  }

  // A number whose first significant digit's decimal exponent is surely
  // below 300: the reader takes any such number without converting it.
  static Ptr number(Ptr p) noexcept {
    if (*p == '-') ++p;
    const Ptr first = p;
    // The exponent of the first digit, at most: a zero integer part gives
    // none above -1 whatever its fraction.
    int64_t e = -1;
    if (*p == '0') {
      ++p;
    } else {
      while (digit(*p)) ++p;
      if (p == first) return nullptr;
      e += p - first;
    }
    if (*p == '.') {
      const Ptr fraction = ++p;
      while (digit(*p)) ++p;
      if (p == fraction) return nullptr;
    }
    if ((*p | 0x20) == 'e') {
      ++p;
      const bool negative = *p == '-';
      if (*p == '-' || *p == '+') ++p;
      const Ptr digits = p;
      while (digit(*p)) ++p;
      if (p == digits || p - digits > 4) return nullptr;
      int64_t exponent = 0;
      for (Ptr d = digits; d != p; ++d) exponent = exponent * 10 + (*d - '0');
      e += negative ? -exponent : exponent;
    }
    // What follows is checked as after any value: a digit after a leading
    // zero makes the check say no there.
    return e < 300 ? p : nullptr;
  }

  const Ptr end_;
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
    thread_local Text kept;
    Text& copy = *platform::held(&kept);
    copy.reserve(text.size() + QuickCheck::kPadding);
    if (!text.empty()) std::memcpy(copy.data(), text.data(), text.size());
    std::memset(copy.data() + text.size(), 0, QuickCheck::kPadding);
    const bool plain = QuickCheck::whole({copy.data(), text.size()});
    copy.trim(kKeptBuffer);  // a large document's copy is not kept
    if (plain || keeps_as_canonical(text)) return {};
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
