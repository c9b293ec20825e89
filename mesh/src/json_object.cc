// Objects: members read in input order, then put in key order with the
// last of equal keys kept, unless they came that way.
#include "json_internal.h"
#include "json_number.h"

namespace vrell::json {

bool Reader::read_object(Sink& out) {
  if (!begin_object()) return false;
  out.put('{');
  const size_t body_start = out.size();
  const size_t first_member = ws_->members.size();
  const size_t scratch_mark = ws_->key_scratch.size();
  bool first = true;
  if (platform::kFastPaths && in_.size() <= kSmallObjectInput) {
    switch (padded_ ? read_small_object<true>(out, body_start)
                    : read_small_object<false>(out, body_start)) {
      case SmallObject::Done:
        return true;
      case SmallObject::Failed:
        return false;
      case SmallObject::AtKey:
        if (!read_member(out)) return false;
        first = false;
        break;
      case SmallObject::AtSeparator:
        first = false;
        break;
    }
  }
  for (;; first = false) {
    bool more = false;
    if (!next_member(first, more)) return false;
    if (!more) break;
    if (!first) out.put(',');
    if (!read_member(out)) return false;
  }
  end_object();
  finish_object(out, body_start, first_member);
  ws_->members.resize(first_member);
  ws_->key_scratch.set_size(scratch_mark);
  return true;
}

namespace {

// Bodies up to this size are reordered through a copy on the stack: one
// move out and one per member back, with no buffer to manage.
constexpr size_t kSmallBody = 1024;
constexpr size_t kSmallMembers = 24;

// Members copied back 16 bytes at a time (a fixed-size move, no call): the
// copy has room to read 32 bytes past its end, the output to write them.
template <class Span>
char* copy_back(char* p, const char* copy, size_t body_start, const Span& x, bool comma) noexcept {
  if (comma) *p++ = ',';
  const char* from = copy + (x.start - body_start);
  const size_t len = x.end - x.start;
  // Two moves whatever the length (most members are shorter), so that the
  // compiler does not make the loop a call.
  std::memcpy(p, from, 16);
  std::memcpy(p + 16, from + 16, 16);
  for (size_t done = 32; done < len; done += 16) std::memcpy(p + done, from + done, 16);
  return p + len;
}

// The length of the string whose text starts at p when its closing quote
// comes within 32 bytes with nothing special before it, otherwise 32;
// 32 bytes are readable at p.
inline size_t quoted_length(const char* p) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  size_t len = scan::first_special_16(bytes);
  if (len == 16) len += scan::first_special_16(bytes + 16);
  return len < 32 && p[len] == '"' ? len : 32;
}

// The length of the literal (true, false, null) at p, 0 when there is none
// there; 8 bytes are readable at p.
inline size_t literal_at(const char* p) noexcept {
  uint32_t word;
  std::memcpy(&word, p, 4);
  uint32_t want;
  switch (*p) {
    case 't':
      std::memcpy(&want, "true", 4);
      return word == want ? 4 : 0;
    case 'n':
      std::memcpy(&want, "null", 4);
      return word == want ? 4 : 0;
    case 'f':
      std::memcpy(&want, "fals", 4);
      return word == want && p[4] == 'e' ? 5 : 0;
    default:
      return 0;
  }
}

}  // namespace

// The members of a small object, the common case, read in one loop with the
// separators that writers put (`, ` or `,`, `: ` or `:`) checked inline and
// each member kept in a local array. Whatever else comes (whitespace
// elsewhere, a key with escapes or of 32 bytes or more, more members than
// the array holds) hands the object over to the general loop where it
// stands, the members read so far moved to the workspace; every error is
// found by the same primitives as there, so it reads the same.
template <bool kPadded>
Reader::SmallObject Reader::read_small_object(Sink& out, size_t body_start) {
  struct Span {
    uint64_t prefix;
    uint32_t start;  // output span of `"key":value`
    uint32_t end;
  };
  Span m[kLocalMembers];
  size_t count = 0;
  const char* const s = in_.data();
  const size_t n = in_.size();
  // The members so far into the workspace (in `order` when given), for the
  // general loop to go on with.
  auto hand_over = [&](SmallObject where, const unsigned char* order = nullptr) {
    for (size_t i = 0; i < count; ++i) {
      const Span& x = m[order ? order[i] : i];
      const std::string_view key(out.at(x.start + 1), x.end - x.start - 1);
      ws_->members.push_back(Member{x.start + 1, key.find('"'), false, x.start, x.end, x.prefix});
    }
    return where;
  };
  const char* p = s + pos_;  // the input cursor; pos_ is set from it before every call
  // Loads below read up to 64 bytes from a key's quote: past the input's end
  // only in a padded copy (where no check is needed). A zero byte is
  // special, so no scan runs past the end.
  const char* const limit = s + n + (kPadded ? kPadding : 0);
  if (pos_ < n && *p == '}') {
    end_object();
    out.put('}');
    return SmallObject::Done;
  }
  if (pos_ >= n || *p != '"') {
    bool more = false;
    if (!next_member(true, more)) return SmallObject::Failed;
    if (!more) {
      end_object();
      out.put('}');
      return SmallObject::Done;
    }
    p = s + pos_;
  }
  for (;;) {
    // At the key's opening quote.
    if (!kPadded && p + kMemberReach > limit) {
      pos_ = static_cast<size_t>(p - s);
      return hand_over(SmallObject::AtKey);
    }
    char* o = out.room(kMemberRoom);
    const auto start = static_cast<uint32_t>(out.size());
    const char* const key = p + 1;
    const size_t key_len = quoted_length(key);
    if (key_len == 32) {
      pos_ = static_cast<size_t>(p - s);
      return hand_over(SmallObject::AtKey);
    }
    const uint64_t prefix = scan::big_endian_prefix_at(key, key_len);
    o[0] = '"';
    std::memcpy(o + 1, key, 32);
    o[key_len + 1] = '"';
    o += key_len + 2;
    p = key + key_len + 1;
    bool far = false;  // the value may stand too near the end for the loads here
    if (*p == ':' && p[1] == ' ' && !is_ws(p[2])) {
      p += 2;
    } else if (*p == ':' && !is_ws(p[1])) {
      p += 1;
    } else {
      out.advance_to(o);
      pos_ = static_cast<size_t>(p - s);
      if (!member_colon()) return SmallObject::Failed;
      p = s + pos_;
      o = out.room(kMemberRoom);
      far = !kPadded && p + kValueReach > limit;
    }
    *o++ = ':';
    const char c = far ? '\0' : *p;
    if (c == '"') {
      // Up to 31 bytes (ids, timestamps) in two moves.
      const char* const text = p + 1;
      const size_t len = quoted_length(text);
      *o++ = '"';
      if (len < 32) {
        std::memcpy(o, text, 32);
        o[len] = '"';
        o += len + 1;
        p = text + len + 1;
      } else {
        out.advance_to(o);
        pos_ = static_cast<size_t>(text - s);
        if (!scan_string(out, true)) return SmallObject::Failed;
        out.put('"');
        p = s + pos_;
        o = out.room(0);
      }
    } else if (const char* e =
                   detail::is_digit(c) || c == '-' ? detail::fast_number(p, s + n, &o) : nullptr) {
      p = e;
    } else if (const size_t len = far ? 0 : literal_at(p)) {
      std::memcpy(o, p, 8);
      o += len;
      p += len;
    } else {
      out.advance_to(o);
      pos_ = static_cast<size_t>(p - s);
      const bool ok = c == '{'                          ? read_object(out)
                      : c == '['                        ? read_array(out)
                      : detail::is_digit(c) || c == '-' ? read_general_number(out)
                                                        : read_any(out);
      if (!ok) return SmallObject::Failed;
      p = s + pos_;
      o = out.room(0);
    }
    out.advance_to(o);
    m[count++] = Span{prefix, start, static_cast<uint32_t>(out.size())};
    if (count == kLocalMembers) {
      pos_ = static_cast<size_t>(p - s);
      return hand_over(SmallObject::AtSeparator);
    }
    // The next key right after the comma, or after one space, stepped over
    // by a branch (predicted) rather than a computed step, which would make
    // every later position wait for the load of that byte.
    if ((kPadded || p + 3 <= limit) && *p == ',') {
      const char* next = p + 1;
      if (*next == ' ') ++next;
      if (*next == '"') {
        p = next;
        out.put(',');
        continue;
      }
    }
    pos_ = static_cast<size_t>(p - s);
    bool more = false;
    if (!next_member(false, more)) return SmallObject::Failed;
    if (!more) break;
    out.put(',');
    p = s + pos_;
  }
  end_object();
  if (discard_) {
    out.truncate(body_start);
    out.put('}');
    return SmallObject::Done;
  }
  // Already in order, each key above the one before (the prefixes decide):
  // nothing to move.
  size_t i = 1;
  while (i < count && m[i - 1].prefix < m[i].prefix) ++i;
  const size_t body = out.size() - body_start;
  if (i < count) {
    // Objects of one shape (the same keys in the same order) come in runs:
    // the elements of an array, the records of a batch. The last order
    // found at each level is kept, keyed by the prefixes.
    Workspace::Shape& shape = ws_->shapes[static_cast<size_t>(depth_) % std::size(ws_->shapes)];
    bool same = shape.count == count;
    for (size_t k = 0; same && k < count; ++k) same = shape.prefix[k] == m[k].prefix;
    if (!same) {
      // Each member's place: the members below it, and the equal ones
      // before it, so that equal prefixes keep their input order. No
      // branches: which way a comparison goes is not predictable.
      for (size_t a = 0; a < count; ++a) {
        size_t rank = 0;
        for (size_t b = 0; b < a; ++b) rank += m[b].prefix <= m[a].prefix;
        for (size_t b = a + 1; b < count; ++b) rank += m[b].prefix < m[a].prefix;
        shape.order[rank] = static_cast<unsigned char>(a);
      }
      bool distinct = true;
      for (size_t k = 1; k < count; ++k) {
        distinct &= m[shape.order[k - 1]].prefix != m[shape.order[k]].prefix;
      }
      shape.count = 0;
      if (!distinct) {
        // Keys that share their first 8 bytes: the whole keys compare, and
        // of equal ones the last is kept.
        const size_t first_member = ws_->members.size();
        hand_over(SmallObject::Done);
        finish_object(out, body_start, first_member);
        ws_->members.resize(first_member);
        return SmallObject::Done;
      }
      for (size_t k = 0; k < count; ++k) shape.prefix[k] = m[k].prefix;
      shape.count = static_cast<unsigned char>(count);
    }
    const unsigned char* const order = shape.order;
    if (body > kSmallBody) {
      // A large body: its largest member is moved in place, the rest through
      // the workspace.
      const size_t first_member = ws_->members.size();
      hand_over(SmallObject::Done, order);
      reorder(out, body_start, ws_->members.data() + first_member, count,
              [](const Member&, const Member&) { return false; });
      ws_->members.resize(first_member);
      out.put('}');
      return SmallObject::Done;
    }
    out.room(32);  // room to write past the body, in moves of 16
    char copy[kSmallBody + 32];
    platform::copy_blocks16(copy, out.at(body_start), body);
    char* w = out.at(body_start);
    for (size_t k = 0; k < count; ++k) w = copy_back(w, copy, body_start, m[order[k]], k > 0);
  }
  out.put('}');
  return SmallObject::Done;
}

// REQUIRES: peek() == '"', a member's key.
bool Reader::read_member(Sink& out) {
  bump();
  const size_t start = out.size();
  const size_t key_in = pos_;
  const unsigned escapes_before = escapes_;
  out.put('"');
  if (!short_string(out) && !scan_string(out, true)) return false;
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
  if (!member.key_in_scratch && key_in + 8 <= in_.size()) {
    // The key's bytes stand in the input as they are: one load there.
    member.prefix = scan::big_endian_prefix_at(in_.data() + key_in, member.key_len);
  } else {
    member.prefix =
        detail::key_prefix((member.key_in_scratch ? ws_->key_scratch.view() : out.view())
                               .substr(member.key_off, member.key_len));
  }
  if (!member_colon()) return false;
  out.put(':');
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
  return true;
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
  bool ordered = true;
  for (size_t i = 1; i < n; ++i) {
    if (!less(m[i - 1], m[i])) {
      ordered = false;
      break;
    }
  }
  if (!ordered) {
    const size_t body = out.size() - body_start;
    if (platform::kFastPaths && n <= kSmallMembers && body <= kSmallBody) {
      reorder_small(out, body_start, m, n, less);
    } else {
      std::stable_sort(m, m + n, less);
      reorder(out, body_start, m, n, [&](const Member& a, const Member& b) {
        return a.prefix == b.prefix && key(a) == key(b);
      });
    }
  }
  out.put('}');
}

// Small objects, the common case: their positions sorted by insertion (stable,
// like the merge sort of large ones), and the body rebuilt from a stack copy.
template <class Less>
void Reader::reorder_small(Sink& out, size_t body_start, const Member* m, size_t n, Less&& less) {
  // Positions sorted by (prefix, key), with the prefixes at hand in a local
  // array: nearly every comparison is one integer compare.
  struct Item {
    uint64_t prefix;
    unsigned char at;
  };
  Item items[kSmallMembers];
  unsigned char order[kSmallMembers];
  for (size_t i = 0; i < n; ++i) {
    const Item x{m[i].prefix, static_cast<unsigned char>(i)};
    size_t j = i;
    for (; j > 0 && (x.prefix < items[j - 1].prefix ||
                     (x.prefix == items[j - 1].prefix && less(m[i], m[items[j - 1].at])));
         --j) {
      items[j] = items[j - 1];
    }
    items[j] = x;
  }
  // Of equal keys the last one given wins: it sorts after the others. (Keys
  // are compared in the output, so before it is rewritten.)
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i + 1 == n || items[i].prefix != items[i + 1].prefix ||
        less(m[items[i].at], m[items[i + 1].at])) {
      order[kept++] = items[i].at;
    }
  }
  char copy[kSmallBody + 32];
  const size_t body = out.size() - body_start;
  std::memcpy(copy, out.at(body_start), body);
  out.room(32);
  char* p = out.at(body_start);
  for (size_t i = 0; i < kept; ++i) p = copy_back(p, copy, body_start, m[order[i]], i > 0);
  out.truncate(static_cast<size_t>(p - out.at(0)));
}

// Large objects, members already sorted: the ones that stay are written in
// order; the largest is moved once, in place, and only the others go through
// the scratch buffer.
template <class Same>
void Reader::reorder(Sink& out, size_t body_start, Member* m, size_t n, Same&& same) {
  const std::string_view written = out.view();
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

}  // namespace vrell::json
