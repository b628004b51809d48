/* Stand-in interval timer for tests, preloaded into a program under test: when
 * VELM_FAKE_TIMER_MS holds a number of milliseconds, every setitimer(ITIMER_REAL) that
 * starts a timer starts it with that first expiry and that interval instead, so a daemon
 * that does something every 10 seconds does it many times within a short test. Timers
 * that are stopped, and the other kinds, go to the kernel unchanged. */

#define _GNU_SOURCE
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

int setitimer(__itimer_which_t which, const struct itimerval *value, struct itimerval *old) {
  const char *text = getenv("VELM_FAKE_TIMER_MS");
  long millis = text == NULL ? 0 : strtol(text, NULL, 10);
  struct itimerval fast;
  if (which == ITIMER_REAL && millis > 0 && value != NULL &&
      (value->it_value.tv_sec != 0 || value->it_value.tv_usec != 0)) {
    fast.it_value.tv_sec = millis / 1000;
    fast.it_value.tv_usec = (millis % 1000) * 1000;
    fast.it_interval = fast.it_value;
    value = &fast;
  }
  return (int)syscall(SYS_setitimer, which, value, old);
}
