// The JSON reader and writer every component uses.
//
// A Value is held as its canonical compact text: object members in ascending
// byte order of their keys with a repeated key keeping its last value, numbers
// in canonical form (unsigned / negative integers as plain decimal, floats with
// the fewest digits that read back to the same double). Writing a value is a
// copy of its text, copying it is one allocation, and the text is laid out as
// the value model (null, bool, u64 / i64 / f64 number, string, array, object)
// with the kind readable from its first byte.
//
// Reader errors are values: a code and the position of the fault, the number
// of bytes read when it is found (the byte at which it is found included; at
// the end of input, all of them). The text is made only when asked for: the
// code's message, then " at line L column C", where L is 1 + the line feeds
// among those bytes and C the number of those bytes after the last one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform.h"
#include "result.h"

namespace vrell::json {

// Levels of nested arrays and objects accepted; one more fails.
inline constexpr int kMaxDepth = 127;

enum class ErrorCode : unsigned char {
  EofValue,
  EofList,
  EofObject,
  EofString,
  TrailingComma,
  TrailingCharacters,
  ExpectedValue,
  ExpectedIdent,
  ExpectedColon,
  ExpectedCommaOrBracket,
  ExpectedCommaOrBrace,
  KeyMustBeString,
  InvalidEscape,
  LoneSurrogate,
  UnexpectedEndOfHexEscape,
  InvalidCodePoint,
  ControlCharacter,
  InvalidNumber,
  NumberOutOfRange,
  RecursionLimit,
  // Faults of a document's shape, found by parsers built on the reader's
  // primitives (the plan); their messages carry a detail text.
  DuplicateField,  // detail: the field
  MissingField,    // detail: the field
  InvalidType,     // detail: "<what was found>, expected <what was expected>"
  InvalidLength,   // detail: what was expected
};

struct Error {
  ErrorCode code = ErrorCode::EofValue;
  size_t offset = 0;  // bytes read when the fault was found
  std::string detail;

  // The message alone: "trailing comma", "duplicate field `app_name`".
  std::string message() const;
  // The message and its position in `input`, the text that was read.
  std::string text(std::string_view input) const;
};

enum class Kind : unsigned char { Null, Bool, Number, String, Array, Object };

// A growable byte buffer that is never zero-filled, so that a reader can
// write a large document into it at the cost of the writes alone; a Value can
// take its block over instead of copying it (Value::adopt).
class Text {
 public:
  Text() noexcept = default;
  Text(Text&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Text& operator=(Text&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() { release(); }

  std::string_view view() const noexcept { return {data_, size_}; }
  char* data() noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  void clear() noexcept { size_ = 0; }
  // REQUIRES: n <= capacity()
  void set_size(size_t n) noexcept { size_ = n; }
  // Makes capacity() at least `n`, keeping the contents; on an allocation
  // failure (std::bad_alloc) the buffer is unchanged.
  void reserve(size_t n);
  // Gives the block back when it is larger than `limit`, so that a buffer
  // kept for reuse does not hold on to the largest document ever read.
  void trim(size_t limit) noexcept {
    if (capacity_ > limit) *this = Text();
  }

 private:
  friend class Value;
  void release() noexcept;
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class Value {
 public:
  Value() noexcept { set_small("null"); }
  // REQUIRES: `canonical` is the canonical text of one value.
  static Value from_canonical(std::string_view canonical) {
    Value v;
    v.assign(canonical);
    return v;
  }
  // Takes over the block of `canonical` (which is left empty) rather than
  // copying it, unless it is small enough to live inline or much larger than
  // its contents. REQUIRES: it holds the canonical text of one value.
  static Value adopt(Text&& canonical);
  static Value empty_object() noexcept {
    Value v;
    v.set_small("{}");
    return v;
  }

  Value(const Value& other) : Value() { assign(other.text()); }
  Value(Value&& other) noexcept : tag_(other.tag_) {
    take_storage(other);
    other.set_small("null");
  }
  Value& operator=(const Value& other) {
    if (this != &other) assign(other.text());
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      release();
      tag_ = other.tag_;
      take_storage(other);
      other.set_small("null");
    }
    return *this;
  }
  ~Value() { release(); }

  std::string_view text() const noexcept {
    return tag_ == kHeap ? std::string_view(heap_.data, heap_.size)
                         : std::string_view(small_, tag_);
  }
  // REQUIRES: `canonical` is the canonical text of one value. Reuses this
  // value's room unless that is far larger than needed; on an allocation
  // failure the value is unchanged.
  void assign(std::string_view canonical);
  Kind kind() const noexcept;
  friend bool operator==(const Value& a, const Value& b) noexcept { return a.text() == b.text(); }

 private:
  // Texts up to kSmall bytes (most keys' values) live in the value itself;
  // longer ones in one heap block of their own.
  static constexpr size_t kSmall = 23;
  static constexpr unsigned char kHeap = 0xFF;
  struct Heap {
    char* data;
    size_t size;
    size_t capacity;
  };
  template <size_t N>
  void set_small(const char (&text)[N]) noexcept {
    for (size_t i = 0; i + 1 < N; ++i) small_[i] = text[i];
    tag_ = static_cast<unsigned char>(N - 1);
  }
  void release() noexcept;
  // The whole union's bytes: the heap block's fields or the small text.
  void take_storage(const Value& other) noexcept {
    std::memcpy(small_, other.small_, sizeof small_);
  }

  union {
    Heap heap_;
    char small_[kSmall + 1];
  };
  unsigned char tag_;  // the small text's length, or kHeap
};
static_assert(sizeof(Value) == 32, "a value is four words: entries stay 64 bytes");

// Reads one document. Beside parse(), its primitives let other parsers (the
// plan) read their own structure with the same rules, depth limit and errors.
// A failing primitive records the error and returns false; the reader must not
// be used further after that.
class Reader {
 public:
  explicit Reader(std::string_view input);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Appends the canonical text of one value (leading whitespace skipped).
  bool read_value(std::string& out);
  // REQUIRES: peek() == '"'. Appends the string's bytes, escapes resolved.
  bool read_string(std::string& out);

  void skip_ws() noexcept {
    // Single spaces (after a colon) inline; longer runs (indentation) in
    // skip_ws_run.
    if (pos_ < in_.size() && is_ws(in_[pos_])) {
      ++pos_;
      if (pos_ < in_.size() && is_ws(in_[pos_])) skip_ws_run();
    }
  }
  bool at_end() const noexcept { return pos_ >= in_.size(); }
  // REQUIRES: !at_end()
  char peek() const noexcept { return in_[pos_]; }
  void bump() noexcept { ++pos_; }
  size_t offset() const noexcept { return pos_; }
  std::string_view input() const noexcept { return in_; }

  // Counts one level of nesting opened by the byte at the current offset;
  // the 128th level fails there with "recursion limit exceeded".
  bool enter_level();
  void leave_level() noexcept { --depth_; }

  // The separators of arrays and objects, as every document has them.
  // REQUIRES: peek() == '['. Enters the array.
  bool begin_array() {
    if (!enter_level()) return false;
    bump();
    return true;
  }
  // Before an element (`first`: right after the bracket): sets `more` and
  // stops at the element when one follows, clears it at the closing bracket.
  bool next_element(bool first, bool& more);
  // REQUIRES: peek() == ']'.
  void end_array() noexcept {
    bump();
    leave_level();
  }
  // REQUIRES: peek() == '{'. Enters the object.
  bool begin_object() { return begin_array(); }
  // Before a member: sets `more` and stops at its key's quote when one
  // follows, clears it at the closing brace.
  bool next_member(bool first, bool& more);
  // After a key: the colon, and any whitespace after it.
  bool member_colon();
  void end_object() noexcept { end_array(); }

  // Records the fault found after `bytes_read` bytes (see the position rule).
  bool fail(size_t bytes_read, ErrorCode code, std::string detail = {});
  // Records the fault at the byte at the current offset, or at the end of input.
  bool fail_here(ErrorCode code) { return fail(at_end() ? in_.size() : pos_ + 1, code); }

  const Error& error() const noexcept { return error_; }
  Error take_error() noexcept { return std::move(error_); }

  static bool is_ws(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  class Sink;      // the output cursor of a read (json_internal.h)
  class NullSink;  // one that keeps nothing, for validation

 private:
  // skip_ws from a whitespace byte on, 16 bytes at a time.
  void skip_ws_run() noexcept;
  // One member of an object being read: its unescaped key and output span.
  struct Member {
    size_t key_off;  // in the output, or in the key scratch when the key had escapes
    size_t key_len;
    bool key_in_scratch;
    size_t start;  // output span of `"key":value`
    size_t end;
    uint64_t prefix;  // the key's first 8 bytes, big-endian, zero-padded
  };
  friend Expected<void, Error> read_document(std::string_view text, Text& out);
  friend Expected<void, Error> validate(std::string_view text);
  Expected<void, Error> read_whole(Text& out);
  // One whole document from the padded copy where it is small enough;
  // `discard` drops each object's output as soon as it is read.
  static Expected<void, Error> read_from_copy(std::string_view text, Text& out, bool discard);

  bool read_any(Sink& out);
  bool read_array(Sink& out);
  bool read_object(Sink& out);
  bool read_number(Sink& out);
  bool read_general_number(Sink& out);
  template <class Out>
  bool read_literal(std::string_view word, Out& out);
  template <class Out>
  bool scan_string(Out& out, bool json_out);
  bool short_string(Sink& out);
  template <class Out>
  bool read_escape(Out& out, bool json_out);
  template <class Out>
  bool read_unicode_escape(Out& out, bool json_out);
  // Validation: the reader's grammar and errors, with nothing written.
  bool skip_any();
  bool skip_array();
  bool skip_object();
  bool skip_number();
  bool skip_literal(std::string_view word);
  bool read_member(Sink& out);
  // How read_small_object left an object: ended (or failed), or handed over
  // to the general loop at a key or at the separator after a member.
  enum class SmallObject : unsigned char { Done, Failed, AtKey, AtSeparator };
  template <bool kPadded>
  SmallObject read_small_object(Sink& out, size_t body_start);
  static constexpr size_t kLocalMembers = 16;
  // Its output offsets are 32-bit: inputs up to this size write less than 4 GB.
  static constexpr size_t kSmallObjectInput = size_t{1} << 28;
  // Bytes it may load from a key's quote on (a 32-byte key, `": `, then a
  // value's loads), and from a value's first byte on (32 for a number, 33
  // for a string).
  static constexpr size_t kMemberReach = 80;
  static constexpr size_t kValueReach = 48;
  // Output room for a member written in place: quote, a 32-byte key move,
  // `":`, and a number or a quote and a 32-byte string move.
  static constexpr size_t kMemberRoom = 80;
  void finish_object(Sink& out, size_t body_start, size_t first_member);
  template <class Less>
  void reorder_small(Sink& out, size_t body_start, const Member* m, size_t n, Less&& less);
  template <class Same>
  void reorder(Sink& out, size_t body_start, Member* m, size_t n, Same&& same);

  std::string_view in_;
  size_t pos_ = 0;
  int depth_ = 0;
  unsigned escapes_ = 0;  // escapes read so far: tells whether a key had any
  // Documents up to kPaddedUpTo bytes are read from a copy with kPadding
  // zero bytes after it, so that fixed-size loads near the end need no care.
  static constexpr size_t kPaddedUpTo = size_t{64} << 10;
  static constexpr size_t kPadding = 96;
  static_assert(kPadding >= kMemberReach, "the small-object loop reads that far unchecked");
  bool padded_ = false;
  // Validation through the reading loops: objects are read and their output
  // dropped, unsorted.
  bool discard_ = false;
  std::string_view padded_copy(std::string_view text);
  Error error_;
  // Buffers reused from one document to the next: a per-thread set, or the
  // reader's own when another reader on this thread holds that one.
  struct Workspace {
    std::vector<Member> members;  // of the objects being read, innermost last
    Text key_scratch;
    Text sort_buf;
    Text out;     // for read_value and read_string
    Text padded;  // the padded copy of a document
    // The member order of the last small object read at a level, and the
    // key prefixes (in input order) it belongs to.
    struct Shape {
      uint64_t prefix[kLocalMembers];
      unsigned char order[kLocalMembers];
      unsigned char count = 0;
    };
    Shape shapes[8];
    bool in_use = false;
  };
  Workspace* ws_;
  std::unique_ptr<Workspace> own_;
};

inline bool Reader::next_element(bool first, bool& more) {
  skip_ws();
  if (at_end()) return fail_here(ErrorCode::EofList);
  if (peek() == ']') {
    more = false;
    return true;
  }
  if (!first) {
    if (peek() != ',') return fail_here(ErrorCode::ExpectedCommaOrBracket);
    bump();
    skip_ws();
    if (at_end()) return fail_here(ErrorCode::EofValue);
    if (peek() == ']') return fail_here(ErrorCode::TrailingComma);
  }
  more = true;
  return true;
}

inline bool Reader::next_member(bool first, bool& more) {
  skip_ws();
  if (at_end()) return fail_here(ErrorCode::EofObject);
  if (peek() == '}') {
    more = false;
    return true;
  }
  if (!first) {
    if (peek() != ',') return fail_here(ErrorCode::ExpectedCommaOrBrace);
    bump();
    skip_ws();
    if (at_end()) return fail_here(ErrorCode::EofValue);
    if (peek() == '}') return fail_here(ErrorCode::TrailingComma);
  }
  if (peek() != '"') return fail_here(ErrorCode::KeyMustBeString);
  more = true;
  return true;
}

inline bool Reader::member_colon() {
  skip_ws();
  if (at_end()) return fail_here(ErrorCode::EofObject);
  if (peek() != ':') return fail_here(ErrorCode::ExpectedColon);
  bump();
  skip_ws();
  return true;
}

// Parses exactly one value; whitespace may stand around it, nothing else.
Expected<Value, Error> parse(std::string_view text);
// The same, leaving the canonical text in `out` (replacing what it held), so
// that a caller can reuse one buffer or hand it to Value::adopt.
Expected<void, Error> parse_into(std::string_view text, Text& out);

// True when `text` is one value already in canonical form with no
// whitespace, no escape in a key and no float of more than fifteen digits or
// with an exponent: parse_into keeps such text as it is.
bool is_canonical(std::string_view text) noexcept;
// is_canonical where the fast paths run; false in a plain-paths build, where
// every text goes through the reader.
bool keeps_as_canonical(std::string_view text) noexcept;
// parse_into without that shortcut: every text goes through the reader.
Expected<void, Error> read_document(std::string_view text, Text& out);

// Whether `text` is exactly one JSON value, with the errors parse gives, but
// without making its canonical text: for arguments that nothing keeps.
Expected<void, Error> validate(std::string_view text);

// Buffers of canonical text kept for reuse give back blocks above this size;
// texts from this size on are handed over (Value::adopt) rather than copied,
// where copying would cost more than a fresh block for the next one.
inline constexpr size_t kKeptBuffer = size_t{1} << 20;
inline constexpr size_t kAdoptFrom = size_t{64} << 10;

// Appends to a std::string through a raw cursor, for records whose largest
// possible text is known: room for `bound` bytes is made once, every write is
// a plain store, and the string is cut to what was written when the writer
// goes. REQUIRES: what is written fits in `bound` (a string escapes to at most
// six bytes a byte plus its quotes, a number to at most 20).
class RawWriter {
 public:
  RawWriter(std::string& out, size_t bound) : out_(out), start_(out.size()) {
    out.resize(start_ + bound);
    p_ = out.data() + start_;
  }
  ~RawWriter() { out_.resize(static_cast<size_t>(p_ - out_.data())); }
  RawWriter(const RawWriter&) = delete;
  RawWriter& operator=(const RawWriter&) = delete;

  template <size_t N>
  void piece(const char (&text)[N]) noexcept {
    std::memcpy(p_, text, N - 1);
    p_ += N - 1;
  }
  void raw(std::string_view text) noexcept {
    std::memcpy(p_, text.data(), text.size());
    p_ += text.size();
  }
  // raw() sixteen bytes at a time (platform::copy_blocks16), for texts of
  // tens of bytes, where a call to memcpy costs more than the copy.
  // REQUIRES: 15 readable bytes follow `text`, and the bound counts 15 bytes
  // more than the text.
  void blocks(std::string_view text) noexcept {
    platform::copy_blocks16(p_, text.data(), text.size());
    p_ += text.size();
  }
  // The first `size` of the N bytes at `from`, copied as all N: a copy of a
  // size known here is a few moves, not a call. The bound counts all N.
  template <size_t N>
  void padded(const char* from, size_t size) noexcept {
    std::memcpy(p_, from, N);
    p_ += size;
  }
  void put(char c) noexcept { *p_++ = c; }
  // A string in quotes, escaped as write_string escapes it.
  void string(std::string_view utf8) noexcept;
  // REQUIRES: `text` needs no escape (a timestamp, a status or stage name).
  void plain_string(std::string_view text) noexcept {
    *p_++ = '"';
    raw(text);
    *p_++ = '"';
  }
  void u64(uint64_t v) noexcept;

 private:
  std::string& out_;
  size_t start_;
  char* p_;
};

// Writers: append compact JSON to `out`.
void write_string(std::string& out, std::string_view utf8);
void write_u64(std::string& out, uint64_t v);
void write_i64(std::string& out, int64_t v);
// Fewest round-trip digits; plain notation for decimal exponents -5..15 (with
// ".0" on whole values), otherwise 1e+16 / 1.5e-7 forms; non-finite as null.
void write_f64(std::string& out, double v);

}  // namespace vrell::json
