#include "state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_access.h"

namespace vrell {
namespace {

json::Value value(const char* canonical) { return json::Value::from_canonical(canonical); }

std::optional<std::string> text_of(const InMemoryStateStore& store, std::string_view key) {
  Result<std::optional<json::Value>> got = store.get(key);
  EXPECT_TRUE(got.has_value());
  if (!got.has_value() || !got->has_value()) return std::nullopt;
  return std::string((*got)->text());
}

std::vector<std::string> keys(const InMemoryStateStore& store, std::string_view prefix) {
  Result<std::vector<std::string>> listed = store.keys_with_prefix(prefix);
  EXPECT_TRUE(listed.has_value());
  return listed.has_value() ? *listed : std::vector<std::string>{};
}

TEST(StateTest, AbsentKeyIsNoError) {
  InMemoryStateStore store;
  EXPECT_EQ(text_of(store, "missing"), std::nullopt);
  EXPECT_FALSE(*store.exists("missing"));
  EXPECT_TRUE(store.delete_key("missing").has_value());
  EXPECT_EQ(store.key_count(), 0u);
  std::string out = "untouched";
  Result<bool> read = store.read_into("missing", out);
  ASSERT_TRUE(read.has_value());
  EXPECT_FALSE(*read);
  EXPECT_EQ(out, "untouched");
  EXPECT_TRUE(keys(store, "").empty());
}

TEST(StateTest, NullIsStoredNotAbsent) {
  InMemoryStateStore store;
  ASSERT_TRUE(store.set("k", value("null")).has_value());
  EXPECT_EQ(text_of(store, "k"), "null");
  EXPECT_TRUE(*store.exists("k"));
  EXPECT_EQ(store.key_count(), 1u);
  std::string out = ">";
  ASSERT_TRUE(*store.read_into("k", out));
  EXPECT_EQ(out, ">null");
}

TEST(StateTest, ValuesOfEveryKindComeBackAsStored) {
  InMemoryStateStore store;
  const char* values[] = {"null",
                          "true",
                          "false",
                          "0",
                          "-7",
                          "2.5",
                          "-0.0",
                          R"("s")",
                          "[]",
                          "{}",
                          R"([1,"\u0001",{"a":[]}])",
                          "{\"a\":1,\"b\":\"\xC3\xA9\"}"};
  for (const char* v : values) {
    ASSERT_TRUE(store.set(v, value(v)).has_value());
  }
  for (const char* v : values) EXPECT_EQ(text_of(store, v), v);
  EXPECT_EQ(store.key_count(), std::size(values));
}

TEST(StateTest, OverwriteKeepsOneEntryWithTheLastValue) {
  InMemoryStateStore store;
  ASSERT_TRUE(store.set("k", value("1")).has_value());
  ASSERT_TRUE(store.set("k", value(R"({"x":[2]})")).has_value());
  EXPECT_EQ(text_of(store, "k"), R"({"x":[2]})");
  EXPECT_EQ(store.key_count(), 1u);
  EXPECT_EQ(keys(store, ""), std::vector<std::string>{"k"});
}

TEST(StateTest, DeleteRemovesOnlyThatKey) {
  InMemoryStateStore store;
  for (const char* k : {"a", "ab", "b"}) ASSERT_TRUE(store.set(k, value("1")).has_value());
  ASSERT_TRUE(store.delete_key("ab").has_value());
  EXPECT_FALSE(*store.exists("ab"));
  EXPECT_EQ(text_of(store, "ab"), std::nullopt);
  EXPECT_EQ(keys(store, ""), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(store.key_count(), 2u);
  ASSERT_TRUE(store.delete_key("ab").has_value());
  EXPECT_EQ(store.key_count(), 2u);
}

TEST(StateTest, EmptyKeyAndEmptyPrefixAreValid) {
  InMemoryStateStore store;
  ASSERT_TRUE(store.set("", value("[0]")).has_value());
  ASSERT_TRUE(store.set("z", value("1")).has_value());
  EXPECT_EQ(text_of(store, ""), "[0]");
  EXPECT_TRUE(*store.exists(""));
  EXPECT_EQ(keys(store, ""), (std::vector<std::string>{"", "z"}));
  ASSERT_TRUE(store.delete_key("").has_value());
  EXPECT_FALSE(*store.exists(""));
}

TEST(StateTest, KeysAreFilteredAndSortedByUnsignedBytes) {
  InMemoryStateStore store;
  const char* stored[] = {"b", "a", "ab", "B", "\xC3\xA9t\xC3\xA9", "\x7F", "a\xC3\xA9", "aB"};
  for (const char* k : stored) ASSERT_TRUE(store.set(k, value("0")).has_value());

  struct Case {
    const char* prefix;
    std::vector<std::string> keys;
  };
  const Case cases[] = {
      {"", {"B", "a", "aB", "ab", "a\xC3\xA9", "b", "\x7F", "\xC3\xA9t\xC3\xA9"}},
      {"a", {"a", "aB", "ab", "a\xC3\xA9"}},
      {"ab", {"ab"}},
      {"abc", {}},
      {"A", {}},
      {"B", {"B"}},
      {"\xC3\xA9", {"\xC3\xA9t\xC3\xA9"}},
      {"\xC3", {"\xC3\xA9t\xC3\xA9"}},  // a prefix need not end on a character boundary
      {"e", {}},                        // no normalisation
  };
  for (const Case& c : cases) EXPECT_EQ(keys(store, c.prefix), c.keys) << c.prefix;
}

TEST(StateTest, NonAsciiKeysAndValuesRoundTrip) {
  InMemoryStateStore store;
  const std::string key = "\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87";            // Cyrillic
  const char* stored = "\"\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\"";  // CJK and an emoji
  ASSERT_TRUE(store.set(key, value(stored)).has_value());
  EXPECT_TRUE(*store.exists(key));
  EXPECT_EQ(text_of(store, key), stored);
  EXPECT_EQ(keys(store, "\xD0\xBA"), std::vector<std::string>{key});
}

TEST(StateTest, PoisonedStoreFailsEveryOperation) {
  InMemoryStateStore store;
  ASSERT_TRUE(store.set("k", value("1")).has_value());
  const MeshError fault = TestAccess::poison(store);
  EXPECT_EQ(fault.kind(), ErrorKind::Panic);
  EXPECT_TRUE(TestAccess::poisoned(store));

  auto expect_error = [](const MeshError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::State);
    EXPECT_EQ(e.text(), "State error: state lock poisoned");
  };
  expect_error(store.get("k").error());
  expect_error(store.set("k", value("2")).error());
  expect_error(store.set("new", value("2")).error());
  expect_error(store.delete_key("k").error());
  expect_error(store.exists("k").error());
  expect_error(store.keys_with_prefix("").error());
  std::string out;
  expect_error(store.read_into("k", out).error());
  EXPECT_EQ(out, "");
  EXPECT_EQ(store.key_count(), 0u);
}

TEST(StateTest, FailedAllocationInSetLeavesStoreIntact) {
  InMemoryStateStore store;
  ASSERT_TRUE(store.set("existing", value("[1]")).has_value());
  // Eight entries fill the table's first block: the next insert must grow it.
  for (int i = 1; i < 8; ++i) ASSERT_TRUE(store.set(std::to_string(i), value("0")).has_value());
  const std::string key = "a-key-long-enough-to-need-the-heap";

  const long points = fail_each_allocation(
      [&] { return store.set(key, value("[2,3]")); },  // short text: no allocation of its own
      [&](const Result<void>& r) {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
        EXPECT_FALSE(TestAccess::poisoned(store));
        EXPECT_EQ(store.key_count(), 8u);
        EXPECT_FALSE(*store.exists(key));
        EXPECT_EQ(text_of(store, "existing"), "[1]");
      });
  EXPECT_GE(points, 2);  // the key and the entries' next block
  EXPECT_EQ(text_of(store, key), "[2,3]");
  EXPECT_EQ(store.key_count(), 9u);

  // Replacing a short value reuses its room, deleting frees: nothing can fail.
  auto no_failure = [](const Result<void>&) { ADD_FAILURE() << "an allocation was made"; };
  EXPECT_EQ(fail_each_allocation([&] { return store.set(key, value("[4]")); }, no_failure), 0);
  EXPECT_EQ(fail_each_allocation([&] { return store.delete_key(key); }, no_failure), 0);
  EXPECT_EQ(store.key_count(), 8u);
}

TEST(StateTest, FailedAllocationInAReadDoesNotPoison) {
  InMemoryStateStore store;
  for (const char* k : {"alpha-key-long-enough-to-need-the-heap", "beta", "gamma"}) {
    ASSERT_TRUE(store.set(k, value("0")).has_value());
  }
  const long points = fail_each_allocation([&] { return store.keys_with_prefix(""); },
                                           [&](const Result<std::vector<std::string>>& r) {
                                             ASSERT_FALSE(r.has_value());
                                             EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
                                             EXPECT_FALSE(TestAccess::poisoned(store));
                                           });
  EXPECT_GE(points, 2);
  EXPECT_EQ(keys(store, "").size(), 3u);
}

}  // namespace
}  // namespace vrell

namespace vrell {
namespace {

// Large listings take the radix path: random keys with shared heads, NUL
// bytes, bytes above 0x7F and proper prefixes of each other must still come
// out in plain unsigned byte order.
TEST(StateTest, LargeListingsSortByUnsignedBytes) {
  std::mt19937 rng(11);
  const std::string alphabet("\0\x01a/Az\x7f\x80\xff", 9);
  InMemoryStateStore store;
  std::vector<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    std::string key = i % 3 == 0 ? "shared-prefix-16" : (i % 3 == 1 ? "p/" : "");
    const size_t len = rng() % 20;
    for (size_t j = 0; j < len; ++j) key.push_back(alphabet[rng() % alphabet.size()]);
    if (store.exists(key).value()) continue;
    ASSERT_TRUE(store.set(key, json::Value()).has_value());
    expected.push_back(key);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(store.keys_with_prefix("").value(), expected);
  std::vector<std::string> shared;
  for (const std::string& k : expected) {
    if (k.rfind("shared-prefix-16", 0) == 0) shared.push_back(k);
  }
  ASSERT_GT(shared.size(), 256u);
  EXPECT_EQ(store.keys_with_prefix("shared-prefix-16").value(), shared);
}

}  // namespace
}  // namespace vrell
