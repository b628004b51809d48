// display_bench: how regularly velm_display draws the LCD, and what it costs.
//
// velm_display runs with "-l" on its fixed FIFO, with /dev/lcd a FIFO that this bench
// reads. A long title scrolls on row 1. After the welcome scroll every tick draws one
// row, so the time between two row draws (their cursor sequences, read with the screen
// model) is the tick period. Two runs:
//
//   - quiet: no command lines; the intervals, and the daemon's CPU time and peak resident
//     memory over the run (its idle cost: ten draws a second and nothing else);
//   - flood: another process writes display command lines at 10,000 lines a second,
//     one write per line as the channel's writers do, all through the run.
//
// The reference is a bare 100 ms timer in a process of its own that writes a byte per
// tick, measured in the same runs: the jitter that the machine's scheduling gives any
// process. The bench itself reads at a real-time priority (when it may), so its own
// lateness does not count against either; the daemon and the reference run as usual.
//
// The daemon opens its fixed paths, so the bench runs only inside the project's sandbox
// launcher (bench/run.sh starts it so).
//
//   display_bench [--seconds S] [--flood-rate N] [quiet|flood]...

#include "paths.h"

#include "bench_util.h"
#include "lcdscreen.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "display_bench: %s\n", what.c_str());
  exit(2);
}

const char TITLE[] = "A title far too long for the panel's twenty-four columns";
constexpr double WELCOME_SECONDS = 7; // 5.4 s of welcome scroll, and a margin

struct Settings {
  double seconds = 60;
  int flood_rate = 10000;
  Sections sections;
};

void make_fifo(const char *path) {
  unlink(path);
  if (mkfifo(path, 0600) != 0)
    fail(std::string("cannot make ") + path + ": " + strerror(errno));
}

void write_line(int fd, const std::string &line) {
  std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    fail("cannot write to the display FIFO: " + std::string(strerror(errno)));
}

// Writes display command lines at `rate` lines a second, one write per line, for
// `seconds`; then reports how many it wrote on `report`. Mode 0 stays, so the lines
// change figures but draw no bars.
[[noreturn]] void flood(int rate, double seconds, int report) {
  int fd = open(FIFO_DISPLAY_PATH, O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    _exit(1);
  const char *lines[] = {"display_settime +00:01 -03:59\n", "display_setstatus PLAY 1 2 3\n",
                         "display_setbass 5\n", "display_setrandommode all\n"};
  constexpr int BATCHES_PER_SECOND = 100;
  int per_batch = rate / BATCHES_PER_SECOND;
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  double end = now_seconds() + seconds;
  long n = 0;
  while (now_seconds() < end) {
    for (int i = 0; i < per_batch; ++i, ++n) {
      const char *line = lines[n % 4];
      if (write(fd, line, strlen(line)) < 0)
        _exit(1);
    }
    next.tv_nsec += 1000000000L / BATCHES_PER_SECOND;
    if (next.tv_nsec >= 1000000000L) {
      next.tv_nsec -= 1000000000L;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  ssize_t ignored = write(report, &n, sizeof n);
  (void)ignored;
  _exit(0);
}

// Writes one byte to `out` on every tick of a 100 ms timer, until killed.
[[noreturn]] void tick(int out) {
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  itimerspec period = {};
  period.it_value.tv_nsec = period.it_interval.tv_nsec = 100L * 1000 * 1000;
  timerfd_settime(timer, 0, &period, nullptr);
  for (;;) {
    uint64_t expiries;
    if (read(timer, &expiries, sizeof expiries) > 0 && write(out, "t", 1) < 0)
      _exit(0);
  }
}

struct Run {
  std::vector<double> draw_intervals;      // between row draws after the welcome
  std::vector<double> reference_intervals; // between ticks of our own 100 ms timer
  Cpu cpu;                                 // of the daemon over the measured period
  long peak_rss_kib = 0;
  double flood_seconds = 0; // how long the flood ran, and the lines it wrote
  long flood_lines = 0;
};

Run measure(const Settings &settings, bool flooded) {
  make_fifo(FIFO_DISPLAY_PATH);
  make_fifo("/dev/lcd");
  // Our end of the panel first, so the daemon's open does not wait for it.
  int lcd_in = open("/dev/lcd", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (lcd_in < 0)
    fail("cannot open /dev/lcd");

  pid_t daemon = fork();
  if (daemon == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(VELM_BIN_DIR "/velm_display", "velm_display", "-l", static_cast<char *>(nullptr));
    _exit(127);
  }
  int display_out = open(FIFO_DISPLAY_PATH, O_WRONLY | O_CLOEXEC);
  if (display_out < 0)
    fail("cannot open /tmp/fifo.display");
  write_line(display_out, "display_startup");
  write_line(display_out, std::string("display_settitle ") + TITLE);

  pid_t flooder = -1;
  int report[2] = {-1, -1};
  double flood_start = now_seconds();
  if (flooded) {
    if (pipe(report) != 0)
      fail("pipe");
    flooder = fork();
    if (flooder == 0)
      flood(settings.flood_rate, WELCOME_SECONDS + settings.seconds, report[1]);
    close(report[1]);
  }

  int ticks[2];
  if (pipe(ticks) != 0)
    fail("pipe");
  pid_t ticker = fork();
  if (ticker == 0)
    tick(ticks[1]);
  close(ticks[1]);
  int reference = ticks[0];

  Run run;
  LcdScreen screen;
  double start = now_seconds();
  double measure_from = start + WELCOME_SECONDS;
  double measure_until = measure_from + settings.seconds;
  double last_draw = 0, last_tick = 0;
  Cpu cpu_before;
  bool measuring = false;
  for (double now = start; now < measure_until; now = now_seconds()) { // NOLINT(cert-flp30-c)
    pollfd fds[2] = {{lcd_in, POLLIN, 0}, {reference, POLLIN, 0}};
    int timeout = static_cast<int>((measure_until - now) * 1000) + 1;
    if (poll(fds, 2, timeout) < 0 && errno != EINTR)
      fail("poll");
    double at = now_seconds();
    if (!measuring && at >= measure_from) {
      measuring = true;
      cpu_before = cpu_of(daemon);
    }
    if ((fds[1].revents & POLLIN) != 0) {
      char got[64];
      for (ssize_t n = read(reference, got, sizeof got); n > 0; --n) {
        if (measuring && last_tick > 0)
          run.reference_intervals.push_back(at - last_tick);
        last_tick = at;
      }
    }
    if ((fds[0].revents & POLLIN) != 0) {
      char bytes[4096];
      ssize_t got = read(lcd_in, bytes, sizeof bytes);
      for (ssize_t i = 0; i < got; ++i) {
        if (lcd_screen_put(screen, static_cast<unsigned char>(bytes[i])) != LcdEvent::Cursor)
          continue;
        if (measuring && last_draw > 0)
          run.draw_intervals.push_back(at - last_draw);
        last_draw = at;
      }
    }
  }
  Cpu cpu_after = cpu_of(daemon);
  run.cpu.schedstat = cpu_after.schedstat - cpu_before.schedstat;
  run.cpu.stat = cpu_after.stat - cpu_before.stat;
  run.peak_rss_kib = status_kib(daemon, "VmHWM");

  if (flooder > 0) {
    if (read(report[0], &run.flood_lines, sizeof run.flood_lines) != sizeof run.flood_lines)
      fail("the flood writer did not report");
    run.flood_seconds = now_seconds() - flood_start;
    waitpid(flooder, nullptr, 0);
    close(report[0]);
  }
  kill(ticker, SIGKILL);
  waitpid(ticker, nullptr, 0);
  close(display_out);
  // Drain the farewell so the daemon can end.
  char bytes[4096];
  int status = 0;
  while (waitpid(daemon, &status, WNOHANG) == 0) {
    if (read(lcd_in, bytes, sizeof bytes) <= 0)
      usleep(1000);
  }
  close(lcd_in);
  close(reference);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("velm_display did not end with status 0");
  return run;
}

double deviation_p99(const std::vector<double> &intervals) {
  std::vector<double> off;
  for (double interval : intervals)
    off.push_back(std::abs(interval - 0.1));
  return percentile(off, 0.99);
}

void report(const char *name, const Run &run, bool flooded) {
  double our_median = median(run.draw_intervals);
  double our_p99 = deviation_p99(run.draw_intervals);
  double ref_median = median(run.reference_intervals);
  double ref_p99 = deviation_p99(run.reference_intervals);
  std::string label =
      std::string(name) + ", " + std::to_string(run.draw_intervals.size()) + " ticks";
  add_row({label + ": median tick", format_time(our_median), "timer " + format_time(ref_median),
           "ours/100 ms " + format_ratio(our_median / 0.1), "100 ms +-1 ms",
           std::abs(our_median - 0.1) <= 0.001 ? "PASS" : "FAIL"});
  add_row({label + ": p99 of |tick - 100 ms|", format_time(our_p99),
           "timer " + format_time(ref_p99), "", "<= 5 ms", our_p99 <= 0.005 ? "PASS" : "FAIL"});
  add_row({label + ": longest tick",
           format_time(*std::max_element(run.draw_intervals.begin(), run.draw_intervals.end())),
           "timer " + format_time(*std::max_element(run.reference_intervals.begin(),
                                                    run.reference_intervals.end())),
           "", "", "-"});
  add_row({label + ": CPU (schedstat)", format_time(run.cpu.schedstat), "", "", "", "-"});
  if (!flooded)
    add_row({label + ": peak RSS (VmHWM)", format_kib(run.peak_rss_kib), "", "", "", "-"});
  if (flooded && run.flood_seconds > 0)
    add_note(
        "flood: %s lines written in %.1f s = %s lines/s (the writer waits when the daemon "
        "falls behind)\n",
        with_commas(run.flood_lines).c_str(), run.flood_seconds,
        with_commas(std::lround(static_cast<double>(run.flood_lines) / run.flood_seconds)).c_str());
}

} // namespace

int main(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      settings.seconds = atof(argv[++i]);
      if (!(settings.seconds > 0))
        fail("--seconds needs a positive number");
    } else if (arg == "--flood-rate" && i + 1 < argc) {
      settings.flood_rate = atoi(argv[++i]);
      if (settings.flood_rate < 100)
        fail("--flood-rate needs at least 100");
    } else if (arg == "quiet" || arg == "flood") {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: display_bench [--seconds S] [--flood-rate N] [quiet|flood]...");
    }
  }
  if (!inside_sandbox())
    fail("run me inside the sandbox launcher (bench/run.sh display)");
  signal(SIGPIPE, SIG_IGN);
  sched_param priority = {};
  priority.sched_priority = 10;
  bool realtime = sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) == 0;
  if (!realtime)
    add_note("the bench reads at normal priority (%s): its own delays count in the figures\n",
             strerror(errno));

  printf("display_bench: velm_display -l, a scrolling title, %g s measured after the welcome "
         "(load %s)\n",
         settings.seconds, load_average().c_str());
  if (settings.sections.runs("quiet")) {
    fprintf(stderr, "quiet: %g s...\n", settings.seconds + WELCOME_SECONDS);
    report("quiet", measure(settings, false), false);
  }
  if (settings.sections.runs("flood")) {
    fprintf(stderr, "flood: %g s at %d lines/s...\n", settings.seconds + WELCOME_SECONDS,
            settings.flood_rate);
    report("flood", measure(settings, true), true);
  }
  print_table();
  printf("%s", notes.c_str());
  return all_met ? 0 : 1;
}
