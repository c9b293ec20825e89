#include "hashing.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace vrell {
namespace {

// Random inserts, replacements, lookups and erasures against std::map, with a
// key space small enough that probe runs collide and wrap.
TEST(KeyedMapTest, MatchesAReferenceMapUnderRandomOperations) {
  std::mt19937 rng(7);
  for (int key_space : {8, 64, 1000}) {
    KeyedMap<int> map;
    std::map<std::string, int> ref;
    for (int step = 0; step < 20000; ++step) {
      std::string key = std::to_string(rng() % key_space);
      key.insert(key.begin(), 'k');
      switch (rng() % 4) {
        case 0: {
          const bool inserted = map.emplace(key, step).second;
          EXPECT_EQ(inserted, ref.emplace(key, step).second);
          break;
        }
        case 1:
          map.insert_or_assign(key, step);
          ref.insert_or_assign(key, step);
          break;
        case 2:
          EXPECT_EQ(map.erase(key), ref.erase(key));
          break;
        default: {
          const auto it = map.find(key);
          const auto rit = ref.find(key);
          ASSERT_EQ(it == map.end(), rit == ref.end()) << key;
          if (rit != ref.end()) {
            EXPECT_EQ(it->second, rit->second);
          }
        }
      }
      ASSERT_EQ(map.size(), ref.size());
    }
    // Every entry is reachable through the index and iteration sees each once.
    std::map<std::string, int> walked(map.begin(), map.end());
    EXPECT_EQ(walked, ref);
    for (const auto& [k, v] : ref) EXPECT_EQ(map.at(k), v);
  }
}

TEST(KeyedMapTest, EraseThroughIteratorKeepsTheRestFindable) {
  KeyedMap<std::string> map;
  for (int i = 0; i < 100; ++i) map.emplace(std::to_string(i), std::to_string(i * 7));
  for (auto it = map.begin(); it != map.end();) {
    if (std::stoi(it->first) % 3 == 0) {
      it = map.erase(it);  // the last entry moves here: look at it again
    } else {
      ++it;
    }
  }
  EXPECT_EQ(map.size(), 66u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(map.contains(std::to_string(i)), i % 3 != 0) << i;
  }
  EXPECT_THROW(map.at("0"), std::out_of_range);
}

TEST(KeyedMapTest, EmptyKeyAndBinaryKeys) {
  KeyedMap<int> map;
  map.emplace(std::string(), 1);
  map.emplace(std::string("a\0b", 3), 2);
  map.emplace(std::string("a"), 3);
  EXPECT_EQ(map.at(""), 1);
  EXPECT_EQ(map.at(std::string_view("a\0b", 3)), 2);
  EXPECT_EQ(map.at("a"), 3);
  EXPECT_FALSE(map.contains(std::string_view("a\0", 2)));
}

// Lookups compare keys whose hash fragments agree: every length the
// comparison treats apart, a difference at every byte, in separate buffers.
TEST(KeyedMapTest, KeysAreEqualOnlyByteForByte) {
  for (size_t n = 0; n <= 24; ++n) {
    std::string a(n, 'x'), b(n, 'x');
    for (size_t i = 0; i < n; ++i) a[i] = b[i] = static_cast<char>('a' + i);
    EXPECT_TRUE(same_bytes(a, b)) << n;
    EXPECT_FALSE(same_bytes(a, b + "x")) << n;
    for (size_t i = 0; i < n; ++i) {
      std::string c = b;
      c[i] = '\0';
      EXPECT_FALSE(same_bytes(a, c)) << n << " " << i;
    }
  }
}

// The published SipHash-1-3 test vectors: key bytes 00..0f, message bytes
// 00..n-1, the hash read as a little-endian word. Every tail length and two
// whole blocks; a machine that loaded words in its own byte order fails.
TEST(SipHashTest, PublishedVectors) {
  const HashKey key{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};
  unsigned char message[64];
  for (int i = 0; i < 64; ++i) message[i] = static_cast<unsigned char>(i);
  const struct {
    size_t length;
    uint64_t hash;
  } cases[] = {
      {0, 0xabac0158050fc4dc},  {1, 0xc9f49bf37d57ca93},  {2, 0x82cb9b024dc7d44d},
      {3, 0x8bf80ab8e7ddf7fb},  {4, 0xcf75576088d38328},  {5, 0xdef9d52f49533b67},
      {6, 0xc50d2b50c59f22a7},  {7, 0xd3927d989bb11140},  {8, 0x369095118d299a8e},
      {9, 0x25a48eb36c063de4},  {10, 0x79de85ee92ff097f}, {11, 0x70c118c1f94dc352},
      {12, 0x78a384b157b4d9a2}, {13, 0x306f760c1229ffa7}, {14, 0x605aa111c0f95d34},
      {15, 0xd320d86d2a519956}, {16, 0xcc4fdd1a7d908b66}, {63, 0x9d199062b7bbb3a8},
  };
  for (const auto& c : cases) EXPECT_EQ(siphash13(key, message, c.length), c.hash) << c.length;
}

TEST(SipHashTest, KeyedAndLengthSensitive) {
  const HashKey a{1, 2}, b{1, 3};
  EXPECT_EQ(siphash13(a, "abc", 3), siphash13(a, "abc", 3));
  EXPECT_NE(siphash13(a, "abc", 3), siphash13(b, "abc", 3));
  EXPECT_NE(siphash13(a, "abc\0", 4), siphash13(a, "abc", 3));
  // Every length up to two blocks takes its own tail path.
  const char text[] = "0123456789abcdefg";
  for (size_t n = 1; n < sizeof text - 1; ++n) {
    EXPECT_NE(siphash13(a, text, n), siphash13(a, text, n - 1)) << n;
  }
}

}  // namespace
}  // namespace vrell
