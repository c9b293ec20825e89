#include "platform.h"

#include <chrono>
#include <random>

#if defined(VRELL_PORTABLE)
#elif defined(_WIN32)
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

}  // namespace

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
