/* Stand-in clock for tests, preloaded into a program under test: the time of day's
 * milliseconds read, call after call, the values listed in VELM_FAKE_MILLIS ("0" or
 * "5,17,250", repeated when used up). Every other clock is the real one. */

#define _GNU_SOURCE
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

int clock_gettime(clockid_t clock, struct timespec *now) {
  static const char *next;
  const char *list = getenv("VELM_FAKE_MILLIS");
  if (clock != CLOCK_REALTIME || list == NULL || *list == '\0')
    return (int)syscall(SYS_clock_gettime, clock, now);
  if (next == NULL || *next == '\0')
    next = list;
  char *end;
  long millis = strtol(next, &end, 10);
  next = *end == ',' ? end + 1 : end;
  now->tv_sec = 1700000000;
  now->tv_nsec = (millis % 1000) * 1000000L;
  return 0;
}
