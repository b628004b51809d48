#include "lcdfeed.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_requested = 0;
sigset_t wait_mask; // the signal mask while waiting: the stop signals let through

void request_stop(int /*signal*/) {
  stop_requested = 1;
}

bool report(const char *program, const char *path, const char *reason) {
  fprintf(stderr, "%s: %s: %s\n", program, path, reason);
  return false;
}

// Non-blocking, so that opening does not wait for a writer; poll does the waiting.
bool open_fifo(LcdFeed &feed, const char *program) {
  feed.fd = open(feed.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (feed.fd < 0)
    return report(program, feed.path, strerror(errno));
  return true;
}

// On the way out, what a writer has already put into the FIFO is still shown: a daemon
// that writes its farewell and closes just before the reader is stopped. A pipe holds
// 64 KiB; a writer that keeps writing does not hold the reader beyond that.
LcdFeedStatus take_last_bytes(LcdFeed &feed, char *buffer, size_t size, size_t &length) {
  constexpr size_t LAST_BYTES_LIMIT = 65536;
  pollfd in = {feed.fd, POLLIN, 0};
  if (feed.last_bytes < LAST_BYTES_LIMIT && poll(&in, 1, 0) == 1 && (in.revents & POLLIN) != 0) {
    ssize_t got = read(feed.fd, buffer, size);
    if (got > 0) {
      length = static_cast<size_t>(got);
      feed.last_bytes += length;
      return LcdFeedStatus::Bytes;
    }
  }
  return LcdFeedStatus::Stopped;
}

} // namespace

void lcd_feed_catch_signals() {
  signal(SIGPIPE, SIG_IGN);
  // The stop signals are blocked except while waiting in ppoll, so none is lost between
  // a look at the flag and the wait.
  sigset_t stops;
  sigemptyset(&stops);
  struct sigaction action = {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(sig, &action, nullptr);
    sigaddset(&stops, sig);
  }
  sigprocmask(SIG_BLOCK, &stops, &wait_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigdelset(&wait_mask, sig);
}

bool lcd_feed_open_device(LcdFeed &feed, const char *program, const char *path) {
  feed.path = path;
  feed.device = true;
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (S_ISCHR(st.st_mode))
      return report(program, path,
                    "a character device is there (a real LCD driver?); leaving it alone");
    if (!S_ISFIFO(st.st_mode))
      return report(program, path, "exists and is not a FIFO; leaving it alone");
  } else if (errno != ENOENT) {
    return report(program, path, strerror(errno));
  } else {
    // The mode is meant for every writer, whatever the umask.
    if (mkfifo(path, 0666) != 0 || chmod(path, 0666) != 0)
      return report(program, path, strerror(errno));
    feed.made_fifo = true;
  }
  return open_fifo(feed, program);
}

bool lcd_feed_open_file(LcdFeed &feed, const char *program, const char *path) {
  feed.path = path;
  feed.device = false;
  if (strcmp(path, "-") == 0) {
    feed.fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  } else {
    feed.fd = open(path, O_RDONLY | O_CLOEXEC);
  }
  if (feed.fd < 0)
    return report(program, path, strerror(errno));
  return true;
}

LcdFeedStatus lcd_feed_read(LcdFeed &feed, const char *program, char *buffer, size_t size,
                            size_t &length, int timeout_ms) {
  length = 0;
  for (;;) {
    if (stop_requested)
      return take_last_bytes(feed, buffer, size, length);
    pollfd in = {feed.fd, POLLIN, 0};
    timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    int ready = ppoll(&in, 1, timeout_ms < 0 ? nullptr : &timeout, &wait_mask);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready < 0) {
      report(program, feed.path, strerror(errno));
      return LcdFeedStatus::Failed;
    }
    if (ready == 0)
      return LcdFeedStatus::Idle;
    ssize_t got = read(feed.fd, buffer, size);
    if (got > 0) {
      length = static_cast<size_t>(got);
      return LcdFeedStatus::Bytes;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (got < 0) {
      report(program, feed.path, strerror(errno));
      return LcdFeedStatus::Failed;
    }
    if (!feed.device)
      return LcdFeedStatus::End;
    // Every writer has gone: a FIFO opened afresh waits for the next one, where the old
    // descriptor would report the end again and again.
    close(feed.fd);
    if (!open_fifo(feed, program))
      return LcdFeedStatus::Failed;
    return LcdFeedStatus::WriterGone;
  }
}

void lcd_feed_close(LcdFeed &feed) {
  if (feed.fd >= 0)
    close(feed.fd);
  feed.fd = -1;
  if (feed.made_fifo)
    unlink(feed.path);
  feed.made_fifo = false;
}
