// The clock every timestamp is read from, and the timestamp text.
//
// Components take a `const Clock&` so that tests can give any instant,
// including one before 1970. Timestamps are UTC RFC 3339 text with "+00:00"
// and a fraction of 0, 3, 6 or 9 digits, whichever is the shortest exact one.
#pragma once

#include <cstdint>
#include <string_view>

#include "error.h"

namespace vrell {

struct Instant {
  int64_t seconds;  // since 1970-01-01T00:00:00Z; negative before it
  uint32_t nanos;   // 0..999'999'999
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const noexcept = 0;
};

// The system's real-time clock.
class SystemClock final : public Clock {
 public:
  Instant now() const noexcept override;
  static const SystemClock& instance() noexcept;
};

// The pieces of a timestamp's text: "YYYY-MM-DDTHH:MM:SS" (more year digits
// after 9999), then "." and 3, 6 or 9 digits of the fraction when it is not
// zero, then the offset.
inline constexpr std::string_view kUtcOffset = "+00:00";
inline constexpr size_t kFourDigitYearDateTime = sizeof("YYYY-MM-DDTHH:MM:SS") - 1;
inline constexpr size_t kMaxFractionDigits = 9;
// The longest text of a four-digit year: room that nearly every reading fits.
inline constexpr size_t kTimestampLength =
    kFourDigitYearDateTime + 1 + kMaxFractionDigits + kUtcOffset.size();

// Timestamp text in a fixed buffer: formatting it allocates nothing.
class Timestamp {
 public:
  // The longest text of any year an int64_t of seconds can reach.
  static constexpr size_t kCapacity = 48;
  std::string_view text() const noexcept { return {buf_, len_}; }
  // The text at the start of kCapacity bytes that may all be read, so that a
  // copy of it can be of that fixed size.
  const char* buffer() const noexcept { return buf_; }

 private:
  friend struct TimestampText;
  char buf_[kCapacity] = {};
  size_t len_ = 0;
};

// Fails with a Panic "system time before Unix epoch" for instants before 1970.
Result<Timestamp> format_timestamp(Instant at) noexcept;
// That failure alone, for a caller that reads the clock but may need no text.
Result<void> check_timestamp(Instant at) noexcept;
// The text of `at` made where it is kept: a copy read back at once would wait
// for the narrow stores that made it. REQUIRES: check_timestamp(at) succeeds.
void write_timestamp(Instant at, Timestamp& out) noexcept;

inline Result<Timestamp> read_timestamp(const Clock& clock) noexcept {
  return format_timestamp(clock.now());
}

}  // namespace vrell
