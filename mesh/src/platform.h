// Every difference between compilers, processors and operating systems that
// the components depend on, decided here once; nothing else in mesh/src names
// a compiler builtin, an intrinsics header or an operating-system call.
//
// Each construct has a plain C++ version beside the fast one. Defining
// VRELL_PORTABLE (the CMake option of that name) selects the plain versions
// everywhere, so that a build with GCC or Clang runs exactly the code that a
// compiler without any of the extensions gets.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if !defined(VRELL_PORTABLE) && defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#endif

#if !defined(VRELL_PORTABLE) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define VRELL_SSE2 1
#include <emmintrin.h>
#else
#define VRELL_SSE2 0
#endif

// Inlining hints for the reader's number loop and its cold paths.
#if !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
#define VRELL_ALWAYS_INLINE [[gnu::always_inline]] inline
#define VRELL_NOINLINE [[gnu::noinline]]
#elif !defined(VRELL_PORTABLE) && defined(_MSC_VER)
#define VRELL_ALWAYS_INLINE __forceinline
#define VRELL_NOINLINE __declspec(noinline)
#else
#define VRELL_ALWAYS_INLINE inline
#define VRELL_NOINLINE
#endif

namespace vrell::platform {

// Whether the fast paths run. Each fast path (SIMD scans, the one-product
// float conversions, the canonical-text shortcut, the reader's inlined number
// loop, short-object sorting) has a plain version beside it; a build with
// VRELL_PLAIN_PATHS takes the plain ones everywhere, so that the whole suite
// can check them.
#if defined(VRELL_PLAIN_PATHS)
inline constexpr bool kFastPaths = false;
#else
inline constexpr bool kFastPaths = true;
#endif

// --- 128-bit products ------------------------------------------------------

struct U128 {
  uint64_t hi;
  uint64_t lo;
};

// The plain product from 32-bit halves; also the reference the tests use.
constexpr U128 mul_64x64_plain(uint64_t a, uint64_t b) noexcept {
  const uint64_t a_lo = a & 0xFFFFFFFF, a_hi = a >> 32;
  const uint64_t b_lo = b & 0xFFFFFFFF, b_hi = b >> 32;
  const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
  const uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFF) + (hl & 0xFFFFFFFF);
  return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & 0xFFFFFFFF)};
}

inline U128 mul_64x64(uint64_t a, uint64_t b) noexcept {
#if !defined(VRELL_PORTABLE) && defined(__SIZEOF_INT128__)
  __extension__ using u128 = unsigned __int128;
  const u128 p = static_cast<u128>(a) * b;
  return {static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p)};
#elif !defined(VRELL_PORTABLE) && defined(_MSC_VER) && defined(_M_X64)
  uint64_t hi;
  const uint64_t lo = _umul128(a, b, &hi);
  return {hi, lo};
#elif !defined(VRELL_PORTABLE) && defined(_MSC_VER) && defined(_M_ARM64)
  return {__umulh(a, b), a * b};
#else
  return mul_64x64_plain(a, b);
#endif
}

inline uint64_t mul_high(uint64_t a, uint64_t b) noexcept { return mul_64x64(a, b).hi; }

// --- Byte order --------------------------------------------------------------

constexpr uint64_t byte_swap64_plain(uint64_t v) noexcept {
  v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
  v = ((v & 0x0000FFFF0000FFFFull) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFull);
  return (v << 32) | (v >> 32);
}

inline uint64_t byte_swap64(uint64_t v) noexcept {
#if !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
  return __builtin_bswap64(v);
#elif !defined(VRELL_PORTABLE) && defined(_MSC_VER)
  return _byteswap_uint64(v);
#else
  return byte_swap64_plain(v);
#endif
}

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian machines are not supported");

// Eight bytes as a number whose lowest byte is the first (little-endian) or
// the last (big-endian) of them, whatever the machine's own order.
inline uint64_t load_le64(const void* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = byte_swap64(v);
  return v;
}
inline uint64_t load_be64(const void* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = byte_swap64(v);
  return v;
}
inline void store_le64(void* p, uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = byte_swap64(v);
  std::memcpy(p, &v, 8);
}

// --- Overflow-checked arithmetic -------------------------------------------

// *out = a * b (mod 2^64); true when the product does not fit.
inline bool mul_overflow(uint64_t a, uint64_t b, uint64_t* out) noexcept {
#if !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
  return __builtin_mul_overflow(a, b, out);
#else
  const U128 p = mul_64x64(a, b);
  *out = p.lo;
  return p.hi != 0;
#endif
}

// *out = a + b (mod 2^64); true when the sum does not fit.
inline bool add_overflow(uint64_t a, uint64_t b, uint64_t* out) noexcept {
#if !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
  return __builtin_add_overflow(a, b, out);
#else
  *out = a + b;
  return *out < a;
#endif
}

// --- Spin-wait hint ----------------------------------------------------------

// Tells the processor that the caller is spinning on a value another core
// will change: x86's pause, Arm's yield. The plain version does nothing; the
// spin is then just a loop of loads.
inline void cpu_relax() noexcept {
#if VRELL_SSE2
  _mm_pause();
#elif !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__aarch64__) || defined(__arm__))
  __asm__ __volatile__("yield" ::: "memory");
#elif !defined(VRELL_PORTABLE) && defined(_MSC_VER) && (defined(_M_ARM64) || defined(_M_ARM))
  __yield();
#endif
}

// --- Short copies --------------------------------------------------------------

// Copies n bytes rounded up to a multiple of 16, sixteen at a time; both sides
// must have room for the rounding. Compilers turn a plain loop of such moves
// into the string instruction, whose start-up costs more than the whole copy
// of the few hundred bytes this is for; an empty asm that may change the
// offset keeps the loop a loop. The plain version is that plain loop.
inline void copy_blocks16(char* to, const char* from, size_t n) noexcept {
  for (size_t done = 0; done < n; done += 16) {
    std::memcpy(to + done, from + done, 16);
#if !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
    __asm__("" : "+r"(done));
#endif
  }
}

// --- Thread-local variables ----------------------------------------------------

// The address of a thread's variable as a value: taken once, it is kept. In a
// shared library each computation of such an address is a call, and compilers
// compute it again at every use of the variable, however it is named; an
// empty asm that may change the pointer stops that.
template <class T>
inline T* held(T* thread_variable) noexcept {
#if !defined(VRELL_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
  __asm__("" : "+r"(thread_variable));
#endif
  return thread_variable;
}

// --- Parking -------------------------------------------------------------------

// Sleeps while `word` holds `expected`. May return without a change (callers
// look again); never misses a wake-up that follows a change of `word`.
void park(const std::atomic<uint32_t>& word, uint32_t expected) noexcept;
// Wakes one, or every, thread parked on `word`; call after changing it.
void unpark_one(std::atomic<uint32_t>& word) noexcept;
void unpark_all(std::atomic<uint32_t>& word) noexcept;

// --- Operating system --------------------------------------------------------

struct WallTime {
  int64_t seconds;  // since 1970-01-01T00:00:00Z; negative before it
  uint32_t nanos;   // 0..999'999'999, in whatever steps the clock gives
};

// The real-time clock: clock_gettime on POSIX systems, the precise system
// time on Windows (100 ns steps), std::chrono's system clock otherwise.
WallTime wall_time() noexcept;

// Fills `out` from the operating system's random source (getentropy,
// BCryptGenRandom, or std::random_device); false when none answered.
bool random_bytes(void* out, size_t size) noexcept;

}  // namespace vrell::platform
