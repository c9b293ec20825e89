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
// Thread safety: any number of threads may call read() and write() at once,
// and they really do run in parallel (the Python binding declares that it
// needs no interpreter lock); the RwLock below is all that keeps them apart.
// With kShared false readers exclude each other too.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "error.h"

namespace vrell {

// A reader-writer lock whose waiters sleep. Sections are short, but some read
// sections are not (listing every key of a large store takes milliseconds),
// and threads waiting out such a section must neither burn a core nor starve:
//
//  - A waiter spins briefly, then parks on an atomic word (platform::park: a
//    futex or its equivalent), using no processor time until woken.
//  - A writer that finds readers inside raises kWriterWaiting, and readers
//    that arrive from then on stay out, so the writer gets in as soon as the
//    readers already inside leave; a steady stream of overlapping readers
//    cannot keep it out. Readers still share with each other.
//  - When a writer leaves, everyone waiting is let go at once: the readers
//    asleep behind it go in together, even past a writer that began waiting
//    meanwhile, and one sleeping writer is woken to compete with them; a
//    writer that loses raises kWriterWaiting again and waits only for the
//    readers then inside. Readers are therefore not starved by a stream of
//    writers either, and writers among themselves take turns as the
//    scheduler has them (not in order of arrival).
//
// The state word:
//   bits 0-28  readers inside (a count; threads are far fewer than 2^29)
//   bit 29     kReadersParked: some reader sleeps on state_
//   bit 30     kWriterWaiting: some writer waits (spinning or asleep on
//              writer_wakeups_), or a woken writer is on its way in
//   bit 31     kWriter: a writer is inside
// kReadersParked and kWriterWaiting are set only while the lock is held or
// awaited, and cleared only by a writer's unlock, which clears the whole word.
//
// Uncontended, lock and unlock are one atomic read-modify-write each, and
// unlock calls no notify: the word it replaces says whether anyone sleeps.
// Why no wake-up is lost is set out at the slow paths (guarded.cc).
class RwLock {
 public:
  RwLock() noexcept = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() noexcept {
    uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      lock_slow();
    }
  }
  void unlock() noexcept {
    const uint32_t old = state_.exchange(0, std::memory_order_release);
    if (old != kWriter) wake_after_write(old);
  }

  void lock_shared() noexcept {
    uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kReadersStayOut) != 0 ||
        !state_.compare_exchange_strong(s, s + kReader, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      lock_shared_slow();
    }
  }
  void unlock_shared() noexcept {
    const uint32_t old = state_.fetch_sub(kReader, std::memory_order_release);
    // The last reader out lets the waiting writer in.
    if ((old & ~kReadersParked) == (kWriterWaiting | kReader)) wake_writer();
  }

 private:
  friend struct TestAccess;
  static constexpr uint32_t kReader = 1;
  static constexpr uint32_t kReaderMask = (uint32_t{1} << 29) - 1;
  static constexpr uint32_t kReadersParked = uint32_t{1} << 29;
  static constexpr uint32_t kWriterWaiting = uint32_t{1} << 30;
  static constexpr uint32_t kWriter = uint32_t{1} << 31;
  static constexpr uint32_t kReadersStayOut = kWriter | kWriterWaiting;

  void lock_slow() noexcept;
  void lock_shared_slow() noexcept;
  void wake_after_write(uint32_t old) noexcept;
  void wake_writer() noexcept;

  std::atomic<uint32_t> state_{0};
  // Writers sleep on this count rather than on state_, so that waking one
  // writer wakes no reader; every wake-up adds one before notifying.
  std::atomic<uint32_t> writer_wakeups_{0};
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
  friend struct TestAccess;
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
