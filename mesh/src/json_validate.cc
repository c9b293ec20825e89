// Validation: the reader's grammar, limits and errors over a whole document.
// Large ones are walked with nothing written and nothing converted (numbers
// are only checked against the range of doubles). For arguments that are
// checked and then dropped.
#include "json_internal.h"

namespace vrell::json {

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
  if (keeps_as_canonical(text)) return {};
  if (platform::kFastPaths && text.size() <= Reader::kPaddedUpTo) {
    // Small documents go through the reader's fast loops, which outrun the
    // walk below even while writing: each object's output is dropped as
    // soon as it is read, unsorted.
    thread_local Text scratch;
    return Reader::read_from_copy(text, scratch, true);
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
