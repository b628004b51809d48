// service_bench: the jukebox started as velm.service starts it (the service's wrapper
// with the variables of its configuration, a notify socket), timed from the start:
//
//   - to the player's first frame line (the first frame of music),
//   - to READY=1 on the notify socket,
//   - and from that first frame until the LCD (lcdsim -f, the frames as text) shows the
//     resumed song's title.
//
// Every timed start is a restart of a jukebox that played before, so it resumes; median
// over several runs, on the sample collection (demo/make_samples.sh) and on a generated
// one of 99,999 songs in 1,000 lists (one short MP3 hard-linked under every name).
//
// The jukebox works at its fixed paths, so the bench runs only inside the project's
// sandbox launcher (bench/run.sh service starts it so).
//
//   service_bench [--runs N] [--lists N] [samples|big]...

#include "paths.h"

#include "bench_util.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *NOTIFY_PATH = "/mnt/notify";
constexpr const char *FRAMES_PATH = "/mnt/frames";
constexpr const char *PLAYER_OUT = "/mnt/player.out";

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "service_bench: %s\n", what.c_str());
  exit(2);
}

void shell(const std::string &command) {
  if (system(command.c_str()) != 0)
    fail("failed: " + command);
}

struct Settings {
  int runs = 5;
  int lists = 1000;
  Sections sections;
};

pid_t start_program(const std::vector<std::string> &args, const char *err_path) {
  pid_t pid = fork();
  if (pid == 0) {
    int err = open(err_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(err, STDERR_FILENO);
    std::vector<char *> argv;
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void stop_program(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

int notify_socket() {
  unlink(NOTIFY_PATH);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, NOTIFY_PATH, sizeof address.sun_path - 1);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    fail("cannot make the notify socket");
  return fd;
}

bool got_ready(int fd) {
  char buffer[4096];
  ssize_t got;
  bool ready = false;
  while ((got = recv(fd, buffer, sizeof buffer - 1, 0)) > 0) {
    buffer[got] = '\0';
    ready = ready || strstr(buffer, "READY=1") != nullptr;
  }
  return ready;
}

// The ID3 title the watcher saw for the song that plays ("@I ID3v2.title:..." or the
// first field of "@I ID3:"), empty while there is none.
std::string played_title(const std::string &out) {
  size_t at = out.find("\n@I ID3v2.title:");
  if (at == std::string::npos)
    return "";
  at += strlen("\n@I ID3v2.title:");
  return out.substr(at, out.find('\n', at) - at);
}

bool frames_show(const std::string &frames, const std::string &title) {
  // The newest frame's second row.
  size_t frame = frames.rfind("frame ");
  if (frame == std::string::npos)
    return false;
  size_t row1 = frames.find('\n', frames.find('\n', frame) + 1);
  return row1 != std::string::npos && frames.find(title, row1) != std::string::npos;
}

struct Start {
  double music = -1; // start to the first frame line
  double ready = -1; // start to READY=1
  double title = -1; // first frame to the title on the LCD
};

// One start of the service, as the unit starts it, until the title shows (or a minute).
Start service_start(const std::vector<std::string> &env, int notify) {
  unlink(PLAYER_OUT);
  unlink(FRAMES_PATH);
  got_ready(notify);
  pid_t lcd = start_program({"lcdsim", "-q", "-f", FRAMES_PATH}, "/mnt/lcdsim.err");
  for (int i = 0; i < 500 && access("/dev/lcd", F_OK) != 0; ++i)
    usleep(2000);
  Start result;
  double start = now_seconds();
  pid_t service = fork();
  if (service == 0) {
    int err = open("/mnt/velm.err", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(err, STDERR_FILENO);
    for (const std::string &assignment : env)
      putenv(const_cast<char *>(assignment.c_str()));
    execl("/mnt/inst/libexec/velm/velm-service", "velm-service", nullptr);
    _exit(127);
  }
  std::string title;
  while (now_seconds() - start < 60 && result.title < 0) {
    usleep(2000);
    double now = now_seconds();
    if (result.ready < 0 && got_ready(notify))
      result.ready = now - start;
    if (result.music < 0 || title.empty()) {
      std::string out = read_text(PLAYER_OUT);
      if (result.music < 0 && (out.rfind("@F ", 0) == 0 || out.find("\n@F ") != std::string::npos))
        result.music = now - start;
      title = played_title(out);
    }
    if (result.music >= 0 && !title.empty() && frames_show(read_text(FRAMES_PATH), title))
      result.title = now - start - result.music;
  }
  stop_program(service);
  stop_program(lcd);
  if (result.music < 0)
    fail("the music never started (see /mnt/velm.err)");
  return result;
}

void bench_collection(const Settings &settings, const std::string &name, const std::string &devices,
                      double music_target) {
  int notify = notify_socket();
  std::vector<std::string> env = {"VELM_DEVICES=" + devices, "VELM_MEDIA=", "VELM_WEB=",
                                  "VELM_OPTIONS=-t -l -p " + std::string(PLAYER_OUT),
                                  "NOTIFY_SOCKET=" + std::string(NOTIFY_PATH)};
  // A fresh state: the first start plays the first song, which the timed ones resume.
  shell("rm -f /tmp/PLAYSTATE /tmp/FRAMEPOS /tmp/PREPARED /tmp/MPL /tmp/OPL");
  service_start(env, notify);
  std::vector<double> music, ready, title;
  for (int run = 0; run < settings.runs; ++run) {
    Start s = service_start(env, notify);
    music.push_back(s.music);
    ready.push_back(s.ready);
    title.push_back(s.title < 0 ? 60 : s.title);
  }
  close(notify);
  double m = median(music), t = median(title);
  add_row({name + ": start to music, median of " + std::to_string(settings.runs), format_time(m),
           "", "", "< " + format_time(music_target), m < music_target ? "PASS" : "FAIL"});
  add_row({name + ": start to READY=1", format_time(median(ready)), "", "", "", "-"});
  add_row({name + ": music to the title on the LCD", format_time(t), "", "", "< 1 s",
           t < 1 ? "PASS" : "FAIL"});
}

} // namespace

int main(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      settings.runs = atoi(argv[++i]);
    } else if (arg == "--lists" && i + 1 < argc) {
      settings.lists = atoi(argv[++i]);
    } else if (arg == "samples" || arg == "big") {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: service_bench [--runs N] [--lists N] [samples|big]...");
    }
  }
  if (settings.runs < 1 || settings.lists < 1)
    fail("--runs and --lists need at least 1");
  if (!inside_sandbox())
    fail("run me inside the sandbox launcher (bench/run.sh service)");
  signal(SIGPIPE, SIG_IGN);
  setenv("PATH", (std::string(VELM_BIN_DIR) + ":" + getenv("PATH")).c_str(), 1);
  // The installed layout of the service's wrapper: it runs ../../bin/velm.
  shell("mkdir -p /mnt/inst/libexec/velm && cp " VELM_SERVICE_WRAPPER
        " /mnt/inst/libexec/velm/velm-service && ln -sfn " VELM_BIN_DIR " /mnt/inst/bin");

  printf("service_bench: velm.service's start (its wrapper, the real player, the silent "
         "paced output, lcdsim -f) (load %s)\n",
         load_average().c_str());
  if (settings.sections.runs("samples")) {
    fprintf(stderr, "samples: the sample collection...\n");
    shell("sh " VELM_SOURCE_DIR "/demo/make_samples.sh /mnt/samples >/dev/null");
    bench_collection(settings, "samples", "/mnt/samples/device1 /mnt/samples/device2", 1);
  }
  if (settings.sections.runs("big")) {
    long songs = settings.lists * 100L - 1;
    fprintf(stderr, "big: %s songs in %d lists...\n", with_commas(songs).c_str(), settings.lists);
    shell("mkdir -p /mnt/big/one && tonegen 10 220 330 >/mnt/big/one.wav && lame --quiet -m m "
          "-b 32 --tt T001 --ta Artist /mnt/big/one.wav /mnt/big/one/T001.mp3");
    mkdir("/mnt/big/dev1", 0755);
    for (long n = 0; n < songs; ++n) {
      std::string list = "/mnt/big/dev1/list" + std::to_string(n / 100 + 1);
      if (n % 100 == 0 && mkdir(list.c_str(), 0755) != 0 && errno != EEXIST)
        fail("cannot make " + list);
      std::string song = list + "/song" + std::to_string(n % 100 + 1) + ".mp3";
      if (link("/mnt/big/one/T001.mp3", song.c_str()) != 0 && errno != EEXIST)
        fail("cannot link " + song);
    }
    bench_collection(settings, with_commas(songs) + " songs", "/mnt/big/dev1", 2);
  }
  print_table();
  printf("%s", notes.c_str());
  return all_met ? 0 : 1;
}
