// Test-only support: white-box access to the components' guarded tables, a
// clock under the test's control, and injected allocation failures.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "channel.h"
#include "clock.h"
#include "error.h"
#include "guarded.h"
#include "migration.h"
#include "registry.h"
#include "state.h"

namespace vrell {

struct TestAccess {
  static auto& table(AgentRegistry& registry) { return registry.table_; }
  static auto& table(InMemoryStateStore& store) { return store.map_; }
  static auto& table(MigrationController& controller) { return controller.table_; }
  static auto& table(MeshChannel& channel) { return channel.topics_; }

  // Fails a write section with a broken invariant, which poisons the
  // component for good; gives back the error the section reported.
  template <class Component>
  static MeshError poison(Component& component) {
    Result<int> r = table(component).write(
        [](auto&) -> Result<int> { return unexpected(MeshError::panic("injected fault")); });
    return std::move(r).error();
  }

  template <class Component>
  static bool poisoned(Component& component) {
    return table(component).poisoned();
  }

  // What the lock's state word says about its waiters.
  template <class T, bool kShared>
  static bool writer_waiting(const Guarded<T, kShared>& g) {
    return (g.lock_.state_.load() & RwLock::kWriterWaiting) != 0;
  }
  template <class T, bool kShared>
  static bool readers_parked(const Guarded<T, kShared>& g) {
    return (g.lock_.state_.load() & RwLock::kReadersParked) != 0;
  }
};

// A clock that reads `at` and then moves on by `step_nanos` for the next read.
class TestClock final : public Clock {
 public:
  explicit TestClock(Instant at = {1700000000, 0}, uint32_t step_nanos = 0)
      : at_(at), step_nanos_(step_nanos) {}

  Instant now() const noexcept override {
    const Instant t = at_;
    ++reads_;
    at_.nanos += step_nanos_;
    if (at_.nanos >= 1000000000u) {
      at_.nanos -= 1000000000u;
      ++at_.seconds;
    }
    return t;
  }

  void set(Instant at) noexcept { at_ = at; }
  int reads() const noexcept { return reads_; }

 private:
  mutable Instant at_;
  mutable int reads_ = 0;
  uint32_t step_nanos_;
};

// While alive, makes the nth allocation from now on (1 = the next one) throw
// std::bad_alloc; later ones succeed again. The test binary replaces the
// global operator new to make this work (guarded_test.cc). Single-threaded
// tests only.
class AllocationFault {
 public:
  explicit AllocationFault(long nth) noexcept;
  ~AllocationFault();
  AllocationFault(const AllocationFault&) = delete;
  AllocationFault& operator=(const AllocationFault&) = delete;

  // True once the armed allocation has failed.
  bool fired() const noexcept;
};

// Runs `op` with its 1st, 2nd, 3rd ... allocation failing, one run each,
// passing every failed run's result to `check`, until a run completes
// without reaching the armed allocation (that run's effects stay). Returns
// the number of allocation points found.
template <class Op, class Check>
long fail_each_allocation(Op&& op, Check&& check) {
  for (long nth = 1;; ++nth) {
    bool fired = false;
    auto result = [&] {
      AllocationFault fault(nth);
      auto r = op();
      fired = fault.fired();
      return r;
    }();
    if (!fired) return nth - 1;
    check(result);
  }
}

}  // namespace vrell
