// input_bench: measures velm_input, the input handler, and prints each figure beside the
// same figure of a plain `cat DEVICE >/tmp/fifo.control` relay measured in the same run:
//
//   - latency: a key press written on the device (a FIFO at a device path, as the tests
//     use: the records a device delivers, the press and its EV_SYN report in one write)
//     until its line can be read from /tmp/fifo.control; median and 99th percentile over
//     some thousands of presses, each sent only after the previous line came out and its
//     key was let go. The keys take turns (F1 to F8, each mapped to mixer_volumeup), so
//     that no press falls within the debounce time of the same key's last one; the
//     relay's figure is the time until the record's bytes come out of cat.
//   - idle: velm_input with three devices open (FIFOs whose writers stay), left alone for
//     some seconds: its wake-ups (the context switches of /proc/PID/status) and its CPU
//     time (/proc/PID/schedstat) over that time. With nothing pending it must sleep in
//     poll without a time-out: no wake-up at all.
//
// velm_input writes into the fixed FIFOs under /tmp, so the bench runs only inside the
// project's sandbox launcher (bench/run.sh starts it so).
//
//   input_bench [--presses N] [--gap-ms MS] [--idle-seconds S] [latency|idle]...
//
// Without section names every section runs.

#include "paths.h"

#include "bench_util.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char WORK_DIR[] = "/tmp/inputbench";
constexpr char KEYMAP[] = "/tmp/inputbench/keymap";
constexpr char LOG[] = "/tmp/inputbench/velm_input.log";
constexpr char DEVICE_DIR[] = "/dev/input";
constexpr int KEYS = 8; // KEY_F1 ... KEY_F8, codes in a row

const char *const SECTIONS[] = {"latency", "idle"};

struct Settings {
  int presses = 3000;
  int gap_ms = 5;
  double idle_seconds = 10;
  Sections sections;
};

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "input_bench: %s\n", what.c_str());
  exit(2);
}

void make_fifo(const std::string &path) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0)
    fail(path + ": " + strerror(errno));
}

// Starts a program with its standard error in the log.
pid_t start(const std::vector<std::string> &argv, int out = -1) {
  pid_t pid = fork();
  if (pid < 0)
    fail("fork");
  if (pid == 0) {
    int log = open(LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0)
      dup2(log, STDERR_FILENO);
    if (out >= 0)
      dup2(out, STDOUT_FILENO);
    std::vector<char *> args;
    for (const std::string &arg : argv)
      args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Opens the device FIFO for writing once its reader is there (at most 5 s).
int open_device(const std::string &path) {
  for (int i = 0; i < 500; ++i) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, 0);
      return fd;
    }
    if (errno != ENXIO)
      fail(path + ": " + strerror(errno));
    usleep(10000);
  }
  fail(path + ": no reader came");
}

void write_event(int fd, int code, int value) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  input_event packet[2] = {};
  for (input_event &ev : packet) {
    ev.input_event_sec = static_cast<decltype(ev.input_event_sec)>(now.tv_sec);
    ev.input_event_usec = static_cast<decltype(ev.input_event_usec)>(now.tv_nsec / 1000);
  }
  packet[0].type = EV_KEY;
  packet[0].code = static_cast<__u16>(code);
  packet[0].value = value;
  packet[1].type = EV_SYN;
  packet[1].code = SYN_REPORT;
  if (write(fd, packet, sizeof packet) != static_cast<ssize_t>(sizeof packet))
    fail(std::string("writing an event: ") + strerror(errno));
}

// Waits up to a second for what comes out of the control FIFO next and reads it: until a
// whole line (`line`), or whatever bytes came. False when nothing came.
bool await_output(int fd, bool line, std::string &got) {
  got.clear();
  double until = now_seconds() + 1;
  while (true) {
    pollfd pfd = {fd, POLLIN, 0};
    int left = static_cast<int>((until - now_seconds()) * 1000);
    if (left < 0 || poll(&pfd, 1, left) <= 0)
      return false;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
      got.append(buffer, static_cast<size_t>(n));
    if (!got.empty() && (!line || got.back() == '\n'))
      return true;
  }
}

struct Latency {
  std::vector<double> times;
  int wrong = 0; // lines that were not the mapped one
  int lost = 0;
};

// Presses (and lets go) the keys in turn on `device`, timing each press until something
// comes out of the control FIFO.
Latency measure(int device, int control, int presses, int gap_ms, bool lines) {
  Latency result;
  std::string got;
  static int turn = 0; // across warm-up and measure: no key comes twice in a row
  for (int i = 0; i < presses; ++i) {
    int code = KEY_F1 + turn++ % KEYS;
    double start = now_seconds();
    write_event(device, code, 1);
    if (!await_output(control, lines, got)) {
      ++result.lost;
    } else {
      result.times.push_back(now_seconds() - start);
      if (lines && got != "mixer_volumeup\n")
        ++result.wrong;
    }
    write_event(device, code, 0);
    usleep(static_cast<useconds_t>(gap_ms) * 1000);
    // A release gives no line; the relay passes its bytes on.
    if (!lines)
      await_output(control, false, got);
  }
  return result;
}

void add_latency_rows(const Latency &ours, const Latency &cat, int presses) {
  double our_median = median(ours.times), cat_median = median(cat.times);
  double our_p99 = percentile(ours.times, 0.99), cat_p99 = percentile(cat.times, 0.99);
  add_row({"event to its line, median", format_time(our_median), format_time(cat_median),
           format_ratio(our_median / cat_median), "< 1 ms", our_median < 1e-3 ? "PASS" : "FAIL"});
  add_row({"event to its line, 99th percentile", format_time(our_p99), format_time(cat_p99),
           format_ratio(our_p99 / cat_p99), "< 5 ms", our_p99 < 5e-3 ? "PASS" : "FAIL"});
  add_row({"event to its line, slowest", format_time(percentile(ours.times, 1)),
           format_time(percentile(cat.times, 1)), "-", "-", "-"});
  bool whole = ours.lost == 0 && ours.wrong == 0;
  if (!whole)
    add_note("\nlatency: %d presses gave no line within a second, %d another line\n", ours.lost,
             ours.wrong);
  add_row({"presses that gave their line", std::to_string(presses - ours.lost - ours.wrong),
           std::to_string(presses - cat.lost), "-", std::to_string(presses),
           whole ? "OK" : "MISMATCH"});
}

void bench_latency(const Settings &settings) {
  fprintf(stderr, "latency: %d presses on velm_input, then on a cat relay...\n", settings.presses);
  const std::string device = std::string(DEVICE_DIR) + "/bench-kbd";
  make_fifo(device);
  // The control FIFO's reader is the bench, there before velm_input writes.
  make_fifo(FIFO_CONTROL_PATH);
  int control = open(FIFO_CONTROL_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (control < 0)
    fail(std::string(FIFO_CONTROL_PATH) + ": " + strerror(errno));
  pid_t input = start({std::string(VELM_BIN_DIR) + "/velm_input", "-k", KEYMAP, device});
  int fd = open_device(device);
  // A warm-up, not counted: the first lines open the FIFO, fault the pages in.
  measure(fd, control, 50, settings.gap_ms, true);
  Latency ours = measure(fd, control, settings.presses, settings.gap_ms, true);
  close(fd);
  stop(input);

  // The relay: cat from the device straight into the control FIFO.
  int out = open(FIFO_CONTROL_PATH, O_WRONLY | O_CLOEXEC);
  pid_t relay = start({"/bin/cat", device}, out);
  close(out);
  fd = open_device(device);
  measure(fd, control, 50, settings.gap_ms, false);
  Latency cat = measure(fd, control, settings.presses, settings.gap_ms, false);
  close(fd);
  waitpid(relay, nullptr, 0);
  close(control);
  unlink(device.c_str());
  add_latency_rows(ours, cat, settings.presses);
}

struct Wakeups {
  long voluntary = 0;
  long involuntary = 0;
  double cpu = 0;
};

Wakeups wakeups_of(pid_t pid) {
  std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  auto field = [&](const char *name) {
    size_t at = status.find(name);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(name));
  };
  Wakeups w;
  w.voluntary = field("voluntary_ctxt_switches:");
  w.involuntary = field("nonvoluntary_ctxt_switches:");
  w.cpu = cpu_of(pid).schedstat;
  return w;
}

// The descriptors of `pid` open on paths that start with `prefix`.
int open_on(pid_t pid, const std::string &prefix) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *fds = opendir(dir.c_str());
  int count = 0;
  if (fds == nullptr)
    return -1;
  while (const dirent *entry = readdir(fds)) {
    char target[256];
    ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(prefix, 0) == 0)
      ++count;
  }
  closedir(fds);
  return count;
}

void bench_idle(const Settings &settings) {
  fprintf(stderr, "idle: velm_input with three devices left alone for %g s...\n",
          settings.idle_seconds);
  std::vector<std::string> devices;
  for (int i = 1; i <= 3; ++i) {
    devices.push_back(std::string(DEVICE_DIR) + "/idle-" + std::to_string(i));
    make_fifo(devices.back());
  }
  make_fifo(FIFO_CONTROL_PATH);
  int control = open(FIFO_CONTROL_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::vector<std::string> argv = {std::string(VELM_BIN_DIR) + "/velm_input", "-k", KEYMAP};
  argv.insert(argv.end(), devices.begin(), devices.end());
  pid_t input = start(argv);
  // The writers stay: a device that is there and quiet.
  std::vector<int> writers;
  for (const std::string &device : devices)
    writers.push_back(open_device(device));
  // One press on each, so that each was read at least once, then quiet.
  std::string got;
  for (size_t i = 0; i < writers.size(); ++i) {
    write_event(writers[i], KEY_F1 + static_cast<int>(i), 1);
    write_event(writers[i], KEY_F1 + static_cast<int>(i), 0);
    await_output(control, true, got);
  }
  usleep(500000);
  int open_devices = open_on(input, std::string(DEVICE_DIR) + "/idle-");
  Wakeups before = wakeups_of(input);
  double start = now_seconds(), left;
  while ((left = start + settings.idle_seconds - now_seconds()) > 0)
    usleep(static_cast<useconds_t>(std::min(left, 1.0) * 1e6));
  Wakeups after = wakeups_of(input);
  double took = now_seconds() - start;
  long voluntary = after.voluntary - before.voluntary;
  long involuntary = after.involuntary - before.involuntary;
  char period[32];
  snprintf(period, sizeof period, "%.0f s", took);
  add_row({"devices open while idle", std::to_string(open_devices), "-", "-", "3",
           open_devices == 3 ? "OK" : "MISMATCH"});
  add_row({std::string("wake-ups over ") + period + " (context switches)",
           std::to_string(voluntary) + " + " + std::to_string(involuntary) + " involuntary", "-",
           "-", "0", voluntary + involuntary == 0 ? "PASS" : "FAIL"});
  add_row({std::string("CPU over ") + period + " (schedstat)", format_time(after.cpu - before.cpu),
           "-", "-", "-", "-"});
  add_row({"peak resident memory", format_kib(status_kib(input, "VmHWM")), "-", "-", "-", "-"});
  for (int fd : writers)
    close(fd);
  stop(input);
  close(control);
  for (const std::string &device : devices)
    unlink(device.c_str());
}

Settings parse_settings(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--presses" || arg == "--gap-ms") && i + 1 < argc) {
      int value = atoi(argv[++i]);
      if (value < (arg == "--presses" ? 1 : 0))
        fail(arg + " needs a number");
      (arg == "--presses" ? settings.presses : settings.gap_ms) = value;
    } else if (arg == "--idle-seconds" && i + 1 < argc) {
      settings.idle_seconds = atof(argv[++i]);
      if (!(settings.idle_seconds > 0))
        fail("--idle-seconds needs a positive number");
    } else if (std::find(std::begin(SECTIONS), std::end(SECTIONS), arg) != std::end(SECTIONS)) {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: input_bench [--presses N] [--gap-ms MS] [--idle-seconds S] [latency|idle]...");
    }
  }
  return settings;
}

void write_keymap() {
  std::string map = "# F1 to F8 all turn the volume up: the bench's keys take turns.\n";
  for (int i = 1; i <= KEYS; ++i)
    map += "KEY_F" + std::to_string(i) + " press mixer_volumeup\n";
  FILE *fp = fopen(KEYMAP, "we");
  if (fp == nullptr || fputs(map.c_str(), fp) < 0 || fclose(fp) != 0)
    fail(std::string(KEYMAP) + ": " + strerror(errno));
}

} // namespace

int main(int argc, char **argv) {
  Settings settings = parse_settings(argc, argv);
  if (!inside_sandbox())
    fail("runs only inside the sandbox launcher, as bench/run.sh starts it: velm_input "
         "writes into fixed FIFOs under /tmp");
  signal(SIGPIPE, SIG_IGN);
  mkdir(WORK_DIR, 0755);
  mkdir(DEVICE_DIR, 0755);
  write_keymap();

  std::string load_before = load_average();
  double start = now_seconds();
  if (settings.sections.runs("latency"))
    bench_latency(settings);
  if (settings.sections.runs("idle"))
    bench_idle(settings);

  printf("\nvelm_input against a cat relay; %d presses, %d ms apart\n"
         "%s in all; load average %s before, %s after; %ld cores\n",
         settings.presses, settings.gap_ms, format_time(now_seconds() - start).c_str(),
         load_before.c_str(), load_average().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
  print_table();
  printf("%s", notes.c_str());
  printf("\n%s\n", all_met ? "all targets met" : "TARGETS MISSED");
  return all_met ? 0 : 1;
}
