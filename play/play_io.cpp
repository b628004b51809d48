#include "play_io.h"

#include "atomic_file.h"
#include "daemon.h"
#include "paths.h"
#include "plfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A FIFO that has no reader is waited for this long, then its lines are dropped: a
// daemon being started again must not hold the move up.
constexpr int FIFO_WAIT_MS = 2000;
// State files are small; anything longer is not one of ours.
constexpr size_t STATE_MAX = 4096;

void report(const std::string &message) {
  fprintf(stderr, "velm_play: %s\n", message.c_str());
}

// State files are read only when they are plain files (a FIFO put there by someone else
// cannot hold the move up).
bool read_state_file(const char *path, std::string &text) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  text.clear();
  char buffer[512];
  ssize_t n;
  while (text.size() < STATE_MAX && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR)
        continue;
      close(fd);
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool replace_state_file(const char *path, const std::string &text) {
  return write_text_file(path, text.data(), text.size());
}

// The removal reaches the disk with the folder's sync; a file that is not there is
// removed already.
bool remove_state_file(const char *path) {
  if (unlink(path) != 0)
    return errno == ENOENT;
  const char *name;
  int folder = open_folder_of(path, &name);
  if (folder < 0)
    return false;
  bool synced = fsync(folder) == 0 || errno == EINVAL;
  int saved = errno;
  close(folder);
  errno = saved;
  return synced;
}

// A line break inside a line would make two commands of it.
std::string one_line(std::string line) {
  for (char &c : line) {
    if (c == '\n' || c == '\r')
      c = ' ';
  }
  return line;
}

// The lines in one write, so no other writer's line comes between them.
bool send_lines(const char *fifo, const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines)
    text += one_line(line) + "\n";
  int fd = fifo_open_writer(fifo, FIFO_WAIT_MS);
  if (fd < 0) {
    report(std::string(fifo) + ": " + (errno == ENXIO ? "no reader" : strerror(errno)));
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      report(std::string(fifo) + ": " + strerror(errno));
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return true;
}

bool print_player_line(const std::string &line) {
  // At once: the player waits for it, and the durable steps of the move come after.
  return fprintf(stdout, "%s\n", one_line(line).c_str()) >= 0 && fflush(stdout) == 0;
}

// espeak-ng in the background, its output dropped; a machine without it says nothing.
void speak(const std::string &title) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char program[] = "espeak-ng";
  char dashes[] = "--";
  std::string text = title;
  char *argv[] = {program, dashes, text.data(), nullptr};
  pid_t pid;
  posix_spawnp(&pid, program, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

} // namespace

PlayIo system_play_io(bool player_to_stdout) {
  PlayIo io;
  io.read = read_state_file;
  io.replace = replace_state_file;
  io.remove = remove_state_file;
  io.open_list = pl_open_read;
  if (player_to_stdout)
    io.player = print_player_line;
  else
    io.player = [](const std::string &line) { return send_lines(FIFO_PLAYER_PATH, {line}); };
  io.display = [](const std::vector<std::string> &lines) {
    return send_lines(FIFO_DISPLAY_PATH, lines);
  };
  io.say = speak;
  io.report = report;
  return io;
}

bool take_play_lock() {
  // Never through a link someone put under the name in the shared /tmp.
  int fd = open(LOCK_PATH, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    report(std::string(LOCK_PATH) + ": " + strerror(errno));
    return false;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      report(std::string(LOCK_PATH) + ": " + strerror(errno));
      return false;
    }
  }
  return true; // held until the program ends
}
