// jukebox_soak: the whole jukebox under load, and through power cuts.
//
//   jukebox_soak soak SECONDS [--rate N] [--writers N] [--tick-limit MS]
//   jukebox_soak powercut RUNS [--seed N] [--real]
//
// soak: the launcher on a collection of songs of a few seconds, while several writer
// processes put random control command lines (player, mixer, number input, jumps, and a
// few lines no command takes) into /tmp/fifo.control, together N a second (100 by
// default). Every 10 s the open descriptors and resident memory of velm, velm_control,
// velm_display and playwatch are sampled; the state files' replacements are watched; the
// panel's bytes are read from the /dev/lcd FIFO at a real-time priority and every tick
// timed. After the writers stop, the jukebox runs on quietly for one more save. Passes
// when no descriptor count grew, resident memory grew by no more than a little, no 10 s
// went by without a save of all four mixer files, the last save holds the values the
// mixer was last given, no tick came more than 50 ms after its place in the 100 ms grid,
// every process is the one it was at the start, and the launcher started nothing again.
// ("--tick-limit MS" sets another bound for the ticks; the short run of the tests, on a
// machine busy with other tests, only asks that the panel keeps drawing.)
//
// powercut: RUNS times, every process of the jukebox is killed with SIGKILL at once, at a
// moment of one kind in turn: during the launcher's start-up (scan and order list; every
// other time just as orderbuild has made its temporary order list), during
// a save of the mixer settings, during a song change (a song's end, or a "next song"
// command), or at a random moment of playing. After each cut the state files and play
// lists must be whole; then the jukebox is started again, and it must restore the saved
// mixer values and resume the song within 10 s of music of where it was cut, with no
// temporary order list of a killed orderbuild left in /tmp.
//
// powercut --real: the cuts are real ones. The jukebox's /tmp is an ext4 disk on a loop
// device (cut_disk.h); a cut is a copy of that disk taken while everything runs, so that
// what the kernel had not yet written is lost; every process is then killed and the
// jukebox boots from the copy (the journal replayed at the mount). The moments: start-up,
// a save, a song change (a "next song" key or a song's end), playing, and an order change
// (the random-mode key). The state files on the copy must be whole, the music must play
// again within 5 s of the boot, where the disk says it was (see "Real power cuts" below),
// and the mixer must come back as last saved before the cut. The rig's own records (the
// player's output, the mixer's log) lie off the disk, in /mnt/rig.
//
// Both work at the jukebox's fixed paths, so they run only inside the sandbox launcher
// (tools/soak.sh and tools/powercut.sh start them so). The report goes to standard
// output; the exit status is 0 when everything passed, 1 otherwise.

#include "convert.h"
#include "cut_disk.h"
#include "lcdscreen.h"
#include "soak_rig.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <random>
#include <sched.h>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double FRAMES_PER_SECOND = 22050.0 / 576; // the samples' MPEG-2 layer III frames
constexpr double TICK = 0.1;

int failures = 0;

void fail(const std::string &what) {
  printf("FAIL: %s\n", what.c_str());
  fflush(stdout);
  ++failures;
}

[[noreturn]] void give_up(const std::string &what) {
  printf("FAIL: %s\n", what.c_str());
  printf("velm.err:\n%s\n", read_text(rig_file("velm.err")).c_str());
  fflush(stdout);
  exit(1);
}

bool wait_until(double timeout, const auto &condition, double step = 0.01) {
  double until = now_seconds() + timeout;
  while (!condition()) {
    if (now_seconds() > until)
      return false;
    sleep_seconds(step);
  }
  return true;
}

// The lines of `text` that begin with `prefix`.
size_t count_lines(const std::string &text, const std::string &prefix) {
  size_t count = text.rfind(prefix, 0) == 0 ? 1 : 0;
  for (size_t at = text.find("\n" + prefix); at != std::string::npos;
       at = text.find("\n" + prefix, at + 1))
    ++count;
  return count;
}

const char *const DAEMONS[] = {"velm", "velm_control", "velm_display", "playwatch"};

// Everything that should be running while the jukebox plays.
bool jukebox_up() {
  for (const char *name : {"velm_control", "velm_display", "playwatch", "mpg123"}) {
    if (find_process(name) < 0)
      return false;
  }
  return file_exists("/tmp/fifo.control");
}

// Problems in the launcher's messages and the programs' standard error: restarts, and
// reports of the sanitizers.
std::vector<std::string> log_problems() {
  std::vector<std::string> problems;
  std::string err = read_text(rig_file("velm.err")), log = read_text("/tmp/velm.log");
  for (const char *mark : {"starting it again", "keeps ending", "did not start"}) {
    if (err.find(mark) != std::string::npos)
      problems.push_back(std::string("velm.err: \"") + mark + "\"");
  }
  for (const char *mark : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (err.find(mark) != std::string::npos || log.find(mark) != std::string::npos)
      problems.push_back(std::string("a sanitizer report: ") + mark);
  }
  return problems;
}

// The state file replacements seen through inotify on /tmp.
struct FileWatch {
  int fd = -1;
  std::map<std::string, std::vector<double>> moved;   // name -> times renamed over
  std::map<std::string, std::vector<double>> created; // name -> times created
};

FileWatch watch_tmp() {
  FileWatch watch;
  watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch.fd < 0 || inotify_add_watch(watch.fd, "/tmp", IN_MOVED_TO | IN_CREATE) < 0)
    give_up("inotify on /tmp");
  return watch;
}

void take_file_events(FileWatch &watch) {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    ssize_t got = read(watch.fd, buffer, sizeof buffer);
    if (got <= 0)
      return;
    double at = now_seconds();
    for (char *p = buffer; p < buffer + got;) {
      auto *event = reinterpret_cast<inotify_event *>(p);
      std::string name = event->len > 0 ? event->name : "";
      if ((event->mask & IN_MOVED_TO) != 0)
        watch.moved[name].push_back(at);
      if ((event->mask & IN_CREATE) != 0)
        watch.created[name].push_back(at);
      p += sizeof(inotify_event) + event->len;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Soak

struct Weighted {
  const char *line; // "%d" stands for a number
  int weight;       // in tenths of a per cent
  int low, high;    // the number's range
};

// Mostly mixer commands and jumps, which keep the song playing; song and list changes,
// number input, pause, stop and the order change now and then; a few lines that no
// command takes.
const Weighted COMMANDS[] = {
    {"mixer_volumeup", 90, 0, 0},     {"mixer_volumedown", 90, 0, 0},
    {"mixer_balanceleft", 65, 0, 0},  {"mixer_balanceright", 65, 0, 0},
    {"mixer_bassup", 65, 0, 0},       {"mixer_bassdown", 65, 0, 0},
    {"mixer_trebleup", 65, 0, 0},     {"mixer_trebledown", 65, 0, 0},
    {"player_jumpfw", 55, 0, 0},      {"player_jumpbw", 55, 0, 0},
    {"player_jump %d", 40, 1, 120},   {"player_jumpto %d", 40, 1, 150},
    {"player_nextsong", 30, 0, 0},    {"player_prevsong", 20, 0, 0},
    {"player_nextlist", 10, 0, 0},    {"player_prevlist", 10, 0, 0},
    {"player_changedev", 5, 0, 0},    {"player_gotosong %d", 15, 1, 4},
    {"player_gotolist %d", 10, 1, 3}, {"player_sayinfo", 10, 0, 0},
    {"player_pause", 10, 0, 0},       {"player_changernd", 5, 0, 0},
    {"player_stop", 5, 0, 0},         {"player_nonsense", 10, 0, 0},
    {"mixer_volumeup ", 10, 0, 0},    {"player_jump -5", 10, 0, 0},
};

std::string random_command(std::mt19937 &random) {
  int total = 0;
  for (const Weighted &c : COMMANDS)
    total += c.weight;
  int pick = std::uniform_int_distribution<int>(0, total - 1)(random);
  for (const Weighted &c : COMMANDS) {
    if (pick < c.weight) {
      std::string line = c.line;
      size_t at = line.find("%d");
      if (at != std::string::npos)
        line.replace(at, 2,
                     std::to_string(std::uniform_int_distribution<int>(c.low, c.high)(random)));
      return line;
    }
    pick -= c.weight;
  }
  return "mixer_volumeup";
}

// A writer: `rate` lines a second on a fixed schedule for `seconds`, one write a line, as
// the keyboard writes them. Reports the lines written and the worst lag behind its
// schedule (a full FIFO holds it back) on `report`.
[[noreturn]] void writer(int number, double rate, double seconds, int report) {
  signal(SIGPIPE, SIG_IGN);
  std::mt19937 random(static_cast<unsigned>(number * 7919 + getpid()));
  int fd = open("/tmp/fifo.control", O_WRONLY | O_CLOEXEC);
  double start = now_seconds(), worst_lag = 0;
  long written = 0;
  for (long i = 0; fd >= 0; ++i) {
    double due = start + static_cast<double>(i) / rate;
    if (due > start + seconds)
      break;
    sleep_seconds(due - now_seconds());
    worst_lag = std::max(worst_lag, now_seconds() - due);
    std::string line = random_command(random) + "\n";
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
      ++written;
  }
  char text[64];
  int length = snprintf(text, sizeof text, "%ld %.3f\n", written, worst_lag);
  ssize_t ignored = write(report, text, static_cast<size_t>(length));
  (void)ignored;
  _exit(0);
}

struct Sample {
  double at;
  int fds[4];
  long rss[4];
};

Sample sample(const pid_t pids[4], double start) {
  Sample s;
  s.at = now_seconds() - start;
  for (int i = 0; i < 4; ++i) {
    // A descriptor open for a moment (the mixer device, a script's pipe) is not kept: the
    // fewest of three looks. No pause between them: the panel's bytes wait meanwhile.
    s.fds[i] = INT_MAX;
    for (int look = 0; look < 3; ++look)
      s.fds[i] = std::min(s.fds[i], open_descriptors(pids[i]));
    s.rss[i] = resident_kib(pids[i]);
  }
  return s;
}

// The panel's ticks. During the welcome scroll a tick draws both rows or row 1 alone
// (row 1 is drawn twice in a row); after it every tick draws one row, and so every
// cursor sequence is a tick. Ticks are counted from `from` on, and once the welcome is
// over.
struct Panel {
  int fd = -1;
  LcdScreen screen;
  std::vector<double> cursors; // times of the cursor sequences since the welcome's end
  int last_row = -1;
  double from = 1e30;
  long shared_reads = 0; // reads that took more than one tick's draw: we read late
};

void take_panel_bytes(Panel &panel) {
  char bytes[4096];
  for (;;) {
    ssize_t got = read(panel.fd, bytes, sizeof bytes);
    if (got <= 0)
      return;
    double at = now_seconds();
    size_t before = panel.cursors.size();
    for (ssize_t i = 0; i < got; ++i) {
      if (lcd_screen_put(panel.screen, static_cast<unsigned char>(bytes[i])) != LcdEvent::Cursor)
        continue;
      if (panel.screen.row == 1 && panel.last_row == 1)
        panel.cursors.clear(); // still the welcome
      else if (at >= panel.from)
        panel.cursors.push_back(at);
      panel.last_row = panel.screen.row;
    }
    if (panel.cursors.size() > before + 1)
      ++panel.shared_reads;
  }
}

// How late a tick may come; above the period, a missed tick is only its lateness.
double tick_limit = 0.05;

int soak(double seconds, double rate, int writers) {
  printf("soak: %.0f s, %.0f control lines a second from %d writers\n", seconds, rate, writers);
  fflush(stdout);
  std::vector<SampleSong> songs = {{"dev1/A", "A1", 3}, {"dev1/A", "A2", 4}, {"dev1/A", "A3", 5},
                                   {"dev1/B", "B1", 4}, {"dev1/B", "B2", 3}, {"dev1/B", "B3", 5},
                                   {"dev2/C", "C1", 5}, {"dev2/C", "C2", 4}, {"dev2/C", "C3", 3}};
  make_collection(songs);
  write_text("/dev/mixer", "");
  run_shell("mkfifo /dev/lcd");
  Panel panel;
  panel.fd = open("/dev/lcd", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  FileWatch files = watch_tmp();

  double start = now_seconds();
  pid_t velm = start_velm(collection_devices(songs));
  if (!wait_until(30, [] { return jukebox_up(); }))
    give_up("the jukebox did not start");
  if (!wait_until(
          30, [] { return read_text(rig_file("player.out")).find("\n@F ") != std::string::npos; }))
    give_up("the music did not start");
  double control_start = now_seconds();
  pid_t pids[4];
  for (int i = 0; i < 4; ++i)
    pids[i] = i == 0 ? velm : find_process(DAEMONS[i]);
  pid_t player = find_process("mpg123");

  // The reader of the panel must not be what is late.
  sched_param realtime = {};
  realtime.sched_priority = 10;
  bool rt = sched_setscheduler(0, SCHED_FIFO, &realtime) == 0;

  int report[2];
  if (pipe(report) != 0)
    give_up("pipe");
  std::vector<pid_t> writer_pids;
  double load_start = now_seconds();
  panel.from = load_start;
  for (int w = 0; w < writers; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      sched_param normal = {};
      sched_setscheduler(0, SCHED_OTHER, &normal);
      close(report[0]);
      writer(w, rate / writers, seconds, report[1]);
    }
    writer_pids.push_back(pid);
  }
  close(report[1]);

  std::vector<Sample> samples = {sample(pids, start)};
  double next_sample = now_seconds() + 10;
  double quiet_until = -1;
  // After the writers: the control daemon may still have lines to handle (the FIFO holds
  // what it has not read). It has caught up when the FIFO is empty and the mixer, which
  // most lines change, has been quiet for 2 s.
  bool draining = false;
  int probe = -1;
  double caught_up = 0, mixer_changed = 0;
  off_t mixer_size = -1;
  size_t writers_left = writer_pids.size();
  long lines_written = 0;
  double worst_lag = 0, load_end = 0;
  std::string report_text;
  for (;;) {
    double now = now_seconds();
    if (quiet_until > 0 && now >= quiet_until)
      break;
    double wake = next_sample;
    if (quiet_until > 0)
      wake = std::min(wake, quiet_until);
    if (draining)
      wake = std::min(wake, now + 0.1);
    pollfd fds[3] = {{panel.fd, POLLIN, 0}, {files.fd, POLLIN, 0}, {report[0], POLLIN, 0}};
    int timeout = static_cast<int>(std::max(0.0, wake - now) * 1000) + 1;
    if (poll(fds, writers_left > 0 ? 3 : 2, timeout) < 0 && errno != EINTR)
      give_up("poll");
    if ((fds[0].revents & POLLIN) != 0)
      take_panel_bytes(panel);
    if ((fds[1].revents & POLLIN) != 0)
      take_file_events(files);
    if (writers_left > 0 && (fds[2].revents & (POLLIN | POLLHUP)) != 0) {
      char text[512];
      ssize_t got = read(report[0], text, sizeof text);
      if (got > 0)
        report_text.append(text, static_cast<size_t>(got));
      if (got <= 0) {
        writers_left = 0;
        load_end = mixer_changed = now_seconds();
        draining = true;
        probe = open("/tmp/fifo.control", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      }
    }
    if (draining) {
      struct stat st;
      off_t size = stat(rig_file("mixer.log").c_str(), &st) == 0 ? st.st_size : -1;
      if (size != mixer_size)
        mixer_changed = now_seconds();
      mixer_size = size;
      int pending = 0;
      if (probe < 0 || ioctl(probe, FIONREAD, &pending) != 0)
        pending = 0;
      if ((pending == 0 && now_seconds() - mixer_changed > 2) || now_seconds() - load_end > 300) {
        draining = false;
        caught_up = now_seconds();
        close(probe);
        // One more save after the last command: it holds the values the mixer has now.
        quiet_until = caught_up + 11;
      }
    }
    if (now_seconds() >= next_sample) {
      samples.push_back(sample(pids, start));
      next_sample += 10;
    }
  }
  samples.push_back(sample(pids, start));
  for (pid_t pid : writer_pids)
    waitpid(pid, nullptr, 0);
  sched_param normal = {};
  sched_setscheduler(0, SCHED_OTHER, &normal);
  for (size_t at = 0; at < report_text.size();) {
    long lines = 0;
    double lag = 0;
    if (sscanf(report_text.c_str() + at, "%ld %lf", &lines, &lag) != 2) {
      lines = 0;
      lag = 0;
    }
    lines_written += lines;
    worst_lag = std::max(worst_lag, lag);
    at = report_text.find('\n', at);
    at = at == std::string::npos ? report_text.size() : at + 1;
  }
  double load_seconds = load_end - load_start;
  printf("control lines written: %ld in %.1f s (%.1f a second); worst writer lag %.0f ms\n",
         lines_written, load_seconds, static_cast<double>(lines_written) / load_seconds,
         worst_lag * 1000);
  printf("the control daemon had handled them %.1f s after the writers stopped\n",
         caught_up - 2 - load_end);
  if (static_cast<double>(lines_written) < 0.9 * rate * seconds)
    fail("the writers got fewer than 90% of their lines through");

  // Descriptors and resident memory.
  printf("samples every 10 s (seconds: descriptors / resident KiB):\n");
  for (int i = 0; i < 4; ++i) {
    printf("  %-13s", DAEMONS[i]);
    for (const Sample &s : samples)
      printf(" %.0f:%d/%ld", s.at, s.fds[i], s.rss[i]);
    printf("\n");
    const Sample &first = samples.front(), &last = samples.back();
    if (last.fds[i] < 0 || last.rss[i] < 0) {
      fail(std::string(DAEMONS[i]) + " is gone");
      continue;
    }
    int most_fds = 0;
    for (const Sample &s : samples)
      most_fds = std::max(most_fds, s.fds[i]);
    if (last.fds[i] > first.fds[i] || most_fds > first.fds[i] + 2)
      fail(std::string(DAEMONS[i]) + ": open descriptors grew from " +
           std::to_string(first.fds[i]) + " to " + std::to_string(last.fds[i]) + " (at most " +
           std::to_string(most_fds) + ")");
    // Pages touched for the first time early in the run are no leak: the growth counts
    // from the sample after the first minute (after the first 10 s in a short run).
    const Sample &base = samples.size() > 8 ? samples[6] : samples.size() > 2 ? samples[1] : first;
    long allowed = std::max(256L, base.rss[i] / 10);
    if (last.rss[i] - base.rss[i] > allowed)
      fail(std::string(DAEMONS[i]) + ": resident memory grew from " + std::to_string(base.rss[i]) +
           " KiB to " + std::to_string(last.rss[i]) + " KiB");
  }

  // Saves: every 10 s from the control daemon's start, all four files each time.
  const std::vector<double> &volume_saves = files.moved["VOLUME"];
  double last_save = control_start, longest_gap = 0;
  for (double at : volume_saves) {
    longest_gap = std::max(longest_gap, at - last_save);
    last_save = at;
  }
  double end = now_seconds();
  longest_gap = std::max(longest_gap, end - last_save);
  printf("saves: %zu of /tmp/VOLUME, %zu BALANCE, %zu BASS, %zu TREBLE; longest time without "
         "one %.2f s\n",
         volume_saves.size(), files.moved["BALANCE"].size(), files.moved["BASS"].size(),
         files.moved["TREBLE"].size(), longest_gap);
  if (longest_gap > 10.5)
    fail("a 10 s window went by without a save");
  for (const char *name : {"BALANCE", "BASS", "TREBLE"}) {
    long difference =
        static_cast<long>(files.moved[name].size()) - static_cast<long>(volume_saves.size());
    if (difference < -1 || difference > 1)
      fail(std::string("/tmp/") + name + " was not saved with /tmp/VOLUME");
  }
  // The last save holds the values last given to the mixer.
  MixerValues saved = saved_mixer_values();
  std::vector<std::string> pcm, bass, treble;
  {
    std::string log = read_text(rig_file("mixer.log"));
    size_t at = 0;
    while (at < log.size()) {
      size_t eol = log.find('\n', at);
      std::string line = log.substr(at, eol - at);
      if (line.rfind("WRITE_PCM ", 0) == 0)
        pcm.push_back(line.substr(10));
      else if (line.rfind("WRITE_BASS ", 0) == 0)
        bass.push_back(line.substr(11));
      else if (line.rfind("WRITE_TREBLE ", 0) == 0)
        treble.push_back(line.substr(13));
      at = eol == std::string::npos ? log.size() : eol + 1;
    }
  }
  printf("mixer: %zu PCM writes; saved volume %d balance %d bass %d treble %d\n", pcm.size(),
         saved.volume, saved.balance, saved.bass, saved.treble);
  if (pcm.empty() || pcm.back() != pcm_word(saved.volume, saved.balance) || bass.empty() ||
      bass.back() != level_word(saved.bass | saved.bass << 8) || treble.empty() ||
      treble.back() != level_word(saved.treble | saved.treble << 8))
    fail("the last save does not hold the mixer's last values (PCM " +
         (pcm.empty() ? std::string("none") : pcm.back()) + ")");

  // The panel's ticks against the 100 ms grid of the first one. A tick missed (two
  // periods' expiries drawn as one) starts the grid afresh, so that it counts once: as
  // a missed tick, and as the lateness of the tick that came instead.
  std::vector<double> &ticks = panel.cursors;
  double worst_late = 0, worst_gap = 0;
  size_t late = 0, missed = 0;
  if (ticks.size() < 2) {
    fail("the panel was not drawn");
  } else {
    size_t begin = 0;
    while (begin < ticks.size()) {
      size_t stop = begin + 1;
      while (stop < ticks.size() && ticks[stop] - ticks[stop - 1] < 1.5 * TICK)
        ++stop;
      double offset = ticks[begin];
      for (size_t i = begin; i < stop; ++i)
        offset = std::min(offset, ticks[i] - TICK * static_cast<double>(i - begin));
      for (size_t i = begin; i < stop; ++i) {
        double lateness = ticks[i] - TICK * static_cast<double>(i - begin) - offset;
        if (i == begin && i > 0) {
          double gap = ticks[i] - ticks[i - 1];
          lateness = std::max(lateness, gap - TICK);
          missed += static_cast<size_t>(std::lround(gap / TICK)) - 1;
        }
        worst_late = std::max(worst_late, lateness);
        if (lateness > tick_limit)
          ++late;
        if (i > 0)
          worst_gap = std::max(worst_gap, ticks[i] - ticks[i - 1]);
      }
      begin = stop;
    }
  }
  double span = ticks.empty() ? 0 : ticks.back() - ticks.front();
  printf("panel: ticks may come %.0f ms late\n", tick_limit * 1000);
  printf("panel: %zu ticks over %.1f s (%s reader); worst lateness against the 100 ms grid "
         "%.1f ms; longest time between two ticks %.1f ms; ticks over 50 ms late: %zu; ticks "
         "missed: %zu\n",
         ticks.size(), span, rt ? "real-time" : "normal", worst_late * 1000, worst_gap * 1000, late,
         missed);
  printf("panel: reads that took two ticks' draws at once: %ld\n", panel.shared_reads);
  if (late > 0)
    fail("the panel's ticks came late");
  if (missed > 0 && tick_limit < TICK)
    fail("the panel missed ticks");

  // The same processes all through; nothing started again.
  bool same = true;
  for (int i = 1; i < 4; ++i)
    same = same && find_process(DAEMONS[i]) == pids[i];
  same = same && find_process("mpg123") == player && kill(velm, 0) == 0;
  printf("processes: %s\n", same ? "the same pids at the end" : "NOT the same pids at the end");
  if (!same)
    fail("a process of the jukebox died");
  for (const std::string &problem : log_problems())
    fail(problem);
  std::string played = read_text(rig_file("player.out"));
  printf("player: %zu songs loaded, %zu song ends, %zu checkpoints, %zu play records written\n",
         count_lines(played, "@I ID3:"), count_lines(played, "@P 0"),
         files.moved["FRAMEPOS"].size(), files.moved["PLAYSTATE"].size());

  kill(velm, SIGTERM);
  int status = -1;
  if (!wait_until(20, [&] { return waitpid(velm, &status, WNOHANG) == velm; }))
    fail("velm did not end on SIGTERM");
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("velm did not end with status 0");
  printf("soak: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------------------
// Power cuts

// Songs of 3 and 4 s for many song changes, and of 12 s, longer than the 10 s between
// two checkpoints, so a resume from the start of the wrong song shows.
const std::vector<SampleSong> POWERCUT_SONGS = {
    {"dev1/A", "A1", 3},  {"dev1/A", "A2", 12}, {"dev1/A", "A3", 4},
    {"dev1/B", "B1", 12}, {"dev1/B", "B2", 3},  {"dev1/B", "B3", 12},
    {"dev2/C", "C1", 3},  {"dev2/C", "C2", 12}, {"dev2/C", "C3", 4}};

// A place in the music.
struct Position {
  std::string title;
  long frame;
};

// What the player's output says, from some point on.
struct Played {
  std::string title;       // of the last song loaded ("@I ID3:")
  long frame = -1;         // the last frame reported for it
  bool ended = false;      // "@P 0" came after that frame
  long left = -1;          // the frames left after it
  long first_frame = -1;   // the first frame reported at all
  std::string first_title; // the song it belongs to
  long frames_reported = 0;
  std::string events; // the lines other than frames, for reports
  // The song loaded before the last one, its last frame (-1: none) and whether it had
  // come to its end (or its last few frames) then.
  std::string prev_title;
  long prev_frame = -1;
  bool prev_ended = false;
};

Played parse_played(const std::string &text) {
  Played played;
  bool jumped = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t eol = text.find('\n', at);
    if (eol == std::string::npos)
      break; // a line still being written
    std::string line = text.substr(at, eol - at);
    at = eol + 1;
    if (line.rfind("@F ", 0) == 0) {
      long frame = 0;
      if (sscanf(line.c_str() + 3, "%ld %ld", &frame, &played.left) < 1)
        continue;
      // The resumed place: the first frame, or the first after a jump that came before
      // any frame was played on.
      if (played.first_frame < 0 || (jumped && played.frames_reported < 3)) {
        played.first_frame = frame;
        played.first_title = played.title;
        jumped = false;
      }
      played.frame = frame;
      played.ended = false;
      ++played.frames_reported;
      continue;
    }
    if (line.rfind("@I ID3:", 0) == 0) {
      std::string title = line.substr(7, 30);
      title.erase(title.find_last_not_of(' ') + 1);
      if (!played.title.empty()) {
        played.prev_title = played.title;
        played.prev_frame = played.frame;
        played.prev_ended =
            played.ended || (played.frame >= 0 && played.left >= 0 && played.left < 8);
      }
      played.title = title;
      played.frame = -1;
      played.ended = false;
    } else if (line == "@P 0") {
      played.ended = true;
    } else if (line.rfind("@J", 0) == 0) {
      jumped = true;
    }
    if (line[0] == '@' && line.rfind("@I ID3v2", 0) != 0 && line.rfind("@I {", 0) != 0 &&
        line.rfind("@I }", 0) != 0 && line.rfind("@I ID3.", 0) != 0)
      played.events += line.substr(0, 48) + "; ";
  }
  return played;
}

// The collection's addresses and titles, from the master list.
struct Catalog {
  std::map<std::string, std::string> title_of; // "1 2 3" -> "B3"
  std::map<std::string, std::string> address_of;
};

Catalog catalog_of(const std::string &mpl) {
  Catalog catalog;
  size_t at = 0;
  while (at < mpl.size()) {
    size_t eol = mpl.find('\n', at);
    std::string line = mpl.substr(at, eol - at);
    at = eol == std::string::npos ? mpl.size() : eol + 1;
    int device, list, song, used = 0;
    if (sscanf(line.c_str(), "%d %d %d %n", &device, &list, &song, &used) < 3 || song == 0)
      continue;
    std::string path = line.substr(static_cast<size_t>(used));
    std::string title = path.substr(path.rfind('/') + 1);
    title.resize(std::min(title.size(), title.rfind('.')));
    std::string address =
        std::to_string(device) + " " + std::to_string(list) + " " + std::to_string(song);
    catalog.title_of[address] = title;
    catalog.address_of[title] = address;
  }
  return catalog;
}

// The song after `address` in the order list (after the last, the first).
std::string next_in_order(const std::string &address) {
  std::vector<std::string> order;
  std::string opl = read_text("/tmp/OPL");
  size_t at = 0;
  while (at < opl.size()) {
    size_t eol = opl.find('\n', at);
    std::string line = opl.substr(at, eol - at);
    at = eol == std::string::npos ? opl.size() : eol + 1;
    size_t blank = line.find(' ');
    if (blank != std::string::npos)
      order.push_back(line.substr(blank + 1));
  }
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i] == address)
      return order[(i + 1) % order.size()];
  }
  return "";
}

// The frames left of the song, as the player's last frame line in `text` reports them.
long frames_left(const std::string &text) {
  size_t at = text.rfind("\n@F ");
  long frame, left;
  if (at == std::string::npos || sscanf(text.c_str() + at + 4, "%ld %ld", &frame, &left) != 2)
    return LONG_MAX;
  return left;
}

std::string describe(const std::vector<Position> &places) {
  std::string text;
  for (const Position &p : places)
    text += (text.empty() ? "" : " or ") + p.title + "@" + std::to_string(p.frame);
  return text.empty() ? "nowhere" : text;
}

// Where the music must resume after a boot from a power cut's disk.
struct Resume {
  std::string title; // empty: the first song of the order list
  long low = 0;      // the first frame played again: from `low` to `high`
  long high = 0;
  std::string after; // set instead of `title`: the song after this one, from its start
  std::string why;   // how the rig came to it, for reports
};

// A state file replaced, as the rig saw it: when, and what it then held.
struct Replacement {
  double at;
  int value;
};

struct Cutter {
  std::mt19937 random;
  std::set<pid_t> spared; // ourselves, our parents, the panel's reader, the sandbox
  FileWatch files;
  std::vector<std::string> events; // the state file events in order: "+VOLUME.812", ">VOLUME"
  pid_t velm = -1;
  size_t section = 0; // where the player's output of the jukebox's current start begins
  double started = 0;
  double startup_seconds = 0.05; // how long the launcher takes to its FIFOs, as seen
  std::string reference_mpl;
  Catalog catalog;
  std::vector<Position> last_places; // where the music was at the last cut
  std::string ended_title;           // the song that had just ended at the last cut
  int replays = 0;
  int left_temporaries = 0; // cuts that left orderbuild's temporary order list behind
  MixerValues saved;
  // Counts for the report.
  std::map<std::string, int> targeted, seen, failed;
  int cuts = 0;
  std::string moment; // what the last cut was aimed at and fell in, for the failures
  // Real power cuts: the expected resume, the mixer files' replacements since the boot
  // (the first entry: what the boot found on the disk), and the key just sent.
  bool real = false;
  Resume expect;
  std::map<std::string, std::vector<Replacement>> mixer_saves;
  std::string key;       // "player_nextsong" or "player_changernd" just sent, or ""
  std::string key_title; // the song that played when it was sent
  double key_at = 0;
};

const char *const MIXER_FILES[] = {"VOLUME", "BALANCE", "BASS", "TREBLE"};

int mixer_value(const MixerValues &values, const std::string &name) {
  return name == "VOLUME"    ? values.volume
         : name == "BALANCE" ? values.balance
         : name == "BASS"    ? values.bass
                             : values.treble;
}

void take_events(Cutter &c) {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    ssize_t got = read(c.files.fd, buffer, sizeof buffer);
    if (got <= 0)
      return;
    for (char *p = buffer; p < buffer + got;) {
      auto *event = reinterpret_cast<inotify_event *>(p);
      std::string name = event->len > 0 ? event->name : "";
      c.events.push_back(((event->mask & IN_CREATE) != 0 ? "+" : ">") + name);
      // What a mixer file holds once replaced, as the rig reads it now (the next save
      // comes 10 s later).
      if (c.real && (event->mask & IN_MOVED_TO) != 0 && c.mixer_saves.contains(name))
        c.mixer_saves[name].push_back({now_seconds(), mixer_value(saved_mixer_values(), name)});
      p += sizeof(inotify_event) + event->len;
    }
  }
}

// Waits for a state file event (such as ">BASS", or "+PLAYSTATE.*" for any name
// beginning so); false after `timeout`.
bool await_event(Cutter &c, const std::string &event, double timeout) {
  size_t from = c.events.size();
  double until = now_seconds() + timeout;
  for (;;) {
    take_events(c);
    for (size_t i = from; i < c.events.size(); ++i) {
      if (c.events[i] == event ||
          (event.ends_with('*') && c.events[i].starts_with(event.substr(0, event.size() - 1))))
        return true;
    }
    from = c.events.size();
    double left = until - now_seconds();
    if (left <= 0)
      return false;
    pollfd in = {c.files.fd, POLLIN, 0};
    poll(&in, 1, static_cast<int>(left * 1000) + 1);
  }
}

void note_failure(Cutter &c, const std::string &kind, const std::string &what) {
  ++c.failed[kind];
  fail("cut " + std::to_string(c.cuts) + (c.moment.empty() ? "" : " (" + c.moment + ")") + ": " +
       what);
}

void start_jukebox(Cutter &c) {
  c.section = read_text(rig_file("player.out")).size();
  (void)rename(rig_file("mixer.log").c_str(),
               rig_file("mixer.log.old").c_str()); // absent before the first start
  c.started = now_seconds();
  c.velm = start_velm(collection_devices(POWERCUT_SONGS));
}

// Every process of the jukebox killed at once (its process group in one call), then any
// that left the group.
void kill_everything(Cutter &c) {
  kill(-c.velm, SIGKILL);
  for (int round = 0; round < 500; ++round) {
    bool any = false;
    for (const Process &p : processes()) {
      if (!c.spared.contains(p.pid)) {
        kill(p.pid, SIGKILL);
        any = true;
      }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!any)
      break;
    sleep_seconds(0.002);
  }
  waitpid(c.velm, nullptr, 0);
  c.velm = -1;
}

// Where the music was at the cut: the song the player played and its last frame, and,
// while a song change was under way, the start of the song chosen (or of the one after
// the song that ended).
std::vector<Position> places_at_cut(Cutter &c, const Played &played, bool &changing) {
  std::vector<Position> places;
  changing = false;
  if (played.title.empty())
    return c.last_places; // nothing played since the last cut
  places.push_back({played.title, played.frame < 0 ? 0 : played.frame});
  std::string position = chosen_song();
  auto chosen = c.catalog.title_of.find(position);
  if (chosen != c.catalog.title_of.end() && chosen->second != played.title) {
    places.push_back({chosen->second, 0});
    changing = true;
  }
  // At its last frames the song is as good as over: the next one follows.
  if (played.ended || (played.left >= 0 && played.left < 8)) {
    c.ended_title = played.title;
    std::string next = next_in_order(c.catalog.address_of[played.title]);
    if (c.catalog.title_of.contains(next))
      places.push_back({c.catalog.title_of[next], 0});
    changing = true;
  }
  if (played.frame < 0)
    changing = true;
  return places;
}

// The cut itself, and what must hold right after it.
// orderbuild's temporary order lists in /tmp ("OPL.<pid>").
int order_list_temporaries() {
  int found = 0;
  DIR *tmp = opendir("/tmp");
  if (tmp == nullptr)
    return 0;
  while (const dirent *entry = readdir(tmp)) {
    std::string name = entry->d_name;
    found += name.size() > 4 && name.starts_with("OPL.") &&
                     name.find_first_not_of("0123456789", 4) == std::string::npos
                 ? 1
                 : 0;
  }
  closedir(tmp);
  return found;
}

void cut(Cutter &c, const std::string &kind) {
  ++c.cuts;
  ++c.targeted[kind];
  bool starting = find_process("velm_display") < 0;
  kill_everything(c);
  take_events(c);
  c.left_temporaries += order_list_temporaries() > 0 ? 1 : 0;
  // A save under way: four files were being replaced, not all of them yet.
  bool saving = false;
  for (size_t i = c.events.size(); i-- > 0;) {
    if (c.events[i] == ">TREBLE")
      break;
    if (c.events[i].starts_with("+VOLUME.")) {
      saving = true;
      break;
    }
  }
  c.events.clear();
  Played played = parse_played(read_text(rig_file("player.out")).substr(c.section));
  bool changing = false;
  if (!starting && !played.title.empty())
    c.ended_title.clear();
  std::vector<Position> places = places_at_cut(c, played, changing);
  if (!starting)
    c.last_places = places;
  std::string moment = starting   ? "start-up"
                       : saving   ? "save"
                       : changing ? "song change"
                                  : "playing";
  ++c.seen[moment];
  printf("cut %d (%s): during %s; music at %s\n", c.cuts, kind.c_str(), moment.c_str(),
         describe(c.last_places).c_str());

  for (const std::string &problem : check_state_files(mpl_addresses(c.reference_mpl)))
    note_failure(c, "torn state file", problem);
  for (const std::string &problem : check_play_lists(c.reference_mpl, false))
    note_failure(c, "torn play list", problem);
  c.saved = saved_mixer_values();
}

void check_after_start(Cutter &c);

// The kind of failure a torn file is: orderquery's three result files, which it writes
// with plain opens, apart from the state files proper.
std::string torn_kind(const std::string &problem) {
  for (const char *path : {"/tmp/DEVICE:", "/tmp/LIST:", "/tmp/SONG:"}) {
    if (problem.starts_with(path))
      return "torn query result";
  }
  return "torn state file";
}

// Starts the jukebox after a cut and sees it come back: the play lists whole, the mixer
// as saved, the music where it was cut.
void restart_and_check(Cutter &c) {
  start_jukebox(c);
  // How long the launcher takes to scan and build the order list before it starts the
  // display: the moments of the next start-up cut.
  if (wait_until(
          30, [] { return find_process("velm_display") > 0; }, 0.001))
    c.startup_seconds = now_seconds() - c.started;
  if (!wait_until(30, [] { return jukebox_up(); })) {
    note_failure(c, "no restart", "the jukebox did not start again");
    return;
  }
  if (order_list_temporaries() > 0)
    note_failure(c, "leftover", "a temporary order list of a killed orderbuild is still there");
  Played played;
  bool resumed = wait_until(25, [&] {
    played = parse_played(read_text(rig_file("player.out")).substr(c.section));
    return played.frames_reported > 40;
  });
  if (!resumed) {
    note_failure(c, "no restart", "the music did not start again: " + played.events);
    return;
  }
  std::string problem;
  bool near = false;
  for (const Position &p : c.last_places) {
    near = near || (p.title == played.first_title &&
                    played.first_frame >= p.frame - static_cast<long>(10 * FRAMES_PER_SECOND) &&
                    played.first_frame <= p.frame + static_cast<long>(FRAMES_PER_SECOND));
  }
  // Nothing played yet before the cut: the first song of the order list from its start.
  if (c.last_places.empty())
    near = static_cast<double>(played.first_frame) < FRAMES_PER_SECOND;
  if (!near && played.first_title == c.ended_title &&
      static_cast<double>(played.first_frame) < FRAMES_PER_SECOND) {
    // The song that had ended plays again from its start: the start-up did not see that
    // the cut came between the watcher's checkpoint 0 and the choice of the next song.
    ++c.replays;
    note_failure(c, "ended song again",
                 "the song that had ended, " + played.first_title +
                     ", played again from its start");
  } else if (!near)
    note_failure(c, "resume off",
                 "resumed at " + played.first_title + "@" + std::to_string(played.first_frame) +
                     ", cut at " + describe(c.last_places) + " (" + played.events + ")");

  check_after_start(c);
}

// What must hold once the jukebox has started again: the mixer set to the saved values,
// the play lists and state files whole, nothing wrong in the logs.
void check_after_start(Cutter &c) {
  // The mixer as saved: the master level, the PCM channel silent while the balance is
  // set, then the saved levels.
  std::vector<std::string> writes;
  wait_until(5, [&] {
    writes.clear();
    std::string log = read_text(rig_file("mixer.log"));
    for (size_t at = log.find("WRITE_"); at != std::string::npos; at = log.find("WRITE_", at + 1))
      writes.push_back(log.substr(at, log.find('\n', at) - at));
    return writes.size() >= 5;
  });
  std::vector<std::string> expected = {"WRITE_VOLUME 0x5a5a", "WRITE_PCM 0x0000",
                                       "WRITE_PCM " + pcm_word(c.saved.volume, c.saved.balance),
                                       "WRITE_BASS " + level_word(c.saved.bass | c.saved.bass << 8),
                                       "WRITE_TREBLE " +
                                           level_word(c.saved.treble | c.saved.treble << 8)};
  writes.resize(std::min(writes.size(), expected.size()));
  if (writes != expected) {
    std::string got;
    for (const std::string &w : writes)
      got += w + "; ";
    std::string log = read_text("/tmp/velm.log");
    note_failure(c, "mixer not restored",
                 "mixer after the start: " + got + "saved volume " +
                     std::to_string(c.saved.volume) + " balance " +
                     std::to_string(c.saved.balance) + " bass " + std::to_string(c.saved.bass) +
                     " treble " + std::to_string(c.saved.treble) + "; the log's end:\n" +
                     log.substr(log.size() > 1500 ? log.size() - 1500 : 0));
  }
  for (const std::string &p : check_play_lists(c.reference_mpl, true))
    note_failure(c, "torn play list", "after the start: " + p);
  for (const std::string &p : check_state_files(mpl_addresses(c.reference_mpl)))
    note_failure(c, torn_kind(p), "after the start: " + p);
  for (const std::string &p : log_problems())
    note_failure(c, "log", p);
  write_text(rig_file("velm.err"), "");
}

void send_control(const std::string &line) {
  int fd = open("/tmp/fifo.control", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  std::string text = line + "\n";
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

// A few mixer steps, so that each save holds new values.
void turn_knobs(Cutter &c) {
  static const char *const words[] = {
      "mixer_volumeup",    "mixer_volumeup",     "mixer_volumedown",
      "mixer_balanceleft", "mixer_balanceright", "mixer_bassup",
      "mixer_bassdown",    "mixer_trebleup",     "mixer_trebledown"};
  int steps = std::uniform_int_distribution<int>(1, 4)(c.random);
  for (int i = 0; i < steps; ++i) {
    send_control(words[std::uniform_int_distribution<int>(0, 8)(c.random)]);
    sleep_seconds(std::uniform_real_distribution<double>(0.01, 0.2)(c.random));
  }
}

void spin(double seconds) {
  double until = now_seconds() + seconds;
  while (now_seconds() < until) {
  }
}

int powercut(int runs, unsigned seed) {
  printf("powercut: %d runs, seed %u\n", runs, seed);
  Cutter c;
  c.random.seed(seed);
  make_collection(POWERCUT_SONGS);
  write_text("/dev/mixer", "");
  run_shell("mkfifo /dev/lcd");
  c.spared = {1, getpid()};
  for (pid_t p = getppid(); p > 1;) {
    c.spared.insert(p);
    std::string stat = read_text("/proc/" + std::to_string(p) + "/stat");
    size_t close = stat.rfind(')');
    char state;
    pid_t parent = 0;
    if (close == std::string::npos ||
        sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2)
      break;
    p = parent;
  }
  // The panel's reader, for the whole run: each display that comes finds it there.
  pid_t reader = fork();
  if (reader == 0) {
    char bytes[4096];
    sched_param normal = {};
    sched_setscheduler(0, SCHED_OTHER, &normal);
    for (;;) {
      int fd = open("/dev/lcd", O_RDONLY);
      while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
      }
      if (fd >= 0)
        close(fd);
    }
  }
  c.spared.insert(reader);
  c.files = watch_tmp();
  // The cuts come close after what they aim at only when nothing holds us back.
  sched_param realtime = {};
  realtime.sched_priority = 10;
  sched_setscheduler(0, SCHED_FIFO, &realtime);

  // The first start gives the collection's master list, which every later start must
  // give again.
  start_jukebox(c);
  if (!wait_until(30, [] { return jukebox_up(); }) || !wait_until(30, [&] {
        return parse_played(read_text(rig_file("player.out"))).frames_reported > 40;
      }))
    give_up("the jukebox did not start");
  c.reference_mpl = read_text("/tmp/MPL");
  c.catalog = catalog_of(c.reference_mpl);
  if (c.catalog.title_of.size() != POWERCUT_SONGS.size())
    give_up("the master list does not hold the collection");

  const char *const kinds[] = {"start-up", "save", "song change", "playing"};
  const char *const saved_files[] = {"VOLUME", "BALANCE", "BASS", "TREBLE"};
  int song_changes = 0;
  int startups = 0;
  for (int run = 0; run < runs; ++run) {
    std::string kind = kinds[run % 4];
    take_events(c);
    c.events.clear();
    if (kind == "start-up") {
      // A cut while playing, then one while the jukebox starts again.
      sleep_seconds(std::uniform_real_distribution<double>(0.2, 2)(c.random));
      cut(c, "playing");
      start_jukebox(c);
      if (startups++ % 2 == 0) {
        // While orderbuild writes the order list: its temporary file has appeared.
        if (!await_event(c, "+OPL.*", 30))
          note_failure(c, "start-up", "orderbuild wrote no order list");
        spin(std::uniform_real_distribution<double>(0, 0.001)(c.random));
      } else {
        sleep_seconds(std::uniform_real_distribution<double>(0, c.startup_seconds)(c.random));
      }
      cut(c, kind);
    } else {
      turn_knobs(c);
      if (kind == "save") {
        std::string target = std::string("+") + saved_files[run / 4 % 4] + ".*";
        // The control daemon is held where the save has got to when we see its file (a
        // save takes well under a millisecond), and everything is killed there.
        pid_t control = find_process("velm_control");
        if (!await_event(c, target, 25))
          note_failure(c, "save", "no save within 25 s");
        spin(std::uniform_real_distribution<double>(0, 0.0001)(c.random));
        kill(control, SIGSTOP);
      } else if (kind == "song change") {
        // A song's end: when the player reports its last frames, the watcher's checkpoint
        // 0 and then the next song's address chosen by nextsong.sh; or a "next song"
        // command and its address chosen.
        int way = song_changes++ % 3;
        if (way < 2) {
          wait_until(
              40, [] { return frames_left(read_text(rig_file("player.out"))) < 8; }, 0.002);
          take_events(c);
        } else {
          send_control("player_nextsong");
        }
        // (the play core's temporary file is PLAYSTATE.<pid>)
        if (!await_event(c, way == 0 ? "+FRAMEPOS.*" : "+PLAYSTATE.*", 5))
          note_failure(c, "song change", "no song change seen");
        spin(std::uniform_real_distribution<double>(0, way == 0 ? 0.002 : 0.02)(c.random));
      } else {
        sleep_seconds(std::uniform_real_distribution<double>(0.3, 8)(c.random));
      }
      cut(c, kind);
    }
    restart_and_check(c);
  }
  kill_everything(c);
  kill(reader, SIGKILL);
  waitpid(reader, nullptr, 0);

  printf("powercut: %d runs, %d cuts\n", runs, c.cuts);
  printf("  cuts aimed at:");
  for (const auto &[kind, n] : c.targeted)
    printf(" %s %d;", kind.c_str(), n);
  printf("\n  cuts that fell during:");
  for (const auto &[kind, n] : c.seen)
    printf(" %s %d;", kind.c_str(), n);
  printf("\n  failures:");
  if (c.failed.empty())
    printf(" none");
  for (const auto &[kind, n] : c.failed)
    printf(" %s %d;", kind.c_str(), n);
  printf("\n  songs that had just ended and played again from their start: %d\n", c.replays);
  printf("  cuts that left orderbuild's temporary order list behind: %d (removed at the next "
         "start)\n",
         c.left_temporaries);
  printf("powercut: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------------------
// Real power cuts: the jukebox's /tmp is a disk (cut_disk.h), and a cut boots the whole
// jukebox from a copy of that disk taken while everything ran.
//
// How the rig knows the song and the place at the cut, from outside:
// - The copy is taken first, with everything running; then every process is killed and
//   the player's output (the watcher's echo of it, kept off the disk) is read: its last
//   frame line is the place at the cut (the few milliseconds between the copy and the
//   kill make it a frame or so later than the copy, never earlier; the watcher writes a
//   checkpoint just before it echoes that frame's line, so 3 frames of slack are given
//   above it), its last "@I ID3:" line the song loaded.
// - A song change is under way when the song loaded has not played a second yet (the one
//   before it then is the old song, at its last frame), when the song had reached its
//   end or its last frames, or when "next song" was just sent and the player still plays
//   the song it was sent during. The new song is the one loaded, or else the one after
//   the old song in the order list the jukebox had.
// - Which of the two counts is what the copy holds, read before the jukebox boots from
//   it: the new song when the disk's chosen song (/tmp/PLAYSTATE's "song") is it, or when
//   the disk names the old song that had ended and holds the
//   watcher's end mark (FRAMEPOS 0), the song after it (in the order list of the boot);
//   otherwise the old song, at most 10 s of music before its last frame. Without a
//   change under way the disk must name the song that played, and it resumes so.
// - Nothing played since the last boot (a cut during the start-up): the place expected
//   at that boot still holds.
// - The mixer: every replacement of a mixer file is seen through inotify and the value
//   it holds read at once. The copy must hold the value of the last one before the cut,
//   or that of an earlier one while all those after it came less than SYNC_GRACE before
//   the cut (their sync may not have been done); the boot must set what the copy holds.

constexpr double SYNC_GRACE = 1.0;
constexpr long RESUME_SLACK = 3; // frames

// Songs of 40 s: four checkpoints each, and the saves every 10 s fall within them.
const std::vector<SampleSong> REAL_CUT_SONGS = {{"dev1/A", "A1", 40}, {"dev1/A", "A2", 40},
                                                {"dev1/B", "B1", 40}, {"dev1/B", "B2", 40},
                                                {"dev2/C", "C1", 40}, {"dev2/C", "C2", 40}};

Disk disk;
void release_disk() {
  disk_release(disk);
}

[[noreturn]] void give_up_real(Cutter &c, const std::string &what) {
  kill_everything(c);
  give_up(what);
}

std::string address_text(const std::string &title, long frame) {
  return title + "@" + std::to_string(frame);
}

std::string describe(const Resume &r) {
  std::string where = !r.after.empty()  ? "the song after " + r.after + " from its start"
                      : r.title.empty() ? "the first song from its start"
                                        : r.title + " at frame " + std::to_string(r.low) + ".." +
                                              std::to_string(r.high);
  return where + " (" + r.why + ")";
}

// The song the disk names as chosen, by title; "" when none, or not one of the collection.
std::string disk_choice(const Cutter &c) {
  RecordOnDisk state = read_play_state(mpl_addresses(c.reference_mpl));
  std::string address = state.well_formed ? state.song : "";
  auto found = c.catalog.title_of.find(address);
  return found == c.catalog.title_of.end() ? "" : found->second;
}

std::string shown(const std::string &text) {
  std::string out;
  for (char ch : text.substr(0, 80))
    out += ch == '\n' ? std::string("\\n") : std::string(1, ch);
  return "\"" + out + "\"";
}

// What the disk holds of the play state, for reports.
std::string disk_state_text() {
  std::string text = "PLAYSTATE ";
  text += file_exists("/tmp/PLAYSTATE") ? shown(read_text("/tmp/PLAYSTATE")) : "absent";
  text +=
      ", FRAMEPOS " + (file_exists("/tmp/FRAMEPOS") ? shown(read_text("/tmp/FRAMEPOS")) : "absent");
  text += ", STATUS " + (file_exists("/tmp/STATUS") ? shown(read_text("/tmp/STATUS")) : "absent");
  return text;
}

long disk_framepos() {
  if (!file_exists("/tmp/FRAMEPOS"))
    return -1;
  long frame = -1;
  return sscanf(read_text("/tmp/FRAMEPOS").c_str(), "%ld", &frame) == 1 ? frame : -2;
}

// Waits `seconds`, taking the state file events as they come.
void watch_for(Cutter &c, double seconds) {
  double until = now_seconds() + seconds;
  for (;;) {
    double left = until - now_seconds();
    if (left <= 0)
      return;
    pollfd in = {c.files.fd, POLLIN, 0};
    poll(&in, 1, static_cast<int>(left * 1000) + 1);
    take_events(c);
  }
}

// What the player's output says of the cut (see above).
struct AtCut {
  bool nothing = false; // nothing played since the boot
  std::string old_title;
  long old_frame = 0;
  bool change = false;   // a song change was under way
  std::string new_title; // the song it goes to
  bool end = false;      // the change is the old song's end
};

AtCut observe(const Cutter &c, const Played &p) {
  AtCut at;
  // (A song loaded at the start-up, paused before its jump to the resume point, has not
  // played yet either.)
  if (p.title.empty() || p.frames_reported == 0) {
    at.nothing = true;
    return at;
  }
  bool just_loaded = static_cast<double>(p.frame) < FRAMES_PER_SECOND;
  if (just_loaded && !p.prev_title.empty()) {
    at.old_title = p.prev_title;
    at.old_frame = std::max(0L, p.prev_frame);
    at.change = true;
    at.new_title = p.title;
    at.end = p.prev_ended;
    return at;
  }
  at.old_title = p.title;
  at.old_frame = std::max(0L, p.frame);
  bool near_end = p.ended || (p.frame >= 0 && p.left >= 0 && p.left < 8);
  bool key_pending = c.key == "player_nextsong" && c.key_title == p.title;
  auto address = c.catalog.address_of.find(p.title);
  if ((near_end || key_pending) && address != c.catalog.address_of.end()) {
    at.change = true;
    at.end = near_end;
    std::string next = next_in_order(address->second);
    at.new_title = c.catalog.title_of.contains(next) ? c.catalog.title_of.at(next) : "";
  }
  return at;
}

Resume place_of(const std::string &title, long frame, const std::string &why) {
  Resume r;
  r.title = title;
  r.low = frame - static_cast<long>(10 * FRAMES_PER_SECOND) - RESUME_SLACK;
  r.high = frame + RESUME_SLACK;
  r.why = why;
  return r;
}

Resume start_of(const std::string &title, const std::string &why) {
  Resume r;
  r.title = title;
  r.low = 0;
  r.high = static_cast<long>(FRAMES_PER_SECOND);
  r.why = why;
  return r;
}

// Where the music must resume, from what was seen at the cut and what the disk holds.
Resume expected_resume(const Cutter &c, const AtCut &at) {
  std::string chosen = disk_choice(c);
  std::string state = "disk: " + disk_state_text();
  if (at.nothing) {
    Resume r = c.expect;
    // The start-up chose the song after the one that had ended, and it is on the disk.
    if (!r.after.empty() && !chosen.empty() && chosen != r.after)
      r = start_of(chosen, "chosen at the start-up after " + r.after + "'s end; " + state);
    else
      r.why = "nothing played since the boot; " + r.why;
    return r;
  }
  std::string cut = "cut at " + address_text(at.old_title, at.old_frame);
  if (!at.change)
    return place_of(at.old_title, at.old_frame, cut + "; " + state);
  cut += at.end ? " as it ended" : " as the song changed";
  if (!at.new_title.empty() && chosen == at.new_title && chosen != at.old_title)
    return start_of(at.new_title, cut + ", " + at.new_title + " chosen on the disk; " + state);
  if (at.end && chosen == at.old_title && disk_framepos() == 0) {
    Resume r;
    r.after = at.old_title;
    r.why = cut + ", the end mark on the disk; " + state;
    return r;
  }
  return place_of(at.old_title, at.old_frame,
                  cut + ", " + (at.new_title.empty() ? std::string("?") : at.new_title) +
                      " not chosen on the disk; " + state);
}

// The mixer files of the copy against the replacements seen before the cut.
void check_saved_mixer(Cutter &c, double cut_at) {
  MixerValues on_disk = saved_mixer_values();
  for (const char *name : MIXER_FILES) {
    const std::vector<Replacement> &saves = c.mixer_saves[name];
    int value = mixer_value(on_disk, name);
    bool fits = false;
    std::string allowed;
    // From the last one back: each may be the one on the disk while every later one
    // came within SYNC_GRACE of the cut. (The first entry is the boot's own value; those
    // seen after the copy began may or may not be in it.)
    for (size_t i = saves.size(); i-- > 0;) {
      fits = fits || saves[i].value == value;
      allowed += (allowed.empty() ? "" : " or ") + std::to_string(saves[i].value);
      if (saves[i].at < cut_at - SYNC_GRACE)
        break;
    }
    if (!fits)
      note_failure(c, "mixer not saved",
                   std::string("/tmp/") + name + " on the disk holds " + std::to_string(value) +
                       " (" +
                       (file_exists(std::string("/tmp/") + name)
                            ? shown(read_text(std::string("/tmp/") + name))
                            : std::string("absent")) +
                       "), saved before the cut: " + allowed);
  }
}

// The cut: the copy of the disk, every process killed, the disk ejected; the machine then
// boots from the copy up to the point where the launcher would start: the copy mounted,
// its files checked and read.
void real_cut(Cutter &c, const std::string &kind) {
  ++c.cuts;
  ++c.targeted[kind];
  c.moment = "aimed at " + kind;
  bool starting = find_process("velm_display") < 0;
  take_events(c);
  // What had happened before the copy began tells what the cut fell in.
  std::vector<std::string> before(c.events);
  double cut_at = now_seconds();
  std::string copy;
  std::string error = disk_cut(disk, copy);
  if (!error.empty())
    give_up_real(c, "the disk could not be copied: " + error);
  kill_everything(c);
  double killed = now_seconds();
  take_events(c);
  // (Replacements seen from here on, stamped after `cut_at`, may have landed in the copy
  // or not: the check takes them as within the grace.)
  bool saving = false;
  for (size_t i = before.size(); i-- > 0;) {
    if (before[i] == ">TREBLE")
      break;
    if (before[i].starts_with("+VOLUME.")) {
      saving = true;
      break;
    }
  }
  bool ordering = c.key == "player_changernd" &&
                  std::find(before.begin(), before.end(), ">RANDOM") == before.end();
  Played played = parse_played(read_text(rig_file("player.out")).substr(c.section));
  AtCut at = observe(c, played);
  std::string moment = starting    ? "start-up"
                       : saving    ? "save"
                       : at.change ? "song change"
                       : ordering  ? "order change"
                                   : "playing";
  ++c.seen[moment];
  c.moment = "aimed at " + kind + ", fell in " + moment;

  close(c.files.fd);
  c.files.fd = -1;
  error = disk_eject(disk);
  if (!error.empty())
    give_up_real(c, "the disk could not be ejected: " + error);
  error = disk_boot(disk, copy);
  if (!error.empty())
    give_up_real(c, "the copy could not be mounted: " + error);
  double booted = now_seconds();

  for (const std::string &problem : check_state_files(mpl_addresses(c.reference_mpl)))
    note_failure(c, torn_kind(problem), "on the disk: " + problem);
  for (const std::string &problem : check_play_lists(c.reference_mpl, false))
    note_failure(c, "torn play list", "on the disk: " + problem);
  check_saved_mixer(c, cut_at);
  c.saved = saved_mixer_values();
  c.expect = expected_resume(c, at);
  printf("cut %d (%s): during %s; music at %s; disk copied in %.1f ms (%d readings), "
         "booted %.0f ms after the kill; resume expected at %s\n",
         c.cuts, kind.c_str(), moment.c_str(),
         at.nothing ? "nothing played since the boot"
                    : address_text(at.old_title, at.old_frame).c_str(),
         disk.copy_seconds * 1000, disk.copy_readings, (booted - killed) * 1000,
         describe(c.expect).c_str());

  c.mixer_saves.clear();
  for (const char *name : MIXER_FILES)
    c.mixer_saves[name].push_back({-1e30, mixer_value(c.saved, name)});
  c.key.clear();
  c.events.clear();
  c.files = watch_tmp();
}

// The launcher boots from the copy; the music must come back within 5 s where expected.
void boot_and_check(Cutter &c) {
  start_jukebox(c);
  if (wait_until(
          30, [] { return find_process("velm_display") > 0; }, 0.001))
    c.startup_seconds = now_seconds() - c.started;
  Played played;
  bool playing = wait_until(5, [&] {
    played = parse_played(read_text(rig_file("player.out")).substr(c.section));
    return played.frames_reported > 0;
  });
  double first_frame_at = now_seconds() - c.started;
  if (!playing) {
    note_failure(c, "no music within 5 s",
                 "nothing played 5 s after the boot: " + played.events + "; expected " +
                     describe(c.expect));
    if (!wait_until(20, [&] {
          played = parse_played(read_text(rig_file("player.out")).substr(c.section));
          return played.frames_reported > 0;
        })) {
      note_failure(c, "no restart", "the music did not start again");
      check_after_start(c);
      return;
    }
  }
  // Past the first frames: a jump to the resume point comes before any frame is played on.
  wait_until(5, [&] {
    played = parse_played(read_text(rig_file("player.out")).substr(c.section));
    return played.frames_reported > 40;
  });
  if (!jukebox_up())
    note_failure(c, "no restart", "the jukebox is not all up");
  Resume r = c.expect;
  if (!r.after.empty()) {
    std::string next = next_in_order(c.catalog.address_of[r.after]);
    r = start_of(c.catalog.title_of.contains(next) ? c.catalog.title_of.at(next) : "?",
                 "the song after " + r.after + " in the boot's order list; " + r.why);
  } else if (r.title.empty()) {
    std::string opl = read_text("/tmp/OPL");
    std::string address = opl.substr(0, opl.find('\n'));
    address = address.substr(address.find(' ') + 1);
    r = start_of(c.catalog.title_of.contains(address) ? c.catalog.title_of.at(address) : "?",
                 r.why);
  }
  bool right =
      played.first_title == r.title && played.first_frame >= r.low && played.first_frame <= r.high;
  printf("  boot: first frame after %.2f s: %s%s\n", first_frame_at,
         address_text(played.first_title, played.first_frame).c_str(), right ? "" : "  WRONG");
  if (!right)
    note_failure(c, "resume off",
                 "resumed at " + address_text(played.first_title, played.first_frame) +
                     ", expected " + describe(r) + "; player: " + played.events);
  check_after_start(c);
}

int powercut_real(int runs, unsigned seed) {
  printf("powercut --real: %d runs, seed %u\n", runs, seed);
  if (chdir("/") != 0)
    give_up("chdir /");
  Cutter c;
  c.real = true;
  c.random.seed(seed);
  rig_folder = "/mnt/rig";
  mkdir(rig_folder.c_str(), 0755);
  make_collection(REAL_CUT_SONGS);
  write_text("/dev/mixer", "");
  run_shell("mkfifo /dev/lcd");
  if (atexit(release_disk) != 0)
    give_up("atexit");
  std::string error = disk_create(disk, "/mnt/disk", 64);
  if (!error.empty())
    give_up("no disk for /tmp: " + error);
  c.spared = {1, getpid()};
  for (pid_t p = getppid(); p > 1;) {
    c.spared.insert(p);
    std::string stat = read_text("/proc/" + std::to_string(p) + "/stat");
    size_t close = stat.rfind(')');
    char state;
    pid_t parent = 0;
    if (close == std::string::npos ||
        sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2)
      break;
    p = parent;
  }
  pid_t reader = fork();
  if (reader == 0) {
    char bytes[4096];
    for (;;) {
      int fd = open("/dev/lcd", O_RDONLY);
      while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
      }
      if (fd >= 0)
        close(fd);
    }
  }
  c.spared.insert(reader);
  c.files = watch_tmp();
  for (const char *name : MIXER_FILES)
    c.mixer_saves[name].push_back({-1e30, 0});
  sched_param realtime = {};
  realtime.sched_priority = 10;
  sched_setscheduler(0, SCHED_FIFO, &realtime);

  start_jukebox(c);
  if (!wait_until(30, [] { return jukebox_up(); }) || !wait_until(30, [&] {
        return parse_played(read_text(rig_file("player.out"))).frames_reported > 40;
      }))
    give_up_real(c, "the jukebox did not start");
  c.reference_mpl = read_text("/tmp/MPL");
  c.catalog = catalog_of(c.reference_mpl);
  if (c.catalog.title_of.size() != REAL_CUT_SONGS.size())
    give_up_real(c, "the master list does not hold the collection");

  const char *const kinds[] = {"start-up", "save", "song change", "playing", "order change"};
  int song_changes = 0, saves = 0, startups = 0, order_changes = 0;
  double campaign_start = now_seconds();
  for (int run = 0; run < runs; ++run) {
    std::string kind = kinds[run % 5];
    take_events(c);
    c.events.clear();
    c.moment.clear();
    if (kind == "start-up") {
      watch_for(c, std::uniform_real_distribution<double>(0.2, 2)(c.random));
      real_cut(c, "playing");
      start_jukebox(c);
      if (startups++ % 2 == 0) {
        if (!await_event(c, "+OPL.*", 30))
          note_failure(c, "start-up", "orderbuild wrote no order list");
        spin(std::uniform_real_distribution<double>(0, 0.001)(c.random));
      } else {
        sleep_seconds(std::uniform_real_distribution<double>(0, c.startup_seconds)(c.random));
      }
      real_cut(c, kind);
    } else {
      turn_knobs(c);
      if (kind == "save") {
        std::string target = std::string("+") + MIXER_FILES[saves++ % 4] + ".*";
        pid_t control = find_process("velm_control");
        if (!await_event(c, target, 25))
          note_failure(c, "save", "no save within 25 s");
        spin(std::uniform_real_distribution<double>(0, 0.0001)(c.random));
        kill(control, SIGSTOP);
      } else if (kind == "song change") {
        // A "next song" key, the cut soon after the choice's replacement began; or a
        // song's end: the watcher's end mark, or the choice of the next song.
        int way = song_changes++ % 3;
        if (way == 0) {
          Played p = parse_played(read_text(rig_file("player.out")).substr(c.section));
          c.key = "player_nextsong";
          c.key_title = p.title;
          c.key_at = now_seconds();
          send_control(c.key);
        } else {
          wait_until(
              45,
              [&] {
                take_events(c);
                return frames_left(read_text(rig_file("player.out"))) < 8;
              },
              0.002);
        }
        if (!await_event(c, way == 1 ? "+FRAMEPOS.*" : "+PLAYSTATE.*", 5))
          note_failure(c, "song change", "no song change seen");
        spin(std::uniform_real_distribution<double>(0, way == 1 ? 0.002 : 0.02)(c.random));
      } else if (kind == "order change") {
        // The random-mode key: the cut as the order list is written, just after it
        // replaced the old one, or as the mode is saved.
        int way = order_changes++ % 3;
        c.key = "player_changernd";
        c.key_at = now_seconds();
        send_control(c.key);
        const char *const targets[] = {"+OPL.*", ">OPL", "+RANDOM.*"};
        if (!await_event(c, targets[way], 5))
          note_failure(c, "order change", std::string("no ") + targets[way] + " seen");
        spin(std::uniform_real_distribution<double>(0, way == 1 ? 0.03 : 0.002)(c.random));
      } else {
        watch_for(c, std::uniform_real_distribution<double>(0.3, 25)(c.random));
      }
      real_cut(c, kind);
    }
    boot_and_check(c);
  }
  double campaign_seconds = now_seconds() - campaign_start;
  kill_everything(c);
  kill(reader, SIGKILL);
  waitpid(reader, nullptr, 0);
  close(c.files.fd);
  std::string device = disk.device;
  error = disk_eject(disk);
  if (!error.empty())
    fail("the disk could not be ejected at the end: " + error);
  disk_release(disk);

  printf("powercut --real: %d runs, %d cuts, seed %u, %.1f s (%.1f s a cut)\n", runs, c.cuts, seed,
         campaign_seconds, campaign_seconds / c.cuts);
  printf("  cuts aimed at:");
  for (const auto &[kind, n] : c.targeted)
    printf(" %s %d;", kind.c_str(), n);
  printf("\n  cuts that fell during:");
  for (const auto &[kind, n] : c.seen)
    printf(" %s %d;", kind.c_str(), n);
  printf("\n  failures:");
  if (c.failed.empty())
    printf(" none");
  for (const auto &[kind, n] : c.failed)
    printf(" %s %d;", kind.c_str(), n);
  printf("\n  the disk's loop device at the end: %s\n",
         disk.device.empty() ? ("detached (was " + device + ")").c_str() : "STILL ATTACHED");
  printf("powercut --real: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  setenv("PATH", (std::string(VELM_BIN_DIR) + ":" + getenv("PATH")).c_str(), 1);
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1", 0);
  if (read_text("/proc/1/comm") != "sandbox\n") {
    fprintf(stderr, "jukebox_soak: run me inside the sandbox launcher (tools/soak.sh)\n");
    return 2;
  }
  std::string mode = argc > 1 ? argv[1] : "";
  // Every argument must be one the mode takes, with a whole number in range: a mistyped
  // option would otherwise give a run other than the one asked for (another seed, another
  // bound) that still says PASS.
  bool understood = argc >= 3;
  auto number = [&](int at, long min, long max, long &value) {
    understood = understood && at < argc && parse_long(argv[at], min, max, &value);
  };
  if (mode == "soak") {
    long seconds = 0;
    long rate = 100;
    long writers = 4;
    long tick_ms = 50;
    number(2, 1, 7L * 24 * 3600, seconds);
    for (int i = 3; understood && i < argc; i += 2) {
      if (strcmp(argv[i], "--rate") == 0)
        number(i + 1, 1, 10000, rate);
      else if (strcmp(argv[i], "--writers") == 0)
        number(i + 1, 1, 64, writers);
      else if (strcmp(argv[i], "--tick-limit") == 0)
        number(i + 1, 1, 60000, tick_ms);
      else
        understood = false;
    }
    if (understood) {
      tick_limit = static_cast<double>(tick_ms) / 1000;
      return soak(static_cast<double>(seconds), static_cast<double>(rate),
                  static_cast<int>(writers));
    }
  }
  if (mode == "powercut") {
    long runs = 0;
    long seed = time(nullptr) % UINT_MAX;
    bool real = false, seeded = false;
    number(2, 1, 1000000, runs);
    for (int i = 3; understood && i < argc; ++i) {
      if (strcmp(argv[i], "--seed") == 0 && !seeded) {
        number(++i, 0, UINT_MAX, seed);
        seeded = true;
      } else if (strcmp(argv[i], "--real") == 0 && !real) {
        real = true;
      } else {
        understood = false;
      }
    }
    if (understood && real)
      return powercut_real(static_cast<int>(runs), static_cast<unsigned>(seed));
    if (understood)
      return powercut(static_cast<int>(runs), static_cast<unsigned>(seed));
  }
  fprintf(stderr, "usage: jukebox_soak soak SECONDS [--rate N] [--writers N] [--tick-limit MS]\n"
                  "       jukebox_soak powercut RUNS [--seed N] [--real]\n");
  return 2;
}
