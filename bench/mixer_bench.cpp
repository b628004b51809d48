// mixer_bench: measures the mixer of a machine without an OSS mixer (velm_mixer) in the
// whole jukebox, as a listener meets it:
//
//   - latency: a mixer key written into /tmp/fifo.control until the changed level is
//     heard: the jukebox plays a steady 1 kHz tone recorded with -s, the keys take turns
//     (volume down, volume up: 1.5 dB either way), and the time a key is heard is when the
//     pacer, which takes the audio at the rate a card plays it, took the first 10 ms of
//     the recording at the new level. Median and 99th percentile over the presses; beside
//     it the audio that was waiting in the output FIFO (decoded, not yet played) at each
//     press: the part of the latency that is the output buffer.
//   - idle: velm_mixer while the jukebox plays and no key comes: its wake-ups (context
//     switches of /proc/PID/status) and CPU time over some seconds. It polls nothing, so
//     there must be none.
//
// The jukebox uses the fixed paths under /tmp and mounts /dev/mixer, so the bench runs
// only inside the project's sandbox launcher (bench/run.sh starts it so).
//
//   mixer_bench [--presses N] [--idle-seconds S] [latency|idle]...

#include "paths.h"

#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char WORK_DIR[] = "/tmp/mixerbench";
constexpr char RECORDING[] = "/tmp/mixerbench/rec.raw";
constexpr char MUSIC[] = "/mnt/mixerbench";
constexpr double RATE = 44100;
constexpr size_t WINDOW = 441; // 10 ms

const char *const SECTIONS[] = {"latency", "idle"};

struct Settings {
  int presses = 40;
  double idle_seconds = 10;
  Sections sections;
};

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "mixer_bench: %s\n", what.c_str());
  exit(1);
}

void run_shell(const std::string &command) {
  if (system(command.c_str()) != 0) // NOLINT(cert-env33-c): the bench's own fixed commands
    fail("failed: " + command);
}

long file_size(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// The level of 1 kHz in dB of full scale, in the left channel of `count` frames of the
// recording from frame `start`: a Goertzel filter over whole periods (10 ms holds ten).
double level_at(int fd, long start, size_t count) {
  std::vector<int16_t> frames(count * 2);
  ssize_t got = pread(fd, frames.data(), frames.size() * 2, start * 4);
  if (got != static_cast<ssize_t>(frames.size() * 2))
    return NAN;
  double w = 2 * M_PI * 1000 / RATE, c = 2 * cos(w), s1 = 0, s2 = 0;
  for (size_t i = 0; i < count; ++i) {
    double s0 = frames[2 * i] + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return 20 * log10(sqrt(std::max(power, 1e-12)) * 2 / static_cast<double>(count) / 32767);
}

pid_t start_jukebox() {
  pid_t pid = fork();
  if (pid < 0)
    fail("fork");
  if (pid == 0) {
    int log = open("/tmp/mixerbench/velm.err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(log, STDERR_FILENO);
    execl(VELM_BIN_DIR "/velm", "velm", "-n", "-s", RECORDING, "/mnt/mixerbench", nullptr);
    _exit(127);
  }
  return pid;
}

pid_t find_process(const char *name) {
  DIR *proc = opendir("/proc");
  pid_t found = -1;
  while (const dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
    std::string comm = read_text(std::string("/proc/") + entry->d_name + "/comm");
    if (!comm.empty() && comm.back() == '\n')
      comm.pop_back();
    if (comm == name)
      found = atoi(entry->d_name);
  }
  if (proc != nullptr)
    closedir(proc);
  return found;
}

void send_key(const char *word) {
  int fd = open(FIFO_CONTROL_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  std::string line = std::string(word) + "\n";
  if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    fail(std::string("cannot write ") + FIFO_CONTROL_PATH);
  close(fd);
}

// The audio waiting in the output FIFO, in seconds of sound.
double buffered_seconds() {
  int fd = open(AUDIO_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  int bytes = 0;
  if (fd < 0 || ioctl(fd, FIONREAD, &bytes) != 0)
    bytes = 0;
  if (fd >= 0)
    close(fd);
  return bytes / (RATE * 4);
}

void bench_latency(const Settings &settings) {
  fprintf(stderr, "latency: %d mixer keys, each until it is heard...\n", settings.presses);
  int rec = open(RECORDING, O_RDONLY | O_CLOEXEC);
  if (rec < 0)
    fail("no recording");
  std::vector<double> latencies, buffered;
  double level = level_at(rec, file_size(RECORDING) / 4 - 2 * static_cast<long>(WINDOW), WINDOW);
  for (int press = 0; press < settings.presses; ++press) {
    bool down = press % 2 == 0;
    double wanted = level + (down ? -1.5 : 1.5);
    // The recording's length at each moment after the key: when each frame was taken.
    std::vector<double> times;
    std::vector<long> lengths;
    long from = file_size(RECORDING) / 4;
    buffered.push_back(buffered_seconds());
    double sent = now_seconds();
    send_key(down ? "mixer_volumedown" : "mixer_volumeup");
    while (now_seconds() - sent < 0.6) {
      times.push_back(now_seconds());
      lengths.push_back(file_size(RECORDING) / 4);
      usleep(1000);
    }
    // The first 10 ms after the key within 0.5 dB of the new level.
    long heard = -1;
    for (long at = from; at + static_cast<long>(WINDOW) <= lengths.back();
         at += static_cast<long>(WINDOW) / 4) {
      if (std::fabs(level_at(rec, at, WINDOW) - wanted) < 0.5) {
        heard = at;
        break;
      }
    }
    if (heard < 0) {
      add_note("press %d: the new level was not heard within 0.6 s\n", press + 1);
      level = level_at(rec, file_size(RECORDING) / 4 - static_cast<long>(WINDOW), WINDOW);
      continue;
    }
    size_t when = 0;
    while (when + 1 < lengths.size() && lengths[when] < heard + 1)
      ++when;
    latencies.push_back(times[when] - sent);
    level = wanted;
    usleep(100000);
  }
  close(rec);
  double med = median(latencies);
  add_row(
      {"key to the level heard, median", format_time(med), "-", "-", "< 150 ms",
       latencies.size() == static_cast<size_t>(settings.presses) && med < 0.150 ? "PASS" : "FAIL"});
  add_row({"key to the level heard, 99th percentile", format_time(percentile(latencies, 0.99)), "-",
           "-", "-", "-"});
  add_row(
      {"of it the output FIFO's audio, median", format_time(median(buffered)), "-", "-", "-", "-"});
  add_row({"keys heard",
           std::to_string(latencies.size()) + " of " + std::to_string(settings.presses), "-", "-",
           "all", latencies.size() == static_cast<size_t>(settings.presses) ? "OK" : "MISMATCH"});
}

void bench_idle(const Settings &settings) {
  fprintf(stderr, "idle: velm_mixer while the jukebox plays, %g s without a key...\n",
          settings.idle_seconds);
  pid_t mixer = find_process("velm_mixer");
  if (mixer < 0)
    fail("no velm_mixer running");
  auto field = [&](const char *name) {
    std::string status = read_text("/proc/" + std::to_string(mixer) + "/status");
    size_t at = status.find(name);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(name));
  };
  usleep(500000);
  long voluntary = field("\nvoluntary_ctxt_switches:");
  long involuntary = field("nonvoluntary_ctxt_switches:");
  double cpu = cpu_of(mixer).schedstat;
  double start = now_seconds();
  usleep(static_cast<useconds_t>(settings.idle_seconds * 1e6));
  double took = now_seconds() - start;
  long woke = field("\nvoluntary_ctxt_switches:") - voluntary;
  long pushed = field("nonvoluntary_ctxt_switches:") - involuntary;
  char period[32];
  snprintf(period, sizeof period, "%.0f s", took);
  add_row({std::string("velm_mixer wake-ups over ") + period,
           std::to_string(woke) + " + " + std::to_string(pushed) + " involuntary", "-", "-", "0",
           woke + pushed == 0 ? "PASS" : "FAIL"});
  add_row({std::string("velm_mixer CPU over ") + period, format_time(cpu_of(mixer).schedstat - cpu),
           "-", "-", "-", "-"});
  add_row({"velm_mixer peak resident memory", format_kib(status_kib(mixer, "VmHWM")), "-", "-", "-",
           "-"});
}

Settings parse_settings(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--presses" && i + 1 < argc) {
      settings.presses = atoi(argv[++i]);
      if (settings.presses < 1)
        fail("--presses needs a number");
    } else if (arg == "--idle-seconds" && i + 1 < argc) {
      settings.idle_seconds = atof(argv[++i]);
      if (!(settings.idle_seconds > 0))
        fail("--idle-seconds needs a positive number");
    } else if (std::find(std::begin(SECTIONS), std::end(SECTIONS), arg) != std::end(SECTIONS)) {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: mixer_bench [--presses N] [--idle-seconds S] [latency|idle]...");
    }
  }
  return settings;
}

} // namespace

int main(int argc, char **argv) {
  Settings settings = parse_settings(argc, argv);
  if (!inside_sandbox())
    fail("runs only inside the sandbox launcher (bench/run.sh mixer)");
  signal(SIGPIPE, SIG_IGN);
  setenv("PATH", (std::string(VELM_BIN_DIR) + ":" + getenv("PATH")).c_str(), 1);
  mkdir(WORK_DIR, 0755);
  run_shell(std::string("mkdir -p ") + MUSIC + "/A && tonegen -c -2 600 1000 >" + WORK_DIR +
            "/tone.wav && lame --quiet -b 128 " + WORK_DIR + "/tone.wav " + MUSIC +
            "/A/tone.mp3 && printf 100 >/tmp/VOLUME && printf 0 >/tmp/BALANCE && "
            "printf 48 >/tmp/BASS && printf 48 >/tmp/TREBLE");
  pid_t jukebox = start_jukebox();
  for (int i = 0; i < 600 && file_size(RECORDING) < 4L * 44100 * 2; ++i)
    usleep(10000);
  if (file_size(RECORDING) < 4L * 44100 * 2)
    fail("the jukebox does not play: " + read_text("/tmp/mixerbench/velm.err"));
  if (settings.sections.runs("latency"))
    bench_latency(settings);
  if (settings.sections.runs("idle"))
    bench_idle(settings);
  kill(jukebox, SIGTERM);
  waitpid(jukebox, nullptr, 0);
  printf("mixer_bench (load average %s)\n", load_average().c_str());
  print_table();
  return all_met ? 0 : 1;
}
