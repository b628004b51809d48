// audiopace: the sound card of a machine without one. Reads raw audio from a FIFO at the
// rate a card would play it (by default 44,100 stereo 16-bit frames a second) and drops
// it, so a player writing there plays in real time: its elapsed and remaining times run
// at the real speed of the music.
//
//   audiopace [-r RATE] [-c CHANNELS] FIFO
//
// The FIFO is made when it is missing. It is held open for reading and writing, so a
// player that closes and opens it again between songs never makes it see the end.

#include "convert.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long SLICE_NS = 10L * 1000 * 1000; // take audio in slices of 10 ms

[[noreturn]] void usage() {
  fprintf(stderr, "usage: audiopace [-r RATE] [-c CHANNELS] FIFO\n");
  exit(2);
}

[[noreturn]] void fail(const char *what, const char *path) {
  fprintf(stderr, "audiopace: %s: %s\n", path, what);
  exit(1);
}

int open_fifo(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    if (mkfifo(path, 0600) != 0)
      fail(strerror(errno), path);
  } else if (!S_ISFIFO(st.st_mode)) {
    fail("not a FIFO", path);
  }
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0)
    fail(strerror(errno), path);
  // A small pipe keeps the player close to what is heard.
  fcntl(fd, F_SETPIPE_SZ, 8192);
  return fd;
}

void advance(timespec &t, long ns) {
  t.tv_nsec += ns;
  while (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
}

} // namespace

int main(int argc, char **argv) {
  long rate = 44100, channels = 2;
  int option;
  while ((option = getopt(argc, argv, "r:c:")) != -1) {
    bool good = (option == 'r' && parse_long(optarg, 1000, 384000, &rate)) ||
                (option == 'c' && parse_long(optarg, 1, 8, &channels));
    if (!good)
      usage();
  }
  if (optind + 1 != argc || rate < 1000 || rate > 384000 || channels < 1 || channels > 8)
    usage();
  signal(SIGPIPE, SIG_IGN);
  int fd = open_fifo(argv[optind]);

  // Each slice takes what the card would play in 10 ms, and the next slice comes 10 ms
  // later; a slice that had to wait for audio starts the clock afresh.
  const long bytes_per_slice = rate * channels * 2 / 100;
  char buffer[65536];
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    long wanted = bytes_per_slice;
    while (wanted > 0) {
      ssize_t got = read(fd, buffer,
                         static_cast<size_t>(wanted) < sizeof buffer ? static_cast<size_t>(wanted)
                                                                     : sizeof buffer);
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        fail(strerror(errno), argv[optind]);
      wanted -= got;
    }
    advance(next, SLICE_NS);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec))
      next = now; // the slice waited for audio: no catching up after it
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
}
