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
      const size_t len = detail::utf8_sequence(s_ + i_, n_ - i_, &bad_at);
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

bool is_canonical(std::string_view text) noexcept { return CanonicalCheck(text).whole(); }

}  // namespace vrell::json
