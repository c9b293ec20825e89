#include "clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>

#include "test_access.h"

namespace vrell {
namespace {

struct TimestampCase {
  Instant at;
  const char* text;
};

const TimestampCase kTimestamps[] = {
    {{0, 0}, "1970-01-01T00:00:00+00:00"},
    {{1700000000, 500000000}, "2023-11-14T22:13:20.500+00:00"},
    {{1700000000, 123456000}, "2023-11-14T22:13:20.123456+00:00"},
    {{1700000000, 7}, "2023-11-14T22:13:20.000000007+00:00"},
    {{1700000000, 1000000}, "2023-11-14T22:13:20.001+00:00"},
    {{1700000000, 1000}, "2023-11-14T22:13:20.000001+00:00"},
    {{1700000000, 100}, "2023-11-14T22:13:20.000000100+00:00"},
    {{1700000000, 120000000}, "2023-11-14T22:13:20.120+00:00"},
    {{1700000000, 999999999}, "2023-11-14T22:13:20.999999999+00:00"},
    {{1709210096, 0}, "2024-02-29T12:34:56+00:00"},  // leap day
    {{951782400, 0}, "2000-02-29T00:00:00+00:00"},   // leap century
    {{4107542399, 0}, "2100-02-28T23:59:59+00:00"},  // common century...
    {{4107542400, 0}, "2100-03-01T00:00:00+00:00"},  // ...has no 29th
    {{946684799, 0}, "1999-12-31T23:59:59+00:00"},
    {{946684800, 0}, "2000-01-01T00:00:00+00:00"},
    {{94694399, 0}, "1972-12-31T23:59:59+00:00"},    // day 366
    {{2147483648, 0}, "2038-01-19T03:14:08+00:00"},  // past 32 bits
    {{253402300799, 999000000}, "9999-12-31T23:59:59.999+00:00"},
};

TEST(ClockTest, FormatsRfc3339WithShortestExactFraction) {
  for (const TimestampCase& c : kTimestamps) {
    Result<Timestamp> ts = format_timestamp(c.at);
    ASSERT_TRUE(ts.has_value()) << c.text;
    EXPECT_EQ(ts->text(), c.text);
  }
}

TEST(ClockTest, InstantsBeforeEpochAreAFault) {
  const Instant before[] = {
      {-1, 0}, {-1, 999999999}, {-86400 * 365, 0}, {std::numeric_limits<int64_t>::min(), 0}};
  for (const Instant& at : before) {
    Result<Timestamp> ts = format_timestamp(at);
    ASSERT_FALSE(ts.has_value()) << at.seconds;
    EXPECT_EQ(ts.error().kind(), ErrorKind::Panic);
    EXPECT_EQ(ts.error().text(), "system time before Unix epoch");
  }
}

TEST(ClockTest, ReadTimestampReadsTheClockOnce) {
  TestClock clock({1709210096, 250000000}, 1);
  Result<Timestamp> ts = read_timestamp(clock);
  ASSERT_TRUE(ts.has_value());
  EXPECT_EQ(ts->text(), "2024-02-29T12:34:56.250+00:00");
  EXPECT_EQ(clock.reads(), 1);
}

// The room callers reserve for a timestamp is the longest text a four-digit
// year gives; a five-digit year is longer.
TEST(ClockTest, TimestampLengthIsTheLongestFourDigitYearText) {
  Result<Timestamp> last = format_timestamp({253402300799, 999999999});
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->text(), "9999-12-31T23:59:59.999999999+00:00");
  EXPECT_EQ(last->text().size(), kTimestampLength);
  Result<Timestamp> later = format_timestamp({253402300800, 999999999});
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(later->text().size(), kTimestampLength + 1);
}

TEST(ClockTest, SystemClockReadsTheRealTime) {
  // std::time may read a coarse clock that lags a tick behind: compare with
  // the precise one.
  auto seconds = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const auto before = seconds();
  const Instant now = SystemClock::instance().now();
  const auto after = seconds();
  EXPECT_GE(now.seconds, before);
  EXPECT_LE(now.seconds, after);
  EXPECT_LT(now.nanos, 1000000000u);
}

}  // namespace
}  // namespace vrell
