// Lock benchmark: figures, not a test (it checks only that the work was done).
//
//   lock_bench [--only wait|parked|uncontended] [--seconds S] [--keys N] [--hold S]
//
// wait         three threads list a state store of N keys (default 200,000)
//              with keys_with_prefix("") back to back for S seconds (default
//              10) while one thread calls set() over and over: how long each
//              set() waited, and how long a listing takes.
// parked       one reader holds a Guarded's lock for --hold seconds (default
//              2) while a writer and two more readers wait behind it: the
//              processor time the process uses meanwhile, against wall time.
// uncontended  lock + unlock pairs on one thread, no other thread near:
//              the RwLock of the sources built beside a copy of the spin lock
//              it replaced, in interleaved rounds; and a whole Guarded section.
//
// The sources measured are whichever tree VRELL_SRC named at configure time,
// so the wait and parked figures of an older commit come from this same file
// built there (bench/README.md). POSIX only (getrusage, thread CPU clocks).
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "guarded.h"
#include "json.h"
#include "state.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double process_cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto ms = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
  };
  return ms(u.ru_utime) + ms(u.ru_stime);
}

// The reader-writer spin lock Guarded used before, copied for the uncontended
// comparison only.
class OldSpinLock {
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

// --- wait ----------------------------------------------------------------------

void writer_wait(double seconds, int keys) {
  vrell::InMemoryStateStore store;
  char key[32];
  for (int i = 0; i < keys; ++i) {
    std::snprintf(key, sizeof key, "key:%07d", i);
    if (!store.set_canonical(key, "{\"n\":1}")) std::abort();
  }
  constexpr int kScanners = 3;
  std::vector<std::vector<double>> scans(kScanners);
  struct Wait {
    double ms;
    bool cut;  // still waiting when the scanners stopped: a lower bound
  };
  std::vector<Wait> waits;
  std::atomic<bool> stop{false};
  std::latch start(kScanners + 2);
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(200) +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));

  std::vector<std::thread> threads;
  for (int s = 0; s < kScanners; ++s) {
    threads.emplace_back([&, s] {
      start.arrive_and_wait();
      while (Clock::now() < deadline) {
        const auto t0 = Clock::now();
        auto listed = store.keys_with_prefix("");
        const auto t1 = Clock::now();
        if (!listed || listed->size() < static_cast<size_t>(keys)) std::abort();
        scans[s].push_back(ms_between(t0, t1));
      }
    });
  }
  std::thread writer([&] {
    start.arrive_and_wait();
    for (uint64_t n = 0; !stop.load(); ++n) {
      const auto t0 = Clock::now();
      if (t0 >= deadline) break;  // only calls made while the scanners run count
      if (!store.set("writer", vrell::json::Value::from_canonical(std::to_string(n)))) {
        std::abort();
      }
      const auto t1 = Clock::now();
      waits.push_back({ms_between(t0, t1), t1 >= deadline});
    }
  });
  start.arrive_and_wait();
  for (std::thread& t : threads) t.join();
  stop.store(true);
  writer.join();

  std::vector<double> all_scans, wait_ms, behind;
  for (const auto& s : scans) all_scans.insert(all_scans.end(), s.begin(), s.end());
  double worst = 0;
  bool worst_cut = false;
  size_t finished = 0;
  for (const Wait& w : waits) {
    wait_ms.push_back(w.ms);
    if (w.ms >= 1) behind.push_back(w.ms);
    finished += !w.cut;
    if (w.ms > worst) {
      worst = w.ms;
      worst_cut = w.cut;
    }
  }
  std::printf(
      "wait: %d scanners listing %d keys back to back for %.1f s, one thread calling set()\n",
      kScanners, keys, seconds);
  std::printf("  listing: %zu done, median %.1f ms, worst %.1f ms\n", all_scans.size(),
              median(all_scans), *std::max_element(all_scans.begin(), all_scans.end()));
  std::printf("  set(): %zu calls, %zu finished while the scanners ran; median wait %.4f ms\n",
              waits.size(), finished, median(wait_ms));
  std::printf("  set() calls that waited 1 ms or more: %zu, median %.1f ms, worst %s%.1f ms%s\n",
              behind.size(), median(behind), worst_cut ? ">= " : "", worst,
              worst_cut ? " (still waiting when the scanners stopped)" : "");
}

// --- parked --------------------------------------------------------------------

void parked(double hold) {
  vrell::Guarded<int> g(vrell::MeshError::state("bench"), 0);
  std::atomic<bool> inside{false};
  std::thread holder([&] {
    (void)g.read([&](const int& v) -> vrell::Result<int> {
      inside.store(true);
      std::this_thread::sleep_for(std::chrono::duration<double>(hold));
      return v;
    });
  });
  while (!inside.load()) std::this_thread::yield();

  const double cpu0 = process_cpu_ms();
  const auto t0 = Clock::now();
  double writer_cpu = 0;
  std::vector<double> reader_cpu(2, 0);
  std::thread writer([&] {
    const double c = thread_cpu_ms();
    (void)g.write([](int& v) -> vrell::Result<int> { return ++v; });
    writer_cpu = thread_cpu_ms() - c;
  });
  // The late readers come once the writer waits (with the spin lock they do
  // not wait at all: readers always got in).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&, r] {
      const double c = thread_cpu_ms();
      (void)g.read([](const int& v) -> vrell::Result<int> { return v; });
      reader_cpu[r] = thread_cpu_ms() - c;
    });
  }
  holder.join();
  writer.join();
  for (std::thread& t : readers) t.join();
  const double wall = ms_between(t0, Clock::now());
  const double cpu = process_cpu_ms() - cpu0;
  std::printf("parked: a reader holds the lock %.1f s; a writer and two readers wait behind it\n",
              hold);
  std::printf(
      "  wall %.0f ms; process CPU %.1f ms (%.2f%% of one core); writer thread %.2f ms, "
      "late readers %.2f + %.2f ms\n",
      wall, cpu, 100 * cpu / wall, writer_cpu, reader_cpu[0], reader_cpu[1]);
}

// --- uncontended ---------------------------------------------------------------

uint64_t g_counter = 0;  // touched inside every section

template <class Lock>
double exclusive_ns(Lock& lock, uint64_t n) {
  const auto t0 = Clock::now();
  for (uint64_t i = 0; i < n; ++i) {
    lock.lock();
    ++g_counter;
    lock.unlock();
  }
  return ms_between(t0, Clock::now()) * 1e6 / static_cast<double>(n);
}

template <class Lock>
double shared_ns(Lock& lock, uint64_t n) {
  const auto t0 = Clock::now();
  for (uint64_t i = 0; i < n; ++i) {
    lock.lock_shared();
    ++g_counter;
    lock.unlock_shared();
  }
  return ms_between(t0, Clock::now()) * 1e6 / static_cast<double>(n);
}

template <bool kWrite>
double guarded_ns(vrell::Guarded<uint64_t>& g, uint64_t n) {
  const auto t0 = Clock::now();
  for (uint64_t i = 0; i < n; ++i) {
    vrell::Result<uint64_t> r =
        kWrite ? g.write([](uint64_t& v) -> vrell::Result<uint64_t> { return ++v; })
               : g.read([](const uint64_t& v) -> vrell::Result<uint64_t> { return v; });
    if (!r) std::abort();
  }
  return ms_between(t0, Clock::now()) * 1e6 / static_cast<double>(n);
}

void uncontended() {
  constexpr int kRounds = 11;
  constexpr uint64_t kPairs = 5'000'000;
  OldSpinLock old_lock;
  vrell::RwLock lock;
  vrell::Guarded<uint64_t> g(vrell::MeshError::state("bench"), 0);
  enum { kOldX, kNewX, kOldS, kNewS, kReadSection, kWriteSection, kCases };
  std::vector<double> ns[kCases];
  for (int r = 0; r < kRounds; ++r) {
    // Rotate the order so that no case always runs first.
    for (int c = 0; c < kCases; ++c) {
      const int k = (c + r) % kCases;
      double x = 0;
      switch (k) {
        case kOldX:
          x = exclusive_ns(old_lock, kPairs);
          break;
        case kNewX:
          x = exclusive_ns(lock, kPairs);
          break;
        case kOldS:
          x = shared_ns(old_lock, kPairs);
          break;
        case kNewS:
          x = shared_ns(lock, kPairs);
          break;
        case kReadSection:
          x = guarded_ns<false>(g, kPairs);
          break;
        case kWriteSection:
          x = guarded_ns<true>(g, kPairs);
          break;
      }
      ns[k].push_back(x);
    }
  }
  std::printf("uncontended: ns per lock + unlock, median of %d interleaved rounds of %llu\n",
              kRounds, static_cast<unsigned long long>(kPairs));
  std::printf("  exclusive: old spin lock %.2f, RwLock built %.2f\n", median(ns[kOldX]),
              median(ns[kNewX]));
  std::printf("  shared:    old spin lock %.2f, RwLock built %.2f\n", median(ns[kOldS]),
              median(ns[kNewS]));
  std::printf("  Guarded<uint64_t> section: read %.2f, write %.2f\n", median(ns[kReadSection]),
              median(ns[kWriteSection]));
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  double seconds = 10, hold = 2;
  int keys = 200000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--only")) {
      only = argv[i + 1];
    } else if (!std::strcmp(argv[i], "--seconds")) {
      seconds = std::atof(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--keys")) {
      keys = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--hold")) {
      hold = std::atof(argv[i + 1]);
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("sources: %s\n", VRELL_BENCH_SOURCES);
  if (only.empty() || only == "uncontended") uncontended();
  if (only.empty() || only == "parked") parked(hold);
  if (only.empty() || only == "wait") writer_wait(seconds, keys);
  return 0;
}
