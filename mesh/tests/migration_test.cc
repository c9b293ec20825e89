#include "migration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_access.h"

namespace vrell {
namespace {

constexpr Instant kT0{1700000000, 0};
constexpr const char* kVar = "counter.Counts";
const std::string kInitialStage = "Already at initial stage \xE2\x80\x94 cannot roll back further";

std::string json_of(const MigrationState& state) {
  std::string out;
  state.write_json(out);
  return out;
}

MigrationState must(Result<MigrationState> r) {
  EXPECT_TRUE(r.has_value()) << (r.has_value() ? "" : r.error().text());
  return r.has_value() ? std::move(r).value() : MigrationState{};
}

std::string stored_json(const MigrationController& c, std::string_view name) {
  Result<std::optional<MigrationState>> got = c.get(name);
  EXPECT_TRUE(got.has_value());
  return got.has_value() && got->has_value() ? json_of(**got) : "<none>";
}

void expect_refused(const Result<MigrationState>& r, const std::string& message) {
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Migration);
  EXPECT_EQ(r.error().text(), "Migration error: " + message);
}

// Brings kVar to `stage` through start, advance and rollback.
void drive_to(MigrationController& c, uint8_t stage) {
  must(c.start(kVar, "sqlite", "redis"));
  if (stage == 0) {
    must(c.rollback(kVar));
    return;
  }
  for (uint8_t s = 1; s < stage; ++s) must(c.advance(kVar, 0, 0));
}

TEST(MigrationTest, StartGivesAStageOneRecord) {
  TestClock clock({1700000000, 123456000});
  MigrationController c("myapp", clock);
  const MigrationState state = must(c.start(kVar, "sqlite", "redis"));
  EXPECT_EQ(clock.reads(), 1);
  const std::string expected =
      R"({"variable_name":"counter.Counts","source_backend":"sqlite","target_backend":"redis",)"
      R"("stage":1,"stage_name":"shadow_write","started_at":"2023-11-14T22:13:20.123456+00:00",)"
      R"("advanced_at":"2023-11-14T22:13:20.123456+00:00","discrepancy_count":0,)"
      R"("keys_migrated":0,"app_name":"myapp"})";
  EXPECT_EQ(json_of(state), expected);
  EXPECT_EQ(stored_json(c, kVar), expected);
  EXPECT_EQ(c.app_name(), "myapp");
}

TEST(MigrationTest, AdvancesThroughEveryStageToDone) {
  TestClock clock(kT0, 1000000);
  MigrationController c("myapp", clock);
  const MigrationState started = must(c.start(kVar, "sqlite", "redis"));
  struct Step {
    uint8_t stage;
    const char* name;
    const char* advanced_at;
  };
  const Step steps[] = {
      {2, "shadow_read", "2023-11-14T22:13:20.001+00:00"},
      {3, "dual_read", "2023-11-14T22:13:20.002+00:00"},
      {4, "new_primary", "2023-11-14T22:13:20.003+00:00"},
      {5, "cleanup", "2023-11-14T22:13:20.004+00:00"},
      {6, "done", "2023-11-14T22:13:20.005+00:00"},
  };
  for (const Step& step : steps) {
    const MigrationState state = must(c.advance(kVar, 1, 2));
    EXPECT_EQ(state.stage, step.stage);
    EXPECT_EQ(state.stage_name, step.name);
    EXPECT_EQ(state.stage_name, kStageNames[step.stage]);
    EXPECT_EQ(state.advanced_at, step.advanced_at);
    EXPECT_EQ(state.started_at, started.started_at);
    EXPECT_EQ(json_of(state), stored_json(c, kVar));
  }
  const std::string done = stored_json(c, kVar);
  expect_refused(c.advance(kVar, 1, 1), "Migration for 'counter.Counts' is already complete");
  expect_refused(c.rollback(kVar), "Cannot roll back a completed migration");
  EXPECT_EQ(stored_json(c, kVar), done);
  const MigrationState final_state = **c.get(kVar);
  EXPECT_EQ(final_state.discrepancy_count, 5u);
  EXPECT_EQ(final_state.keys_migrated, 10u);
}

TEST(MigrationTest, RollbackReachesIdleAndStopsThere) {
  TestClock clock(kT0, 1000);
  MigrationController c("myapp", clock);
  must(c.start(kVar, "sqlite", "redis"));
  must(c.advance(kVar, 3, 10));
  const MigrationState back = must(c.rollback(kVar));
  EXPECT_EQ(back.stage, 1);
  EXPECT_EQ(back.stage_name, "shadow_write");
  const MigrationState idle = must(c.rollback(kVar));
  EXPECT_EQ(idle.stage, 0);
  EXPECT_EQ(idle.stage_name, "idle");
  EXPECT_EQ(idle.discrepancy_count, 3u);
  EXPECT_EQ(idle.keys_migrated, 10u);
  EXPECT_EQ(idle.started_at, "2023-11-14T22:13:20+00:00");
  EXPECT_EQ(idle.advanced_at, "2023-11-14T22:13:20.000003+00:00");

  Result<MigrationState> again = c.rollback(kVar);
  expect_refused(again, kInitialStage);
  EXPECT_EQ(kInitialStage.size(), 53u);
  EXPECT_EQ(again.error().text().size(), std::strlen("Migration error: ") + 53);
  EXPECT_EQ(stored_json(c, kVar), json_of(idle));

  const MigrationState resumed = must(c.advance(kVar, 0, 0));
  EXPECT_EQ(resumed.stage, 1);
  EXPECT_EQ(resumed.stage_name, "shadow_write");
}

TEST(MigrationTest, StartRefusedAtEveryUnfinishedStage) {
  for (uint8_t stage = 0; stage < kMigrationDone; ++stage) {
    SCOPED_TRACE(static_cast<int>(stage));
    TestClock clock(kT0, 1000);
    MigrationController c("myapp", clock);
    drive_to(c, stage);
    const std::string before = stored_json(c, kVar);
    expect_refused(c.start(kVar, "x", "y"),
                   "Migration for 'counter.Counts' already in progress at stage " +
                       std::to_string(stage) + " (" + std::string(kStageNames[stage]) + ")");
    EXPECT_EQ(stored_json(c, kVar), before);
  }
  TestClock clock(kT0);
  MigrationController c("myapp", clock);
  drive_to(c, 0);
  expect_refused(c.start(kVar, "x", "y"),
                 "Migration for 'counter.Counts' already in progress at stage 0 (idle)");
}

TEST(MigrationTest, StartAfterDoneResetsTheRecord) {
  TestClock clock(kT0, 1000000);
  MigrationController c("myapp", clock);
  drive_to(c, 5);
  must(c.advance(kVar, 4, 40));
  clock.set({1800000000, 0});
  const MigrationState fresh = must(c.start(kVar, "redis", "postgres"));
  EXPECT_EQ(fresh.stage, 1);
  EXPECT_EQ(fresh.stage_name, "shadow_write");
  EXPECT_EQ(fresh.source_backend, "redis");
  EXPECT_EQ(fresh.target_backend, "postgres");
  EXPECT_EQ(fresh.discrepancy_count, 0u);
  EXPECT_EQ(fresh.keys_migrated, 0u);
  EXPECT_EQ(fresh.started_at, "2027-01-15T08:00:00+00:00");
  EXPECT_EQ(fresh.advanced_at, fresh.started_at);
  EXPECT_EQ(stored_json(c, kVar), json_of(fresh));
  EXPECT_EQ(c.list_all()->size(), 1u);
  EXPECT_EQ(c.count_active(), 1u);
}

TEST(MigrationTest, CountersAccumulateAndWrap) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Step {
    uint64_t discrepancies;
    uint64_t keys;
    uint64_t total_discrepancies;
    uint64_t total_keys;
  };
  const Step steps[] = {
      {3, 10, 3, 10},
      {2, 5, 5, 15},
      {kMax, kMax - 14, 4, 0},  // wraps modulo 2^64
      {0, kMax, 4, kMax},
  };
  TestClock clock(kT0);
  MigrationController c("myapp", clock);
  must(c.start(kVar, "sqlite", "redis"));
  for (const Step& step : steps) {
    const MigrationState state = must(c.advance(kVar, step.discrepancies, step.keys));
    EXPECT_EQ(state.discrepancy_count, step.total_discrepancies);
    EXPECT_EQ(state.keys_migrated, step.total_keys);
  }
  EXPECT_NE(
      stored_json(c, kVar).find(R"("discrepancy_count":4,"keys_migrated":18446744073709551615,)"),
      std::string::npos);
}

TEST(MigrationTest, UnknownVariableHasNoRecord) {
  MigrationController c("myapp");
  Result<std::optional<MigrationState>> got = c.get("ghost");
  ASSERT_TRUE(got.has_value());
  EXPECT_FALSE(got->has_value());
  expect_refused(c.advance("ghost", 1, 1), "No migration in progress for 'ghost'");
  expect_refused(c.rollback("ghost"), "No migration in progress for 'ghost'");
  expect_refused(c.rollback(""), "No migration in progress for ''");
  EXPECT_TRUE(c.list_all()->empty());
  EXPECT_EQ(c.count_active(), 0u);
}

TEST(MigrationTest, CountActiveCountsIdleButNotDone) {
  TestClock clock(kT0);
  MigrationController c("myapp", clock);
  // (variable, operation) in order; the active count must match list_all after each.
  enum class Op { Start, Advance, Rollback };
  struct Step {
    const char* name;
    Op op;
    uint64_t active;
  };
  const Step steps[] = {
      {"a", Op::Start, 1},    {"b", Op::Start, 2},   {"a", Op::Rollback, 2},
      {"a", Op::Rollback, 2},  // refused at idle
      {"b", Op::Advance, 2},  {"b", Op::Advance, 2}, {"b", Op::Advance, 2},
      {"b", Op::Advance, 2},  {"b", Op::Advance, 1},  // b done
      {"b", Op::Advance, 1},                          // refused when complete
      {"a", Op::Start, 1},                            // refused at idle
      {"b", Op::Start, 2},    {"c", Op::Start, 3},
  };
  for (const Step& step : steps) {
    switch (step.op) {
      case Op::Start:
        (void)c.start(step.name, "s", "t");
        break;
      case Op::Advance:
        (void)c.advance(step.name, 0, 0);
        break;
      case Op::Rollback:
        (void)c.rollback(step.name);
        break;
    }
    EXPECT_EQ(c.count_active(), step.active) << step.name;
    Result<std::vector<MigrationState>> all = c.list_all();
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(static_cast<uint64_t>(
                  std::count_if(all->begin(), all->end(),
                                [](const MigrationState& s) { return s.stage < kMigrationDone; })),
              step.active);
  }
  EXPECT_EQ(c.list_all()->size(), 3u);
}

void expect_poisoned(MigrationController& c) {
  auto expect_error = [](const MeshError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Migration);
    EXPECT_EQ(e.text(), "Migration error: lock poisoned");
  };
  expect_error(c.start("fresh", "s", "t").error());
  expect_error(c.advance(kVar, 1, 1).error());
  expect_error(c.rollback(kVar).error());
  expect_error(c.get(kVar).error());
  expect_error(c.list_all().error());
  EXPECT_EQ(c.count_active(), 0u);
}

TEST(MigrationTest, ClockBeforeEpochPoisonsTheTable) {
  enum class Op { Start, Advance, Rollback };
  for (Op op : {Op::Start, Op::Advance, Op::Rollback}) {
    SCOPED_TRACE(static_cast<int>(op));
    TestClock clock(kT0);
    MigrationController c("myapp", clock);
    drive_to(c, 2);
    clock.set({-1, 0});
    Result<MigrationState> r = op == Op::Start     ? c.start("other", "s", "t")
                               : op == Op::Advance ? c.advance(kVar, 1, 1)
                                                   : c.rollback(kVar);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Panic);
    EXPECT_EQ(r.error().text(), "system time before Unix epoch");
    clock.set(kT0);
    expect_poisoned(c);
  }
}

TEST(MigrationTest, RefusalsComeBeforeTheClockIsRead) {
  TestClock clock(kT0);
  MigrationController c("myapp", clock);
  drive_to(c, 0);
  must(c.start("done", "s", "t"));
  for (int i = 0; i < 5; ++i) must(c.advance("done", 0, 0));
  clock.set({-1, 0});
  EXPECT_FALSE(c.start(kVar, "s", "t").has_value());
  EXPECT_FALSE(c.rollback(kVar).has_value());
  EXPECT_FALSE(c.advance("done", 0, 0).has_value());
  EXPECT_FALSE(c.rollback("done").has_value());
  EXPECT_FALSE(c.advance("ghost", 0, 0).has_value());
  EXPECT_FALSE(TestAccess::poisoned(c));
  EXPECT_EQ(c.count_active(), 1u);
}

TEST(MigrationTest, FailedAllocationLeavesRecordsIntact) {
  TestClock clock(kT0, 1000);
  MigrationController c("an-application-name-long-enough-to-need-the-heap", clock);
  const std::string var = "a.variable-name-long-enough-to-need-the-heap";
  must(c.start(kVar, "sqlite", "redis"));

  auto check_unchanged = [&](const std::string& name, const std::string& before, uint64_t active) {
    return [&c, name, before, active](const Result<MigrationState>& r) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_FALSE(TestAccess::poisoned(c));
      EXPECT_EQ(stored_json(c, name), before);
      EXPECT_EQ(c.count_active(), active);
    };
  };
  EXPECT_GE(
      fail_each_allocation([&] { return c.start(var, "sqlite", "a-backend-with-a-long-name"); },
                           check_unchanged(var, "<none>", 1)),
      4);
  EXPECT_EQ(c.count_active(), 2u);
  for (int i = 0; i < 4; ++i) must(c.advance(var, 1, 1));

  // From cleanup to done: the copy handed back is the only thing to allocate.
  EXPECT_GE(fail_each_allocation([&] { return c.advance(var, 7, 7); },
                                 check_unchanged(var, stored_json(c, var), 2)),
            4);
  EXPECT_EQ(c.count_active(), 1u);
  EXPECT_EQ(c.get(var)->value().discrepancy_count, 11u);

  EXPECT_GE(fail_each_allocation([&] { return c.rollback(kVar); },
                                 check_unchanged(kVar, stored_json(c, kVar), 1)),
            1);
  EXPECT_EQ(c.get(kVar)->value().stage, 0);
}

}  // namespace
}  // namespace vrell

namespace vrell {
namespace {

// The JSON forms reserve their output before the table changes: a failed
// allocation anywhere leaves both the record and the output as they were.
TEST(MigrationTest, FailedAllocationInJsonFormsLeavesRecordsIntact) {
  TestClock clock(kT0, 1000);
  MigrationController c("an-application-name-long-enough-to-need-the-heap", clock);
  const std::string var = "a.variable-name-long-enough-to-need-the-heap";
  std::string out;
  auto check = [&](const std::string& name, const std::string& before) {
    return [&, name, before](const Result<void>& r) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_FALSE(TestAccess::poisoned(c));
      EXPECT_EQ(stored_json(c, name), before);
      out.clear();
      out.shrink_to_fit();
    };
  };
  EXPECT_GE(fail_each_allocation([&] { return c.start(var, "sqlite", "redis", out); },
                                 check(var, "<none>")),
            2);
  EXPECT_EQ(out, stored_json(c, var));
  for (int step = 0; step < 5; ++step) {
    out.clear();
    out.shrink_to_fit();
    EXPECT_GE(fail_each_allocation([&] { return c.advance(var, 1, 2, out); },
                                   check(var, stored_json(c, var))),
              1);
    EXPECT_EQ(out, stored_json(c, var));
  }
  EXPECT_EQ(c.count_active(), 0u);
}

}  // namespace
}  // namespace vrell

namespace vrell {
namespace {

// The room reserved before a change covers what is written after it, at every
// stage and with texts that escape to six bytes a byte.
TEST(MigrationTest, JsonSizeBoundCoversEveryStage) {
  TestClock clock({253402300799, 999999999}, 0);  // the longest four-digit-year time
  const std::string controls(40, '\x01');
  MigrationController c(controls, clock);
  MigrationState state = must(c.start(controls, controls + "\"", "\\"));
  for (int step = 0; step < 6; ++step) {
    EXPECT_GE(state.json_size_bound(), json_of(state).size()) << step;
    if (step < 5) state = must(c.advance(controls, 1, std::numeric_limits<uint64_t>::max()));
  }
}

}  // namespace
}  // namespace vrell
