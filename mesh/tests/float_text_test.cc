#include "float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "reference_double.h"

namespace vrell::json {
namespace {

// The standard library's shortest scientific form ("d.ddde-X") as digits and
// the exponent of the last digit: the oracle for every case below.
Decimal oracle(double v) {
  char buf[40];
  const char* const end =
      std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
  uint64_t digits = 0;
  int count = 0;
  const char* p = buf;
  for (; *p != 'e'; ++p) {
    if (*p == '.') continue;
    digits = digits * 10 + static_cast<uint64_t>(*p - '0');
    ++count;
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  return {digits, exponent - (count - 1)};
}

::testing::AssertionResult agrees(double v) {
  const Decimal got = shortest_decimal(v);
  const Decimal want = oracle(v);
  if (got.digits == want.digits && got.exponent == want.exponent) {
    return ::testing::AssertionSuccess();
  }
  char hex[40];
  std::to_chars(hex, hex + sizeof hex, v, std::chars_format::hex);
  return ::testing::AssertionFailure() << hex << ": got " << got.digits << "e" << got.exponent
                                       << ", want " << want.digits << "e" << want.exponent;
}

double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

TEST(ShortestDecimal, KnownValues) {
  const struct {
    double v;
    uint64_t digits;
    int exponent;
  } cases[] = {
      {5e-324, 5, -324},  // the smallest subnormal
      {1e-323, 1, -323},  // two units of it
      {2.2250738585072014e-308, 22250738585072014, -324},
      {1.7976931348623157e308, 17976931348623157, 292},
      {1.0, 1, 0},
      {100.0, 1, 2},                              // trailing zeros go to the exponent
      {9007199254740991.0, 9007199254740991, 0},  // 2^53 - 1, the last exact integer
      {9007199254740992.0, 9007199254740992, 0},
      {0.1, 1, -1},
      {0.30000000000000004, 30000000000000004, -17},
      {1e23, 1, 23},  // nearest double lies below 1e23
      {123456789012345678901.0, 12345678901234568, 4},
  };
  for (const auto& c : cases) {
    const Decimal d = shortest_decimal(c.v);
    EXPECT_EQ(d.digits, c.digits) << c.v;
    EXPECT_EQ(d.exponent, c.exponent) << c.v;
  }
}

// The smallest subnormals, where the interval is widest against the value.
TEST(ShortestDecimal, SmallSubnormalsExhaustive) {
  for (uint64_t bits = 1; bits < 50000; ++bits) {
    ASSERT_TRUE(agrees(from_bits(bits)));
  }
}

// Every binary exponent, at the power of two (whose interval is lopsided),
// just above it and at the top of its significands.
TEST(ShortestDecimal, EveryExponentAtItsEdges) {
  for (uint64_t biased = 0; biased < 2047; ++biased) {
    for (const uint64_t fraction :
         {uint64_t{0}, uint64_t{1}, uint64_t{2}, (uint64_t{1} << 52) - 1}) {
      const uint64_t bits = (biased << 52) | fraction;
      if (bits != 0) {
        ASSERT_TRUE(agrees(from_bits(bits)));
      }
    }
  }
}

TEST(ShortestDecimal, RandomBitPatterns) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 1000000; ++i) {
    const double v = from_bits(rng() >> 1);  // sign bit clear
    if (std::isfinite(v) && v != 0) {
      ASSERT_TRUE(agrees(v));
    }
  }
}

// Doubles read from short decimals and from integers: what documents hold.
TEST(ShortestDecimal, ValuesFromShortDecimals) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 300000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 17);
    uint64_t m = rng() % 100000000000000000ull;
    for (int d = 17; d > digits; --d) m /= 10;
    const int exponent = static_cast<int>(rng() % 640) - 330;
    const std::string text = std::to_string(m) + "e" + std::to_string(exponent);
    double v = 0;
    reference_from_chars(text.data(), text.data() + text.size(), v);
    if (std::isfinite(v) && v != 0) {
      ASSERT_TRUE(agrees(v)) << text;
    }
  }
  for (uint64_t n = 1; n < 2000000; n += 3) {
    ASSERT_TRUE(agrees(static_cast<double>(n)));
    ASSERT_TRUE(agrees(static_cast<double>(n) / 1000));
  }
}

// nearest_double against from_chars on w * 10^q; a case it declines is left
// to from_chars by its callers, so only the answers it gives are compared,
// and the cases it declines must stay rare.
class NearestDouble : public ::testing::Test {
 protected:
  void check(uint64_t w, int q) {
    const std::string text = std::to_string(w) + "e" + std::to_string(q);
    double want = 0;
    const auto r = reference_from_chars(text.data(), text.data() + text.size(), want);
    double got = 0;
    ++tried_;
    if (!nearest_double(w, q, &got)) return;
    ++answered_;
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want)) << text;
  }
  long tried_ = 0, answered_ = 0;
};

TEST_F(NearestDouble, RandomDigitsAndExponents) {
  std::mt19937_64 rng(99);
  for (int i = 0; i < 400000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 19);
    uint64_t w = rng() % 10000000000000000000u;
    for (int d = 19; d > digits; --d) w /= 10;
    check(w, static_cast<int>(rng() % 680) - 340);  // out-of-range ends included
  }
  // Normal results with at least one nonzero digit: nearly all answered here.
  tried_ = answered_ = 0;
  for (int i = 0; i < 100000; ++i)
    check(1 + rng() % 10000000000000000000u, static_cast<int>(rng() % 580) - 300);
  // (A plain-paths build declines every case: the exact conversion answers.)
  if (platform::kFastPaths) {
    EXPECT_GT(answered_, tried_ * 99 / 100);
  }
}

// 17- to 19-digit decimals next to doubles, and halfway points between two
// adjacent doubles, where the rounding direction is decided by the last bits.
TEST_F(NearestDouble, NearAndOnRoundingBoundaries) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 100000; ++i) {
    const double v = from_bits(0x0010000000000000 + rng() % 0x7FD0000000000000);
    for (const int precision : {16, 17, 18}) {
      char buf[40];
      const auto end =
          std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision).ptr;
      const std::string text(buf, end);
      const size_t e = text.find('e');
      std::string mantissa = text.substr(0, e);
      mantissa.erase(1, 1);  // the point
      check(std::stoull(mantissa), std::stoi(text.substr(e + 1)) - precision);
    }
  }
  // Exact halfway points: an odd multiple of half the spacing above 2^53.
  for (uint64_t m = (uint64_t{1} << 53) + 1; m < (uint64_t{1} << 53) + 100000; ++m) {
    check(2 * m + 1, 0);
    check((2 * m + 1) * 5, -1);
  }
}

}  // namespace
}  // namespace vrell::json

namespace vrell::json {
namespace {

// exact_nearest_double against from_chars, on the text split as the reader
// splits it: integer digits, fraction digits, exponent.
::testing::AssertionResult exact_agrees(const std::string& int_digits, const std::string& fraction,
                                        int64_t exponent) {
  std::string text = int_digits;
  if (!fraction.empty()) text.append(1, '.').append(fraction);
  text.append(1, 'e').append(std::to_string(exponent));
  double want = 0;
  const auto r = reference_from_chars(text.data(), text.data() + text.size(), want);
  double got = -1;
  const bool ok = exact_nearest_double(int_digits, fraction, exponent, &got);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large: refused; too small: zero.
    const bool large = !ok;
    if (large || got == 0.0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << text << ": got " << got << " for an out-of-range value";
  }
  if (!ok) return ::testing::AssertionFailure() << text << ": refused, want " << want;
  if (std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << text << ": got " << got << ", want " << want;
}

TEST(ExactNearestDouble, LongDigitStringsAndEveryRange) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    const int int_len = static_cast<int>(rng() % 30);
    const int frac_len = static_cast<int>(rng() % (i % 10 == 0 ? 900 : 40));
    std::string a(static_cast<size_t>(int_len) + 1, '0'), b(static_cast<size_t>(frac_len), '0');
    for (char& c : a) c = static_cast<char>('0' + rng() % 10);
    for (char& c : b) c = static_cast<char>('0' + rng() % 10);
    ASSERT_TRUE(exact_agrees(a, b, static_cast<int64_t>(rng() % 700) - 350));
  }
}

// Exact halfway points between adjacent doubles, written out in full (up to
// 767 significant digits at the subnormals), and the same points nudged by a
// last digit far past the 800th: ties go to even, a nudge decides.
TEST(ExactNearestDouble, HalfwayPointsInFull) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300; ++i) {
    // m * 2^e with m odd is (m * 5^-e) * 10^e for e < 0: the digits in full.
    const uint64_t m = (rng() % (uint64_t{1} << 54)) | 1;
    const int e = -static_cast<int>(rng() % 1130) - 1;
    std::vector<uint32_t> big = {static_cast<uint32_t>(m % 1000000000),
                                 static_cast<uint32_t>(m / 1000000000 % 1000000000),
                                 static_cast<uint32_t>(m / 1000000000000000000)};
    for (int k = 0; k < -e; ++k) {
      uint64_t carry = 0;
      for (uint32_t& limb : big) {
        const uint64_t t = uint64_t{limb} * 5 + carry;
        limb = static_cast<uint32_t>(t % 1000000000);
        carry = t / 1000000000;
      }
      if (carry != 0) big.push_back(static_cast<uint32_t>(carry));
    }
    std::string digits;
    while (big.size() > 1 && big.back() == 0) big.pop_back();
    digits = std::to_string(big.back());
    for (size_t k = big.size() - 1; k-- > 0;) {
      const std::string part = std::to_string(big[k]);
      digits.append(9 - part.size(), '0').append(part);
    }
    ASSERT_TRUE(exact_agrees(digits, "", e));
    std::string nudge(900, '0');
    nudge.push_back('1');
    ASSERT_TRUE(exact_agrees(digits, nudge, e));
  }
}

TEST(ExactNearestDouble, EndsOfTheRange) {
  for (const char* text : {"17976931348623157", "17976931348623158", "17976931348623159",
                           "24703282292062327", "24703282292062328", "49406564584124654"}) {
    for (int64_t e : {292, -340, -341}) ASSERT_TRUE(exact_agrees(text, "", e));
  }
  double v = -1;
  EXPECT_TRUE(exact_nearest_double("0", "000", 99999, &v));
  EXPECT_EQ(std::bit_cast<uint64_t>(v), 0u);  // zero, whatever the exponent
  EXPECT_FALSE(exact_nearest_double("1", "", 400, &v));
  EXPECT_TRUE(exact_nearest_double("1", "", -400, &v));
  EXPECT_EQ(v, 0.0);
}

}  // namespace
}  // namespace vrell::json
