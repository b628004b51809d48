// The read loop: display command lines from /tmp/fifo.display and the 100 ms timer, in
// one poll loop, so drawing never runs in the middle of a command.

#include "daemon.h"
#include "display.h"
#include "feed.h"
#include "paths.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

int display_in = -1; // /tmp/fifo.display
int timer_fd = -1;   // armed by timer_init; until then no ticks come

constexpr long TICK_NANOSECONDS = 100L * 1000 * 1000;

// One expiry of the timer: draws when the display is started and the LCD is on, or
// composes the rows for the feed's readers.
void timer_handler() {
  if (display.started && (display.lcd_enabled || display.feed_watched))
    lcd_update();
  feed_check();
}

// Runs the timer's handler once for the expiries that have come; expiries that came
// together while the loop was busy count as one tick, as a signal would.
void take_ticks() {
  uint64_t expiries;
  if (read(timer_fd, &expiries, sizeof expiries) == static_cast<ssize_t>(sizeof expiries))
    timer_handler();
}

// Dispatches the lines in what the FIFO holds now. False at the end of the input.
bool take_lines(LineAssembler &assembler, ArgumentBuffers &buffers) {
  char chunk[4096];
  ssize_t got = read(display_in, chunk, sizeof chunk);
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN)
      return true;
    fprintf(stderr, "velm_display: %s: %s\n", FIFO_DISPLAY_PATH, strerror(errno));
    return false;
  }
  if (got == 0) {
    if (ipc_take_last_line(assembler)) {
      display_dispatch(assembler.line, buffers);
      feed_check();
    }
    return false;
  }
  const char *p = chunk;
  while (ipc_take_line(assembler, p, chunk + got)) {
    display_dispatch(assembler.line, buffers);
    feed_check();
  }
  return true;
}

} // namespace

void ipc_init() {
  debug_trace("ipc_init");
  // Opening waits for the first writer.
  do
    display_in = open(FIFO_DISPLAY_PATH, O_RDONLY | O_CLOEXEC);
  while (display_in < 0 && errno == EINTR);
  if (display_in < 0) {
    fprintf(stderr, "velm_display: %s: %s\n", FIFO_DISPLAY_PATH, strerror(errno));
    exit(1);
  }
}

void ipc_read() {
  debug_trace("ipc_read_started");
  ArgumentBuffers buffers = {};
  LineAssembler assembler;
  for (;;) {
    // A timer not armed (fd -1) is passed over by poll.
    pollfd fds[2 + FEED_POLL_MAX] = {{display_in, POLLIN, 0}, {timer_fd, POLLIN, 0}};
    int feed_count = feed_poll_fds(fds + 2);
    if (poll(fds, static_cast<nfds_t>(feed_count) + 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      fprintf(stderr, "velm_display: poll: %s\n", strerror(errno));
      break;
    }
    // The tick first: a flood of command lines must not hold the drawing back.
    if (timer_fd >= 0 && (fds[1].revents & POLLIN) != 0)
      take_ticks();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !take_lines(assembler, buffers))
      break;
    feed_take(fds + 2, feed_count);
  }
  debug_trace("ipc_read_finished");
}

void ipc_close() {
  debug_trace("ipc_close");
  close(display_in);
  display_in = -1;
}

void timer_init() {
  if (timer_fd < 0)
    timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer_fd < 0) {
    fprintf(stderr, "velm_display: timer: %s\n", strerror(errno));
    return;
  }
  itimerspec period = {};
  period.it_value.tv_nsec = TICK_NANOSECONDS;
  period.it_interval.tv_nsec = TICK_NANOSECONDS;
  timerfd_settime(timer_fd, 0, &period, nullptr);
}

void timer_stop() {
  if (timer_fd < 0)
    return;
  itimerspec off = {};
  timerfd_settime(timer_fd, 0, &off, nullptr);
}
