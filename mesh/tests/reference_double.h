// The double a decimal text reads as, from the standard library: the
// reference the module's own conversions are tested against.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

namespace vrell {

// std::from_chars for a double where the library announces it
// (`__cpp_lib_to_chars`); libc++ has none for doubles before 20, which older
// macOS toolchains carry. There the C library's strtod stands in, held to the
// same answers: the nearest double; out of range, with `value` untouched,
// where that is infinite or is zero for nonzero digits. Decimal text only:
// strtod also takes what from_chars refuses (hex, "inf", leading blanks).
inline std::from_chars_result reference_from_chars(const char* first, const char* last,
                                                   double& value) {
#if defined(__cpp_lib_to_chars)
  return std::from_chars(first, last, value);
#else
  const std::string text(first, last);  // strtod wants a terminator
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  const std::string_view read(text.c_str(), static_cast<size_t>(end - text.c_str()));
  if (read.empty()) return {first, std::errc::invalid_argument};
  const bool nonzero = read.find_first_of("123456789") < read.find_first_of("eE");
  if (std::isinf(v) || (v == 0 && nonzero)) {
    return {first + read.size(), std::errc::result_out_of_range};
  }
  value = v;
  return {first + read.size(), std::errc()};
#endif
}

}  // namespace vrell
