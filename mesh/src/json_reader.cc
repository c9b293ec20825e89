// The reader: values, arrays and the separators every document shares,
// errors and their texts, and the entry points.
#include "json_internal.h"
#include "json_number.h"

namespace vrell::json {
namespace {

// Each code's text: the message, or what stands before and after a detail.
struct Message {
  std::string_view before;
  std::string_view after = {};
};
constexpr Message kMessages[] = {
    {"EOF while parsing a value"},
    {"EOF while parsing a list"},
    {"EOF while parsing an object"},
    {"EOF while parsing a string"},
    {"trailing comma"},
    {"trailing characters"},
    {"expected value"},
    {"expected ident"},
    {"expected `:`"},
    {"expected `,` or `]`"},
    {"expected `,` or `}`"},
    {"key must be a string"},
    {"invalid escape"},
    {"lone leading surrogate in hex escape"},
    {"unexpected end of hex escape"},
    {"invalid unicode code point"},
    {"control character (\\u0000-\\u001F) found while parsing a string"},
    {"invalid number"},
    {"number out of range"},
    {"recursion limit exceeded"},
    {"duplicate field `", "`"},
    {"missing field `", "`"},
    {"invalid type: "},
    {"invalid length 0, expected "},
};
static_assert(std::size(kMessages) == static_cast<size_t>(ErrorCode::InvalidLength) + 1);

}  // namespace

std::string Error::message() const {
  const Message& m = kMessages[static_cast<size_t>(code)];
  std::string s(m.before);
  s.append(detail);
  s.append(m.after);
  return s;
}

std::string Error::text(std::string_view input) const {
  const size_t read = std::min(offset, input.size());
  size_t line = 1, line_start = 0;
  for (const char* p = input.data(); p < input.data() + read;) {
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(input.data() + read - p));
    if (lf == nullptr) break;
    p = static_cast<const char*>(lf) + 1;
    ++line;
    line_start = static_cast<size_t>(p - input.data());
  }
  std::string s = message();
  s.append(" at line ");
  s.append(std::to_string(line));
  s.append(" column ");
  s.append(std::to_string(read - line_start));
  return s;
}

Reader::Reader(std::string_view input) : in_(input) {
  thread_local Workspace kept;
  Workspace& shared = *platform::held(&kept);
  if (!shared.in_use) {
    shared.in_use = true;
    shared.members.clear();
    shared.key_scratch.clear();
    // A large document's scratch is not kept for the thread's lifetime.
    shared.key_scratch.trim(kKeptBuffer);
    shared.sort_buf.trim(kKeptBuffer);
    ws_ = &shared;
  } else {
    own_ = std::make_unique<Workspace>();
    ws_ = own_.get();
  }
}

Reader::~Reader() {
  if (!own_) ws_->in_use = false;
}

bool Reader::fail(size_t bytes_read, ErrorCode code, std::string detail) {
  error_.code = code;
  error_.offset = std::min(bytes_read, in_.size());
  error_.detail = std::move(detail);
  return false;
}

void Reader::skip_ws_run() noexcept { pos_ = scan::skip_ws(in_.data(), pos_ + 1, in_.size()); }

bool Reader::enter_level() {
  if (++depth_ > kMaxDepth) return fail_here(ErrorCode::RecursionLimit);
  return true;
}

bool Reader::read_value(std::string& out) {
  skip_ws();
  ws_->out.clear();
  bool ok;
  {
    Sink sink(ws_->out, 32);
    ok = read_any(sink);
  }
  out.append(ws_->out.view());
  return ok;
}

bool Reader::read_any(Sink& out) {
  if (at_end()) return fail_here(ErrorCode::EofValue);
  switch (peek()) {
    case '{':
      return read_object(out);
    case '[':
      return read_array(out);
    case '"':
      bump();
      out.put('"');
      if (!short_string(out) && !scan_string(out, true)) return false;
      out.put('"');
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
      return fail_here(ErrorCode::ExpectedValue);
  }
}

bool Reader::read_array(Sink& out) {
  if (!begin_array()) return false;
  out.put('[');
  const char* const s = in_.data();
  const size_t n = in_.size();
  bool more = false;
  if (!next_element(true, more)) return false;
  while (more) {
    // Numbers and arrays straight away: arrays of numbers (and of arrays of
    // them) are the bulk of many documents.
    const char c = s[pos_];
    if (detail::is_digit(c) || c == '-') {
      char* o = out.room(detail::kF64Room);
      if (const char* e = detail::fast_number_at(s + pos_, s + n, &o, padded_)) {
        out.advance_to(o);
        pos_ = static_cast<size_t>(e - s);
      } else if (!read_general_number(out)) {
        return false;
      }
    } else if (!(c == '[' ? read_array(out) : c == '{' ? read_object(out) : read_any(out))) {
      return false;
    }
    // The separators writers put inline: a comma, one space or none, and the
    // next value (anything above a space but the bracket: no more
    // whitespace, no trailing comma). The space is stepped over by a branch,
    // as in objects.
    if (pos_ + 2 < n && s[pos_] == ',') {
      size_t next = pos_ + 1;
      if (s[next] == ' ') ++next;
      if (s[next] > ' ' && s[next] != ']') {
        pos_ = next;
        out.put(',');
        continue;
      }
    }
    if (!next_element(false, more)) return false;
    if (more) out.put(',');
  }
  end_array();
  out.put(']');
  return true;
}

namespace {

// Text that plainly is not canonical, found in a few steps: an object whose
// first key is followed by whitespace before or after its colon (what most
// writers other than this one produce). Never says so of canonical text.
bool plainly_spaced(std::string_view text) noexcept {
  if (text.size() < 20 || text[0] != '{' || text[1] != '"') return false;
  const auto* key = reinterpret_cast<const unsigned char*>(text.data()) + 2;
  const size_t k = scan::first_special_16(key);
  if (k == 16 || key[k] != '"') return false;
  return Reader::is_ws(static_cast<char>(key[k + 1])) ||
         (key[k + 1] == ':' && Reader::is_ws(static_cast<char>(key[k + 2])));
}

}  // namespace

bool keeps_as_canonical(std::string_view text) noexcept {
  return platform::kFastPaths && !plainly_spaced(text) && is_canonical(text);
}

Expected<void, Error> parse_into(std::string_view text, Text& out) {
  if (keeps_as_canonical(text)) {
    // Text written by this module, or by a writer with the same rules: kept
    // byte for byte.
    out.clear();
    out.reserve(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    out.set_size(text.size());
    return {};
  }
  return read_document(text, out);
}

// One whole document: a value, whitespace around it and nothing else.
Expected<void, Error> Reader::read_whole(Text& out) {
  bool ok;
  {
    skip_ws();
    Sink sink(out, in_.size() + 16);
    ok = read_any(sink);
  }
  if (!ok) return unexpected(take_error());
  skip_ws();
  if (!at_end()) {
    fail_here(ErrorCode::TrailingCharacters);
    return unexpected(take_error());
  }
  return {};
}

std::string_view Reader::padded_copy(std::string_view text) {
  if (!platform::kFastPaths || text.size() > kPaddedUpTo) return text;
  Text& copy = ws_->padded;
  copy.reserve(text.size() + kPadding);
  std::memcpy(copy.data(), text.data(), text.size());
  // Zeros in moves of 16, not the string instruction a memset becomes here.
  static constexpr char kZeros[kPadding] = {};
  static_assert(kPadding % 16 == 0);
  platform::copy_blocks16(copy.data() + text.size(), kZeros, kPadding);
  padded_ = true;
  return {copy.data(), text.size()};
}

Expected<void, Error> Reader::read_from_copy(std::string_view text, Text& out, bool discard) {
  out.clear();
  Reader reader(text);
  // Positions count the same in the copy: errors are the input's.
  reader.in_ = reader.padded_copy(text);
  reader.discard_ = discard;
  return reader.read_whole(out);
}

Expected<void, Error> read_document(std::string_view text, Text& out) {
  return Reader::read_from_copy(text, out, false);
}

Expected<Value, Error> parse(std::string_view text) {
  thread_local Text kept;
  Text& buffer = *platform::held(&kept);
  buffer.trim(kKeptBuffer);
  auto r = parse_into(text, buffer);
  if (!r) return unexpected(std::move(r).error());
  if (buffer.size() >= kAdoptFrom) return Value::adopt(std::move(buffer));
  return Value::from_canonical(buffer.view());
}

}  // namespace vrell::json
