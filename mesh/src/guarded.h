// Guarded<T>: one collection behind one lock that carries a poisoned flag.
//
// Every component keeps its table in a Guarded. Each operation takes the lock
// once, runs one section and returns what the section returned; callers get
// copies made inside the section, never references into T.
//
// Poisoning: a write section that reports a Panic (a broken invariant), or
// that is left by any exception other than std::bad_alloc, leaves the lock
// poisoned for good; from then on read() and write() return the component's
// poisoned error without running the section. std::bad_alloc is reported as
// OutOfMemory and does not poison: every write section must give the strong
// exception guarantee (change nothing before its last allocation).
//
// Thread safety: any number of threads may call read() and write() at once.
// With kShared false (a plain mutex) readers exclude each other too.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

#include "error.h"

namespace vrell {

// A reader-writer spin lock: sections are a few hundred nanoseconds at most,
// and under the interpreter lock they never contend.
class RwLock {
 public:
  void lock() noexcept {
    uint32_t expected = 0;
    while (!state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

  void lock_shared() noexcept {
    uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & kWriter) == 0 && state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                             std::memory_order_relaxed)) {
        return;
      }
      if (s & kWriter) {
        std::this_thread::yield();
        s = state_.load(std::memory_order_relaxed);
      }
    }
  }
  void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr uint32_t kWriter = 0x80000000u;
  std::atomic<uint32_t> state_{0};
};

namespace detail {
template <class R>
struct ResultTraits;
template <class T>
struct ResultTraits<Result<T>> {
  using value_type = T;
};
}  // namespace detail

template <class T, bool kShared = true>
class Guarded {
 public:
  // `poisoned` is the error every operation reports once the lock is poisoned.
  template <class... Args>
  explicit Guarded(MeshError poisoned, Args&&... args)
      : poisoned_error_(std::move(poisoned)), value_(std::forward<Args>(args)...) {}

  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // Runs f(const T&) -> Result<R> under the shared lock (exclusive without kShared).
  template <class F>
  auto read(F&& f) const -> std::invoke_result_t<F, const T&> {
    using R = std::invoke_result_t<F, const T&>;
    ReadHold hold(lock_);
    if (poisoned_.load(std::memory_order_relaxed)) return R(unexpected(poisoned_error_));
    try {
      return f(static_cast<const T&>(value_));
    } catch (const std::bad_alloc&) {
      return R(unexpected(MeshError::out_of_memory()));
    } catch (...) {
      // A reader never poisons: it changed nothing.
      return R(unexpected(MeshError::panic("unexpected exception in a read section")));
    }
  }

  // Runs f(T&) -> Result<R> under the exclusive lock; see the poisoning rules above.
  template <class F>
  auto write(F&& f) -> std::invoke_result_t<F, T&> {
    using R = std::invoke_result_t<F, T&>;
    WriteHold hold(lock_);
    if (poisoned_.load(std::memory_order_relaxed)) return R(unexpected(poisoned_error_));
    try {
      R r = f(value_);
      if (!r.has_value() && r.error().kind() == ErrorKind::Panic) poison();
      return r;
    } catch (const std::bad_alloc&) {
      return R(unexpected(MeshError::out_of_memory()));
    } catch (...) {
      poison();
      return R(unexpected(MeshError::panic("unexpected exception in a write section")));
    }
  }

  // A count that never fails: `fallback` when poisoned or when f fails.
  template <class F>
  auto read_or(decltype(std::declval<F>()(std::declval<const T&>())) fallback, F&& f) const noexcept
      -> decltype(fallback) {
    ReadHold hold(lock_);
    if (poisoned_.load(std::memory_order_relaxed)) return fallback;
    return f(static_cast<const T&>(value_));
  }

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }

 private:
  void poison() noexcept { poisoned_.store(true, std::memory_order_relaxed); }

  struct ReadHold {
    explicit ReadHold(RwLock& l) noexcept : l_(l) {
      if constexpr (kShared)
        l_.lock_shared();
      else
        l_.lock();
    }
    ~ReadHold() {
      if constexpr (kShared)
        l_.unlock_shared();
      else
        l_.unlock();
    }
    RwLock& l_;
  };
  struct WriteHold {
    explicit WriteHold(RwLock& l) noexcept : l_(l) { l_.lock(); }
    ~WriteHold() { l_.unlock(); }
    RwLock& l_;
  };

  mutable RwLock lock_;
  std::atomic<bool> poisoned_{false};
  const MeshError poisoned_error_;
  T value_;
};

}  // namespace vrell
