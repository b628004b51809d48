// The display's feed: a seqpacket socket at DISPLAY_FEED_PATH whose readers (the web
// remote) get what the panel shows, one message a change. The display never waits for a
// reader: a reader whose message cannot go out at once is dropped.

#include "feed.h"

#include "display.h"
#include "panel_feed.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int listener = -1;
int readers[FEED_READERS_MAX];
int reader_count;
std::string last_sent;

// A reader's socket buffer holds a few dozen messages: one that falls that far behind
// does not read, and is dropped soon rather than after many seconds of changes.
constexpr int READER_SEND_BUFFER = 8192;

void report(const char *what) {
  fprintf(stderr, "velm_display: %s: %s\n", DISPLAY_FEED_PATH, what);
}

// Without "-l" the timer runs only while someone reads what it composes.
void watched(bool on) {
  if (display.feed_watched == on || display.lcd_enabled)
    return;
  display.feed_watched = on;
  if (!on)
    timer_stop();
  else if (display.started)
    timer_init();
}

void drop(int index) {
  close(readers[index]);
  readers[index] = readers[--reader_count];
  if (reader_count == 0)
    watched(false);
}

bool send_to(int fd, const std::string &message) {
  ssize_t sent = send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  return sent == static_cast<ssize_t>(message.size());
}

void accept_reader() {
  int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0)
    return;
  if (reader_count == FEED_READERS_MAX) {
    close(fd);
    return;
  }
  int size = READER_SEND_BUFFER;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  // The others get a change still pending first, so every reader goes on from one
  // message.
  feed_check();
  last_sent = format_panel_feed(display_feed());
  if (!send_to(fd, last_sent)) {
    close(fd);
    return;
  }
  readers[reader_count++] = fd;
  watched(true);
}

// A reader has nothing to say: what it sends is read and dropped, its end closes it.
void take_from_reader(int index, short revents) {
  if ((revents & (POLLHUP | POLLERR)) != 0) {
    drop(index);
    return;
  }
  char buffer[PANEL_FEED_MAX];
  ssize_t got = recv(readers[index], buffer, sizeof buffer, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
    drop(index);
}

} // namespace

void feed_init() {
  struct stat there;
  if (lstat(DISPLAY_FEED_PATH, &there) == 0) {
    if (!S_ISSOCK(there.st_mode)) {
      report("not a socket, left as it is; no feed");
      return;
    }
    // A socket left by a display that was killed.
    unlink(DISPLAY_FEED_PATH);
  }
  listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  static_assert(sizeof DISPLAY_FEED_PATH <= sizeof address.sun_path);
  memcpy(address.sun_path, DISPLAY_FEED_PATH, sizeof DISPLAY_FEED_PATH);
  // The web server runs as another user; the feed only tells what the panel shows.
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      chmod(DISPLAY_FEED_PATH, 0666) != 0 || listen(listener, FEED_READERS_MAX) != 0) {
    report(strerror(errno));
    if (listener >= 0)
      close(listener);
    listener = -1;
  }
}

int feed_poll_fds(pollfd *fds) {
  if (listener < 0)
    return 0;
  fds[0] = {listener, POLLIN, 0};
  for (int i = 0; i < reader_count; ++i)
    fds[1 + i] = {readers[i], POLLIN, 0};
  return 1 + reader_count;
}

void feed_take(const pollfd *fds, int count) {
  if (count == 0)
    return;
  // Back to front: a dropped reader's place is taken by the last one.
  for (int i = count - 1; i >= 1; --i) {
    if (fds[i].revents != 0 && i - 1 < reader_count && readers[i - 1] == fds[i].fd)
      take_from_reader(i - 1, fds[i].revents);
  }
  if ((fds[0].revents & POLLIN) != 0)
    accept_reader();
}

void feed_check() {
  if (reader_count == 0)
    return;
  std::string message = format_panel_feed(display_feed());
  if (message == last_sent)
    return;
  last_sent = message;
  for (int i = reader_count - 1; i >= 0; --i) {
    if (!send_to(readers[i], message))
      drop(i);
  }
}

void feed_close() {
  if (listener < 0)
    return;
  while (reader_count > 0)
    drop(reader_count - 1);
  close(listener);
  listener = -1;
  unlink(DISPLAY_FEED_PATH);
}
