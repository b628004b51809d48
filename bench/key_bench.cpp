// key_bench: what a key press costs the jukebox before the display is told.
//
// A "player_nextsong" line written into /tmp/fifo.control, as the keyboard writes it,
// until the next song's "display_settitle" line arrives on /tmp/fifo.display: the work of
// the control daemon, of what it runs for the key and of what that writes, without the
// LCD's redraw. The real launcher starts the jukebox on a collection of 48 short songs,
// with the real player and its watcher, except that its display daemon is a stand-in
// that never reads: the bench itself reads /tmp/fifo.display (and the player's output
// lines, through the launcher's -p FIFO) and timestamps the lines as they arrive.
//
// Each press comes after the last one's title arrived, a settle time, and once the
// processes the press started have ended. Per press the bench also counts the pids
// allocated in the sandbox's own pid namespace (/proc/sys/kernel/ns_last_pid before the
// press and after its settle): the processes started for a key, threads included. The
// count is checked first against a known number of forks. For a measure of the machine's
// load, the reference is one process start (fork, exec /bin/true, wait), timed after
// each press.
//
// The jukebox works at its fixed paths, so the bench runs only inside the project's
// sandbox launcher (bench/run.sh starts it so).
//
//   key_bench [--presses N] [--settle-ms MS]

#include "paths.h"

#include "bench_util.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char WORK_DIR[] = "/tmp/keybench";
constexpr char STAND_IN_DIR[] = "/tmp/keybench/bin";
constexpr char STAND_IN_PID[] = "/tmp/keybench/display.pid";
constexpr char PLAYER_OUT[] = "/tmp/keybench/player.out";
constexpr char COLLECTION[] = "/mnt/keys";

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "key_bench: %s\n", what.c_str());
  exit(2);
}

void shell(const std::string &command) {
  if (system(command.c_str()) != 0)
    fail("failed: " + command);
}

struct Settings {
  int presses = 200;
  int settle_ms = 100;
};

// The last pid allocated in our pid namespace.
long last_pid() {
  return atol(read_text("/proc/sys/kernel/ns_last_pid").c_str());
}

// The same from /proc/loadavg's last field, to check the first against.
long loadavg_last_pid() {
  std::string text = read_text("/proc/loadavg");
  size_t at = text.find_last_of(' ');
  return at == std::string::npos ? -1 : atol(text.c_str() + at + 1);
}

// The processes of the namespace now.
std::vector<pid_t> processes() {
  std::vector<pid_t> pids;
  DIR *proc = opendir("/proc");
  if (proc == nullptr)
    fail("cannot list /proc");
  while (const dirent *entry = readdir(proc)) {
    char *end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0')
      pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::string command_of(pid_t pid) {
  std::string cmdline = read_text("/proc/" + std::to_string(pid) + "/cmdline");
  for (char &c : cmdline) {
    if (c == '\0')
      c = ' ';
  }
  return cmdline;
}

// A line reader of one FIFO that stamps each complete line with the time of the read
// that completed it.
struct Channel {
  int fd = -1;
  std::string partial;
};

struct Line {
  double when;
  std::string text;
};

// The jukebox under test, and what the bench reads of it.
struct Jukebox {
  pid_t launcher = -1;
  int control = -1;
  Channel display; // /tmp/fifo.display
  Channel player;  // the player's output lines, as the watcher echoes them
};

void take_lines(Channel &channel, std::vector<Line> &lines) {
  char bytes[8192];
  for (;;) {
    ssize_t got = read(channel.fd, bytes, sizeof bytes);
    if (got <= 0)
      return;
    double when = now_seconds();
    channel.partial.append(bytes, static_cast<size_t>(got));
    size_t newline;
    while ((newline = channel.partial.find('\n')) != std::string::npos) {
      lines.push_back({when, channel.partial.substr(0, newline)});
      channel.partial.erase(0, newline + 1);
    }
  }
}

// Waits up to `timeout` seconds for lines on either channel.
void read_lines(Jukebox &jukebox, double timeout, std::vector<Line> &display,
                std::vector<Line> &player) {
  pollfd fds[2] = {{jukebox.display.fd, POLLIN, 0}, {jukebox.player.fd, POLLIN, 0}};
  int ms = timeout > 0 ? static_cast<int>(timeout * 1000) + 1 : 0;
  if (poll(fds, jukebox.player.fd >= 0 ? 2 : 1, ms) <= 0)
    return;
  if ((fds[0].revents & POLLIN) != 0)
    take_lines(jukebox.display, display);
  if (jukebox.player.fd >= 0 && (fds[1].revents & POLLIN) != 0)
    take_lines(jukebox.player, player);
}

// Reads both channels for `seconds`, keeping the display lines.
std::vector<Line> read_for(Jukebox &jukebox, double seconds) {
  std::vector<Line> display, player;
  double until = now_seconds() + seconds;
  while (now_seconds() < until)
    read_lines(jukebox, until - now_seconds(), display, player);
  return display;
}

bool starts_with(const std::string &text, const char *prefix) {
  return text.rfind(prefix, 0) == 0;
}

// 48 songs: two devices of three lists of eight, each named and tagged as its own.
void make_collection() {
  shell("tonegen 10 220 330 >/tmp/keybench/tune.wav");
  const char *lists[] = {"Harbour Lights - Low Tide", "The Quiet Engines - Gearbox",
                         "Various - Night Radio"};
  for (int device = 1; device <= 2; ++device) {
    for (int l = 0; l < 3; ++l) {
      std::string dir = std::string(COLLECTION) + "/dev" + std::to_string(device) + "/" + lists[l] +
                        (device == 2 ? " II" : "");
      shell("mkdir -p '" + dir + "'");
      for (int s = 1; s <= 8; ++s) {
        char title[64];
        snprintf(title, sizeof title, "Song %d of %c%d", s, 'A' + l, device);
        char file[96];
        snprintf(file, sizeof file, "%02d - %s.mp3", s, title);
        shell("lame --quiet -m m -b 64 --tt '" + std::string(title) + "' --ta 'Artist " +
              std::to_string(l + 1) + "' --tn " + std::to_string(s) + " /tmp/keybench/tune.wav '" +
              dir + "/" + file + "'");
      }
    }
  }
}

// The display daemon's stand-in: it takes the daemon's place in the launcher's table and
// never reads, so /tmp/fifo.display has the bench as its only reader.
void make_stand_in() {
  shell(std::string("mkdir -p ") + STAND_IN_DIR);
  std::string script = std::string(STAND_IN_DIR) + "/velm_display";
  FILE *fp = fopen(script.c_str(), "we");
  if (fp == nullptr)
    fail("cannot write " + script);
  fprintf(fp, "#!/bin/sh\necho $$ >%s\nexec sleep 100000\n", STAND_IN_PID);
  fclose(fp);
  chmod(script.c_str(), 0755);
}

Jukebox start_jukebox() {
  Jukebox jukebox;
  unlink(PLAYER_OUT);
  unlink(STAND_IN_PID);
  if (mkfifo(PLAYER_OUT, 0600) != 0)
    fail("cannot make the player's output FIFO");
  // Opened before the launcher opens it for writing, which then does not wait.
  jukebox.player.fd = open(PLAYER_OUT, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  jukebox.launcher = fork();
  if (jukebox.launcher == 0) {
    int log = open("/tmp/keybench/velm.err", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(log, STDERR_FILENO);
    std::string dev1 = std::string(COLLECTION) + "/dev1", dev2 = std::string(COLLECTION) + "/dev2";
    execlp("velm", "velm", "-l", "-t", "-r", "s", "-p", PLAYER_OUT, dev1.c_str(), dev2.c_str(),
           static_cast<char *>(nullptr));
    _exit(127);
  }
  // The stand-in starts once the launcher has made the display FIFO.
  double start = now_seconds();
  while (access(STAND_IN_PID, F_OK) != 0) {
    if (now_seconds() - start > 30)
      fail("the launcher did not start the display daemon");
    usleep(2000);
  }
  jukebox.display.fd = open(FIFO_DISPLAY_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (jukebox.display.fd < 0)
    fail("cannot open /tmp/fifo.display");
  return jukebox;
}

void stop_jukebox(Jukebox &jukebox) {
  close(jukebox.control);
  kill(jukebox.launcher, SIGTERM);
  // Once the launcher is stopping, it starts no display again: the stand-in, which has no
  // input to end at, is ended in its place.
  read_for(jukebox, 0.2);
  pid_t stand_in = static_cast<pid_t>(atol(read_text(STAND_IN_PID).c_str()));
  if (stand_in > 0)
    kill(stand_in, SIGTERM);
  int status = 0;
  while (waitpid(jukebox.launcher, &status, WNOHANG) == 0)
    read_for(jukebox, 0.01);
  close(jukebox.display.fd);
  close(jukebox.player.fd);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("velm did not end with status 0");
}

// Waits until the set of processes has stayed the same for `quiet` seconds; false after
// `timeout`.
bool await_quiet(Jukebox &jukebox, double quiet, double timeout, std::vector<pid_t> &set) {
  double start = now_seconds(), since = start;
  set = processes();
  while (now_seconds() - start < timeout) {
    read_for(jukebox, 0.02);
    std::vector<pid_t> now = processes();
    if (now != set) {
      set = now;
      since = now_seconds();
    } else if (now_seconds() - since >= quiet) {
      return true;
    }
  }
  return false;
}

// Seconds to start one process and see it end: fork, exec /bin/true, wait. What the
// machine's load makes of a process start while the presses run.
double process_start() {
  double start = now_seconds();
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/true", "true", static_cast<char *>(nullptr));
    _exit(127);
  }
  waitpid(pid, nullptr, 0);
  return now_seconds() - start;
}

// The pid count against a known number of forks, the jukebox running idle meanwhile.
void check_pid_count(Jukebox &jukebox) {
  constexpr int FORKS = 20;
  read_for(jukebox, 0.05);
  long before = last_pid(), before_loadavg = loadavg_last_pid();
  for (int i = 0; i < FORKS; ++i) {
    pid_t pid = fork();
    if (pid == 0)
      _exit(0);
    waitpid(pid, nullptr, 0);
  }
  long counted = last_pid() - before, counted_loadavg = loadavg_last_pid() - before_loadavg;
  if (counted != FORKS || counted_loadavg != FORKS)
    fail("the pid count is off: " + std::to_string(FORKS) + " forks counted as " +
         std::to_string(counted) + " (ns_last_pid), " + std::to_string(counted_loadavg) +
         " (loadavg)");
  // And the jukebox's own share while no key is pressed.
  before = last_pid();
  read_for(jukebox, 2);
  long idle = last_pid() - before;
  add_note("pid count: %d forks counted as %ld (ns_last_pid and /proc/loadavg agree); "
           "the jukebox idle for 2 s: %ld pids\n",
           FORKS, counted, idle);
}

void bench_keys(const Settings &settings) {
  fprintf(stderr, "keys: a collection of 48 songs...\n");
  make_collection();
  make_stand_in();
  Jukebox jukebox = start_jukebox();
  jukebox.control = open(FIFO_CONTROL_PATH, O_WRONLY | O_CLOEXEC);
  if (jukebox.control < 0)
    fail("cannot open /tmp/fifo.control");

  // Started: the first title shown, the music playing, and no process coming or going.
  std::string title;
  std::vector<Line> display, player;
  bool playing = false;
  double start = now_seconds();
  while (title.empty() || !playing) {
    if (now_seconds() - start > 30)
      fail("the jukebox did not start playing");
    display.clear();
    player.clear();
    read_lines(jukebox, 0.05, display, player);
    for (const Line &line : display) {
      if (starts_with(line.text, "display_settitle "))
        title = line.text;
    }
    for (const Line &line : player)
      playing = playing || starts_with(line.text, "@F ");
  }
  std::vector<pid_t> steady;
  if (!await_quiet(jukebox, 0.5, 10, steady))
    fail("the jukebox's processes did not settle after its start");
  check_pid_count(jukebox);

  fprintf(stderr, "keys: %d presses...\n", settings.presses);
  std::vector<double> to_title, to_player, starts;
  std::vector<long> pids;
  double settle = settings.settle_ms * 1e-3;
  for (int i = 0; i < settings.presses; ++i) {
    long pid_before = last_pid();
    double pressed = now_seconds();
    if (write(jukebox.control, "player_nextsong\n", 16) != 16)
      fail("cannot write a key's line");
    double title_at = -1, player_at = -1;
    while (title_at < 0) {
      if (now_seconds() - pressed > 10)
        fail("press " + std::to_string(i + 1) + ": no new title on /tmp/fifo.display");
      display.clear();
      player.clear();
      read_lines(jukebox, 0.5, display, player);
      for (const Line &line : display) {
        if (title_at < 0 && starts_with(line.text, "display_settitle ") && line.text != title) {
          title_at = line.when;
          title = line.text;
        }
      }
      // The player's first line after the key other than a frame's: its answer to LOAD.
      for (const Line &line : player) {
        if (player_at < 0 && !starts_with(line.text, "@F "))
          player_at = line.when;
      }
    }
    to_title.push_back(title_at - pressed);
    if (player_at > 0)
      to_player.push_back(player_at - pressed);
    // The settle, then until the press's processes have ended.
    read_for(jukebox, settle);
    double waited = now_seconds();
    while (processes() != steady) {
      if (now_seconds() - waited > 5) {
        std::string left;
        for (pid_t pid : processes()) {
          if (std::find(steady.begin(), steady.end(), pid) == steady.end())
            left += " [" + command_of(pid) + "]";
        }
        fail("press " + std::to_string(i + 1) + ": processes left:" + left);
      }
      read_for(jukebox, 0.005);
    }
    pids.push_back(last_pid() - pid_before);
    starts.push_back(process_start());
  }
  stop_jukebox(jukebox);

  double mid = median(to_title), p99 = percentile(to_title, 0.99);
  std::vector<double> pid_counts(pids.begin(), pids.end());
  double start_mid = median(starts);
  add_row({"key to title line, " + std::to_string(to_title.size()) + " presses: median",
           format_time(mid), "one process start " + format_time(start_mid),
           format_ratio(mid / start_mid), "< 10 ms", mid < 0.010 ? "PASS" : "FAIL"});
  add_row({"key to title line: 99th percentile", format_time(p99), "", "", "< 30 ms",
           p99 < 0.030 ? "PASS" : "FAIL"});
  add_row({"key to title line: slowest",
           format_time(*std::max_element(to_title.begin(), to_title.end())), "", "", "", "-"});
  if (!to_player.empty())
    add_row(
        {"key to the player's answer: median", format_time(median(to_player)), "", "", "", "-"});
  char count[64];
  snprintf(count, sizeof count, "%.0f (%ld to %ld)", median(pid_counts),
           *std::min_element(pids.begin(), pids.end()),
           *std::max_element(pids.begin(), pids.end()));
  add_row({"processes started per key: median (range)", count, "", "", "", "-"});
}

} // namespace

int main(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--presses" && i + 1 < argc) {
      settings.presses = atoi(argv[++i]);
    } else if (arg == "--settle-ms" && i + 1 < argc) {
      settings.settle_ms = atoi(argv[++i]);
    } else {
      fail("usage: key_bench [--presses N] [--settle-ms MS]");
    }
  }
  if (settings.presses < 1 || settings.settle_ms < 0)
    fail("--presses needs at least 1, --settle-ms at least 0");
  if (!inside_sandbox())
    fail("run me inside the sandbox launcher (bench/run.sh key)");
  signal(SIGPIPE, SIG_IGN);
  shell(std::string("mkdir -p ") + WORK_DIR);
  setenv("PATH", (std::string(STAND_IN_DIR) + ":" + VELM_BIN_DIR + ":" + getenv("PATH")).c_str(),
         1);

  printf("key_bench: the launcher with the real player and watcher, its display FIFO read "
         "by the bench (load %s)\n",
         load_average().c_str());
  bench_keys(settings);
  print_table();
  printf("%s", notes.c_str());
  return all_met ? 0 : 1;
}
