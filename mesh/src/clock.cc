#include "clock.h"

#include <array>
#include <cstring>

#include "platform.h"

namespace vrell {
namespace {

// Civil date from days since 1970-01-01 in the proleptic Gregorian calendar,
// by whole 400-year eras (no table, no library call, no global lock).
void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

inline char* put2(char* p, unsigned v) noexcept {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

// The two digits of each v < 100 as bytes of a number, the first lowest: a
// load in place of four divisions by constants, from a table small enough
// to stay in the nearest cache.
constexpr auto kDigits2 = [] {
  std::array<uint16_t, 100> table{};
  for (unsigned v = 0; v < 100; ++v) {
    table[v] = static_cast<uint16_t>(('0' + v / 10) | ('0' + v % 10) << 8);
  }
  return table;
}();

// The three digits of v < 1000 as bytes of a number, the first lowest.
inline uint64_t digits3(unsigned v) noexcept {
  return (uint64_t{'0'} + v / 100) | uint64_t{kDigits2[v % 100]} << 8;
}

inline char* put_digits(char* p, uint64_t v, int width) noexcept {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + width;
}

MeshError before_epoch() { return MeshError::panic("system time before Unix epoch"); }

}  // namespace

Instant SystemClock::now() const noexcept {
  const platform::WallTime t = platform::wall_time();
  return {t.seconds, t.nanos};
}

const SystemClock& SystemClock::instance() noexcept {
  static const SystemClock clock;
  return clock;
}

Result<void> check_timestamp(Instant at) noexcept {
  if (at.seconds < 0) return unexpected(before_epoch());
  return {};
}

// The text's making, inlined into both of its callers.
struct TimestampText {
  VRELL_ALWAYS_INLINE static void write(Instant at, Timestamp& ts) noexcept {
    // The date and time of day change once a second: keep the last text.
    struct SecondsText {
      int64_t seconds = -1;
      char text[32] = {};
      unsigned char len = 0;
    };
    // Initialised as a constant, so no guard is checked, and found once: each
    // use of the thread's variable by name would look it up again. Not copied
    // out either: the text is read at once in pieces of other sizes than the
    // copy would be written in, and such a read waits for the copy to land.
    constinit thread_local SecondsText kept;
    SecondsText& last = *platform::held(&kept);
    if (last.seconds != at.seconds) {
      const int64_t days = at.seconds / 86400;
      const auto secs = static_cast<unsigned>(at.seconds % 86400);
      int64_t year;
      unsigned month, day;
      civil_from_days(days, year, month, day);
      char* p = last.text;
      int year_width = 4;
      for (int64_t y = year / 10000; y > 0; y /= 10) ++year_width;
      p = put_digits(p, static_cast<uint64_t>(year), year_width);
      *p++ = '-';
      p = put2(p, month);
      *p++ = '-';
      p = put2(p, day);
      *p++ = 'T';
      p = put2(p, secs / 3600);
      *p++ = ':';
      p = put2(p, secs / 60 % 60);
      *p++ = ':';
      p = put2(p, secs % 60);
      last.len = static_cast<unsigned char>(p - last.text);
      last.seconds = at.seconds;
    }
    std::memcpy(ts.buf_, last.text, sizeof last.text);
    // The fraction and the offset, at most 16 bytes, made in two words and
    // stored whole: the caller reads the text back at once, and a read that
    // spans many narrow stores must wait for all of them.
    uint64_t lo = 0, hi = 0;
    unsigned len = 0;
    const uint32_t n = at.nanos % 1000000000u;
    if (n != 0) {
      // Three groups of three digits, each made on its own: no chain of nine
      // divisions.
      const uint64_t g0 = digits3(n / 1000000), g1 = digits3(n / 1000 % 1000),
                     g2 = digits3(n % 1000);
      lo = '.' | g0 << 8;
      len = 4;
      if (n % 1000000 != 0) {
        lo |= g1 << 32;
        len = 7;
        if (n % 1000 != 0) {
          lo |= g2 << 56;
          hi = g2 >> 8;
          len = 10;
        }
      }
    }
    // "+00:00", the first byte lowest.
    constexpr uint64_t kOffset = 0x30303A30302Bull;
    static_assert(kUtcOffset.size() == 6 && kUtcOffset[0] == '+' && kUtcOffset[3] == ':');
    if (len < 8) {
      lo |= kOffset << (8 * len);
      hi |= len == 0 ? 0 : kOffset >> (64 - 8 * len);
    } else {
      hi |= kOffset << (8 * (len - 8));
    }
    // Room: the date and time take at most 32 bytes of the buffer.
    static_assert(sizeof last.text + 16 <= Timestamp::kCapacity);
    char* p = ts.buf_ + last.len;
    platform::store_le64(p, lo);
    platform::store_le64(p + 8, hi);
    ts.len_ = last.len + len + kUtcOffset.size();
  }
};

Result<Timestamp> format_timestamp(Instant at) noexcept {
  // One object returned on every path, so that it is built where the caller
  // receives it.
  Result<Timestamp> result = at.seconds < 0 ? Result<Timestamp>(unexpected(before_epoch()))
                                            : Result<Timestamp>(Timestamp());
  if (result) TimestampText::write(at, *result);
  return result;
}

void write_timestamp(Instant at, Timestamp& out) noexcept { TimestampText::write(at, out); }

}  // namespace vrell
