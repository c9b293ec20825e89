#include "platform.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <version>

// How threads park. libstdc++ without a futex (MinGW, the BSDs) implements
// std::atomic::wait with a condition variable that, before GCC 13, could
// miss a wake-up and sleep for ever; there, and in the plain build, threads
// park on a table of condition variables of our own. So they do where the
// library offers no std::atomic::wait for the target: Apple's libc++ marks it
// unavailable before macOS 11, and the wheels are built for 10.15.
#if defined(VRELL_PORTABLE)
#define VRELL_PARK_TABLE 1
#elif defined(_WIN32)
#define VRELL_PARK_WAIT_ON_ADDRESS 1
#elif !defined(__cpp_lib_atomic_wait)
#define VRELL_PARK_TABLE 1
#elif defined(__GLIBCXX__) && !defined(_GLIBCXX_HAVE_PLATFORM_WAIT)
#define VRELL_PARK_TABLE 1
#endif

#if defined(VRELL_PORTABLE)
#elif defined(_WIN32)
// WaitOnAddress and the precise clock are Windows 8 and later, as is every
// Windows that the supported CPython releases run on.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on
#elif defined(__unix__) || defined(__APPLE__)
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif
// glibc before 2.25 has no getentropy.
#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
#define VRELL_NO_GETENTROPY 1
#endif
#endif

namespace vrell::platform {
namespace {

// Seconds and nanoseconds of a count of `unit` since the epoch, rounding
// toward the past so that instants before 1970 keep a fraction in 0..1s.
template <class Duration>
WallTime split(Duration since_epoch) noexcept {
  const auto secs = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs);
  return {static_cast<int64_t>(secs.count()), static_cast<uint32_t>(nanos.count())};
}

[[maybe_unused]] WallTime chrono_wall_time() noexcept {
  return split(std::chrono::system_clock::now().time_since_epoch());
}

[[maybe_unused]] bool random_device_bytes(void* out, size_t size) noexcept {
  try {
    std::random_device device;
    auto* bytes = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < size; i += 4) {
      const auto word = static_cast<uint32_t>(device());
      std::memcpy(bytes + i, &word, size - i < 4 ? size - i : 4);
    }
    return true;
  } catch (...) {
    return false;  // no source of that kind on this system
  }
}

#if defined(VRELL_PARK_TABLE)
// One mutex and condition variable per slot, shared by the words that hash
// to it. A waiter compares under the mutex and a waker passes through it
// after its change, so the change is seen or the waiter is already asleep.
struct ParkSlot {
  std::mutex mutex;
  std::condition_variable woken;
};

ParkSlot& park_slot(const void* word) noexcept {
  static ParkSlot slots[16];
  return slots[(reinterpret_cast<uintptr_t>(word) >> 6) % 16];
}

void unpark_slot(const void* word) noexcept {
  ParkSlot& slot = park_slot(word);
  { const std::lock_guard<std::mutex> pass(slot.mutex); }
  slot.woken.notify_all();  // a slot is shared: wake all, each looks again
}
#endif

}  // namespace

#if defined(VRELL_PARK_TABLE)
void park(const std::atomic<uint32_t>& word, uint32_t expected) noexcept {
  ParkSlot& slot = park_slot(&word);
  std::unique_lock<std::mutex> hold(slot.mutex);
  if (word.load(std::memory_order_relaxed) == expected) slot.woken.wait(hold);
}
void unpark_one(std::atomic<uint32_t>& word) noexcept { unpark_slot(&word); }
void unpark_all(std::atomic<uint32_t>& word) noexcept { unpark_slot(&word); }
#elif defined(VRELL_PARK_WAIT_ON_ADDRESS)
// The atomic's object representation is its value (lock-free, 4 bytes).
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);
void park(const std::atomic<uint32_t>& word, uint32_t expected) noexcept {
  auto* address = const_cast<std::atomic<uint32_t>*>(&word);
  WaitOnAddress(address, &expected, sizeof expected, INFINITE);
}
void unpark_one(std::atomic<uint32_t>& word) noexcept { WakeByAddressSingle(&word); }
void unpark_all(std::atomic<uint32_t>& word) noexcept { WakeByAddressAll(&word); }
#else
void park(const std::atomic<uint32_t>& word, uint32_t expected) noexcept {
  word.wait(expected, std::memory_order_relaxed);
}
void unpark_one(std::atomic<uint32_t>& word) noexcept { word.notify_one(); }
void unpark_all(std::atomic<uint32_t>& word) noexcept { word.notify_all(); }
#endif

WallTime wall_time() noexcept {
#if defined(VRELL_PORTABLE)
  return chrono_wall_time();
#elif defined(_WIN32)
  // 100 ns ticks since 1601-01-01.
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  constexpr int64_t kUnixEpochTicks = 116444736000000000;
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000> >;
  return split(Ticks(ticks - kUnixEpochTicks));
#elif defined(__unix__) || defined(__APPLE__)
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return chrono_wall_time();
  return {static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
#else
  return chrono_wall_time();
#endif
}

bool random_bytes(void* out, size_t size) noexcept {
#if defined(VRELL_PORTABLE)
  return random_device_bytes(out, size);
#elif defined(_WIN32)
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(size),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#elif (defined(__unix__) || defined(__APPLE__)) && !defined(VRELL_NO_GETENTROPY)
  // getentropy answers at most 256 bytes a call.
  auto* bytes = static_cast<unsigned char*>(out);
  for (size_t done = 0; done < size;) {
    const size_t n = size - done < 256 ? size - done : 256;
    if (getentropy(bytes + done, n) != 0) return false;
    done += n;
  }
  return true;
#else
  return random_device_bytes(out, size);
#endif
}

}  // namespace vrell::platform
