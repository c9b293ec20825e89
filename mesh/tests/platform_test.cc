#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include "scan.h"

namespace vrell::platform {
namespace {

TEST(PlatformTest, ProductsAgreeWithThePlainOne) {
  std::mt19937_64 rng(1);
  const uint64_t edges[] = {0, 1, 0xFFFFFFFF, 0x100000000, ~uint64_t{0}, uint64_t{1} << 63};
  for (uint64_t a : edges) {
    for (uint64_t b : edges) {
      const U128 fast = mul_64x64(a, b), plain = mul_64x64_plain(a, b);
      ASSERT_EQ(fast.hi, plain.hi) << a << " * " << b;
      ASSERT_EQ(fast.lo, plain.lo) << a << " * " << b;
    }
  }
  for (int i = 0; i < 100000; ++i) {
    const uint64_t a = rng(), b = rng() >> (rng() % 64);
    const U128 fast = mul_64x64(a, b), plain = mul_64x64_plain(a, b);
    ASSERT_EQ(fast.hi, plain.hi);
    ASSERT_EQ(fast.lo, a * b);
    ASSERT_EQ(plain.lo, a * b);
  }
  // (2^64 - 1)^2 = 2^128 - 2^65 + 1.
  EXPECT_EQ(mul_64x64_plain(~uint64_t{0}, ~uint64_t{0}).hi, ~uint64_t{0} - 1);
  uint64_t out;
  EXPECT_TRUE(mul_overflow(uint64_t{1} << 32, uint64_t{1} << 32, &out));
  EXPECT_FALSE(mul_overflow(0xFFFFFFFF, 0x100000001, &out));
  EXPECT_EQ(out, ~uint64_t{0});
  EXPECT_TRUE(add_overflow(~uint64_t{0}, 1, &out));
  EXPECT_EQ(out, 0u);
}

TEST(PlatformTest, ByteOrderIsExplicit) {
  const unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(load_le64(bytes), 0x0807060504030201u);
  EXPECT_EQ(load_be64(bytes), 0x0102030405060708u);
  unsigned char back[8];
  store_le64(back, 0x0807060504030201u);
  EXPECT_EQ(std::memcmp(back, bytes, 8), 0);
  EXPECT_EQ(byte_swap64(0x0102030405060708u), 0x0807060504030201u);
  EXPECT_EQ(byte_swap64_plain(0x0102030405060708u), 0x0807060504030201u);
}

// Every length up to past four rounds of 64 bytes, with no high byte or one
// at each place: the answer, the copy, and not a byte written past the end.
TEST(PlatformTest, AsciiCopyChecksEveryByteAndWritesNoFurther) {
  for (size_t n = 0; n <= 300; ++n) {
    for (size_t high = 0; high <= n; ++high) {  // high == n: none
      std::string from(n, 'a');
      for (size_t i = 0; i < n; ++i) from[i] = static_cast<char>(' ' + i % 95);
      if (high < n) from[high] = static_cast<char>(0x80 | high);
      std::string to(n + 16, '#');
      const bool ascii = scan::copy_ascii(to.data(), from.data(), n);
      ASSERT_EQ(ascii, high == n) << n << " " << high;
      ASSERT_EQ(ascii, scan::copy_ascii_plain(std::string(n, ' ').data(), from.data(), n));
      if (ascii) {
        ASSERT_EQ(to.substr(0, n), from) << n;
      }
      ASSERT_EQ(to.substr(n), std::string(16, '#')) << n << " " << high;
    }
  }
}

TEST(PlatformTest, WallTimeAndRandomBytes) {
  const WallTime t = wall_time();
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_LT(t.nanos, 1000000000u);
  EXPECT_LE(std::abs(t.seconds - now), 5);
  unsigned char a[300] = {}, b[300] = {};  // more than one getentropy call
  ASSERT_TRUE(random_bytes(a, sizeof a));
  ASSERT_TRUE(random_bytes(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

}  // namespace
}  // namespace vrell::platform
