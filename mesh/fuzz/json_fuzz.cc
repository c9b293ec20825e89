// Whatever the reader accepts must write and re-read to the same text, and
// whatever it refuses must carry a position inside the input. A document that
// is one float must hold the double the standard library reads from it.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "json.h"

namespace {

void check_float(std::string_view in, std::string_view canonical) {
  if (canonical.find_first_of(".e") == std::string_view::npos) return;  // an integer
  while (!in.empty() && vrell::json::Reader::is_ws(in.front())) in.remove_prefix(1);
  while (!in.empty() && vrell::json::Reader::is_ws(in.back())) in.remove_suffix(1);
  double want = 0, got = 0;
  const auto a = std::from_chars(in.data(), in.data() + in.size(), want);
  const auto b = std::from_chars(canonical.data(), canonical.data() + canonical.size(), got);
  if (b.ec != std::errc()) std::abort();
  // from_chars reports underflow as out of range; the reader gives a signed zero.
  if (a.ec == std::errc::result_out_of_range) want = in.front() == '-' ? -0.0 : 0.0;
  uint64_t x, y;
  std::memcpy(&x, &want, 8);
  std::memcpy(&y, &got, 8);
  if (x != y) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  // The reader itself, then the entry point with its already-canonical
  // shortcut: they must agree, and the shortcut must only take text the
  // reader returns unchanged.
  vrell::json::Text read;
  const auto first = vrell::json::read_document(in, read);
  auto parsed = vrell::json::parse(in);
  if (first.has_value() != parsed.has_value()) std::abort();
  // Validation without output agrees with the reader, error for error.
  const auto checked = vrell::json::validate(in);
  if (checked.has_value() != first.has_value()) std::abort();
  if (!checked && (checked.error().code != first.error().code ||
                   checked.error().offset != first.error().offset)) {
    std::abort();
  }
  if (vrell::json::is_canonical(in) && (!first || read.view() != in)) std::abort();
  if (!first) {
    // Both report the same fault at the same place, within the input.
    const auto& e = first.error();
    if (e.offset > in.size() || e.code != parsed.error().code ||
        e.offset != parsed.error().offset || e.text(in).find(" at line ") == std::string::npos) {
      std::abort();
    }
    return 0;
  }
  if (parsed->text() != read.view()) std::abort();
  vrell::json::Text again;
  if (!vrell::json::read_document(read.view(), again) || again.view() != read.view()) std::abort();
  if (parsed->kind() == vrell::json::Kind::Number) check_float(in, parsed->text());
  return 0;
}
