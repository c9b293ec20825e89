// Text that is already canonical, recognised in one pass so that it can be
// kept as it stands.
#include "json_internal.h"
#include "json_number.h"

namespace vrell::json {
namespace {

// Recognises text that is already canonical, so that it can be kept as it
// stands: no whitespace, keys without escapes and strings with only the
// writer's own, integers and short floats that keep their text, objects with
// strictly ascending keys, nesting within the limit. Any other text is left
// to the reader, which also gives the errors; this only ever says yes to
// text the reader would return unchanged.
class CanonicalCheck {
 public:
  explicit CanonicalCheck(std::string_view in) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(in.data())), end_(begin_ + in.size()) {}

  // One walk over the grammar (values, containers, commas and colons), with
  // each step returning where it stopped, or null where the text is not
  // canonical.
  bool whole() noexcept {
    const unsigned char* p = begin_;
    // The open containers: how many, and a bit each, set for an object, the
    // innermost lowest (levels past 64 in `outer`).
    int depth = 0;
    uint64_t objects = 0, outer = 0;
    const auto close = [&] {
      --depth;
      objects >>= 1;
      objects |= outer << 63;
      outer >>= 1;
    };
    for (;;) {
      if (p == end_) return false;
      switch (*p) {
        case '{':
        case '[': {
          const bool object = *p++ == '{';
          if (depth == kMaxDepth) return false;
          ++depth;
          outer = outer << 1 | objects >> 63;
          objects = objects << 1 | static_cast<uint64_t>(object);
          if (object) last_keys_[depth].text = nullptr;
          if (p != end_ && *p == (object ? '}' : ']')) {
            ++p;
            close();
            break;
          }
          if (object && (p = key(p, depth)) == nullptr) return false;
          continue;  // the container's first value
        }
        case '"':
          p = string(p + 1, true);
          break;
        case 't':
          p = word(p, "true");
          break;
        case 'f':
          p = word(p, "false");
          break;
        case 'n':
          p = word(p, "null");
          break;
        default:
          p = number(p);
      }
      if (p == nullptr) return false;
      // After a value: a comma and the next one, or containers closing.
      for (;;) {
        if (depth == 0) return p == end_;
        if (p == end_) return false;
        const bool object = (objects & 1) != 0;
        if (*p == ',') {
          ++p;
          if (object && (p = key(p, depth)) == nullptr) return false;
          break;
        }
        if (*p != (object ? '}' : ']')) return false;
        ++p;
        close();
      }
    }
  }

 private:
  using Ptr = const unsigned char*;
  // For each open object, its last key so far (null before the first).
  struct LastKey {
    Ptr text;
    size_t size;
    uint64_t prefix;
  };

  Ptr word(Ptr at, std::string_view w) const noexcept {
    if (static_cast<size_t>(end_ - at) < w.size() || std::memcmp(at, w.data(), w.size()) != 0) {
      return nullptr;
    }
    return at + w.size();
  }

  // A key and its colon, which must come after the object's last key.
  Ptr key(Ptr p, int depth) noexcept {
    LastKey& last_key = last_keys_[depth];
    if (p == end_ || *p != '"') return nullptr;
    const Ptr start = p + 1;
    p = string(start, false);
    if (p == nullptr || p == end_ || *p != ':') return nullptr;
    const std::string_view key(reinterpret_cast<const char*>(start),
                               static_cast<size_t>(p - 1 - start));
    // Most keys differ in their first eight bytes.
    const uint64_t prefix = end_ - start >= 8 ? scan::big_endian_prefix_at(key.data(), key.size())
                                              : scan::big_endian_prefix(key, 0);
    if (last_key.text != nullptr) {
      if (prefix < last_key.prefix) return nullptr;
      const std::string_view last(reinterpret_cast<const char*>(last_key.text), last_key.size);
      if (prefix == last_key.prefix && !(last < key)) return nullptr;
    }
    last_key = {start, key.size(), prefix};
    return p + 1;
  }
  // An integer of at most 18 digits (it fits either integer form), or a
  // float as the reader writes it (see fraction). "-0" becomes a float, so
  // it is not canonical.
  Ptr number(Ptr p) const noexcept {
    const bool negative = *p == '-';
    if (negative) ++p;
    const Ptr digits = p;
    if (p != end_ && *p == '0') {
      ++p;
      if (p != end_ && *p == '.') return fraction(p + 1, 0);
      if (negative) return nullptr;
    } else {
      while (p != end_ && detail::is_digit(static_cast<char>(*p))) ++p;
    }
    const auto count = p - digits;
    if (count == 0 || count > 18) return nullptr;
    if (p == end_ || (*p != '.' && *p != 'e' && *p != 'E')) return p;
    return *p == '.' ? fraction(p + 1, count) : nullptr;
  }
  // The digits after a float's point, `whole` digits before it (none for a
  // float below 1): no exponent, at most fifteen significant digits (text
  // that the double it is read as gives back), none to drop at the end, and
  // below 1 at most four zeros after the point.
  VRELL_NOINLINE Ptr fraction(Ptr p, ptrdiff_t whole) const noexcept {
    const Ptr begin = p;
    if (whole == 0) {
      while (p != end_ && *p == '0') ++p;
    }
    const auto zeros = p - begin;
    const Ptr significant = p;
    while (p != end_ && detail::is_digit(static_cast<char>(*p))) ++p;
    if (p == significant || (p != end_ && (*p == 'e' || *p == 'E'))) return nullptr;
    // A whole number keeps one zero after the point ("2.0").
    const bool integral = whole > 0 && p - significant == 1 && *significant == '0';
    if ((p[-1] == '0' && !integral) || whole + (p - significant) > 15 || zeros > 4) return nullptr;
    return p;
  }
  // After the opening quote. A value may hold the escapes the writer
  // writes; a key none, since keys are ordered by what they decode to.
  Ptr string(Ptr p, bool escapes) const noexcept {
    const size_t n = static_cast<size_t>(end_ - begin_);
    for (;;) {
      p = begin_ + scan::skip_plain_ascii(begin_, static_cast<size_t>(p - begin_), n);
      if (p == end_) return nullptr;
      if (*p == '"') return p + 1;
      if ((p = special(p, escapes)) == nullptr) return nullptr;
    }
  }
  // Past an escape or a run of multi-byte characters at p, out of the way of
  // the plain ASCII loop above.
  VRELL_NOINLINE Ptr special(Ptr p, bool escapes) const noexcept {
    if (*p == '\\') {
      const size_t len = escapes ? escape(p) : 0;
      return len == 0 ? nullptr : p + len;
    }
    if (*p < 0x80) return nullptr;  // a control character
    size_t at = static_cast<size_t>(p - begin_), bad_at = 0;
    if (!detail::skip_utf8_run(begin_, &at, static_cast<size_t>(end_ - begin_), &bad_at)) {
      return nullptr;
    }
    return begin_ + at;
  }
  // The length of the escape at p when it is the one the writer writes for
  // its character (put_escaped_byte), 0 for any other.
  size_t escape(Ptr p) const noexcept {
    const auto avail = static_cast<size_t>(end_ - p);
    int32_t c = -1;
    switch (avail >= 2 ? p[1] : 0) {
      case '"':
      case '\\':
        c = p[1];
        break;
      case 'b':
        c = '\b';
        break;
      case 't':
        c = '\t';
        break;
      case 'n':
        c = '\n';
        break;
      case 'f':
        c = '\f';
        break;
      case 'r':
        c = '\r';
        break;
      case 'u':
        if (avail >= 6) c = detail::hex4(reinterpret_cast<const char*>(p) + 2);
        break;
      default:
        break;
    }
    if (c < 0 || c >= 0x80 || !detail::kOutput.escape[c]) return 0;
    char written[6];
    const auto len = static_cast<size_t>(
        detail::put_escaped_byte(written, static_cast<unsigned char>(c)) - written);
    // Fixed-size compares (2 or 6 bytes): a variable one is a library call.
    const bool same = len == 2 ? p[1] == static_cast<unsigned char>(written[1])
                               : avail >= 6 && std::memcmp(p, written, 6) == 0;
    return same ? len : 0;
  }

  const Ptr begin_;
  const Ptr end_;
  LastKey last_keys_[kMaxDepth + 1];  // written as objects open
};

}  // namespace

bool is_canonical(std::string_view text) noexcept { return CanonicalCheck(text).whole(); }

}  // namespace vrell::json
