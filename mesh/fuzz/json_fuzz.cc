// Whatever the reader accepts must write and re-read to the same text, and
// whatever it refuses must carry a position inside the input.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  auto first = vrell::json::parse(in);
  if (!first) {
    const auto& e = first.error();
    if (!e.has_position || e.line == 0 || e.message.empty()) std::abort();
    return 0;
  }
  auto second = vrell::json::parse(first->text());
  if (!second || second->text() != first->text()) std::abort();
  return 0;
}
