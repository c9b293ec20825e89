// Faults across the components, on the paths the binding takes: a failed
// allocation anywhere reports OutOfMemory and leaves the component intact and
// usable (never poisoned); the counts behind repr and the health snapshot
// allocate nothing; a clock before 1970 poisons the tables written under it,
// and a poisoned component refuses the binding's forms of its operations too.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"
#include "json.h"
#include "migration.h"
#include "plan.h"
#include "registry.h"
#include "state.h"
#include "test_access.h"

namespace vrell {
namespace {

constexpr Instant kT0{1700000000, 0};
const std::string kLong = "a-name-long-enough-to-live-on-the-heap-of-any-string";

json::Value value(const char* canonical) { return json::Value::from_canonical(canonical); }

template <class R>
void expect_out_of_memory(const R& r) {
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
}

std::string stored(const InMemoryStateStore& store, std::string_view key) {
  std::string out;
  Result<bool> found = store.read_into(key, out);
  return found.has_value() && *found ? out : "<none>";
}

std::string stored(const MigrationController& c, std::string_view name) {
  std::string out;
  Result<bool> found = c.write_json(name, out);
  return found.has_value() && *found ? out : "<none>";
}

TEST(FaultTest, StateSetOfCanonicalTextKeepsTheOldValueOnFailure) {
  InMemoryStateStore store;
  ASSERT_TRUE(store.set_canonical("other", "[1]").has_value());
  const std::string text = R"({"a":")" + kLong + R"("})";

  const long inserts = fail_each_allocation([&] { return store.set_canonical(kLong, text); },
                                            [&](const Result<void>& r) {
                                              expect_out_of_memory(r);
                                              EXPECT_FALSE(TestAccess::poisoned(store));
                                              EXPECT_EQ(store.key_count(), 1u);
                                              EXPECT_EQ(stored(store, kLong), "<none>");
                                            });
  EXPECT_GE(inserts, 2);  // the key, the value's text, the node
  EXPECT_EQ(stored(store, kLong), text);

  // Overwriting with a longer text needs a new buffer: the old value survives.
  const std::string longer = "[" + text + "," + text + "]";
  EXPECT_GE(fail_each_allocation([&] { return store.set_canonical(kLong, longer); },
                                 [&](const Result<void>& r) {
                                   expect_out_of_memory(r);
                                   EXPECT_FALSE(TestAccess::poisoned(store));
                                   EXPECT_EQ(stored(store, kLong), text);
                                 }),
            1);
  EXPECT_EQ(stored(store, kLong), longer);
  EXPECT_EQ(store.key_count(), 2u);
}

// The binding's path for large documents: the parsed buffer becomes the
// stored value. A failed insert leaves both the store and the value as they
// were; a replaced value leaves the store with the caller's object.
TEST(FaultTest, StateSetOfAnAdoptedValueKeepsTheOldValueOnFailure) {
  InMemoryStateStore store;
  std::string big(json::kAdoptFrom, 'x');
  big.insert(0, "[\"").append("\"]");
  // One value per attempt, made before any allocation is armed.
  std::vector<json::Value> values;
  for (int i = 0; i < 8; ++i) {
    json::Text text;
    ASSERT_TRUE(json::parse_into(big, text).has_value());
    values.push_back(json::Value::adopt(std::move(text)));
    EXPECT_EQ(text.size(), 0u);
  }
  size_t next = 0;
  auto set_next = [&] { return store.set(kLong, std::move(values.at(next++))); };

  EXPECT_GE(fail_each_allocation(set_next,
                                 [&](const Result<void>& r) {
                                   expect_out_of_memory(r);
                                   EXPECT_FALSE(TestAccess::poisoned(store));
                                   EXPECT_EQ(store.key_count(), 0u);
                                 }),
            1);
  EXPECT_EQ(stored(store, kLong), big);
  // Replacing allocates nothing: the old value leaves in the caller's object.
  EXPECT_EQ(fail_each_allocation(set_next, [](const Result<void>&) { FAIL(); }), 0);
  EXPECT_EQ(stored(store, kLong), big);
  EXPECT_EQ(store.key_count(), 1u);
}

TEST(FaultTest, PublishOfCanonicalTextLeavesTheChannelUsable) {
  TestClock clock(kT0);
  MeshChannel channel(clock);
  const std::string payload = R"({"k":")" + kLong + R"("})";
  EXPECT_GE(fail_each_allocation([&] { return channel.publish_canonical(kLong, payload); },
                                 [&](const Result<uint64_t>& r) {
                                   expect_out_of_memory(r);
                                   EXPECT_FALSE(TestAccess::poisoned(channel));
                                   EXPECT_LE(channel.topic_count(), 1u);
                                 }),
            2);
  EXPECT_EQ(channel.topic_count(), 1u);

  // With a receiver the message is built and queued: each failure delivers nothing.
  Result<std::optional<BroadcastQueue::Sender>> sender = channel.sender(kLong);
  ASSERT_TRUE(sender.has_value() && sender->has_value());
  BroadcastQueue::Receiver receiver = (*sender)->subscribe();
  EXPECT_GE(fail_each_allocation([&] { return channel.publish_canonical(kLong, payload); },
                                 [&](const Result<uint64_t>& r) {
                                   expect_out_of_memory(r);
                                   EXPECT_EQ(receiver.try_recv().status,
                                             BroadcastQueue::Receiver::Status::Empty);
                                 }),
            2);
  BroadcastQueue::Receiver::Received got = receiver.try_recv();
  ASSERT_EQ(got.status, BroadcastQueue::Receiver::Status::Ok);
  EXPECT_EQ(got.message->payload.text(), payload);
  EXPECT_EQ(got.message->topic, kLong);
  EXPECT_EQ(receiver.try_recv().status, BroadcastQueue::Receiver::Status::Empty);
}

TEST(FaultTest, MigrationRollbackIntoTextKeepsTheRecordOnFailure) {
  TestClock clock(kT0, 1000);
  MigrationController c(kLong, clock);
  std::string out;
  ASSERT_TRUE(c.start(kLong, "sqlite", "redis", out).has_value());
  ASSERT_TRUE(c.advance(kLong, 1, 2, out).has_value());
  for (int step = 0; step < 2; ++step) {
    const std::string before = stored(c, kLong);
    out.clear();
    out.shrink_to_fit();
    EXPECT_GE(fail_each_allocation([&] { return c.rollback(kLong, out); },
                                   [&](const Result<void>& r) {
                                     expect_out_of_memory(r);
                                     EXPECT_FALSE(TestAccess::poisoned(c));
                                     EXPECT_EQ(stored(c, kLong), before);
                                     out.clear();
                                     out.shrink_to_fit();
                                   }),
              1);
    EXPECT_EQ(out, stored(c, kLong));
  }
  EXPECT_EQ(c.get(kLong)->value().stage, 0);
  EXPECT_EQ(c.count_active(), 1u);
}

TEST(FaultTest, RegistryRefusalsThatFailToAllocateStillChangeNothing) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("T", kLong, 0, value("[1]")).has_value());
  std::string before;
  ASSERT_TRUE(*registry.write_entry_json(kLong, before));

  // The refusal's own text is what fails to allocate.
  const std::string ghost = kLong + "-ghost";
  EXPECT_GE(fail_each_allocation([&] { return registry.update_status(ghost, AgentStatus::Idle); },
                                 [&](const Result<void>& r) {
                                   expect_out_of_memory(r);
                                   EXPECT_FALSE(TestAccess::poisoned(registry));
                                 }),
            1);
  EXPECT_GE(
      fail_each_allocation([&] { return registry.register_agent("U", kLong, 1, std::nullopt); },
                           [&](const Result<AgentEntry>& r) {
                             expect_out_of_memory(r);
                             EXPECT_FALSE(TestAccess::poisoned(registry));
                           }),
      1);
  // Removing needs no memory at all, present or absent.
  auto no_failure = [](const auto&) { ADD_FAILURE() << "an allocation was made"; };
  EXPECT_EQ(fail_each_allocation([&] { return registry.deregister(ghost); }, no_failure), 0);

  std::string after;
  ASSERT_TRUE(*registry.write_entry_json(kLong, after));
  EXPECT_EQ(after, before);
  EXPECT_EQ(fail_each_allocation([&] { return registry.deregister(kLong); }, no_failure), 0);
  EXPECT_EQ(registry.count(), 0u);
}

// Read sections: a failed allocation is reported and poisons nothing.
TEST(FaultTest, ReadsThatFailToAllocateReportOutOfMemory) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  MigrationController migrations(kLong, clock);
  for (const std::string& id : {kLong, kLong + "-2", kLong + "-3"}) {
    ASSERT_TRUE(registry.register_agent(kLong, id, 0, value(R"({"k":[1,2]})")).has_value());
    ASSERT_TRUE(migrations.start(id, kLong, kLong).has_value());
  }

  // Each read as "did it find something", its error passed through.
  auto found = [](auto&& r, auto&& test) -> Result<bool> {
    if (!r) return unexpected(std::move(r).error());
    return test(*r);
  };
  auto some = [](const auto& v) { return v.has_value(); };
  auto three = [](const auto& v) { return v.size() == 3; };
  auto ran = [](Result<void> r) -> Result<bool> {
    if (!r) return unexpected(std::move(r).error());
    return true;
  };
  std::string out;
  struct Read {
    const char* name;
    std::function<Result<bool>()> run;
  };
  const std::vector<Read> reads = {
      {"registry get", [&] { return found(registry.get(kLong), some); }},
      {"registry list", [&] { return found(registry.list(kLong, "starting"), three); }},
      {"registry list json",
       [&] { return ran(registry.write_list_json(std::nullopt, std::nullopt, out)); }},
      {"migration get", [&] { return found(migrations.get(kLong), some); }},
      {"migration list", [&] { return found(migrations.list_all(), three); }},
      {"migration json", [&] { return migrations.write_json(kLong, out); }},
      {"migration list json", [&] { return ran(migrations.write_list_json(out)); }},
  };
  for (const Read& read : reads) {
    SCOPED_TRACE(read.name);
    auto run = [&] {
      out.clear();
      out.shrink_to_fit();
      return read.run();
    };
    EXPECT_GE(fail_each_allocation(run,
                                   [&](const Result<bool>& r) {
                                     expect_out_of_memory(r);
                                     EXPECT_FALSE(TestAccess::poisoned(registry));
                                     EXPECT_FALSE(TestAccess::poisoned(migrations));
                                   }),
              1);
    Result<bool> again = run();
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(*again);
  }
  EXPECT_EQ(registry.count(), 3u);
  EXPECT_EQ(migrations.count_active(), 3u);
}

// repr and the health snapshot must work when nothing more can be allocated.
TEST(FaultTest, CountsAllocateNothing) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  InMemoryStateStore store;
  MigrationController migrations("app", clock);
  MeshChannel channel(clock);
  ASSERT_TRUE(registry.register_agent("T", kLong, 0, std::nullopt).has_value());
  ASSERT_TRUE(registry.update_status(kLong, AgentStatus::Idle).has_value());
  ASSERT_TRUE(store.set_canonical(kLong, "[1]").has_value());
  ASSERT_TRUE(migrations.start(kLong, "a", "b").has_value());
  ASSERT_TRUE(channel.publish_canonical(kLong, "{}").has_value());

  uint64_t total = 0;
  auto no_failure = [](const auto&) { ADD_FAILURE() << "a count allocated"; };
  auto sum = [&](auto count) {
    return [&total, count] {
      total += count();
      return 0;
    };
  };
  EXPECT_EQ(fail_each_allocation(sum([&] { return registry.count(); }), no_failure), 0);
  EXPECT_EQ(fail_each_allocation(sum([&] { return registry.counts().idle; }), no_failure), 0);
  EXPECT_EQ(fail_each_allocation(sum([&] { return registry.count_by_status("idle"); }), no_failure),
            0);
  EXPECT_EQ(fail_each_allocation(sum([&] { return store.key_count(); }), no_failure), 0);
  EXPECT_EQ(fail_each_allocation(sum([&] { return migrations.count_active(); }), no_failure), 0);
  EXPECT_EQ(fail_each_allocation(sum([&] { return channel.topic_count(); }), no_failure), 0);
  EXPECT_EQ(total, 6u);
}

TEST(FaultTest, PlanParserReportsOutOfMemory) {
  const std::string text = R"({"app_name":")" + kLong + R"(","backends":{")" + kLong +
                           R"(":{"backend_type":"sqlite","config":{"path":")" + kLong +
                           R"("}}},"functions":["f"],"agents":[")" + kLong + R"("]})";
  Result<Plan> baseline = Plan::from_json(text);
  ASSERT_TRUE(baseline.has_value());
  std::string expected;
  baseline->write_json(expected);
  EXPECT_GE(fail_each_allocation([&] { return Plan::from_json(text); },
                                 [](const Result<Plan>& r) { expect_out_of_memory(r); }),
            5);
  std::string again;
  Plan::from_json(text)->write_json(again);
  EXPECT_EQ(again, expected);
}

// The reader keeps per-thread buffers: a document abandoned half-way by a
// failed allocation must leave them fit for the next one.
TEST(FaultTest, JsonReaderRecoversFromAFailedAllocation) {
  const std::string doc = R"({"z":[1,2.5,{"y":")" + kLong + R"(","x":null}],"a":{"c":1,"b":2}})";
  const std::string canonical =
      R"({"a":{"b":2,"c":1},"z":[1,2.5,{"x":null,"y":")" + kLong + R"("}]})";
  enum Outcome { kRight, kWrong, kRefused, kThrew };
  const long points = fail_each_allocation(
      [&] {
        try {
          auto r = json::parse(doc);
          return !r ? kRefused : r->text() == canonical ? kRight : kWrong;
        } catch (const std::bad_alloc&) {
          return kThrew;
        }
      },
      [&](Outcome outcome) {
        // Some allocations only speed things up (a sort's buffer): their
        // failure may still give the right text, never a wrong one.
        EXPECT_TRUE(outcome == kThrew || outcome == kRight) << outcome;
        auto next = json::parse(doc);
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->text(), canonical);
        auto other = json::parse(R"({"q":{"p":[]},"b":0})");
        ASSERT_TRUE(other.has_value());
        EXPECT_EQ(other->text(), R"({"b":0,"q":{"p":[]}})");
      });
  EXPECT_GE(points, 1);
}

TEST(FaultTest, PoisonedComponentsRefuseTheBindingsForms) {
  TestClock clock(kT0);
  InMemoryStateStore store;
  ASSERT_TRUE(store.set_canonical("k", "[1]").has_value());
  TestAccess::poison(store);
  Result<void> set = store.set_canonical("k", "[2]");
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error().text(), "State error: state lock poisoned");

  MeshChannel channel(clock);
  ASSERT_TRUE(channel.publish_canonical("t", "1").has_value());
  TestAccess::poison(channel);
  Result<uint64_t> sent = channel.publish_canonical("t", "1");
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().text(), "Channel error: channel lock poisoned");

  MigrationController c("app", clock);
  std::string out;
  ASSERT_TRUE(c.start("v", "s", "t", out).has_value());
  TestAccess::poison(c);
  out.clear();
  const std::vector<MeshError> errors = {
      c.start("w", "s", "t", out).error(), c.advance("v", 1, 1, out).error(),
      c.rollback("v", out).error(),        c.write_json("v", out).error(),
      c.write_list_json(out).error(),
  };
  for (const MeshError& e : errors) {
    EXPECT_EQ(e.kind(), ErrorKind::Migration);
    EXPECT_EQ(e.text(), "Migration error: lock poisoned");
  }
  EXPECT_EQ(out, "");
  EXPECT_EQ(store.key_count() + channel.topic_count() + c.count_active(), 0u);
}

TEST(FaultTest, ClockBeforeEpochPoisonsTheMigrationTableInEveryForm) {
  enum class Op { Start, Advance, Rollback };
  for (Op op : {Op::Start, Op::Advance, Op::Rollback}) {
    SCOPED_TRACE(static_cast<int>(op));
    TestClock clock(kT0);
    MigrationController c("app", clock);
    std::string out;
    ASSERT_TRUE(c.start("v", "s", "t", out).has_value());
    ASSERT_TRUE(c.advance("v", 0, 0, out).has_value());
    out.clear();
    clock.set({-1, 0});
    Result<void> r = op == Op::Start     ? c.start("w", "s", "t", out)
                     : op == Op::Advance ? c.advance("v", 1, 1, out)
                                         : c.rollback("v", out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Panic);
    EXPECT_EQ(r.error().text(), "system time before Unix epoch");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(TestAccess::poisoned(c));
    clock.set(kT0);
    EXPECT_EQ(c.write_json("v", out).error().text(), "Migration error: lock poisoned");
    EXPECT_EQ(c.count_active(), 0u);
  }
}

}  // namespace
}  // namespace vrell
