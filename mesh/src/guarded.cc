#include "guarded.h"

#include "platform.h"

namespace vrell {
namespace {

// Rounds of the pause hint a waiter spends before it parks: a few
// microseconds, about the length of an ordinary section.
constexpr int kSpinRounds = 64;

}  // namespace

// Why a sleeping writer is always woken. A writer parks only after it has
// seen, in one round, (a) the wake-up count `seen`, then (b) the lock busy
// with kWriterWaiting set. Whoever frees the lock next does so with a
// read-modify-write of state_ that comes after (b) and, since only a writer's
// unlock clears kWriterWaiting, finds the bit set: the last reader out and
// the writer leaving both then add one to writer_wakeups_ and notify. Had that
// increment been visible to the load in (a), the state change before it would
// be visible to the load in (b) (acquire on (a), release on the increment),
// and the writer would have found the lock free instead; so `seen` is an
// older count, park() returns as soon as the count moves on, and the notify
// that follows the increment finds the writer asleep or not yet asleep, never
// missed. A writer woken after the whole word was cleared cannot know whether
// other writers still sleep, so it sets kWriterWaiting again as it enters.
void RwLock::lock_slow() noexcept {
  bool parked = false;
  int spins = 0;
  for (;;) {
    const uint32_t seen = writer_wakeups_.load(std::memory_order_acquire);
    uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & (kReaderMask | kWriter)) == 0) {
      const uint32_t taken = s | kWriter | (parked ? kWriterWaiting : 0);
      if (state_.compare_exchange_weak(s, taken, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if ((s & kWriterWaiting) == 0) {
      // Readers that arrive from now on wait behind this writer.
      (void)state_.compare_exchange_weak(s, s | kWriterWaiting, std::memory_order_relaxed,
                                         std::memory_order_relaxed);
      continue;
    }
    if (spins < kSpinRounds) {
      ++spins;
      platform::cpu_relax();
      continue;
    }
    platform::park(writer_wakeups_, seen);
    parked = true;
  }
}

// Why a sleeping reader is always woken. A reader sleeps on the exact word it
// saw with kReadersParked in it, and that word has kWriter or kWriterWaiting
// set too. What lets it in again is a writer's unlock, the one change that
// clears those bits; it replaces the word and, finding kReadersParked,
// notifies every reader. Other changes (readers leaving, a writer raising
// kWriterWaiting) let no sleeping reader in and need no notify: the reader
// looks again when woken, or at once if the word already differs.
//
// A reader that slept through a writer's unlock (it sees kReadersParked
// cleared, which only that unlock does) may then pass a writer that began
// waiting meanwhile, though not one inside: the readers released by a write
// go in together rather than one by one behind each following write.
void RwLock::lock_shared_slow() noexcept {
  int spins = 0;
  bool released = false;
  for (;;) {
    uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & (released ? kWriter : kReadersStayOut)) == 0) {
      if (state_.compare_exchange_weak(s, s + kReader, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if (spins < kSpinRounds) {
      ++spins;
      platform::cpu_relax();
      continue;
    }
    if ((s & kReadersParked) == 0 &&
        !state_.compare_exchange_weak(s, s | kReadersParked, std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
      continue;
    }
    platform::park(state_, s | kReadersParked);
    released = (state_.load(std::memory_order_relaxed) & kReadersParked) == 0;
  }
}

void RwLock::wake_after_write(uint32_t old) noexcept {
  if (old & kWriterWaiting) wake_writer();
  if (old & kReadersParked) platform::unpark_all(state_);
}

void RwLock::wake_writer() noexcept {
  writer_wakeups_.fetch_add(1, std::memory_order_release);
  platform::unpark_one(writer_wakeups_);
}

}  // namespace vrell
