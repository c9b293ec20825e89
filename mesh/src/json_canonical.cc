// Text that is already canonical, recognised in one pass so that it can be
// kept as it stands.
#include "json_internal.h"

namespace vrell::json {
namespace {

// Recognises text that is already canonical, so that it can be kept as it
// stands: no whitespace, strings without escapes, integers that keep their
// text, objects with strictly ascending keys, nesting within the limit. Any
// other text (floats included) is left to the reader, which also gives the
// errors; this only ever says yes to text the reader would return unchanged.
class CanonicalCheck {
 public:
  explicit CanonicalCheck(std::string_view in) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(in.data())), end_(begin_ + in.size()) {}

  bool whole() const noexcept {
    // Each open container, and for an object its last key so far (null
    // before the first): slots are written as containers open.
    Level levels[kMaxDepth + 1];
    int depth = 0;
    // Each step returns where it stopped, or null where it says no.
    Ptr p = begin_;
    for (;;) {
      if (p == end_) return false;
      switch (*p) {
        case '{':
        case '[': {
          const bool object = *p++ == '{';
          if (depth == kMaxDepth) return false;
          Level& open = levels[++depth];
          open.object = object;
          open.key = nullptr;
          if (p != end_ && *p == (object ? '}' : ']')) {
            ++p;
            --depth;
            break;
          }
          if (object && (p = key(p, open)) == nullptr) return false;
          continue;  // the container's first value
        }
        case '"':
          p = string(p + 1);
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
          p = integer(p);
      }
      if (p == nullptr) return false;
      // After a value: a comma and the next one, or containers closing.
      for (;;) {
        if (depth == 0) return p == end_;
        if (p == end_) return false;
        Level& open = levels[depth];
        if (*p == ',') {
          ++p;
          if (open.object && (p = key(p, open)) == nullptr) return false;
          break;
        }
        if (*p != (open.object ? '}' : ']')) return false;
        ++p;
        --depth;
      }
    }
  }

 private:
  using Ptr = const unsigned char*;
  struct Level {
    bool object;
    Ptr key;
    size_t key_size;
    uint64_t key_prefix;
  };

  // A key and its colon, which must come after the object's last key.
  Ptr key(Ptr p, Level& open) const noexcept {
    if (p == end_ || *p != '"') return nullptr;
    const Ptr start = p + 1;
    p = string(start);
    if (p == nullptr || p == end_ || *p != ':') return nullptr;
    const std::string_view key(reinterpret_cast<const char*>(start),
                               static_cast<size_t>(p - 1 - start));
    // Most keys differ in their first eight bytes.
    const uint64_t prefix = end_ - start >= 8 ? scan::big_endian_prefix_at(key.data(), key.size())
                                              : scan::big_endian_prefix(key, 0);
    if (open.key != nullptr) {
      if (prefix < open.key_prefix) return nullptr;
      const std::string_view last(reinterpret_cast<const char*>(open.key), open.key_size);
      if (prefix == open.key_prefix && !(last < key)) return nullptr;
    }
    open.key = start;
    open.key_size = key.size();
    open.key_prefix = prefix;
    return p + 1;
  }
  Ptr word(Ptr p, std::string_view w) const noexcept {
    if (static_cast<size_t>(end_ - p) < w.size() || std::memcmp(p, w.data(), w.size()) != 0) {
      return nullptr;
    }
    return p + w.size();
  }
  // An integer of at most 18 digits: it fits either integer form. "-0"
  // becomes a float, so it is not canonical.
  Ptr integer(Ptr p) const noexcept {
    const bool negative = *p == '-';
    if (negative) ++p;
    const Ptr digits = p;
    if (p != end_ && *p == '0') {
      if (negative) return nullptr;
      ++p;
    } else {
      while (p != end_ && *p >= '0' && *p <= '9') ++p;
    }
    const auto count = p - digits;
    if (count == 0 || count > 18) return nullptr;
    return p == end_ || (*p != '.' && *p != 'e' && *p != 'E') ? p : nullptr;
  }
  // After the opening quote.
  Ptr string(Ptr p) const noexcept {
    const size_t n = static_cast<size_t>(end_ - begin_);
    for (;;) {
      p = begin_ + scan::skip_plain_ascii(begin_, static_cast<size_t>(p - begin_), n);
      if (p == end_) return nullptr;
      const unsigned char c = *p;
      if (c == '"') return p + 1;
      if (c < 0x80) return nullptr;  // an escape or a control
      size_t bad_at = 0;
      const size_t len = detail::utf8_sequence(p, static_cast<size_t>(end_ - p), &bad_at);
      if (len == 0) return nullptr;
      p += len;
    }
  }

  const Ptr begin_;
  const Ptr end_;
};

}  // namespace

bool is_canonical(std::string_view text) noexcept { return CanonicalCheck(text).whole(); }

}  // namespace vrell::json
