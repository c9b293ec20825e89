#include "guarded.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_access.h"

// The test binary's global allocation functions: plain malloc / free, except
// for the one allocation an AllocationFault has armed.
namespace {
std::atomic<long> g_countdown{0};
std::atomic<bool> g_fired{false};
}  // namespace

namespace {
// Out of line, so that the compiler does not pair a new-expression with free().
[[gnu::noinline]] void* take_block(std::size_t size) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void give_back_block(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) {
  if (g_countdown.load(std::memory_order_relaxed) > 0 &&
      g_countdown.fetch_sub(1, std::memory_order_relaxed) == 1) {
    g_fired.store(true, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  if (void* p = take_block(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// The nothrow forms too (std::stable_sort's buffer uses them): left to the
// runtime, they would hand out blocks that the delete below frees with free().
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { give_back_block(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give_back_block(p); }
void operator delete(void* p) noexcept { give_back_block(p); }
void operator delete(void* p, std::size_t) noexcept { give_back_block(p); }
void operator delete[](void* p) noexcept { give_back_block(p); }
void operator delete[](void* p, std::size_t) noexcept { give_back_block(p); }

namespace vrell {

AllocationFault::AllocationFault(long nth) noexcept {
  g_fired.store(false, std::memory_order_relaxed);
  g_countdown.store(nth, std::memory_order_relaxed);
}
AllocationFault::~AllocationFault() { g_countdown.store(0, std::memory_order_relaxed); }
bool AllocationFault::fired() const noexcept { return g_fired.load(std::memory_order_relaxed); }

namespace {

const MeshError kPoisoned = MeshError::state("test lock poisoned");

enum class Outcome { Ok, Refused, Panic, Throws, OutOfMemory };

Result<int> run_section(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok:
      return 1;
    case Outcome::Refused:
      return unexpected(MeshError::migration("refused"));
    case Outcome::Panic:
      return unexpected(MeshError::panic("broken invariant"));
    case Outcome::Throws:
      throw std::runtime_error("boom");
    case Outcome::OutOfMemory:
      throw std::bad_alloc();
  }
  return 0;
}

struct SectionCase {
  Outcome outcome;
  bool ok;
  ErrorKind kind;    // when !ok
  std::string text;  // when !ok
  bool writer_poisons;
};

const SectionCase kSectionCases[] = {
    {Outcome::Ok, true, {}, "", false},
    {Outcome::Refused, false, ErrorKind::Migration, "Migration error: refused", false},
    {Outcome::Panic, false, ErrorKind::Panic, "broken invariant", true},
    {Outcome::Throws, false, ErrorKind::Panic, "", true},
    {Outcome::OutOfMemory, false, ErrorKind::OutOfMemory, "out of memory", false},
};

TEST(GuardedTest, WriteSectionOutcomesAndPoisoning) {
  for (const SectionCase& c : kSectionCases) {
    SCOPED_TRACE(static_cast<int>(c.outcome));
    Guarded<int> g(kPoisoned, 7);
    Result<int> r = g.write([&](int&) { return run_section(c.outcome); });
    ASSERT_EQ(r.has_value(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.error().kind(), c.kind);
      if (!c.text.empty()) {
        EXPECT_EQ(r.error().text(), c.text);
      }
    }
    EXPECT_EQ(g.poisoned(), c.writer_poisons);

    // Poisoned: no section runs again, every result is the poisoned error.
    bool ran = false;
    Result<int> after = g.read([&](const int& v) -> Result<int> {
      ran = true;
      return v;
    });
    EXPECT_EQ(ran, !c.writer_poisons);
    EXPECT_EQ(after.has_value(), !c.writer_poisons);
    if (c.writer_poisons) {
      EXPECT_EQ(after.error().text(), "State error: test lock poisoned");
      Result<int> w = g.write([&](int&) -> Result<int> {
        ran = true;
        return 0;
      });
      ASSERT_FALSE(w.has_value());
      EXPECT_EQ(w.error().kind(), ErrorKind::State);
      EXPECT_FALSE(ran);
    }
    EXPECT_EQ(g.read_or(-1, [](const int& v) noexcept { return v; }), c.writer_poisons ? -1 : 7);
  }
}

TEST(GuardedTest, ReaderNeverPoisons) {
  for (const SectionCase& c : kSectionCases) {
    SCOPED_TRACE(static_cast<int>(c.outcome));
    Guarded<int> g(kPoisoned, 7);
    Result<int> r = g.read([&](const int&) { return run_section(c.outcome); });
    ASSERT_EQ(r.has_value(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.error().kind(), c.kind);
    }
    EXPECT_FALSE(g.poisoned());
    Result<int> after = g.write([](int& v) -> Result<int> { return ++v; });
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(*after, 8);
  }
}

TEST(GuardedTest, FailedAllocationReportsOutOfMemoryWithoutPoisoning) {
  Guarded<std::vector<std::string>> g(kPoisoned);
  auto append = [&] {
    return g.write([](std::vector<std::string>& v) -> Result<size_t> {
      std::string item(64, 'x');  // allocated before the vector changes
      v.push_back(std::move(item));
      return v.size();
    });
  };
  ASSERT_TRUE(append().has_value());
  const long points = fail_each_allocation(append, [&](const Result<size_t>& r) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
    EXPECT_FALSE(g.poisoned());
    EXPECT_EQ(g.read_or(0, [](const auto& v) noexcept { return v.size(); }), 1u);
  });
  EXPECT_EQ(points, 2);  // the string, then the vector's growth
  EXPECT_EQ(g.read_or(0, [](const auto& v) noexcept { return v.size(); }), 2u);
}

// Waits for a condition another thread brings about (no deadline: a lock that
// never lets it happen hangs the test, which ctest's timeout then fails).
template <class Pred>
void wait_until(Pred&& pred) {
  while (!pred()) std::this_thread::yield();
}

// Eight threads mixing reads and writes, some sections yielding half-way so
// that waiters park and must be woken: no section overlaps a write section,
// no write is lost, and without kShared no two readers are inside together.
template <bool kShared>
void check_sections_stay_apart() {
  struct Pair {
    long a = 0;
    long b = 0;
  };
  Guarded<Pair, kShared> g(kPoisoned);
  constexpr int kThreads = 8;
  constexpr int kRounds = 3000;
  std::atomic<int> readers_in{0};
  std::atomic<int> writers_in{0};
  std::atomic<bool> overlap{false};
  std::atomic<long> writes{0};
  auto run = [&](int t) {
    for (int i = 0; i < kRounds; ++i) {
      const bool yield_inside = i % 50 == t;
      if ((i + t) % 3 == 0) {
        (void)g.write([&](Pair& p) -> Result<int> {
          if (writers_in.fetch_add(1) != 0 || readers_in.load() != 0) overlap.store(true);
          ++p.a;
          if (yield_inside) std::this_thread::yield();
          ++p.b;
          writers_in.fetch_sub(1);
          return 0;
        });
        writes.fetch_add(1);
      } else {
        (void)g.read([&](const Pair& p) -> Result<int> {
          const int readers = readers_in.fetch_add(1) + 1;
          if (writers_in.load() != 0 || p.a != p.b || (!kShared && readers != 1)) {
            overlap.store(true);
          }
          if (yield_inside) std::this_thread::yield();
          readers_in.fetch_sub(1);
          return 0;
        });
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(run, t);
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(g.read_or(0, [](const Pair& p) noexcept { return p.a; }), writes.load());
  EXPECT_EQ(g.read_or(0, [](const Pair& p) noexcept { return p.b; }), writes.load());
}

TEST(GuardedTest, SharedLockKeepsWritesApartUnderManyThreads) { check_sections_stay_apart<true>(); }
TEST(GuardedTest, ExclusiveLockKeepsEverySectionApartUnderManyThreads) {
  check_sections_stay_apart<false>();
}

// Two readers inside at once (readers share); a writer comes and waits for
// them; a reader that comes after the writer stays out until the writer is
// done, although the lock is only read-held when it arrives.
TEST(GuardedTest, WaitingWriterGoesBeforeReadersThatComeAfterIt) {
  Guarded<int> g(kPoisoned, 0);
  std::atomic<int> readers_in{0};
  std::atomic<bool> release{false};
  std::atomic<bool> late_done{false};
  int next_step = 0;  // sections write these under the lock
  int writer_step = -1, late_step = -1, late_saw = -1, readers_beside_writer = -1;

  auto long_reader = [&] {
    (void)g.read([&](const int&) -> Result<int> {
      readers_in.fetch_add(1);
      wait_until([&] { return release.load(); });
      readers_in.fetch_sub(1);
      return 0;
    });
  };
  std::thread first(long_reader), second(long_reader);
  wait_until([&] { return readers_in.load() == 2; });

  std::thread writer([&] {
    (void)g.write([&](int& v) -> Result<int> {
      readers_beside_writer = readers_in.load();
      writer_step = next_step++;
      return ++v;
    });
  });
  wait_until([&] { return TestAccess::writer_waiting(g); });

  std::thread late([&] {
    (void)g.read([&](const int& v) -> Result<int> {
      late_saw = v;
      late_step = next_step++;
      return v;
    });
    late_done.store(true);
  });
  // Parked behind the writer, or (a fault) already through.
  wait_until([&] { return TestAccess::readers_parked(g) || late_done.load(); });

  release.store(true);
  for (std::thread* t : {&first, &second, &writer, &late}) t->join();
  EXPECT_EQ(writer_step, 0);
  EXPECT_EQ(late_step, 1);
  EXPECT_EQ(late_saw, 1);
  EXPECT_EQ(readers_beside_writer, 0);
}

// A reader and a writer asleep behind a write section that fails: both wake,
// and they see what that failure left. After a Panic or a stray exception the
// lock is poisoned and neither section runs; after std::bad_alloc both run.
TEST(GuardedTest, WaitersBehindAFailingWriteSeeItsOutcome) {
  for (Outcome outcome : {Outcome::OutOfMemory, Outcome::Panic, Outcome::Throws}) {
    SCOPED_TRACE(static_cast<int>(outcome));
    const bool poisons = outcome != Outcome::OutOfMemory;
    Guarded<int> g(kPoisoned, 7);
    std::atomic<bool> entered{false}, release{false};
    std::thread failing([&] {
      (void)g.write([&](int&) -> Result<int> {
        entered.store(true);
        wait_until([&] { return release.load(); });
        return run_section(outcome);
      });
    });
    wait_until([&] { return entered.load(); });

    bool read_ran = false, write_ran = false;
    Result<int> read = 0, written = 0;
    std::thread reader([&] {
      read = g.read([&](const int& v) -> Result<int> {
        read_ran = true;
        return v;
      });
    });
    std::thread writer([&] {
      written = g.write([&](int& v) -> Result<int> {
        write_ran = true;
        return ++v;
      });
    });
    wait_until([&] { return TestAccess::readers_parked(g) && TestAccess::writer_waiting(g); });
    release.store(true);
    for (std::thread* t : {&failing, &reader, &writer}) t->join();

    EXPECT_EQ(g.poisoned(), poisons);
    EXPECT_EQ(read_ran, !poisons);
    EXPECT_EQ(write_ran, !poisons);
    if (poisons) {
      ASSERT_FALSE(read.has_value());
      ASSERT_FALSE(written.has_value());
      EXPECT_EQ(read.error().text(), "State error: test lock poisoned");
      EXPECT_EQ(written.error().text(), "State error: test lock poisoned");
    } else {
      // The reader and the second writer go in either order.
      ASSERT_TRUE(read.has_value());
      ASSERT_TRUE(written.has_value());
      EXPECT_TRUE(*read == 7 || *read == 8) << *read;
      EXPECT_EQ(*written, 8);
      EXPECT_EQ(g.read_or(0, [](const int& v) noexcept { return v; }), 8);
    }
  }
}

}  // namespace
}  // namespace vrell
