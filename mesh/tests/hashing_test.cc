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
