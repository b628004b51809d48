// control_bench: measures velm_control as a relay of command lines and prints each figure
// beside the same figure of a plain `cat /tmp/fifo.control >/tmp/fifo.player` relay
// measured in the same run:
//
//   - latency: one "player_jumpfw" line written into the control FIFO, then the time until
//     its "JUMP +200" line can be read from the player FIFO; median and 99th percentile
//     over many lines, each sent only after the previous one came out;
//   - throughput: many such lines pushed as fast as one writer can, one write per line
//     as the channel's writers do, until the last jump line is read;
//   - idle cost: CPU time over an idle period (its saves every 10 seconds included) and
//     peak resident memory.
//
// The daemon opens its fixed FIFOs and writes its state files under /tmp, so the bench
// runs only inside the project's sandbox launcher (bench/run.sh starts it so).
//
//   control_bench [--latency-lines N] [--lines N] [--runs N] [--idle-seconds S]
//                 [latency|throughput|idle]...
//
// Without section names every section runs.

#include "paths.h"

#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------
// Small helpers

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "control_bench: %s\n", what.c_str());
  exit(2);
}

std::string format_rate(double lines_per_second) {
  return with_commas(std::lround(lines_per_second)) + " lines/s";
}

// ---------------------------------------------------------------------------------------
// Relays

const char *const LINE = "player_jumpfw\n";
const size_t LINE_SIZE = strlen(LINE);
const char *const JUMP = "JUMP +200\n";
const size_t JUMP_SIZE = strlen(JUMP);

// A process between our control writer and our player reader: velm_control on its fixed
// FIFOs, or cat on FIFOs of its own.
struct Relay {
  bool ours = false;
  pid_t pid = -1;
  int control = -1; // our writing end
  int player = -1;  // our reading end
  int display = -1; // our reading end (velm_control only)
  // What one command line becomes on the player FIFO.
  const char *out() const { return ours ? JUMP : LINE; }
  size_t out_size() const { return ours ? JUMP_SIZE : LINE_SIZE; }
  const char *name() const { return ours ? "velm_control" : "cat"; }
};

void make_fifo(const char *path) {
  unlink(path);
  if (mkfifo(path, 0600) != 0)
    fail(std::string("cannot make ") + path + ": " + strerror(errno));
}

int open_or_fail(const char *path, int flags) {
  int fd;
  do
    fd = open(path, flags | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0)
    fail(std::string("cannot open ") + path + ": " + strerror(errno));
  return fd;
}

void set_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    fail("cannot make a FIFO blocking");
}

// Reads from a blocking descriptor until `size` bytes are in, or fails.
void read_exactly(int fd, char *buffer, size_t size) {
  size_t have = 0;
  while (have < size) {
    ssize_t got = read(fd, buffer + have, size - have);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      fail("the relay stopped sending");
    have += static_cast<size_t>(got);
  }
}

// Waits, up to 10 seconds, until `lines` lines have come from a non-blocking descriptor.
void await_lines(int fd, int lines) {
  double deadline = now_seconds() + 10;
  int seen = 0;
  char buffer[512];
  while (seen < lines) {
    if (now_seconds() > deadline)
      fail("velm_control did not finish its start");
    struct pollfd pfd = {fd, POLLIN, 0};
    poll(&pfd, 1, 10);
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
      seen += static_cast<int>(std::count(buffer, buffer + got, '\n'));
    else
      usleep(1000);
  }
}

Relay start_relay(bool ours) {
  Relay relay;
  relay.ours = ours;
  const char *control_path = ours ? FIFO_CONTROL_PATH : "/tmp/cat.control";
  const char *player_path = ours ? FIFO_PLAYER_PATH : "/tmp/cat.player";
  make_fifo(control_path);
  make_fifo(player_path);
  if (ours)
    make_fifo(FIFO_DISPLAY_PATH);
  // The reading ends first and without waiting, so the relay's opens find them.
  relay.player = open_or_fail(player_path, O_RDONLY | O_NONBLOCK);
  if (ours)
    relay.display = open_or_fail(FIFO_DISPLAY_PATH, O_RDONLY | O_NONBLOCK);
  relay.pid = fork();
  if (relay.pid < 0)
    fail("cannot fork");
  if (relay.pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0)
      _exit(126);
    dup2(in, 0);
    dup2(out, 2);
    signal(SIGPIPE, SIG_DFL);
    if (ours) {
      dup2(out, 1);
      std::string program = std::string(VELM_BIN_DIR) + "/velm_control";
      execl(program.c_str(), "velm_control", static_cast<char *>(nullptr));
    } else {
      // As the shell runs `cat /tmp/cat.control >/tmp/cat.player`.
      int player = open(player_path, O_WRONLY);
      if (player < 0)
        _exit(126);
      dup2(player, 1);
      execlp("cat", "cat", control_path, static_cast<char *>(nullptr));
    }
    _exit(127);
  }
  // Waits until the relay has opened its reading end.
  relay.control = open_or_fail(control_path, O_WRONLY);
  if (ours)
    await_lines(relay.display, 5); // the mixer's start-up lines: the loop runs
  else
    usleep(100000); // cat has nothing to say; give it time to settle
  set_blocking(relay.player);
  return relay;
}

struct Stopped {
  long peak_rss_kib = 0; // VmHWM just before the end
  struct rusage usage = {};
};

// Closes our writing end, so the relay reads end of file and ends, and reaps it.
Stopped stop_relay(Relay &relay) {
  Stopped stopped;
  stopped.peak_rss_kib = status_kib(relay.pid, "VmHWM");
  close(relay.control);
  char buffer[4096];
  while (read(relay.player, buffer, sizeof buffer) > 0) {
  }
  int status;
  while (wait4(relay.pid, &status, 0, &stopped.usage) < 0) {
    if (errno != EINTR)
      fail("cannot wait");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail(std::string(relay.name()) + " did not end well");
  close(relay.player);
  if (relay.display >= 0)
    close(relay.display);
  return stopped;
}

// ---------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------
// The figures

const char *const SECTIONS[] = {"latency", "throughput", "idle"};

struct Settings {
  int latency_lines = 10000;
  int lines = 100000; // per throughput run
  int runs = 9;       // throughput runs of each relay, in turns, after one warm-up
  double idle_seconds = 60;
  Sections sections;
};

// The time of each line from its write to its jump line, after some lines of warm-up.
std::vector<double> round_trips(Relay &relay, int lines) {
  std::vector<double> times;
  times.reserve(static_cast<size_t>(lines));
  char buffer[64];
  for (int i = -200; i < lines; ++i) {
    double start = now_seconds();
    if (write(relay.control, LINE, LINE_SIZE) != static_cast<ssize_t>(LINE_SIZE))
      fail("cannot write a command line");
    read_exactly(relay.player, buffer, relay.out_size());
    double end = now_seconds();
    if (memcmp(buffer, relay.out(), relay.out_size()) != 0)
      fail(std::string(relay.name()) +
           " sent something else: " + std::string(buffer, relay.out_size()));
    if (i >= 0)
      times.push_back(end - start);
  }
  return times;
}

void bench_latency(const Settings &settings) {
  fprintf(stderr, "latency: %s lines through each relay...\n",
          with_commas(settings.latency_lines).c_str());
  Relay ours = start_relay(true);
  std::vector<double> our_times = round_trips(ours, settings.latency_lines);
  stop_relay(ours);
  Relay cat = start_relay(false);
  std::vector<double> cat_times = round_trips(cat, settings.latency_lines);
  stop_relay(cat);

  std::string count = with_commas(settings.latency_lines);
  struct Figure {
    std::string name;
    double ours, cat, limit;
    std::string target;
  } const figures[] = {
      {"latency, median of " + count + " lines", median(our_times), median(cat_times), 100e-6,
       "< 100 us"},
      {"latency, 99th percentile", percentile(our_times, 0.99), percentile(cat_times, 0.99), 1e-3,
       "< 1 ms"},
  };
  for (const Figure &f : figures)
    add_row({f.name, format_time(f.ours), "cat " + format_time(f.cat),
             "ours/ref " + format_ratio(f.ours / f.cat), f.target,
             f.ours < f.limit ? "PASS" : "FAIL"});
  add_row(
      {"latency, slowest line", format_time(*std::max_element(our_times.begin(), our_times.end())),
       "cat " + format_time(*std::max_element(cat_times.begin(), cat_times.end())), "", "", "-"});
}

// Seconds from the first write to the last byte read when one writer pushes `lines`
// lines, one write each, as fast as it can.
double push_lines(Relay &relay, int lines) {
  double start = now_seconds();
  pid_t writer = fork();
  if (writer < 0)
    fail("cannot fork");
  if (writer == 0) {
    for (int i = 0; i < lines; ++i) {
      if (write(relay.control, LINE, LINE_SIZE) != static_cast<ssize_t>(LINE_SIZE))
        _exit(1);
    }
    _exit(0);
  }
  size_t expected = relay.out_size() * static_cast<size_t>(lines);
  size_t have = 0;
  static char buffer[1 << 16];
  while (have < expected) {
    ssize_t got = read(relay.player, buffer, std::min(sizeof buffer, expected - have));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      fail("the relay stopped sending");
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] != relay.out()[(have + static_cast<size_t>(i)) % relay.out_size()])
        fail(std::string(relay.name()) + " garbled the lines");
    }
    have += static_cast<size_t>(got);
  }
  double seconds = now_seconds() - start;
  int status;
  while (waitpid(writer, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("the writer failed");
  return seconds;
}

void bench_throughput(const Settings &settings) {
  fprintf(stderr, "throughput: %d runs of %s lines through each relay...\n", settings.runs,
          with_commas(settings.lines).c_str());
  Relay ours = start_relay(true);
  Relay cat = start_relay(false);
  push_lines(ours, settings.lines);
  push_lines(cat, settings.lines);
  std::vector<double> our_rates, cat_rates;
  for (int run = 0; run < settings.runs; ++run) {
    our_rates.push_back(settings.lines / push_lines(ours, settings.lines));
    cat_rates.push_back(settings.lines / push_lines(cat, settings.lines));
  }
  stop_relay(ours);
  stop_relay(cat);
  double our_rate = median(our_rates), cat_rate = median(cat_rates);
  double ratio = our_rate / cat_rate;
  add_note("\nthroughput: one writer, one write per line; velm_control writes the jump lines of "
           "the commands\nit has already read in one write before it waits again, cat copies "
           "whatever it has read in one write\n");
  add_row({"throughput, " + with_commas(settings.lines) + " lines", format_rate(our_rate),
           "cat " + format_rate(cat_rate), "ours/ref " + format_ratio(ratio), "ours/ref >= 0.5",
           ratio >= 0.5 ? "PASS" : "FAIL"});
}

void bench_idle(const Settings &settings) {
  fprintf(stderr, "idle: both relays idle for %g s...\n", settings.idle_seconds);
  Relay ours = start_relay(true);
  Relay cat = start_relay(false);
  Cpu our_before = cpu_of(ours.pid), cat_before = cpu_of(cat.pid);
  struct stat volume_before = {};
  bool had_volume = stat(VOLUME_PATH, &volume_before) == 0;
  double start = now_seconds();
  double left;
  while ((left = start + settings.idle_seconds - now_seconds()) > 0)
    usleep(static_cast<useconds_t>(std::min(left, 1.0) * 1e6));
  Cpu our_after = cpu_of(ours.pid), cat_after = cpu_of(cat.pid);
  struct stat volume_after = {};
  bool saved = stat(VOLUME_PATH, &volume_after) == 0 &&
               (!had_volume || volume_after.st_ino != volume_before.st_ino);
  Stopped our_end = stop_relay(ours);
  Stopped cat_end = stop_relay(cat);

  char period[32];
  snprintf(period, sizeof period, "%g s", settings.idle_seconds);
  double our_cpu = our_after.schedstat - our_before.schedstat;
  double cat_cpu = cat_after.schedstat - cat_before.schedstat;
  add_row({std::string("idle CPU over ") + period + " (schedstat)", format_time(our_cpu),
           "cat " + format_time(cat_cpu),
           cat_cpu > 0 ? "ours/ref " + format_ratio(our_cpu / cat_cpu) : "", "", "-"});
  add_row({std::string("idle CPU over ") + period + " (stat user+sys)",
           format_time(our_after.stat - our_before.stat),
           "cat " + format_time(cat_after.stat - cat_before.stat), "", "", "-"});
  auto total = [](const struct rusage &u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
  };
  add_row({"CPU of the whole idle run (rusage user+sys)", format_time(total(our_end.usage)),
           "cat " + format_time(total(cat_end.usage)), "", "", "-"});
  add_row({"peak RSS (VmHWM)", format_kib(our_end.peak_rss_kib),
           "cat " + format_kib(cat_end.peak_rss_kib),
           cat_end.peak_rss_kib > 0
               ? "ours/ref " + format_ratio(static_cast<double>(our_end.peak_rss_kib) /
                                            static_cast<double>(cat_end.peak_rss_kib))
               : "",
           "", "-"});
  add_note("\nidle: velm_control %s its state files during the idle period (a save every 10 s);"
           "\n/proc/<pid>/stat counts whole clock ticks of %.0f ms\n",
           saved ? "rewrote" : "did NOT rewrite", 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK)));
}

Settings parse_settings(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--latency-lines" || arg == "--lines" || arg == "--runs") && i + 1 < argc) {
      int value = atoi(argv[++i]);
      if (value < 1)
        fail(arg + " needs a positive number");
      (arg == "--latency-lines" ? settings.latency_lines
       : arg == "--lines"       ? settings.lines
                                : settings.runs) = value;
    } else if (arg == "--idle-seconds" && i + 1 < argc) {
      settings.idle_seconds = atof(argv[++i]);
      if (!(settings.idle_seconds > 0))
        fail("--idle-seconds needs a positive number");
    } else if (std::find(std::begin(SECTIONS), std::end(SECTIONS), arg) != std::end(SECTIONS)) {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: control_bench [--latency-lines N] [--lines N] [--runs N] [--idle-seconds S] "
           "[latency|throughput|idle]...");
    }
  }
  return settings;
}

} // namespace

int main(int argc, char **argv) {
  Settings settings = parse_settings(argc, argv);
  if (!inside_sandbox())
    fail("runs only inside the sandbox launcher, as bench/run.sh starts it: velm_control "
         "uses fixed FIFOs and state files under /tmp");
  signal(SIGPIPE, SIG_IGN);

  std::string load_before = load_average();
  double start = now_seconds();
  if (settings.sections.runs("latency"))
    bench_latency(settings);
  if (settings.sections.runs("throughput"))
    bench_throughput(settings);
  if (settings.sections.runs("idle"))
    bench_idle(settings);

  printf("\nvelm_control against a cat relay; throughput: median of %d runs after one warm-up\n"
         "%s in all; load average %s before, %s after; %ld cores\n",
         settings.runs, format_time(now_seconds() - start).c_str(), load_before.c_str(),
         load_average().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
  print_table();
  printf("%s", notes.c_str());
  printf("\n%s\n", all_met ? "all targets met" : "TARGETS MISSED");
  return all_met ? 0 : 1;
}
