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

template <bool kShared>
void check_sections_exclude_writers() {
  struct Pair {
    long a = 0;
    long b = 0;
  };
  Guarded<Pair, kShared> g(kPoisoned);
  constexpr int kWrites = 20000;
  std::atomic<bool> torn{false};
  std::atomic<int> writers_left{2};
  auto writer = [&] {
    for (int i = 0; i < kWrites; ++i) {
      (void)g.write([](Pair& p) -> Result<int> {
        ++p.a;
        ++p.b;
        return 0;
      });
    }
    writers_left.fetch_sub(1);
  };
  auto reader = [&] {
    while (writers_left.load() > 0) {
      (void)g.read([&](const Pair& p) -> Result<int> {
        if (p.a != p.b) torn.store(true);
        return 0;
      });
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(writer);
  threads.emplace_back(writer);
  threads.emplace_back(reader);
  threads.emplace_back(reader);
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(g.read_or(0, [](const Pair& p) noexcept { return p.a; }), 2 * kWrites);
}

TEST(GuardedTest, SharedLockExcludesWriters) { check_sections_exclude_writers<true>(); }
TEST(GuardedTest, ExclusiveLockExcludesWriters) { check_sections_exclude_writers<false>(); }

}  // namespace
}  // namespace vrell
