#include "launcher.h"

#include "daemon.h"
#include "fuse_mount.h"
#include "install_dirs.h"
#include "order.h"
#include "paths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A daemon that dies this often within RESTART_WINDOW seconds is given up.
constexpr int MAX_RESTARTS = 5;
constexpr double RESTART_WINDOW = 10;

} // namespace

double now_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void message(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("velm: ", stderr);
  vfprintf(stderr, format, args);
  fputs("\n", stderr);
  va_end(args);
}

namespace {

[[noreturn]] void die(const char *what, const char *detail) {
  message("%s: %s", what, detail);
  exit(1);
}

sigset_t taken_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGUSR2, SIGCHLD, SIGINT, SIGTERM, SIGHUP})
    sigaddset(&set, signal);
  return set;
}

// In a child, before exec: the signals as a program expects them at its start.
void reset_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
}

// Under systemd, the journal's stream the launcher was given as standard error;
// elsewhere /tmp/velm.log.
int open_log() {
  static const bool journal = service_journal();
  if (journal)
    return fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  return open(LOG_PATH, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
}

} // namespace

pid_t spawn(const std::vector<std::string> &argv, int in, int out) {
  int err = open_log();
  pid_t pid = fork();
  if (pid < 0)
    die("fork", strerror(errno));
  if (pid == 0) {
    reset_signals();
    service_forget_in_child();
    if (in >= 0)
      dup2(in, STDIN_FILENO);
    if (out >= 0)
      dup2(out, STDOUT_FILENO);
    if (err >= 0)
      dup2(err, STDERR_FILENO);
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv)
      args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "velm: %s: %s\n", args[0], strerror(errno));
    _exit(127);
  }
  close(err);
  return pid;
}

bool run_program(const std::vector<std::string> &argv) {
  int log = open_log();
  pid_t pid = spawn(argv, -1, log);
  close(log);
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {

// Writes lines (each followed by a newline) in one write.
void send_lines(int fd, std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string &line : lines)
    text += line + "\n";
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    message("could not send %s", text.c_str());
}

// A FIFO left by an earlier run is used again; anything else under the name (a file, a
// link, a FIFO someone else made or may write into) is replaced by one only the
// launcher's user may use.
void make_fifo(const char *path) {
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (S_ISFIFO(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0)
      return;
    unlink(path);
  }
  if (mkfifo(path, 0600) != 0)
    die(path, strerror(errno));
}

char saved_random_mode() {
  FILE *fp = fopen(RANDOM_PATH, "re");
  int c = fp != nullptr ? getc(fp) : EOF;
  if (fp != nullptr)
    fclose(fp);
  return c != EOF && strchr("sadl", c) != nullptr ? static_cast<char>(c) : 's';
}

bool has_sound_device() {
  return access("/dev/snd", F_OK) == 0 || access("/dev/dsp", F_OK) == 0;
}

// Starts a daemon that reads the FIFO at `path`. The first time, the launcher opens the
// FIFO itself before the daemon starts and holds it (`held`), which keeps the daemon up:
// opened for reading and writing, which a FIFO allows at once, though the launcher never
// reads. So the daemon's first open always finds the launcher's writing end: a writer
// that came and went before it (a key pressed during the start) cannot leave the daemon
// at the end of its input, and lines written before the daemon reads wait in the FIFO.
void start_daemon(Child &child, const std::vector<std::string> &argv, const char *path, int &held) {
  if (held < 0) {
    held = open(path, O_RDWR | O_CLOEXEC);
    struct stat st;
    if (held < 0 || fstat(held, &st) != 0 || !S_ISFIFO(st.st_mode))
      die(path, "cannot hold the daemon's FIFO open");
  }
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  child.pid = spawn(argv, -1, null);
  close(null);
}

// A daemon has ended: start it again, unless it keeps dying.
void restart_daemon(Jukebox &jukebox, ChildId id);
// The player or its watcher has ended: once both have, a new player resumes the song.
void player_ended(Jukebox &jukebox, ChildId id);
// The mixer has ended: started again, unless it cannot mount its device or keeps ending;
// the jukebox plays on without it.
void mixer_ended(Jukebox &jukebox, ChildId id);
// The input handler has ended: started again, unless it cannot work or keeps ending; the
// jukebox plays on without it.
void input_ended(Jukebox &jukebox, ChildId id);

// Every child, in the order of ChildId: its name, how it starts, and what is done when it
// ends.
struct ChildKind {
  const char *name;
  void (*start)(Jukebox &jukebox);
  void (*ended)(Jukebox &jukebox, ChildId id);
};
const ChildKind CHILDREN[CHILD_COUNT] = {
    {"velm_display", start_display, restart_daemon},
    {"audiopace", start_audio, restart_daemon},
    {"velm_mixer", start_mixer, mixer_ended},
    // The watcher starts with the player, its output's reader.
    {"mpg123", start_player, player_ended},
    {"playwatch", start_player, player_ended},
    {"velm_control", start_control, restart_daemon},
    {"velm_input", start_input, input_ended},
};

void restart_daemon(Jukebox &jukebox, ChildId id) {
  const char *name = CHILDREN[id].name;
  if (!restart_allowed(jukebox.children[id].restarts, now_seconds(), MAX_RESTARTS,
                       RESTART_WINDOW)) {
    message("%s keeps ending; stopping the jukebox", name);
    service_status(jukebox.service, std::string(name) + " keeps ending; stopping");
    jukebox.stopping = true;
    jukebox.exit_status = 1;
    return;
  }
  message("%s ended; starting it again", name);
  service_status(jukebox.service, std::string(name) + " ended; started again");
  CHILDREN[id].start(jukebox);
}

void mixer_ended(Jukebox &jukebox, ChildId id) {
  Child &child = jukebox.children[id];
  // 1: no device can be mounted here (no FUSE, no right to mount, or a device there);
  // 127: there is no velm_mixer (a build without FUSE).
  bool cannot = WIFEXITED(child.status) &&
                (WEXITSTATUS(child.status) == 1 || WEXITSTATUS(child.status) == 127);
  if (cannot || !restart_allowed(child.restarts, now_seconds(), MAX_RESTARTS, RESTART_WINDOW)) {
    message("velm_mixer %s; going on without it: the mixer keys change only the display",
            cannot ? "could not provide /dev/mixer" : "keeps ending");
    service_status(jukebox.service, "no mixer; going on without it");
    child.given_up = true;
    return;
  }
  message("velm_mixer ended; starting it again (the levels come back at the next change)");
  CHILDREN[id].start(jukebox);
}

void input_ended(Jukebox &jukebox, ChildId id) {
  Child &child = jukebox.children[id];
  const char *name = CHILDREN[id].name;
  // 1: its key map is bad; 2: its command line is. Neither mends itself.
  if (WIFEXITED(child.status) &&
      (WEXITSTATUS(child.status) == 1 || WEXITSTATUS(child.status) == 2)) {
    message("%s could not start (%s: see its message); going on without it", name,
            WEXITSTATUS(child.status) == 1 ? "its key map is bad" : "a usage error");
    service_status(jukebox.service, std::string(name) + " could not start; going on without it");
    child.given_up = true;
    return;
  }
  if (!restart_allowed(child.restarts, now_seconds(), MAX_RESTARTS, RESTART_WINDOW)) {
    message("%s keeps ending; going on without it", name);
    service_status(jukebox.service, std::string(name) + " keeps ending; going on without it");
    child.given_up = true;
    return;
  }
  message("%s ended; starting it again", name);
  CHILDREN[id].start(jukebox);
}

void stop_player(Jukebox &jukebox) {
  // The watcher ends when the player's output does.
  for (ChildId id : {PLAYER, WATCHER}) {
    if (jukebox.children[id].pid > 0)
      kill(jukebox.children[id].pid, SIGTERM);
  }
  for (ChildId id : {PLAYER, WATCHER}) {
    if (jukebox.children[id].pid > 0)
      waitpid(jukebox.children[id].pid, nullptr, 0);
    jukebox.children[id].pid = -1;
  }
}

// The player's output ended (it was killed or quit): a new player resumes the song.
void resume_player(Jukebox &jukebox) {
  stop_player(jukebox);
  message("the player ended; starting it again");
  start_player(jukebox);
  send_lines(jukebox.control_fifo, {"player_restart", "player_startup", "player_pause"});
}

void player_ended(Jukebox &jukebox, ChildId /*id*/) {
  // The watcher's SIGUSR2 or the other's end brings the player back.
  if (jukebox.children[PLAYER].pid < 0 && jukebox.children[WATCHER].pid < 0)
    resume_player(jukebox);
}

const WebHost WEB_HOST = {spawn, now_seconds, message};

void reap_children(Jukebox &jukebox) {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (pid == jukebox.web.pid) {
      jukebox.web.pid = -1;
      if (!jukebox.stopping)
        restart_web(jukebox.web, WEB_HOST);
      continue;
    }
    for (int i = 0; i < CHILD_COUNT; ++i) {
      auto id = static_cast<ChildId>(i);
      if (jukebox.children[id].pid != pid)
        continue;
      jukebox.children[id].pid = -1;
      jukebox.children[id].status = status;
      if (!jukebox.stopping)
        CHILDREN[id].ended(jukebox, id);
      break;
    }
  }
}

// Waits up to `seconds` for a child to end; then ends it: SIGTERM, and SIGKILL for one
// that is still there two seconds later, so no child can hold the shutdown up.
void await(Child &child, double seconds) {
  double until = now_seconds() + seconds;
  bool asked = false;
  while (child.pid > 0) {
    if (waitpid(child.pid, nullptr, WNOHANG) == child.pid) {
      child.pid = -1;
      return;
    }
    if (now_seconds() > until) {
      kill(child.pid, asked ? SIGKILL : SIGTERM);
      until = now_seconds() + 2;
      asked = true;
    }
    usleep(10000);
  }
}

} // namespace

int take_signals() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = taken_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int fd = signalfd(-1, &set, SFD_CLOEXEC);
  if (fd < 0)
    die("signalfd", strerror(errno));
  return fd;
}

namespace {

// The jukebox's state, list and log files in /tmp, and the web server's configuration.
const char *const STATE_FILES[] = {
    MPL_PATH,      OPL_PATH,    DEVICE_PATH,    LIST_PATH,     SONG_PATH,   STATUS_PATH,
    FRAMEPOS_PATH, VOLUME_PATH, BALANCE_PATH,   BASS_PATH,     TREBLE_PATH, RANDOM_PATH,
    LOG_PATH,      LOCK_PATH,   PLAYSTATE_PATH, PREPARED_PATH, STICKS_PATH};

} // namespace

void claim_state_files() {
  for (const char *name : STATE_FILES) {
    struct stat st;
    if (lstat(name, &st) != 0 || (S_ISREG(st.st_mode) && st.st_uid == geteuid()))
      continue;
    if (unlink(name) != 0 && rmdir(name) != 0)
      message("%s is not a file of the jukebox's own and cannot be removed: %s", name,
              strerror(errno));
    else
      message("removed %s: it was not a file of the jukebox's own", name);
  }
}

void give_first_mixer_settings() {
  // Volume 72 is seven steps below full; tone 48 is a step next to the middle (50), on
  // the steps of 4 from 0 that the keys take, 0.24 dB below neutral.
  const struct {
    const char *path;
    int value;
  } settings[] = {{VOLUME_PATH, 72}, {BALANCE_PATH, 0}, {BASS_PATH, 48}, {TREBLE_PATH, 48}};
  for (const auto &setting : settings) {
    if (access(setting.path, F_OK) == 0 || errno != ENOENT)
      return;
  }
  for (const auto &setting : settings) {
    if (!write_int_file(setting.path, setting.value))
      message("%s: %s", setting.path, strerror(errno));
  }
}

namespace {

// Whether a name in /tmp is a temporary file of the jukebox's writers, all of which
// replace files as replace_begin does: "<state>.<pid>", where <state> is the name of one
// of the state files.
bool is_leftover_name(const char *name) {
  const char *dot = strrchr(name, '.');
  if (dot == nullptr)
    return false;
  std::string state = "/tmp/" + std::string(name, dot);
  std::string suffix(dot + 1);
  if (std::none_of(std::begin(STATE_FILES), std::end(STATE_FILES),
                   [&](const char *path) { return state == path; }))
    return false;
  auto all_of = [&](int (*kind)(int)) {
    return !suffix.empty() && std::all_of(suffix.begin(), suffix.end(), [&](char c) {
      return kind(static_cast<unsigned char>(c)) != 0;
    });
  };
  // "<state>.new" and "OPL.XXXXXX" are the temporaries of earlier versions, which a box
  // upgraded after a power cut may still hold.
  return all_of(isdigit) || suffix == "new" ||
         (state == OPL_PATH && suffix.size() == 6 && all_of(isalnum));
}

} // namespace

void remove_leftovers() {
  DIR *tmp = opendir("/tmp");
  if (tmp == nullptr)
    return;
  while (const dirent *entry = readdir(tmp)) {
    struct stat st;
    if (!is_leftover_name(entry->d_name) ||
        fstatat(dirfd(tmp), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid())
      continue;
    if (unlinkat(dirfd(tmp), entry->d_name, 0) != 0)
      message("could not remove /tmp/%s: %s", entry->d_name, strerror(errno));
  }
  closedir(tmp);
}

bool build_lists(const Options &options, const StickWatch &sticks) {
  // Empty, not missing, when there is no device: a jukebox waiting for sticks.
  if (!write_text_file(MPL_PATH, "", 0))
    message("could not write %s: %s", MPL_PATH, strerror(errno));
  for (size_t i = 0; i < options.devices.size(); ++i) {
    if (!run_program({"scantree", options.devices[i], std::to_string(i + 1)}))
      message("could not scan %s", options.devices[i].c_str());
  }
  for (const Stick &stick : sticks.present) {
    if (!run_program({"scantree", stick.root, std::to_string(stick.number)}))
      message("could not scan %s", stick.root.c_str());
  }
  char mode = options.random_mode != 0 ? options.random_mode : saved_random_mode();
  std::vector<std::string> orderbuild = {"orderbuild"};
  if (mode != 's')
    orderbuild.push_back(std::string("-") + mode);
  if (!run_program(orderbuild))
    return false;
  const char text[] = {mode, '\n'};
  if (!write_text_file(RANDOM_PATH, text, sizeof text))
    message("could not write %s: %s", RANDOM_PATH, strerror(errno));
  return true;
}

void pass_ended_song() {
  if (!run_program({"velm_play", "startup"}))
    message("could not look for a song whose end the power cut short");
}

void make_fifos() {
  make_fifo(FIFO_CONTROL_PATH);
  make_fifo(FIFO_DISPLAY_PATH);
}

void start_display(Jukebox &jukebox) {
  std::vector<std::string> argv = {"velm_display"};
  if (jukebox.options.lcd)
    argv.push_back("-l");
  if (jukebox.options.id3)
    argv.push_back("-t");
  if (jukebox.options.debug)
    argv.push_back("-d");
  start_daemon(jukebox.children[DISPLAY], argv, FIFO_DISPLAY_PATH, jukebox.display_fifo);
  // Before the control daemon reports the mixer values, which the start would clear.
  send_lines(jukebox.display_fifo, {"display_startup", std::string("display_setrandommode ") +
                                                           order_mode_text(saved_random_mode())});
}

void start_audio(Jukebox &jukebox) {
  const Options &options = jukebox.options;
  // A recording is taken by the pacer, which then passes the sound on to the card.
  bool card = has_sound_device();
  if (options.recording.empty() && (!options.audio_module.empty() || card))
    return;
  unlink(AUDIO_FIFO_PATH);
  std::vector<std::string> argv = {"audiopace"};
  if (!options.recording.empty())
    argv.insert(argv.end(), {"-s", options.recording});
  if (!options.recording.empty() && card)
    argv.push_back("-a");
  argv.push_back(AUDIO_FIFO_PATH);
  jukebox.children[AUDIO].pid = spawn(argv);
  // The player's output must find the FIFO there.
  for (int i = 0; i < 500 && access(AUDIO_FIFO_PATH, F_OK) != 0; ++i)
    usleep(2000);
  // A pacer started again: the player's output into the old one failed for good, so a
  // new player resumes the song into the new one. The old player is killed outright: in
  // its remote mode SIGTERM only ends the song it plays.
  if (jukebox.children[AUDIO].restarts.count > 0 && jukebox.children[PLAYER].pid > 0) {
    kill(jukebox.children[PLAYER].pid, SIGKILL);
    stop_player(jukebox);
    start_player(jukebox);
    send_lines(jukebox.control_fifo, {"player_restart", "player_startup", "player_pause"});
  }
}

void start_mixer(Jukebox &jukebox) {
  Child &child = jukebox.children[MIXER];
  struct stat st;
  // A real mixer device is used as it is, and so is one that velm_mixer provides as a
  // service of its own (velm-mixer.service, which may mount where this user may not).
  if (child.given_up || (stat(MIXER_DEVICE_PATH, &st) == 0 && S_ISCHR(st.st_mode)))
    return;
  if (is_fuse_mount(MIXER_DEVICE_PATH)) {
    message("%s is provided already; the mixer keys use it", MIXER_DEVICE_PATH);
    child.given_up = true;
    return;
  }
  std::vector<std::string> argv = {"velm_mixer"};
  if (jukebox.options.debug)
    argv.push_back("-d");
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  child.pid = spawn(argv, -1, null);
  close(null);
  // The control daemon opens the device at its start.
  for (int i = 0; i < 200; ++i) {
    // A mixer that ended is left for reap_children (WNOWAIT), which knows what to do.
    siginfo_t ended = {};
    if (is_fuse_mount(MIXER_DEVICE_PATH) ||
        (waitid(P_PID, static_cast<id_t>(child.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         ended.si_pid == child.pid))
      return;
    usleep(10000);
  }
  message("velm_mixer did not provide %s in 2 s", MIXER_DEVICE_PATH);
}

void start_player(Jukebox &jukebox) {
  // In a UTF-8 locale the player writes the tags' text as it is, where the C locale
  // makes every letter beyond ASCII a "?" (the watcher gives the display Latin-1).
  std::vector<std::string> argv = {"env", "LC_ALL=C.UTF-8", "mpg123",
                                   "-R",  "--fifo",         FIFO_PLAYER_PATH};
  if (!jukebox.options.audio_module.empty()) {
    argv.insert(argv.end(), {"-o", jukebox.options.audio_module});
  } else if (jukebox.children[AUDIO].pid > 0) {
    // Raw audio of one fixed format, which the pacer takes at its real rate.
    argv.insert(argv.end(),
                {"-o", "raw", "-a", AUDIO_FIFO_PATH, "-r", "44100", "--stereo", "-e", "s16"});
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0)
    die("pipe", strerror(errno));
  int log =
      open(jukebox.options.player_log.empty() ? "/dev/null" : jukebox.options.player_log.c_str(),
           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  // mpg123 makes its FIFO afresh; the control daemon must not open it before. A new
  // player holds no song yet.
  unlink(FIFO_PLAYER_PATH);
  unlink(PREPARED_PATH);
  jukebox.children[PLAYER].pid = spawn(argv, -1, pipe_fds[1]);
  jukebox.children[WATCHER].pid = spawn({"playwatch"}, pipe_fds[0], log);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  close(log);
  struct stat st;
  for (int i = 0; i < 1000; ++i) {
    // (A new player starts with its own levels: the mixer, watching the FIFO, gives it
    // the set ones.)
    if (stat(FIFO_PLAYER_PATH, &st) == 0 && S_ISFIFO(st.st_mode))
      return;
    usleep(5000);
  }
  message("the player did not make %s", FIFO_PLAYER_PATH);
}

void start_control(Jukebox &jukebox) {
  std::vector<std::string> argv = {"velm_control"};
  if (jukebox.options.debug)
    argv.push_back("-d");
  start_daemon(jukebox.children[CONTROL], argv, FIFO_CONTROL_PATH, jukebox.control_fifo);
}

void start_playing(const Jukebox &jukebox) {
  send_lines(jukebox.control_fifo, {"player_startup", "player_pause"});
}

void start_input(Jukebox &jukebox) {
  const Options &options = jukebox.options;
  Child &child = jukebox.children[INPUT];
  if ((options.input_devices.empty() && options.lircd.empty()) || child.given_up)
    return;
  std::vector<std::string> argv = {"velm_input"};
  if (options.debug)
    argv.push_back("-d");
  if (!options.keymap.empty())
    argv.insert(argv.end(), {"-k", options.keymap});
  if (!options.lircd.empty())
    argv.insert(argv.end(), {"-L", options.lircd});
  argv.insert(argv.end(), options.input_devices.begin(), options.input_devices.end());
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  child.pid = spawn(argv, -1, null);
  close(null);
}

void start_web(Jukebox &jukebox) {
  jukebox.web.address = jukebox.options.web_address;
  jukebox.web.port = jukebox.options.web_port;
  start_web(jukebox.web, WEB_HOST);
}

void refresh_web_page(const Jukebox &jukebox) {
  refresh_web(jukebox.web, WEB_HOST);
}

void run_until_stopped(Jukebox &jukebox, int signals) {
  while (!jukebox.stopping) {
    // Descriptors of -1 are passed over.
    pollfd fds[4] = {{signals, POLLIN, 0},
                     {jukebox.web.fifo, POLLIN, 0},
                     {jukebox.sticks.mountinfo, POLLPRI, 0},
                     {service_fd(jukebox.service), POLLIN, 0}};
    int ready = poll(fds, 4, service_timeout_ms(jukebox.service));
    service_tick(jukebox.service);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      die("poll", strerror(errno));
    }
    if (jukebox.web.fifo >= 0 && (fds[1].revents & POLLIN) != 0)
      take_web_requests(jukebox.web, WEB_HOST, {jukebox.control_fifo, jukebox.display_fifo});
    if ((fds[2].revents & (POLLPRI | POLLERR)) != 0)
      take_mount_change(jukebox);
    if ((fds[0].revents & POLLIN) == 0)
      continue;
    signalfd_siginfo info;
    ssize_t got = read(signals, &info, sizeof info);
    if (got != static_cast<ssize_t>(sizeof info)) {
      if (got < 0 && errno == EINTR)
        continue;
      die("signalfd", strerror(errno));
    }
    switch (info.ssi_signo) {
    case SIGUSR2:
      // The watcher has seen the end of the player's output; reaping brings it back.
      break;
    case SIGCHLD:
      reap_children(jukebox);
      break;
    default:
      jukebox.stopping = true;
      break;
    }
  }
}

void shut_down(Jukebox &jukebox) {
  jukebox.stopping = true;
  service_stopping(jukebox.service);
  stop_web(jukebox.web);
  // No more lines from the remote for daemons that are going.
  if (jukebox.children[INPUT].pid > 0) {
    kill(jukebox.children[INPUT].pid, SIGTERM);
    await(jukebox.children[INPUT], 2);
  }
  // The control daemon ends at the end of its input.
  close(jukebox.control_fifo);
  await(jukebox.children[CONTROL], 5);
  // The player quits; its watcher ends with its output.
  int player = fifo_open_writer(FIFO_PLAYER_PATH, 1000, false, jukebox.children[PLAYER].pid);
  if (player >= 0) {
    send_lines(player, {"QUIT"});
    close(player);
  }
  await(jukebox.children[PLAYER], 3);
  await(jukebox.children[WATCHER], 3);
  // No one asks the mixer any more.
  if (jukebox.children[MIXER].pid > 0) {
    kill(jukebox.children[MIXER].pid, SIGTERM);
    await(jukebox.children[MIXER], 2);
  }
  // The display shows its farewell at the end of its input.
  close(jukebox.display_fifo);
  await(jukebox.children[DISPLAY], 5);
  if (jukebox.children[AUDIO].pid > 0) {
    kill(jukebox.children[AUDIO].pid, SIGTERM);
    await(jukebox.children[AUDIO], 2);
  }
  unlink(FIFO_CONTROL_PATH);
  unlink(FIFO_DISPLAY_PATH);
  unlink(FIFO_PLAYER_PATH);
  unlink(AUDIO_FIFO_PATH);
}
