/* Preloaded into a test interpreter: lets a test set the real-time clock that
 * the extension reads, including instants before 1970. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>

static int armed;
static struct timespec fake;

void vrell_fake_clock_set(long long sec, long nsec) {
  fake.tv_sec = (time_t)sec;
  fake.tv_nsec = nsec;
  armed = 1;
}

void vrell_fake_clock_clear(void) { armed = 0; }

int clock_gettime(clockid_t id, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  if (armed && id == CLOCK_REALTIME) {
    *ts = fake;
    return 0;
  }
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  return real(id, ts);
}
