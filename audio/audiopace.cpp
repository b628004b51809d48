// audiopace: the sound card of a machine without one. Reads raw audio from a FIFO at the
// rate a card would play it (by default 44,100 stereo 16-bit frames a second) and drops
// it, so a player writing there plays in real time: its elapsed and remaining times run
// at the real speed of the music.
//
//   audiopace [-r RATE] [-c CHANNELS] [-s FILE] [-a] FIFO
//
// The FIFO is made when it is missing. It is held open for reading and writing, so a
// player that closes and opens it again between songs never makes it see the end.
//
// With -s, every byte taken is also appended to FILE as it is taken (the raw audio as
// the player wrote it), so what was heard can be measured afterwards. FILE is cut back to
// whole frames first: a pacer killed between two writes leaves at most part of a frame,
// and the one started after it goes on from a frame's start. A write to FILE that fails
// (a full disk) is reported once and the recording stops; the pacing goes on.
//
// With -a, the audio is passed on to the sound card through `aplay`, which reads it on
// its standard input and paces it at the card's own rate; the pacer's timer is not used
// then. When aplay cannot be started or ends, that is reported once and the timer paces
// the audio from then on.

#include "convert.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr long SLICE_NS = 10L * 1000 * 1000; // take audio in slices of 10 ms

[[noreturn]] void usage() {
  fprintf(stderr, "usage: audiopace [-r RATE] [-c CHANNELS] [-s FILE] [-a] FIFO\n");
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

// Opens the recording for appending, cut back to whole frames of `frame` bytes.
int open_recording(const char *path, long frame) {
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    fail(strerror(errno), path);
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size % frame != 0 &&
      ftruncate(fd, st.st_size - st.st_size % frame) != 0)
    fail(strerror(errno), path);
  return fd;
}

// Writes all of `bytes`; false with errno set when that failed.
bool write_all(int fd, const char *bytes, size_t size) {
  while (size > 0) {
    ssize_t done = write(fd, bytes, size);
    if (done < 0 && errno == EINTR)
      continue;
    if (done < 0)
      return false;
    if (done == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// The card's player: aplay reading raw audio on a pipe.
struct Card {
  pid_t pid = -1;
  int fd = -1; // the pipe's writing end; -1: the timer paces
};

Card start_card(long rate, long channels) {
  Card card;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fprintf(stderr, "audiopace: pipe: %s; paced by the timer\n", strerror(errno));
    return card;
  }
  // As small as the FIFO's: the card, not the pipe, holds what is about to be heard.
  fcntl(fds[1], F_SETPIPE_SZ, 8192);
  std::string rate_text = std::to_string(rate), channels_text = std::to_string(channels);
  const char *argv[] = {"aplay", "-q",
                        "-t",    "raw",
                        "-f",    "S16_LE",
                        "-r",    rate_text.c_str(),
                        "-c",    channels_text.c_str(),
                        nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  pid_t pid;
  int error =
      posix_spawnp(&pid, "aplay", &actions, nullptr, const_cast<char *const *>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (error != 0) {
    fprintf(stderr, "audiopace: aplay: %s; paced by the timer\n", strerror(error));
    close(fds[1]);
    return card;
  }
  card.pid = pid;
  card.fd = fds[1];
  return card;
}

// aplay stopped taking audio: it is reaped and the timer paces from now on. It may still
// be playing what it took, so it is given 2 s to end before it is ended.
void lose_card(Card &card) {
  close(card.fd);
  card.fd = -1;
  int status = 0;
  for (int i = 0; i < 200 && waitpid(card.pid, &status, WNOHANG) == 0; ++i)
    usleep(10000);
  if (waitpid(card.pid, &status, WNOHANG) == 0) {
    kill(card.pid, SIGTERM);
    while (waitpid(card.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status))
    fprintf(stderr, "audiopace: aplay ended (status %d); paced by the timer\n",
            WEXITSTATUS(status));
  else
    fprintf(stderr, "audiopace: aplay ended (signal %d); paced by the timer\n",
            WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  card.pid = -1;
}

void advance(timespec &t, long ns) {
  t.tv_nsec += ns;
  while (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
}

// The next slice comes 10 ms after the last; a slice that had to wait for audio starts
// the clock afresh.
void wait_for_slice(timespec &next) {
  advance(next, SLICE_NS);
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec))
    next = now; // the slice waited for audio: no catching up after it
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
}

// Reads `bytes` whole (at most 61,440: 384,000 frames of 8 channels a second, 10 ms).
size_t take_slice(int fd, char *buffer, long bytes, const char *path) {
  size_t taken = 0;
  while (bytes > 0) {
    ssize_t got = read(fd, buffer + taken, static_cast<size_t>(bytes));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      fail(strerror(errno), path);
    bytes -= got;
    taken += static_cast<size_t>(got);
  }
  return taken;
}

struct Recording {
  const char *path = nullptr;
  int fd = -1; // -1: no recording, or it stopped
};

void record(Recording &recording, const char *bytes, size_t size) {
  if (recording.fd < 0 || write_all(recording.fd, bytes, size))
    return;
  fprintf(stderr, "audiopace: %s: %s; recording stops, the music plays on\n", recording.path,
          strerror(errno));
  close(recording.fd);
  recording.fd = -1;
}

struct Settings {
  long rate = 44100, channels = 2;
  const char *record_path = nullptr; // -s
  bool to_card = false;              // -a
  const char *fifo = nullptr;
};

Settings parse_settings(int argc, char **argv) {
  Settings settings;
  int option;
  while ((option = getopt(argc, argv, "r:c:s:a")) != -1) {
    bool good = (option == 'r' && parse_long(optarg, 1000, 384000, &settings.rate)) ||
                (option == 'c' && parse_long(optarg, 1, 8, &settings.channels)) ||
                (option == 's' && optarg[0] != '\0') || option == 'a';
    if (!good)
      usage();
    if (option == 's')
      settings.record_path = optarg;
    settings.to_card = settings.to_card || option == 'a';
  }
  if (optind + 1 != argc)
    usage();
  settings.fifo = argv[optind];
  return settings;
}

} // namespace

int main(int argc, char **argv) {
  const Settings settings = parse_settings(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  int fd = open_fifo(settings.fifo);
  Recording recording;
  if (settings.record_path != nullptr)
    recording = {settings.record_path, open_recording(settings.record_path, settings.channels * 2)};
  Card card = settings.to_card ? start_card(settings.rate, settings.channels) : Card{};

  // Each slice takes what the card would play in 10 ms. With the card, its writes wait
  // while the card is full, which paces the slices; else the timer does.
  const long bytes_per_slice = settings.rate * settings.channels * 2 / 100;
  char buffer[65536];
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    size_t taken = take_slice(fd, buffer, bytes_per_slice, settings.fifo);
    record(recording, buffer, taken);
    if (card.fd >= 0) {
      if (write_all(card.fd, buffer, taken))
        continue;
      lose_card(card);
      clock_gettime(CLOCK_MONOTONIC, &next);
    }
    wait_for_slice(next);
  }
}
