// Concurrency stress of every component, and of the per-thread state of the
// JSON reader and the clock: eight threads at a time mix long reads (whole
// listings of a large store or registry) with writes, each thread keeping its
// own account of what it did; at the end the main thread checks that the
// component holds exactly what those accounts add up to. Run under
// ThreadSanitizer (scripts/tsan.sh) it also reports any data race, even one
// the checks would not notice.
//
// A separate binary, mesh_stress (CMake option VRELL_STRESS): it prints
// "stress: <threads> threads, <operations> operations" when every test passed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <latch>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel.h"
#include "clock.h"
#include "json.h"
#include "migration.h"
#include "registry.h"
#include "state.h"

namespace vrell {
namespace {

constexpr int kThreads = 8;
std::atomic<uint64_t> g_operations{0};

// What the worker threads found wrong; the main thread reports it.
class Faults {
 public:
  template <class Describe>
  void check(bool ok, Describe&& describe) {
    if (ok) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (++count_ <= 10) seen_ += std::string(describe()) + "\n";
  }
  std::string report() {
    std::lock_guard<std::mutex> hold(lock_);
    return count_ == 0 ? "" : std::to_string(count_) + " fault(s), the first:\n" + seen_;
  }

 private:
  std::mutex lock_;
  uint64_t count_ = 0;
  std::string seen_;
};

// Runs body(t) -> operations on kThreads threads released together.
template <class Body>
void run_threads(Body&& body) {
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      g_operations.fetch_add(body(t), std::memory_order_relaxed);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

std::string numbered(const char* prefix, int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%06d", prefix, n);
  return buf;
}

// "{"a":<a>,"b":<b>}" with the two names given: canonical when a < b.
std::string pair_text(const char* a_name, uint64_t a, const char* b_name, uint64_t b) {
  return std::string("{\"") + a_name + "\":" + std::to_string(a) + ",\"" + b_name +
         "\":" + std::to_string(b) + "}";
}

// The two numbers of a pair_text.
bool read_pair(std::string_view text, uint64_t& a, uint64_t& b) {
  unsigned long long x = 0, y = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "{\"%*[a-z]\":%llu,\"%*[a-z]\":%llu}", &x, &y) != 2) return false;
  a = x;
  b = y;
  return true;
}

size_t occurrences(std::string_view text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// --- State store ---------------------------------------------------------------

// Two threads list the whole store (20,000 base keys and whatever the others
// have set) over and over, while six threads set, overwrite, delete and read
// keys of their own and read the base keys.
TEST(StressTest, StateStore) {
  constexpr int kBase = 20000, kScanners = 2, kOwn = 200, kRounds = 3000, kScans = 6;
  constexpr size_t kMostKeys = kBase + (kThreads - kScanners) * kOwn;
  InMemoryStateStore store;
  for (int i = 0; i < kBase; ++i) {
    ASSERT_TRUE(store.set_canonical(numbered("base/", i), pair_text("i", i, "k", 0)).has_value());
  }
  auto own_key = [](int t, int j) { return "t" + std::to_string(t) + "/" + std::to_string(j); };
  std::vector<std::map<int, std::string>> models(kThreads);
  std::atomic<int> writing{kThreads - kScanners};
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    uint64_t ops = 0;
    if (t < kScanners) {
      // At least kScans listings, and more while anyone still writes.
      for (int s = 0; s < kScans || writing.load() > 0; ++s, ops += 3) {
        Result<std::vector<std::string>> keys = store.keys_with_prefix("");
        faults.check(keys.has_value(), [] { return "keys_with_prefix failed"; });
        if (!keys) continue;
        faults.check(
            std::adjacent_find(keys->begin(), keys->end(), std::greater_equal<>()) == keys->end(),
            [] { return "a listing not strictly ascending"; });
        const auto first = std::lower_bound(keys->begin(), keys->end(), "base/");
        const auto last = std::lower_bound(keys->begin(), keys->end(), "base0");
        faults.check(last - first == kBase, [&] {
          return "a listing with " + std::to_string(last - first) + " base keys";
        });
        faults.check(keys->size() <= kMostKeys, [] { return "a listing too long"; });
        Result<std::vector<std::string>> some = store.keys_with_prefix("base/0001");
        faults.check(some.has_value() && some->size() == 100 && some->front() == "base/000100",
                     [] { return "the base/0001 listing"; });
        const uint64_t count = store.key_count();
        faults.check(count >= kBase && count <= kMostKeys, [] { return "key_count out of range"; });
      }
      return ops;
    }
    std::mt19937 rng(static_cast<unsigned>(t));
    std::map<int, std::string>& model = models[t];
    for (int r = 0; r < kRounds; ++r, ++ops) {
      const int j = static_cast<int>(rng() % kOwn);
      const std::string key = own_key(t, j);
      const std::string text = pair_text("r", static_cast<uint64_t>(r), "t", t);
      switch (rng() % 6) {
        case 0:
          faults.check(store.set(key, json::Value::from_canonical(text)).has_value(),
                       [] { return "set failed"; });
          model[j] = text;
          break;
        case 1:
          faults.check(store.set_canonical(key, text).has_value(),
                       [] { return "set_canonical failed"; });
          model[j] = text;
          break;
        case 2:
          faults.check(store.delete_key(key).has_value(), [] { return "delete_key failed"; });
          model.erase(j);
          break;
        case 3: {
          Result<std::optional<json::Value>> got = store.get(key);
          const auto want = model.find(j);
          faults.check(got.has_value() && got->has_value() == (want != model.end()) &&
                           (!got->has_value() || (*got)->text() == want->second),
                       [&] { return "get of " + key; });
          break;
        }
        case 4: {
          Result<bool> there = store.exists(key);
          faults.check(there.has_value() && *there == (model.count(j) == 1),
                       [&] { return "exists of " + key; });
          break;
        }
        default: {
          const int i = static_cast<int>(rng() % kBase);
          std::string out;
          Result<bool> found = store.read_into(numbered("base/", i), out);
          faults.check(found.has_value() && *found && out == pair_text("i", i, "k", 0),
                       [&] { return "read_into of base key " + std::to_string(i); });
        }
      }
    }
    writing.fetch_sub(1);
    return ops;
  });
  EXPECT_EQ(faults.report(), "");

  size_t live = 0;
  for (int t = kScanners; t < kThreads; ++t) {
    std::vector<std::string> expected_keys;
    for (int j = 0; j < kOwn; ++j) {
      std::string out;
      Result<bool> found = store.read_into(own_key(t, j), out);
      ASSERT_TRUE(found.has_value());
      const auto want = models[t].find(j);
      ASSERT_EQ(*found, want != models[t].end()) << own_key(t, j);
      if (*found) {
        EXPECT_EQ(out, want->second) << own_key(t, j);
        expected_keys.push_back(own_key(t, j));
      }
    }
    std::sort(expected_keys.begin(), expected_keys.end());
    Result<std::vector<std::string>> listed = store.keys_with_prefix("t" + std::to_string(t) + "/");
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(*listed, expected_keys);
    live += models[t].size();
  }
  EXPECT_EQ(store.key_count(), kBase + live);
}

// --- Agent registry ------------------------------------------------------------

// Two threads write the whole registry as JSON and read its counts while six
// threads register, update, look up and remove agents of their own and move
// the shared base agents through every status.
TEST(StressTest, AgentRegistry) {
  constexpr int kBase = 1000, kReaders = 2, kOwn = 100, kRounds = 2500, kLists = 15;
  constexpr size_t kMostAgents = kBase + (kThreads - kReaders) * kOwn;
  AgentRegistry registry;
  for (int i = 0; i < kBase; ++i) {
    ASSERT_TRUE(registry.register_agent("Base", numbered("base-", i), 1, std::nullopt).has_value());
  }
  auto own_id = [](int t, int j) { return "a" + std::to_string(t) + "-" + std::to_string(j); };
  std::vector<std::map<int, AgentStatus>> models(kThreads);
  std::atomic<int> writing{kThreads - kReaders};
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    uint64_t ops = 0;
    if (t < kReaders) {
      for (int n = 0; n < kLists || writing.load() > 0; ++n, ops += 3) {
        std::string all;
        faults.check(registry.write_list_json(std::nullopt, std::nullopt, all).has_value(),
                     [] { return "write_list_json failed"; });
        const size_t agents = occurrences(all, "\"agent_id\":");
        faults.check(agents >= kBase && agents <= kMostAgents, [] { return "a list too long"; });
        if (n % 5 == 0) {
          faults.check(json::parse(all).has_value(), [] { return "a list that is not JSON"; });
        }
        std::string base;
        faults.check(registry.write_list_json("Base", std::nullopt, base).has_value(),
                     [] { return "write_list_json of Base failed"; });
        faults.check(occurrences(base, "\"agent_id\":") == kBase,
                     [] { return "a list of Base without every base agent"; });
        const AgentCounts c = registry.counts();
        faults.check(
            c.total >= kBase && c.total <= kMostAgents && c.running + c.idle + c.error <= c.total,
            [] { return "counts out of range"; });
      }
      return ops;
    }
    std::mt19937 rng(static_cast<unsigned>(t));
    std::map<int, AgentStatus>& model = models[t];
    for (int r = 0; r < kRounds; ++r, ++ops) {
      const int j = static_cast<int>(rng() % kOwn);
      const std::string id = own_id(t, j);
      const auto status = static_cast<AgentStatus>(rng() % kAgentStatusCount);
      const auto want = model.find(j);
      switch (rng() % 7) {
        case 0: {
          Result<AgentEntry> entry = registry.register_agent("Own", id, 2, std::nullopt);
          if (want != model.end()) {
            faults.check(!entry.has_value() && entry.error().kind() == ErrorKind::AlreadyRegistered,
                         [&] { return "second registration of " + id; });
          } else {
            faults.check(entry.has_value() && entry->status == AgentStatus::Starting,
                         [&] { return "registration of " + id; });
            model[j] = AgentStatus::Starting;
          }
          break;
        }
        case 1:
          faults.check(registry.deregister(id).has_value(), [] { return "deregister failed"; });
          model.erase(j);
          break;
        case 2: {
          Result<void> updated = registry.update_status(id, status);
          faults.check(updated.has_value() == (want != model.end()),
                       [&] { return "update_status of " + id; });
          if (want != model.end()) want->second = status;
          break;
        }
        case 3: {
          Result<std::optional<AgentEntry>> got = registry.get(id);
          faults.check(got.has_value() && got->has_value() == (want != model.end()) &&
                           (!got->has_value() ||
                            ((*got)->status == want->second && (*got)->agent_type == "Own")),
                       [&] { return "get of " + id; });
          break;
        }
        case 4: {
          std::string out;
          Result<bool> found = registry.write_entry_json(id, out);
          faults.check(found.has_value() && *found == (want != model.end()) &&
                           (!*found || occurrences(out, "\"status\":\"" +
                                                            std::string(status_text(want->second)) +
                                                            "\"") == 1),
                       [&] { return "write_entry_json of " + id; });
          break;
        }
        case 5: {
          // Refused for an absent, stopped or errored agent; the others run.
          const bool routable = want != model.end() && want->second != AgentStatus::Stopped &&
                                want->second != AgentStatus::Error;
          Result<void> routed = registry.route(id, "Caller");
          faults.check(routed.has_value() == routable &&
                           (routable || routed.error().kind() == ErrorKind::AgentNotFound),
                       [&] { return "route of " + id; });
          if (routable) want->second = AgentStatus::Running;
          break;
        }
        default: {
          const std::string base = numbered("base-", static_cast<int>(rng() % kBase));
          faults.check(registry.update_status(base, status).has_value(),
                       [&] { return "update_status of " + base; });
        }
      }
    }
    writing.fetch_sub(1);
    return ops;
  });
  EXPECT_EQ(faults.report(), "");

  size_t live = 0;
  for (int t = kReaders; t < kThreads; ++t) {
    for (int j = 0; j < kOwn; ++j) {
      Result<std::optional<AgentEntry>> entry = registry.get(own_id(t, j));
      ASSERT_TRUE(entry.has_value());
      const auto want = models[t].find(j);
      ASSERT_EQ(entry->has_value(), want != models[t].end()) << own_id(t, j);
      if (entry->has_value()) {
        EXPECT_EQ((*entry)->status, want->second) << own_id(t, j);
      }
    }
    live += models[t].size();
  }
  EXPECT_EQ(registry.count(), kBase + live);
  // The counts kept by status agree with the entries themselves.
  Result<std::vector<AgentEntry>> all = registry.list(std::nullopt, std::nullopt);
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), kBase + live);
  uint64_t summed = 0;
  for (size_t s = 0; s < kAgentStatusCount; ++s) {
    const std::string_view text = status_text(static_cast<AgentStatus>(s));
    const auto entries =
        static_cast<uint64_t>(std::count_if(all->begin(), all->end(), [&](const AgentEntry& e) {
          return status_text(e.status) == text;
        }));
    EXPECT_EQ(registry.count_by_status(text), entries) << text;
    summed += entries;
  }
  EXPECT_EQ(summed, registry.count());
}

// --- Channel -------------------------------------------------------------------

// Six threads publish to sixteen topics (creating them as they go), four of
// which have a receiver that two threads drain meanwhile; every message sent
// to a listened topic is either received, in each publisher's order, or
// counted as skipped when its receiver lagged.
TEST(StressTest, MeshChannelPublish) {
  constexpr int kTopics = 16, kListened = 4, kReaders = 2, kRounds = 3000;
  constexpr int kPublishers = kThreads - kReaders;
  MeshChannel channel;
  auto topic = [](int k) { return "topic-" + std::to_string(k); };
  std::vector<BroadcastQueue::Receiver> receivers;
  for (int k = 0; k < kListened; ++k) {
    ASSERT_TRUE(channel.publish(topic(k), json::Value()).has_value());
    Result<std::optional<BroadcastQueue::Sender>> sender = channel.sender(topic(k));
    ASSERT_TRUE(sender.has_value() && sender->has_value());
    receivers.push_back((*sender)->subscribe());
  }
  std::vector<std::vector<uint64_t>> sent(kThreads, std::vector<uint64_t>(kTopics, 0));
  std::vector<uint64_t> received(kListened, 0), skipped(kListened, 0);
  std::atomic<int> publishing{kPublishers};
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    uint64_t ops = 0;
    if (t < kReaders) {
      // This thread's receivers, and the last number seen from each publisher on each.
      std::vector<int> mine;
      for (int k = t; k < kListened; k += kReaders) mine.push_back(k);
      std::vector<std::vector<uint64_t>> last(kListened, std::vector<uint64_t>(kThreads, 0));
      for (bool done = false; !done;) {
        // Read as finished before the final pass, so that the pass sees every message.
        done = publishing.load(std::memory_order_acquire) == 0;
        bool any = false;
        for (int k : mine) {
          for (;;) {
            BroadcastQueue::Receiver::Received got = receivers[k].try_recv();
            ++ops;
            if (got.status == BroadcastQueue::Receiver::Status::Lagged) {
              skipped[k] += got.skipped;
              continue;
            }
            if (got.status != BroadcastQueue::Receiver::Status::Ok) break;
            any = true;
            uint64_t n = 0, p = 0;
            const bool read = read_pair(got.message->payload.text(), n, p) && p < kThreads;
            faults.check(read && n > last[k][p] && got.message->topic == topic(k), [&] {
              return "message " + std::string(got.message->payload.text()) + " on " + topic(k);
            });
            if (read) last[k][p] = n;
            ++received[k];
          }
        }
        if (!any) std::this_thread::yield();
        faults.check(channel.topic_count() <= kTopics, [] { return "too many topics"; });
      }
      return ops;
    }
    for (int r = 1; r <= kRounds; ++r, ++ops) {
      const int k = (r * 7 + t) % kTopics;
      const std::string payload = pair_text("n", static_cast<uint64_t>(r), "p", t);
      Result<uint64_t> reached =
          r % 2 == 0 ? channel.publish(topic(k), json::Value::from_canonical(payload))
                     : channel.publish_canonical(topic(k), payload);
      faults.check(reached.has_value() && *reached == (k < kListened ? 1u : 0u),
                   [&] { return "publish to " + topic(k); });
      ++sent[t][k];
    }
    publishing.fetch_sub(1, std::memory_order_release);
    return ops;
  });
  EXPECT_EQ(faults.report(), "");

  EXPECT_EQ(channel.topic_count(), static_cast<uint64_t>(kTopics));
  for (int k = 0; k < kListened; ++k) {
    uint64_t total = 0;
    for (int t = 0; t < kThreads; ++t) total += sent[t][k];
    EXPECT_GT(total, 0u);
    EXPECT_EQ(received[k] + skipped[k], total) << topic(k);
  }
}

// Four threads send on their own copies of one queue's sender, four threads
// read with their own receivers until the queue closes: each receiver gets
// every message (or counts it as skipped), each sender's in order.
TEST(StressTest, BroadcastQueueSendAndReceive) {
  constexpr int kSenders = 4, kReceivers = kThreads - kSenders, kMessages = 4000;
  auto created = BroadcastQueue::create();
  std::vector<std::optional<BroadcastQueue::Sender>> senders;
  for (int s = 0; s < kSenders; ++s) senders.emplace_back(created.first);
  std::vector<BroadcastQueue::Receiver> receivers;
  for (int r = 1; r < kReceivers; ++r) receivers.push_back(created.second.subscribe());
  receivers.push_back(std::move(created.second));
  { BroadcastQueue::Sender drop = std::move(created.first); }  // only the copies are left
  std::vector<uint64_t> received(kReceivers, 0), skipped(kReceivers, 0);
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    uint64_t ops = 0;
    if (t < kSenders) {
      for (int i = 1; i <= kMessages; ++i, ++ops) {
        Expected<uint64_t, Message> reached = senders[t]->send(Message{
            "q", json::Value::from_canonical(pair_text("n", static_cast<uint64_t>(i), "s", t)),
            "ts"});
        faults.check(reached.has_value() && *reached == kReceivers, [] { return "a send"; });
      }
      senders[t].reset();  // the last one out closes the queue
      return ops;
    }
    const int me = t - kSenders;
    std::vector<uint64_t> last(kSenders, 0);
    for (;;) {
      BroadcastQueue::Receiver::Received got = receivers[me].try_recv();
      ++ops;
      if (got.status == BroadcastQueue::Receiver::Status::Closed) break;
      if (got.status == BroadcastQueue::Receiver::Status::Empty) {
        std::this_thread::yield();
      } else if (got.status == BroadcastQueue::Receiver::Status::Lagged) {
        skipped[me] += got.skipped;
      } else {
        uint64_t n = 0, s = 0;
        const bool read = read_pair(got.message->payload.text(), n, s) && s < kSenders;
        faults.check(read && n > last[s], [&] {
          return "message " + std::string(got.message->payload.text()) + " out of order";
        });
        if (read) last[s] = n;
        ++received[me];
      }
    }
    return ops;
  });
  EXPECT_EQ(faults.report(), "");
  for (int r = 0; r < kReceivers; ++r) {
    EXPECT_EQ(received[r] + skipped[r], static_cast<uint64_t>(kSenders) * kMessages) << r;
  }
}

// --- Migrations ----------------------------------------------------------------

// Two threads list every record while six threads run migrations of their
// own, push one shared migration up and down, and race to start the same
// fifty: exactly one start of each wins.
TEST(StressTest, MigrationController) {
  constexpr int kReaders = 2, kOwn = 40, kRounds = 2500, kRaces = 50, kLists = 40;
  MigrationController c("stress");
  ASSERT_TRUE(c.start("hot", "old", "new").has_value());
  auto own_name = [](int t, int j) { return numbered("v", t * 1000 + j); };
  std::vector<std::map<int, uint8_t>> models(kThreads);
  std::atomic<uint64_t> hot_up{0}, hot_down{0}, hot_keys{0};
  std::vector<std::atomic<int>> race_wins(kRaces);
  std::atomic<int> writing{kThreads - kReaders};
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    uint64_t ops = 0;
    if (t < kReaders) {
      for (int n = 0; n < kLists || writing.load() > 0; ++n, ops += 3) {
        Result<std::vector<MigrationState>> all = c.list_all();
        faults.check(all.has_value(), [] { return "list_all failed"; });
        if (all) {
          for (const MigrationState& m : *all) {
            faults.check(m.stage <= kMigrationDone && m.stage_name == kStageNames[m.stage] &&
                             m.app_name == "stress" && m.advanced_at.size() >= 25,
                         [&] { return "a torn record of " + m.variable_name; });
          }
        }
        std::string json;
        faults.check(c.write_list_json(json).has_value() && json.front() == '[' &&
                         json.back() == ']' && occurrences(json, "\"variable_name\":") >= 1,
                     [] { return "write_list_json"; });
        faults.check(c.count_active() <= 1 + kRaces + (kThreads - kReaders) * kOwn,
                     [] { return "count_active out of range"; });
      }
      return ops;
    }
    std::mt19937 rng(static_cast<unsigned>(t));
    std::map<int, uint8_t>& model = models[t];
    for (int k = 0; k < kRaces; ++k, ++ops) {
      if (c.start(numbered("race-", k), "a", "b").has_value()) race_wins[k].fetch_add(1);
    }
    for (int r = 0; r < kRounds; ++r, ++ops) {
      const int j = static_cast<int>(rng() % kOwn);
      const std::string name = own_name(t, j);
      const auto want = model.find(j);
      const bool present = want != model.end();
      const uint8_t stage = present ? want->second : 0;
      std::string json;
      switch (rng() % 6) {
        case 0: {
          const bool ok = r % 2 == 0 ? c.start(name, "s", "t").has_value()
                                     : c.start(name, "s", "t", json).has_value();
          faults.check(ok == (!present || stage == kMigrationDone),
                       [&] { return "start of " + name; });
          if (ok) model[j] = 1;
          break;
        }
        case 1: {
          Result<MigrationState> moved = c.advance(name, 0, 1);
          const bool ok = moved.has_value();
          faults.check(
              ok == (present && stage < kMigrationDone) && (!ok || moved->stage == stage + 1),
              [&] { return "advance of " + name; });
          if (ok) want->second = moved->stage;
          break;
        }
        case 2: {
          const bool ok = c.rollback(name, json).has_value();
          faults.check(ok == (present && stage > 0 && stage < kMigrationDone),
                       [&] { return "rollback of " + name; });
          if (ok) --want->second;
          break;
        }
        case 3: {
          const uint64_t keys = rng() % 100;
          if (c.advance("hot", 1, keys, json).has_value()) {
            hot_up.fetch_add(1);
            hot_keys.fetch_add(keys);
          }
          break;
        }
        case 4:
          if (c.rollback("hot").has_value()) hot_down.fetch_add(1);
          break;
        default: {
          Result<std::optional<MigrationState>> got = c.get(name);
          faults.check(got.has_value() && got->has_value() == present &&
                           (!present || (*got)->stage == stage),
                       [&] { return "get of " + name; });
        }
      }
    }
    writing.fetch_sub(1);
    return ops;
  });
  EXPECT_EQ(faults.report(), "");

  uint64_t active = kRaces;
  for (int k = 0; k < kRaces; ++k) EXPECT_EQ(race_wins[k].load(), 1) << k;
  for (int t = kReaders; t < kThreads; ++t) {
    for (int j = 0; j < kOwn; ++j) {
      Result<std::optional<MigrationState>> got = c.get(own_name(t, j));
      ASSERT_TRUE(got.has_value());
      const auto want = models[t].find(j);
      ASSERT_EQ(got->has_value(), want != models[t].end()) << own_name(t, j);
      if (want == models[t].end()) continue;
      EXPECT_EQ((*got)->stage, want->second) << own_name(t, j);
      if (want->second < kMigrationDone) ++active;
    }
  }
  Result<std::optional<MigrationState>> hot = c.get("hot");
  ASSERT_TRUE(hot.has_value() && hot->has_value());
  // Every successful move was one stage, and only advances count.
  EXPECT_EQ((*hot)->stage, 1 + hot_up.load() - hot_down.load());
  EXPECT_EQ((*hot)->discrepancy_count, hot_up.load());
  EXPECT_EQ((*hot)->keys_migrated, hot_keys.load());
  if ((*hot)->stage < kMigrationDone) ++active;
  EXPECT_EQ(c.count_active(), active);
}

// --- JSON reader and writer ------------------------------------------------------

// Every thread reads the same documents through each entry point, with a
// reader kept open across other reads on the same thread (which then must
// use a workspace of their own), and writes numbers and strings; each result
// must be what the main thread got alone.
TEST(StressTest, JsonReaderAndWriter) {
  constexpr int kRounds = 400;
  std::vector<std::string> docs = {
      R"({"zeta": [3, 2.50, -0.0, 1e3], "alpha": {"y": "\u00e9\n", "x": [true, null]}, "m": 1})",
      R"([ {"b": 1, "a": [[], {}]}, "tab\there", 12345678901234567890, -42, 0.1 ])",
      R"({"k": "v", "k": "last", "n": {"d": {"c": {"b": {"a": []}}}}})",
      R"([1, 2,])",  // fails: trailing comma
      R"({"a" 1})",  // fails: no colon
      "\"\xFF\"",    // fails: not UTF-8
  };
  // Large enough that parse hands its buffer over instead of copying it.
  std::string big = "{";
  for (int i = 2999; i >= 0; --i) {
    big += "\"key" + std::to_string(i) + "\": [" + std::to_string(i) + ".25, \"" +
           std::string(12, static_cast<char>('a' + i % 26)) + "\"]";
    big += i > 0 ? ", " : "}";
  }
  ASSERT_GE(big.size(), json::kAdoptFrom);
  auto outcome = [](const Expected<json::Value, json::Error>& r) {
    return r.has_value() ? std::string(r->text()) : "error: " + r.error().message();
  };
  auto outcome_into = [](const Expected<void, json::Error>& r, const json::Text& text) {
    return r.has_value() ? std::string(text.view()) : "error: " + r.error().message();
  };
  std::vector<std::string> expected;
  std::string array = "[";
  std::vector<std::string> elements;  // the documents that read
  for (const std::string& doc : docs) {
    expected.push_back(outcome(json::parse(doc)));
    if (expected.back().rfind("error: ", 0) != 0) {
      array += (elements.empty() ? "" : " , ") + doc;
      elements.push_back(expected.back());
    }
  }
  array += " ]";
  ASSERT_EQ(elements.size(), 3u);
  const std::string big_expected = outcome(json::parse(big));
  ASSERT_EQ(big_expected.front(), '{');
  const double numbers[] = {0.1, 1e21, -2.5e-7, 123456.789, 5e-324, 1.7976931348623157e308};
  std::vector<std::string> written;
  for (double d : numbers) {
    std::string out;
    json::write_f64(out, d);
    json::write_string(out, "\xC3\xA9\t\"\\\x01");
    written.push_back(out);
  }
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    uint64_t ops = 0;
    json::Text text;
    for (int r = 0; r < kRounds; ++r) {
      const size_t i = static_cast<size_t>(r + t) % docs.size();
      faults.check(outcome(json::parse(docs[i])) == expected[i],
                   [&] { return "parse " + docs[i]; });
      faults.check(outcome_into(json::parse_into(docs[i], text), text) == expected[i],
                   [&] { return "parse_into " + docs[i]; });
      faults.check(outcome_into(json::read_document(docs[i], text), text) == expected[i],
                   [&] { return "read_document " + docs[i]; });
      ops += 3;
      if (r % 16 == t % 16) {
        faults.check(outcome(json::parse(big)) == big_expected,
                     [] { return "parse of the big one"; });
        faults.check(outcome_into(json::parse_into(big, text), text) == big_expected,
                     [] { return "parse_into of the big one"; });
        ops += 2;
      }
      if (r % 8 == t % 8) {
        // The outer reader holds this thread's workspace between its elements.
        json::Reader outer(array);
        outer.skip_ws();
        faults.check(!outer.at_end() && outer.peek() == '[', [] { return "the array"; });
        outer.bump();
        for (size_t e = 0; e < elements.size(); ++e) {
          std::string value;
          const bool ok = outer.read_value(value);
          faults.check(ok && value == elements[e], [&] { return "element " + std::to_string(e); });
          const size_t other = (i + e) % docs.size();
          faults.check(outcome(json::parse(docs[other])) == expected[other],
                       [&] { return "parse inside a read of " + docs[other]; });
          outer.skip_ws();
          if (!ok || outer.at_end()) break;
          outer.bump();  // ',' or ']'
          ops += 2;
        }
        faults.check(outer.at_end(), [] { return "the array's end"; });
      }
      const size_t w = static_cast<size_t>(r) % written.size();
      std::string out;
      json::write_f64(out, numbers[w]);
      json::write_string(out, "\xC3\xA9\t\"\\\x01");
      faults.check(out == written[w], [&] { return "written " + out; });
      ++ops;
    }
    return ops;
  });
  EXPECT_EQ(faults.report(), "");
}

// --- Clock -----------------------------------------------------------------------

// Every thread formats the same instants in its own order, so that each
// thread's cache of the last second's text keeps changing under it; the texts
// must be what the main thread got alone.
TEST(StressTest, TimestampCache) {
  constexpr int kRounds = 4000;
  std::vector<Instant> instants;
  for (int s = 0; s < 12; ++s) {
    for (uint32_t nanos : {0u, 1000000u, 123000u, 5u, 999999999u}) {
      instants.push_back({1700000000 + int64_t{s} * 86399 + s, nanos});
    }
  }
  instants.push_back({0, 0});
  instants.push_back({253402300799, 1});  // 9999-12-31T23:59:59
  std::vector<std::string> expected;
  for (const Instant& at : instants) {
    Result<Timestamp> ts = format_timestamp(at);
    ASSERT_TRUE(ts.has_value());
    expected.emplace_back(ts->text());
  }
  Faults faults;

  run_threads([&](int t) -> uint64_t {
    std::mt19937 rng(static_cast<unsigned>(t));
    for (int r = 0; r < kRounds; ++r) {
      const size_t i = rng() % instants.size();
      Result<Timestamp> ts = format_timestamp(instants[i]);
      faults.check(ts.has_value() && ts->text() == expected[i], [&] { return expected[i]; });
    }
    Result<Timestamp> now = read_timestamp(SystemClock::instance());
    faults.check(now.has_value() && now->text().ends_with("+00:00"), [] { return "now"; });
    return kRounds + 1;
  });
  EXPECT_EQ(faults.report(), "");
}

}  // namespace
}  // namespace vrell

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int failed = RUN_ALL_TESTS();
  if (failed == 0) {
    std::printf("stress: %d threads, %llu operations\n", vrell::kThreads,
                static_cast<unsigned long long>(vrell::g_operations.load()));
  }
  return failed;
}
