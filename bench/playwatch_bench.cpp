// playwatch_bench: the throughput of playwatch on a recorded real player output, beside
// `cat` passing the same bytes to /dev/null, both fed through a pipe as fast as one
// writer can; the display FIFO is drained by a reader, the echo goes to /dev/null.
//
// The recording: songs made with tonegen and lame, played by mpg123 in remote-control
// mode with a null output, one after the other; hundreds of thousands of "@F" lines. It
// is made once and kept in the build folder.
//
// Two inputs are timed against cat: the recording as it is (a time line per new second, a
// checkpoint every ten seconds of music, a run of nextsong.sh per song end), and the same
// lines with every elapsed second frozen at 0 and the song ends turned into another state
// line, which leaves the per-line work alone: reading, matching and echoing. Two more
// inputs split the recorded run's time: the recording with its song ends turned into
// another state line, and no input at all (the cost of starting and ending); the
// checkpoint is also timed alone, the same function on the same /tmp.
//
// playwatch writes its fixed files under /tmp, so the bench runs only inside the
// project's sandbox launcher (bench/run.sh starts it so).
//
//   playwatch_bench [--runs N]

#include "paths.h"

#include "bench_util.h"
#include "daemon.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "playwatch_bench: %s\n", what.c_str());
  exit(2);
}

int run_shell(const std::string &command) {
  return system(command.c_str());
}

// ---------------------------------------------------------------------------------------
// The recording

constexpr int SONGS = 4;
constexpr int SONG_SECONDS = 1000;
constexpr int PLAYS = 2; // each song is played this many times

// Plays the songs through mpg123 -R, one LOAD after the previous song's "@P 0", and
// returns its whole standard output.
std::string record(const std::vector<std::string> &songs) {
  int commands[2], output[2];
  if (pipe(commands) != 0 || pipe(output) != 0)
    fail("cannot make pipes");
  pid_t player = fork();
  if (player == 0) {
    dup2(commands[0], 0);
    dup2(output[1], 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(commands[1]);
    close(output[0]);
    execlp("mpg123", "mpg123", "-R", "-o", "dummy", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(commands[0]);
  close(output[1]);
  FILE *out = fdopen(output[0], "r");
  std::string recording;
  size_t next = 0;
  auto load = [&]() {
    std::string line = next < songs.size() ? "LOAD " + songs[next++] + "\n" : "QUIT\n";
    if (write(commands[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      fail("cannot command the player");
  };
  load();
  char line[1024];
  while (fgets(line, sizeof line, out) != nullptr) {
    recording += line;
    if (strcmp(line, "@P 0\n") == 0)
      load();
  }
  fclose(out);
  close(commands[1]);
  waitpid(player, nullptr, 0);
  return recording;
}

std::string make_recording(const std::string &dir) {
  std::string path = dir + "/player_output.txt";
  std::string recording = read_text(path);
  if (!recording.empty())
    return recording;
  fs::create_directories(dir);
  std::vector<std::string> songs;
  const char *tunes[SONGS] = {"262 330 392 523", "294 370 440 587", "220 277 330 440",
                              "196 247 294 392"};
  for (int i = 0; i < SONGS; ++i) {
    std::string song = dir + "/song" + std::to_string(i + 1) + ".mp3";
    fprintf(stderr, "making %s (%d s of music)...\n", song.c_str(), SONG_SECONDS);
    std::string command = std::string(VELM_BIN_DIR) + "/tonegen " + std::to_string(SONG_SECONDS) +
                          " " + tunes[i] + " | lame --quiet -m m -b 32 -q 9 --tt 'Song " +
                          std::to_string(i + 1) + "' --ta 'Bench Band' - " + song;
    if (!fs::exists(song) && run_shell(command) != 0)
      fail("cannot make " + song);
    songs.push_back(song);
  }
  std::vector<std::string> plays;
  for (int p = 0; p < PLAYS; ++p)
    plays.insert(plays.end(), songs.begin(), songs.end());
  fprintf(stderr, "recording the player's output...\n");
  recording = record(plays);
  FILE *fp = fopen(path.c_str(), "w");
  if (fp == nullptr || fwrite(recording.data(), 1, recording.size(), fp) != recording.size() ||
      fclose(fp) != 0)
    fail("cannot keep the recording in " + path);
  return recording;
}

// The same lines with the whole elapsed second of every "@F" line set to 0.
std::string frozen(const std::string &recording) {
  std::string out;
  out.reserve(recording.size());
  size_t start = 0;
  while (start < recording.size()) {
    size_t end = recording.find('\n', start);
    std::string line = recording.substr(start, end - start);
    start = end + 1;
    int frame, left;
    char elapsed[32], remaining[32];
    if (sscanf(line.c_str(), "@F %d %d %31s %31s", &frame, &left, elapsed, remaining) == 4) {
      const char *point = strchr(elapsed, '.');
      line = "@F " + std::to_string(frame) + " " + std::to_string(left) + " 0" +
             (point != nullptr ? point : ".00") + " " + remaining;
    }
    if (line == "@P 0")
      line = "@P 1"; // no song end either
    out += line + "\n";
  }
  return out;
}

// The same lines with the song ends turned into another state line.
std::string without_song_ends(const std::string &recording) {
  std::string out = recording;
  for (size_t at = 0; (at = out.find("@P 0\n", at)) != std::string::npos; at += 5) {
    if (at == 0 || out[at - 1] == '\n')
      out[at + 3] = '1';
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Timing

// Seconds from the first byte written into the program's standard input until it has
// ended. Its standard output and error go to /dev/null.
double time_program(const std::vector<const char *> &argv, const std::string &input) {
  int in[2];
  if (pipe(in) != 0)
    fail("cannot make a pipe");
  double start = now_seconds();
  pid_t child = fork();
  if (child == 0) {
    dup2(in[0], 0);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    close(in[1]);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char *> args;
    for (const char *arg : argv)
      args.push_back(const_cast<char *>(arg));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  size_t done = 0;
  while (done < input.size()) {
    ssize_t wrote =
        write(in[1], input.data() + done, std::min<size_t>(1 << 16, input.size() - done));
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      fail(std::string(argv[0]) + " stopped reading");
    done += static_cast<size_t>(wrote);
  }
  close(in[1]);
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  double seconds = now_seconds() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail(std::string(argv[0]) + " did not end well");
  return seconds;
}

// playwatch with a reader draining the display FIFO for the whole run.
double time_playwatch(const std::string &input, std::string *display) {
  unlink(FIFO_DISPLAY_PATH);
  if (mkfifo(FIFO_DISPLAY_PATH, 0600) != 0)
    fail("cannot make /tmp/fifo.display");
  pid_t reader = fork();
  if (reader == 0) {
    int fifo = open(FIFO_DISPLAY_PATH, O_RDONLY);
    int out = open("/tmp/display.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[1 << 16];
    ssize_t got;
    while ((got = read(fifo, buffer, sizeof buffer)) > 0) {
      if (write(out, buffer, static_cast<size_t>(got)) != got)
        _exit(1);
    }
    _exit(0);
  }
  std::string program = std::string(VELM_BIN_DIR) + "/playwatch";
  double seconds = time_program({program.c_str()}, input);
  waitpid(reader, nullptr, 0);
  *display = read_text("/tmp/display.out");
  return seconds;
}

long count_lines(const std::string &text, const char *prefix) {
  long n = 0;
  size_t length = strlen(prefix);
  for (size_t start = 0; start < text.size();) {
    if (text.compare(start, length, prefix) == 0)
      ++n;
    size_t end = text.find('\n', start);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return n;
}

std::string format_rate(double lines_per_second) {
  return with_commas(std::lround(lines_per_second)) + " lines/s";
}

struct Figure {
  double ours;
  double cat;
};

Figure measure(const std::string &input, int runs, std::string *display) {
  std::vector<double> ours, cat;
  time_playwatch(input, display); // warm-up
  time_program({"cat"}, input);
  for (int run = 0; run < runs; ++run) {
    ours.push_back(time_playwatch(input, display));
    cat.push_back(time_program({"cat"}, input));
  }
  return {median(ours), median(cat)};
}

} // namespace

int main(int argc, char **argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0)
      runs = atoi(argv[++i]);
    else
      fail("usage: playwatch_bench [--runs N]");
  }
  if (!inside_sandbox())
    fail("runs only inside the sandbox launcher, as bench/run.sh starts it: playwatch uses "
         "fixed files under /tmp");
  signal(SIGPIPE, SIG_IGN);

  std::string recording = make_recording(std::string(VELM_BUILD_DIR) + "/bench-data/playwatch");
  long lines = count_lines(recording, "");
  long frames = count_lines(recording, "@F");
  long ends = count_lines(recording, "@P 0");
  std::string still = frozen(recording);

  // The song ends run nextsong.sh through the shell: a stand-in that writes nothing.
  fs::create_directories("/tmp/bin");
  FILE *script = fopen("/tmp/bin/nextsong.sh", "w");
  if (script == nullptr)
    fail("cannot make the stand-in nextsong.sh");
  fputs("#!/bin/sh\nexit 0\n", script);
  fclose(script);
  chmod("/tmp/bin/nextsong.sh", 0755);
  std::string path = std::string("/tmp/bin:") + getenv("PATH");
  setenv("PATH", path.c_str(), 1);

  std::string load_before = load_average();
  fprintf(stderr, "timing %d runs of each on %s lines...\n", runs, with_commas(lines).c_str());
  std::string display;
  Figure real = measure(recording, runs, &display);
  long time_lines = count_lines(display, "display_settime ");
  Figure still_figure = measure(still, runs, &display);
  long still_time_lines = count_lines(display, "display_settime ");
  long checkpoints = time_lines / 10 + ends;

  Figure no_ends = measure(without_song_ends(recording), runs, &display);
  long no_end_time_lines = count_lines(display, "display_settime ");
  Figure empty = measure("", runs, &display);
  // The checkpoint alone: as many as the recorded run wrote, through the same function.
  int dir = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    fail("cannot open /tmp");
  std::vector<double> checkpoint_times;
  for (int run = 0; run < runs; ++run) {
    double start = now_seconds();
    for (long i = 0; i < checkpoints; ++i) {
      char text[32];
      snprintf(text, sizeof text, "%16ld\n", i);
      if (!replace_file_at(dir, "bench_checkpoint", text, 17))
        fail("cannot write /tmp/bench_checkpoint");
    }
    checkpoint_times.push_back((now_seconds() - start) / static_cast<double>(checkpoints));
  }
  close(dir);
  double checkpoint = median(checkpoint_times);

  auto row = [&](const std::string &name, const Figure &f, bool target) {
    double ratio = f.cat / f.ours;
    add_row({name, format_rate(static_cast<double>(lines) / f.ours),
             "cat " + format_rate(static_cast<double>(lines) / f.cat),
             "ours/ref " + format_ratio(ratio), target ? "ours/ref >= 0.5" : "",
             target ? (ratio >= 0.5 ? "PASS" : "FAIL") : "-"});
  };
  row("recorded player output", real, true);
  row("same lines, seconds frozen, no song end", still_figure, false);
  add_note("\nrecording: %s lines, %s \"@F\" lines, %ld songs, %.1f MiB; its run sent %ld time "
           "lines and wrote %ld\ncheckpoints (each: temporary file, fsync, rename, folder "
           "fsync); the frozen run sent %ld time lines and wrote\nno checkpoint.\n",
           with_commas(lines).c_str(), with_commas(frames).c_str(), ends,
           static_cast<double>(recording.size()) / (1 << 20), time_lines, checkpoints,
           still_time_lines);
  double ms = 1e3;
  double time_and_checkpoints = no_ends.ours - still_figure.ours;
  add_note("\nwhere the recorded run's %.1f ms go (medians; differences of runs, so +-noise):\n",
           real.ours * ms);
  add_note("  start and end, no input (start, display FIFO, \"killall\" through the shell)  "
           "%5.1f ms  (cat %.1f ms)\n",
           empty.ours * ms, empty.cat * ms);
  add_note("  per-line work: frozen run less the run without input                      "
           "%5.1f ms  (cat %.1f ms)\n",
           (still_figure.ours - empty.ours) * ms, (still_figure.cat - empty.cat) * ms);
  add_note("  %ld time lines and %ld checkpoints: run without song ends less frozen run   "
           "%5.1f ms\n",
           no_end_time_lines, checkpoints - ends, time_and_checkpoints * ms);
  add_note("    of which checkpoints, %ld x %.1f us (timed alone)                          "
           "%5.1f ms\n",
           checkpoints - ends, checkpoint * 1e6,
           static_cast<double>(checkpoints - ends) * checkpoint * ms);
  add_note("    leaving for the time lines (and the noise of the differences)               "
           "%5.1f ms\n",
           (time_and_checkpoints - static_cast<double>(checkpoints - ends) * checkpoint) * ms);
  add_note("  %ld song ends (checkpoint 0, nextsong.sh through the shell): recorded run less "
           "run without song ends  %5.1f ms\n",
           ends, (real.ours - no_ends.ours) * ms);

  printf("\nplaywatch against cat to /dev/null, fed through a pipe; median of %d runs after one "
         "warm-up\nload average %s before, %s after; %ld cores\n",
         runs, load_before.c_str(), load_average().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
  print_table();
  printf("%s", notes.c_str());
  printf("\n%s\n", all_met ? "all targets met" : "TARGETS MISSED");
  return all_met ? 0 : 1;
}
