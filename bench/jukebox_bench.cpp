// jukebox_bench: the whole jukebox, timed from the outside.
//
//   - key to LCD: a "player_nextsong" line written into /tmp/fifo.control, as the
//     keyboard writes it, until row 1 of the LCD shows the next song's ID3 title. The
//     path runs through the control daemon, nextsong.sh, the player, the watcher (which
//     reports the tag) and the display daemon, whose row 1 is drawn five times a second.
//     Median and 99th percentile over many presses, each after the last one showed.
//   - start-up: from the launcher's start until the player's first frame line, on a
//     small collection and on one of 10,000 songs (100 lists of 100), together with the
//     time the play list tools take for it alone.
//
// The jukebox works at its fixed paths, so the bench runs only inside the project's
// sandbox launcher (bench/run.sh starts it so).
//
//   jukebox_bench [--presses N] [--songs N] [keys|startup]...

#include "paths.h"

#include "bench_util.h"
#include "lcdscreen.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "jukebox_bench: %s\n", what.c_str());
  exit(2);
}

void shell(const std::string &command) {
  if (system(command.c_str()) != 0)
    fail("failed: " + command);
}

struct Settings {
  int presses = 200;
  int songs = 10000;
  Sections sections;
};

// The jukebox under test: the launcher and our reading end of the panel.
struct Jukebox {
  pid_t launcher = -1;
  int lcd = -1;
  LcdScreen screen;
  std::string row; // the row 1 draw being read
  bool drawing_row1 = false;
};

Jukebox start_jukebox(const std::vector<std::string> &devices) {
  Jukebox jukebox;
  unlink("/dev/lcd");
  if (mkfifo("/dev/lcd", 0600) != 0)
    fail("cannot make /dev/lcd");
  jukebox.lcd = open("/dev/lcd", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  jukebox.launcher = fork();
  if (jukebox.launcher == 0) {
    int log = open("/tmp/bench.velm.err", O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(log, STDERR_FILENO);
    std::vector<std::string> args = {"velm", "-l", "-t", "-p", "/tmp/player.out"};
    args.insert(args.end(), devices.begin(), devices.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp("velm", argv.data());
    _exit(127);
  }
  return jukebox;
}

void stop_jukebox(Jukebox &jukebox) {
  kill(jukebox.launcher, SIGTERM);
  char bytes[4096];
  int status = 0;
  while (waitpid(jukebox.launcher, &status, WNOHANG) == 0) {
    if (read(jukebox.lcd, bytes, sizeof bytes) <= 0)
      usleep(2000);
  }
  close(jukebox.lcd);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("velm did not end with status 0");
}

// Reads what the panel got within `timeout` seconds; returns the row 1 draws completed.
std::vector<std::string> read_panel(Jukebox &jukebox, double timeout) {
  std::vector<std::string> rows;
  pollfd in = {jukebox.lcd, POLLIN, 0};
  if (poll(&in, 1, static_cast<int>(timeout * 1000)) <= 0)
    return rows;
  char bytes[4096];
  ssize_t got = read(jukebox.lcd, bytes, sizeof bytes);
  for (ssize_t i = 0; i < got; ++i) {
    LcdEvent event = lcd_screen_put(jukebox.screen, static_cast<unsigned char>(bytes[i]));
    if (event == LcdEvent::Cursor) {
      jukebox.drawing_row1 = jukebox.screen.row == 1;
      jukebox.row.clear();
    } else if (event == LcdEvent::Text && jukebox.drawing_row1) {
      jukebox.row += bytes[i];
      if (jukebox.row.size() == 24)
        rows.push_back(jukebox.row);
    }
  }
  return rows;
}

// Reads the panel until row 1 shows a text that `wanted` accepts; the seconds it took,
// or a negative number after `timeout`.
template <class Wanted> double await_row(Jukebox &jukebox, Wanted wanted, double timeout) {
  double start = now_seconds();
  while (now_seconds() - start < timeout) {
    for (const std::string &row : read_panel(jukebox, 0.05)) {
      if (wanted(row))
        return now_seconds() - start;
    }
  }
  return -1;
}

// Songs with tags "Artist" and "T<number>", of `seconds` each, `per_list` to a list.
void make_collection(const std::string &root, int lists, int per_list, int seconds) {
  shell("tonegen " + std::to_string(seconds) + " 220 330 >/tmp/bench.wav");
  int number = 0;
  for (int l = 1; l <= lists; ++l) {
    std::string dir = root + "/list" + std::to_string(l);
    shell("mkdir -p " + dir);
    for (int s = 1; s <= per_list; ++s) {
      char title[16];
      snprintf(title, sizeof title, "T%03d", ++number);
      shell("lame --quiet -m m -b 32 --tt " + std::string(title) + " --ta Artist /tmp/bench.wav " +
            dir + "/" + title + ".mp3");
    }
  }
}

bool is_title(const std::string &row) {
  return row.rfind("Artist - T", 0) == 0;
}

void bench_keys(const Settings &settings) {
  fprintf(stderr, "keys: a collection of 40 songs...\n");
  make_collection("/mnt/keys/dev1", 4, 5, 30);
  make_collection("/mnt/keys/dev2", 4, 5, 30);
  Jukebox jukebox = start_jukebox({"/mnt/keys/dev1", "/mnt/keys/dev2"});
  // The first title shows once the welcome has passed.
  if (await_row(jukebox, is_title, 30) < 0)
    fail("no title on the panel");
  int control = open(FIFO_CONTROL_PATH, O_WRONLY | O_CLOEXEC);
  if (control < 0)
    fail("cannot open /tmp/fifo.control");
  fprintf(stderr, "keys: %d presses...\n", settings.presses);
  std::vector<double> times;
  std::string shown;
  for (int i = 0; i < settings.presses; ++i) {
    // What row 1 shows now, so the next title is a change from it; then a press at a
    // random moment of the display's 200 ms cycle.
    for (const std::string &row : read_panel(jukebox, 0.25))
      shown = row;
    double pause = static_cast<double>(rand() % 200000) * 1e-6, until = now_seconds() + pause;
    while (now_seconds() < until) {
      for (const std::string &row : read_panel(jukebox, until - now_seconds()))
        shown = row;
    }
    double start = now_seconds();
    if (write(control, "player_nextsong\n", 16) != 16)
      fail("cannot write a key's line");
    double took = await_row(
        jukebox, [&](const std::string &row) { return is_title(row) && row != shown; }, 10);
    if (took < 0)
      fail("press " + std::to_string(i + 1) + ": the next title never showed");
    times.push_back(now_seconds() - start);
  }
  close(control);
  stop_jukebox(jukebox);

  double mid = median(times), p99 = percentile(times, 0.99);
  add_row({"key to LCD, " + std::to_string(times.size()) + " presses: median", format_time(mid),
           "row 1 drawn every 200 ms", "", "< 300 ms", mid < 0.3 ? "PASS" : "FAIL"});
  add_row({"key to LCD: 99th percentile", format_time(p99), "", "", "", "-"});
  add_row({"key to LCD: slowest", format_time(*std::max_element(times.begin(), times.end())), "",
           "", "", "-"});
}

// Seconds from the launcher's start until the player's first frame line.
double time_to_music(const std::vector<std::string> &devices) {
  unlink("/tmp/player.out");
  unlink(PLAYSTATE_PATH);
  unlink(FRAMEPOS_PATH);
  double start = now_seconds();
  Jukebox jukebox = start_jukebox(devices);
  double took = -1;
  while (now_seconds() - start < 120) {
    read_panel(jukebox, 0.002);
    std::string played = read_text("/tmp/player.out");
    if (played.find("\n@F ") != std::string::npos) {
      took = now_seconds() - start;
      break;
    }
  }
  stop_jukebox(jukebox);
  if (took < 0)
    fail("the music never started");
  return took;
}

double time_of(const std::string &command) {
  double start = now_seconds();
  shell(command);
  return now_seconds() - start;
}

void bench_startup(const Settings &settings) {
  fprintf(stderr, "startup: the sample collection...\n");
  make_collection("/mnt/small/dev1", 3, 4, 10);
  make_collection("/mnt/small/dev2", 2, 4, 10);
  std::vector<double> small;
  for (int run = 0; run < 3; ++run)
    small.push_back(time_to_music({"/mnt/small/dev1", "/mnt/small/dev2"}));
  add_row({"start-up to music, 20 songs", format_time(median(small)), "", "", "", "-"});

  int lists = (settings.songs + 99) / 100;
  fprintf(stderr, "startup: %d songs in %d lists...\n", lists * 100, lists);
  // One song, linked under every name.
  make_collection("/mnt/big/one", 1, 1, 10);
  shell("cd /mnt/big && mkdir -p dev1 && for l in $(seq 1 " + std::to_string(lists) +
        "); do mkdir -p dev1/list$l; for s in $(seq 1 100); do "
        "ln one/list1/T001.mp3 dev1/list$l/song$s.mp3; done; done");
  std::vector<double> big;
  for (int run = 0; run < 3; ++run)
    big.push_back(time_to_music({"/mnt/big/dev1"}));
  double tools = time_of("rm -f /tmp/MPL && scantree /mnt/big/dev1 1 >/dev/null 2>&1 && "
                         "orderbuild >/dev/null 2>&1");
  add_row({"start-up to music, " + with_commas(lists * 100L) + " songs", format_time(median(big)),
           "scantree + orderbuild alone " + format_time(tools), "", "", "-"});
}

} // namespace

int main(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--presses" && i + 1 < argc) {
      settings.presses = atoi(argv[++i]);
    } else if (arg == "--songs" && i + 1 < argc) {
      settings.songs = atoi(argv[++i]);
    } else if (arg == "keys" || arg == "startup") {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: jukebox_bench [--presses N] [--songs N] [keys|startup]...");
    }
  }
  if (settings.presses < 1 || settings.songs < 100)
    fail("--presses needs at least 1, --songs at least 100");
  if (!inside_sandbox())
    fail("run me inside the sandbox launcher (bench/run.sh jukebox)");
  signal(SIGPIPE, SIG_IGN);
  setenv("PATH", (std::string(VELM_BIN_DIR) + ":" + getenv("PATH")).c_str(), 1);

  printf("jukebox_bench: the launcher with the real player, the silent paced output and the "
         "LCD read back (load %s)\n",
         load_average().c_str());
  if (settings.sections.runs("keys"))
    bench_keys(settings);
  if (settings.sections.runs("startup"))
    bench_startup(settings);
  print_table();
  printf("%s", notes.c_str());
  return all_met ? 0 : 1;
}
