#include "registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_access.h"

namespace vrell {
namespace {

constexpr Instant kT0{1700000000, 0};
constexpr const char* kT0Text = "2023-11-14T22:13:20+00:00";

std::string json_of(const AgentEntry& entry) {
  std::string out;
  entry.write_json(out);
  return out;
}

json::Value value(const char* canonical) { return json::Value::from_canonical(canonical); }

AgentEntry must_get(const AgentRegistry& registry, std::string_view id) {
  Result<std::optional<AgentEntry>> got = registry.get(id);
  EXPECT_TRUE(got.has_value());
  EXPECT_TRUE(got.has_value() && got->has_value()) << id;
  return got.has_value() && got->has_value() ? **got : AgentEntry{};
}

std::vector<std::string> ids_of(const std::vector<AgentEntry>& entries) {
  std::vector<std::string> ids;
  for (const AgentEntry& e : entries) ids.push_back(e.agent_id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(RegistryTest, StatusTextsAreTheOnlySpelling) {
  const char* texts[] = {"starting", "running", "idle", "stopping", "stopped", "error"};
  for (size_t i = 0; i < kAgentStatusCount; ++i) {
    const auto status = static_cast<AgentStatus>(i);
    EXPECT_EQ(status_text(status), texts[i]);
    EXPECT_EQ(parse_status(texts[i]), status);
  }
  for (const char* bogus : {"RUNNING", "Running", "active", "", " idle", "idle ", "runnin"}) {
    EXPECT_EQ(parse_status(bogus), std::nullopt) << bogus;
  }
}

TEST(RegistryTest, RegisterGivesStartingEntryFromOneClockReading) {
  TestClock clock({1700000000, 500000000}, 1000000);
  AgentRegistry registry(clock);
  Result<AgentEntry> entry = registry.register_agent("Customer", "customer-123", 0, std::nullopt);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(clock.reads(), 1);
  const std::string expected =
      R"({"agent_id":"customer-123","agent_type":"Customer","status":"starting","instance":0,)"
      R"("registered_at":"2023-11-14T22:13:20.500+00:00",)"
      R"("last_active":"2023-11-14T22:13:20.500+00:00","metadata":{}})";
  EXPECT_EQ(json_of(*entry), expected);
  EXPECT_EQ(json_of(must_get(registry, "customer-123")), expected);

  std::string out = "prefix:";
  Result<bool> written = registry.write_entry_json("customer-123", out);
  ASSERT_TRUE(written.has_value());
  EXPECT_TRUE(*written);
  EXPECT_EQ(out, "prefix:" + expected);
}

TEST(RegistryTest, JsonKeepsMemberOrderAndEscapesText) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  Result<AgentEntry> entry =
      registry.register_agent("T\\1", "a\"b\n", 4294967295u, value(R"({"a":1,"region":"eu"})"));
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(json_of(*entry), std::string(R"({"agent_id":"a\"b\n","agent_type":"T\\1",)") +
                                 R"("status":"starting","instance":4294967295,"registered_at":")" +
                                 kT0Text + R"(","last_active":")" + kT0Text +
                                 R"(","metadata":{"a":1,"region":"eu"}})");
}

TEST(RegistryTest, MetadataOfEveryKindIsStoredAsGiven) {
  struct Case {
    std::optional<const char*> given;
    const char* stored;
  };
  const Case cases[] = {
      {std::nullopt, "{}"},
      {"null", "null"},
      {"true", "true"},
      {"42", "42"},
      {"-1.5", "-1.5"},
      {R"("text")", R"("text")"},
      {"[1,[2,{}]]", "[1,[2,{}]]"},
      {"[]", "[]"},
      {R"({"a":{"b":null}})", R"({"a":{"b":null}})"},
      {"{}", "{}"},
  };
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  int n = 0;
  for (const Case& c : cases) {
    const std::string id = "agent-" + std::to_string(n++);
    std::optional<json::Value> metadata;
    if (c.given) metadata = value(*c.given);
    Result<AgentEntry> entry = registry.register_agent("T", id, 0, std::move(metadata));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->metadata.text(), c.stored);
    const std::string text = json_of(must_get(registry, id));
    EXPECT_EQ(text.substr(text.rfind(",\"metadata\":")),
              std::string(",\"metadata\":") + c.stored + "}");
  }
}

TEST(RegistryTest, DuplicateIdKeepsTheFirstEntry) {
  TestClock clock(kT0, 1000);
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("X", "a-1", 1, value(R"({"v":1})")).has_value());
  const std::string before = json_of(must_get(registry, "a-1"));

  Result<AgentEntry> again = registry.register_agent("Y", "a-1", 2, value("[9]"));
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind(), ErrorKind::AlreadyRegistered);
  EXPECT_EQ(again.error().text(), "Agent 'a-1' is already registered");
  EXPECT_EQ(json_of(must_get(registry, "a-1")), before);
  EXPECT_EQ(must_get(registry, "a-1").agent_type, "X");
  EXPECT_EQ(registry.count(), 1u);
  EXPECT_EQ(registry.count_by_status("starting"), 1u);
}

TEST(RegistryTest, UpdateStatusRefreshesLastActiveEvenForTheSameStatus) {
  TestClock clock(kT0, 1000000);  // every reading 1 ms later
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("T", "a", 3, value("[1]")).has_value());

  struct Step {
    AgentStatus status;
    const char* last_active;
  };
  const Step steps[] = {
      {AgentStatus::Running, "2023-11-14T22:13:20.001+00:00"},
      {AgentStatus::Running, "2023-11-14T22:13:20.002+00:00"},
      {AgentStatus::Error, "2023-11-14T22:13:20.003+00:00"},
      {AgentStatus::Starting, "2023-11-14T22:13:20.004+00:00"},
      {AgentStatus::Stopped, "2023-11-14T22:13:20.005+00:00"},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(registry.update_status("a", step.status).has_value());
    const AgentEntry entry = must_get(registry, "a");
    EXPECT_EQ(entry.status, step.status);
    EXPECT_EQ(entry.last_active, step.last_active);
    EXPECT_EQ(entry.registered_at, kT0Text);
    EXPECT_EQ(entry.agent_type, "T");
    EXPECT_EQ(entry.instance, 3u);
    EXPECT_EQ(entry.metadata.text(), "[1]");
  }
  EXPECT_EQ(clock.reads(), 1 + static_cast<int>(std::size(steps)));
}

// Stopped and errored agents are refused and stay as they are; the others
// become running with a new last_active, whatever type the caller names.
TEST(RegistryTest, RouteRefusesStoppedAndErroredAndMarksTheRestRunning) {
  TestClock clock(kT0, 1000000);
  AgentRegistry registry(clock);
  for (size_t i = 0; i < kAgentStatusCount; ++i) {
    const auto status = static_cast<AgentStatus>(i);
    const std::string id(status_text(status));
    ASSERT_TRUE(registry.register_agent("T", id, 0, std::nullopt).has_value());
    ASSERT_TRUE(registry.update_status(id, status).has_value());
    const AgentEntry before = must_get(registry, id);
    Result<void> routed = registry.route(id, "Other");
    const AgentEntry after = must_get(registry, id);
    if (status == AgentStatus::Stopped || status == AgentStatus::Error) {
      ASSERT_FALSE(routed.has_value());
      EXPECT_EQ(routed.error().kind(), ErrorKind::AgentNotFound);
      EXPECT_EQ(routed.error().text(), "Agent 'Other/" + id + "' not found in registry");
      EXPECT_EQ(json_of(after), json_of(before));
    } else {
      ASSERT_TRUE(routed.has_value()) << id;
      EXPECT_EQ(after.status, AgentStatus::Running);
      EXPECT_NE(after.last_active, before.last_active);
      EXPECT_EQ(after.agent_type, "T");
    }
  }
  EXPECT_EQ(registry.count_by_status("running"), 4u);
}

TEST(RegistryTest, UnknownIdsAreOrdinaryResultsExceptForUpdate) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("T", "known", 0, std::nullopt).has_value());
  for (const char* id : {"ghost", "", "a/b", "Known", "\xC3\xBC"}) {
    SCOPED_TRACE(id);
    Result<void> updated = registry.update_status(id, AgentStatus::Running);
    ASSERT_FALSE(updated.has_value());
    EXPECT_EQ(updated.error().kind(), ErrorKind::AgentNotFound);
    EXPECT_EQ(updated.error().text(), std::string("Agent '/") + id + "' not found in registry");

    Result<std::optional<AgentEntry>> got = registry.get(id);
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->has_value());
    Result<void> routed = registry.route(id, "Caller");
    ASSERT_FALSE(routed.has_value());
    EXPECT_EQ(routed.error().text(),
              std::string("Agent 'Caller/") + id + "' not found in registry");
    std::string out = "untouched";
    Result<bool> written = registry.write_entry_json(id, out);
    ASSERT_TRUE(written.has_value());
    EXPECT_FALSE(*written);
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(registry.deregister(id).has_value());
  }
  EXPECT_EQ(registry.count(), 1u);
  EXPECT_EQ(must_get(registry, "known").status, AgentStatus::Starting);
}

TEST(RegistryTest, DeregisteredIdCanRegisterAgainWithNewTimes) {
  TestClock clock(kT0, 1000);
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("X", "a", 1, std::nullopt).has_value());
  const AgentEntry first = must_get(registry, "a");
  ASSERT_TRUE(registry.deregister("a").has_value());
  Result<std::optional<AgentEntry>> gone = registry.get("a");
  ASSERT_TRUE(gone.has_value());
  EXPECT_FALSE(gone->has_value());
  EXPECT_EQ(registry.count(), 0u);

  Result<AgentEntry> again = registry.register_agent("Y", "a", 2, value("null"));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->agent_type, "Y");
  EXPECT_EQ(again->instance, 2u);
  EXPECT_EQ(again->metadata.text(), "null");
  EXPECT_NE(again->registered_at, first.registered_at);
  EXPECT_EQ(again->registered_at, again->last_active);
  EXPECT_EQ(registry.count(), 1u);
}

TEST(RegistryTest, ListFiltersCompareTextByteForByte) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  struct Agent {
    const char* type;
    const char* id;
    AgentStatus status;
  };
  for (const Agent& a :
       {Agent{"X", "x1", AgentStatus::Running}, Agent{"X", "x2", AgentStatus::Idle},
        Agent{"Y", "y1", AgentStatus::Running}, Agent{"", "e1", AgentStatus::Starting},
        Agent{"x", "lower", AgentStatus::Error}}) {
    ASSERT_TRUE(registry.register_agent(a.type, a.id, 0, std::nullopt).has_value());
    ASSERT_TRUE(registry.update_status(a.id, a.status).has_value());
  }
  struct Case {
    std::optional<std::string_view> type;
    std::optional<std::string_view> status;
    std::vector<std::string> ids;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, {"e1", "lower", "x1", "x2", "y1"}},
      {"X", std::nullopt, {"x1", "x2"}},
      {"x", std::nullopt, {"lower"}},
      {"", std::nullopt, {"e1"}},
      {"Z", std::nullopt, {}},
      {std::nullopt, "running", {"x1", "y1"}},
      {"X", "running", {"x1"}},
      {"Y", "idle", {}},
      {std::nullopt, "RUNNING", {}},
      {std::nullopt, "Running", {}},
      {std::nullopt, "active", {}},
      {std::nullopt, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type.value_or("<none>")) + " / " +
                 std::string(c.status.value_or("<none>")));
    Result<std::vector<AgentEntry>> listed = registry.list(c.type, c.status);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(ids_of(*listed), c.ids);

    // The JSON form walks the table in the same order as list().
    std::string expected = "[";
    for (const AgentEntry& e : *listed) {
      if (expected.size() > 1) expected += ',';
      e.write_json(expected);
    }
    expected += ']';
    std::string out;
    ASSERT_TRUE(registry.write_list_json(c.type, c.status, out).has_value());
    EXPECT_EQ(out, expected);
  }
}

TEST(RegistryTest, EmptyRegistryListsNothing) {
  AgentRegistry registry;
  Result<std::vector<AgentEntry>> listed = registry.list(std::nullopt, std::nullopt);
  ASSERT_TRUE(listed.has_value());
  EXPECT_TRUE(listed->empty());
  std::string out;
  ASSERT_TRUE(registry.write_list_json(std::nullopt, std::nullopt, out).has_value());
  EXPECT_EQ(out, "[]");
}

// The kept counts must agree with a count over the entries after every change.
void expect_counts_match_entries(const AgentRegistry& registry) {
  Result<std::vector<AgentEntry>> all = registry.list(std::nullopt, std::nullopt);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(registry.count(), all->size());
  for (size_t i = 0; i < kAgentStatusCount; ++i) {
    const std::string_view text = status_text(static_cast<AgentStatus>(i));
    const auto n =
        static_cast<uint64_t>(std::count_if(all->begin(), all->end(), [&](const AgentEntry& e) {
          return status_text(e.status) == text;
        }));
    EXPECT_EQ(registry.count_by_status(text), n) << text;
  }
  const AgentCounts counts = registry.counts();
  EXPECT_EQ(counts.total, all->size());
  EXPECT_EQ(counts.running, registry.count_by_status("running"));
  EXPECT_EQ(counts.idle, registry.count_by_status("idle"));
  EXPECT_EQ(counts.error, registry.count_by_status("error"));
}

TEST(RegistryTest, CountsStayExactThroughEveryChange) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  enum class Op { Register, Update, Deregister };
  struct Step {
    Op op;
    const char* id;
    AgentStatus status;
    bool ok;
  };
  const Step steps[] = {
      {Op::Register, "a", {}, true},
      {Op::Register, "b", {}, true},
      {Op::Register, "a", {}, false},  // duplicate: nothing changes
      {Op::Update, "a", AgentStatus::Running, true},
      {Op::Update, "a", AgentStatus::Running, true},
      {Op::Update, "b", AgentStatus::Idle, true},
      {Op::Update, "ghost", AgentStatus::Error, false},
      {Op::Register, "c", {}, true},
      {Op::Update, "c", AgentStatus::Error, true},
      {Op::Update, "b", AgentStatus::Stopped, true},
      {Op::Deregister, "a", {}, true},
      {Op::Deregister, "a", {}, true},  // absent: nothing changes
      {Op::Register, "a", {}, true},
      {Op::Update, "c", AgentStatus::Running, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.id);
    bool ok = false;
    switch (step.op) {
      case Op::Register:
        ok = registry.register_agent("T", step.id, 0, std::nullopt).has_value();
        break;
      case Op::Update:
        ok = registry.update_status(step.id, step.status).has_value();
        break;
      case Op::Deregister:
        ok = registry.deregister(step.id).has_value();
        break;
    }
    EXPECT_EQ(ok, step.ok);
    expect_counts_match_entries(registry);
  }
  const AgentCounts counts = registry.counts();
  EXPECT_EQ(counts.total, 3u);
  EXPECT_EQ(counts.running, 1u);
  EXPECT_EQ(counts.idle, 0u);
  EXPECT_EQ(counts.error, 0u);
  EXPECT_EQ(registry.count_by_status("stopped"), 1u);
  EXPECT_EQ(registry.count_by_status("starting"), 1u);
  EXPECT_EQ(registry.count_by_status("bogus"), 0u);
  EXPECT_EQ(registry.count_by_status("RUNNING"), 0u);
}

void expect_poisoned(AgentRegistry& registry) {
  const std::string kText = "State error: registry lock poisoned";
  auto expect_error = [&](const MeshError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::State);
    EXPECT_EQ(e.text(), kText);
  };
  expect_error(registry.register_agent("T", "fresh", 0, std::nullopt).error());
  expect_error(registry.update_status("a", AgentStatus::Idle).error());
  expect_error(registry.deregister("a").error());
  expect_error(registry.get("a").error());
  expect_error(registry.list(std::nullopt, std::nullopt).error());
  expect_error(registry.route("a", "T").error());
  std::string out;
  expect_error(registry.write_entry_json("a", out).error());
  expect_error(registry.write_list_json(std::nullopt, std::nullopt, out).error());
  EXPECT_EQ(out, "");
  EXPECT_EQ(registry.count(), 0u);
  for (const char* status : {"starting", "running", "idle", "error"}) {
    EXPECT_EQ(registry.count_by_status(status), 0u);
  }
  const AgentCounts counts = registry.counts();
  EXPECT_EQ(counts.total + counts.running + counts.idle + counts.error, 0u);
}

TEST(RegistryTest, ClockBeforeEpochPoisonsTheRegistry) {
  enum class Op { Register, Update, Route };
  for (Op op : {Op::Register, Op::Update, Op::Route}) {
    SCOPED_TRACE(static_cast<int>(op));
    TestClock clock(kT0);
    AgentRegistry registry(clock);
    ASSERT_TRUE(registry.register_agent("T", "a", 0, std::nullopt).has_value());
    ASSERT_TRUE(registry.update_status("a", AgentStatus::Running).has_value());
    clock.set({-1, 999999999});

    MeshError fault = op == Op::Register
                          ? registry.register_agent("T", "b", 0, std::nullopt).error()
                      : op == Op::Update ? registry.update_status("a", AgentStatus::Idle).error()
                                         : registry.route("a", "T").error();
    EXPECT_EQ(fault.kind(), ErrorKind::Panic);
    EXPECT_EQ(fault.text(), "system time before Unix epoch");
    EXPECT_TRUE(TestAccess::poisoned(registry));

    clock.set(kT0);  // a sane clock does not heal it
    expect_poisoned(registry);
  }
}

TEST(RegistryTest, DuplicateIsRefusedBeforeTheClockIsRead) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("T", "a", 0, std::nullopt).has_value());
  clock.set({-5, 0});
  Result<AgentEntry> again = registry.register_agent("T", "a", 0, std::nullopt);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind(), ErrorKind::AlreadyRegistered);
  EXPECT_FALSE(TestAccess::poisoned(registry));
  Result<void> missing = registry.update_status("ghost", AgentStatus::Idle);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::AgentNotFound);
  EXPECT_FALSE(TestAccess::poisoned(registry));
}

TEST(RegistryTest, FailedAllocationInRegisterLeavesTableIntact) {
  TestClock clock(kT0);
  AgentRegistry registry(clock);
  ASSERT_TRUE(registry.register_agent("Customer", "existing", 0, std::nullopt).has_value());
  ASSERT_TRUE(registry.update_status("existing", AgentStatus::Running).has_value());
  const std::string existing = json_of(must_get(registry, "existing"));
  const std::string id = "an-agent-id-long-enough-to-need-the-heap";
  const std::string type = "AnAgentTypeLongEnoughToNeedTheHeap";
  const std::string meta = R"({"region":"a-region-long-enough-to-need-the-heap"})";

  // Built beforehand: the test's own allocations must not be the ones failed.
  std::vector<json::Value> metadata(64, value(meta.c_str()));
  size_t run = 0;

  const long points = fail_each_allocation(
      [&] { return registry.register_agent(type, id, 7, std::move(metadata.at(run++))); },
      [&](const Result<AgentEntry>& r) {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
        EXPECT_FALSE(TestAccess::poisoned(registry));
        EXPECT_EQ(registry.count(), 1u);
        EXPECT_EQ(registry.count_by_status("starting"), 0u);
        EXPECT_FALSE(registry.get(id)->has_value());
        EXPECT_EQ(json_of(must_get(registry, "existing")), existing);
      });
  // The entry's strings, the copy handed back, the key and the node at least.
  EXPECT_GE(points, 6);
  EXPECT_EQ(registry.count(), 2u);
  EXPECT_EQ(registry.count_by_status("starting"), 1u);
  EXPECT_EQ(must_get(registry, id).metadata.text(), meta);
}

TEST(RegistryTest, RoutingReadsAndUpdatesAllocateNothing) {
  TestClock clock(kT0, 7);  // nine-digit fractions: the longest timestamps
  AgentRegistry registry(clock);
  const std::string id = "an-agent-id-long-enough-to-need-the-heap";
  ASSERT_TRUE(registry.register_agent("T", id, 0, std::nullopt).has_value());
  auto no_failure = [](const auto&) { ADD_FAILURE() << "an allocation was made"; };

  EXPECT_EQ(fail_each_allocation([&] { return registry.route(id, "T"); }, no_failure), 0);
  EXPECT_EQ(fail_each_allocation([&] { return registry.update_status(id, AgentStatus::Running); },
                                 no_failure),
            0);
  std::string out;
  out.reserve(1024);
  EXPECT_EQ(fail_each_allocation([&] { return registry.write_entry_json(id, out); }, no_failure),
            0);
  EXPECT_EQ(must_get(registry, id).last_active, "2023-11-14T22:13:20.000000014+00:00");
  EXPECT_EQ(registry.counts().running, 1u);
}

TEST(RegistryTest, ConcurrentChangesKeepCountsExact) {
  AgentRegistry registry;
  constexpr int kPerThread = 500;
  auto worker = [&](char tag) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string id(1, tag);
      id += std::to_string(i);
      (void)registry.register_agent("T", id, 0, std::nullopt);
      (void)registry.update_status(id, i % 2 ? AgentStatus::Running : AgentStatus::Idle);
      if (i % 5 == 0) (void)registry.deregister(id);
      (void)registry.counts();
    }
  };
  std::thread a(worker, 'a');
  std::thread b(worker, 'b');
  a.join();
  b.join();
  EXPECT_EQ(registry.count(), 2u * (kPerThread - kPerThread / 5));
  expect_counts_match_entries(registry);
}

}  // namespace
}  // namespace vrell
