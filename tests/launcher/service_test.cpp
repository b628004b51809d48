// The launcher as systemd runs it: the notifications on a real datagram socket named in
// NOTIFY_SOCKET, the journal's stream as the log, the unit checked by systemd-analyze,
// and the installed jukebox in a machine made as the unit describes (its /tmp the
// state folder, a /dev with only harmless nodes, a user without root).

#include "free_port.h"
#include "installed.h"
#include "jukebox_rig.h"
#include "sandbox_run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int TIMEOUT_MS = 120000;

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Note {
  double at; // when it arrived
  std::string text;
};

// The service manager's end of the notify protocol: a datagram socket at a path.
class NotifySocket {
public:
  explicit NotifySocket(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
      throw std::runtime_error("socket path too long: " + path);
    path.copy(address.sun_path, path.size());
    unlink(path.c_str());
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot make the notify socket " + path);
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket &) = delete;
  NotifySocket &operator=(const NotifySocket &) = delete;

  // Takes messages until one holds the line `until` or `seconds` have passed; true when
  // it came.
  bool take(const std::string &until, double seconds) {
    double end = seconds_now() + seconds;
    for (;;) {
      double left = end - seconds_now();
      if (left <= 0)
        return false;
      pollfd pfd = {fd_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left * 1000) + 1) <= 0)
        continue;
      char buffer[4096];
      ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0)
        continue;
      // One datagram may hold several lines.
      std::string text(buffer, static_cast<size_t>(got));
      bool found = false;
      size_t start = 0;
      while (start < text.size()) {
        size_t stop = text.find('\n', start);
        std::string line = text.substr(start, stop == std::string::npos ? stop : stop - start);
        notes.push_back({seconds_now(), line});
        found = found || line == until;
        start = stop == std::string::npos ? text.size() : stop + 1;
      }
      if (found)
        return true;
    }
  }

  size_t count(const std::string &line) const {
    size_t n = 0;
    for (const Note &note : notes)
      n += note.text == line ? 1 : 0;
    return n;
  }
  // The index of the first note `line`, or notes.size().
  size_t find(const std::string &line) const {
    for (size_t i = 0; i < notes.size(); ++i) {
      if (notes[i].text == line)
        return i;
    }
    return notes.size();
  }
  std::string all() const {
    std::string text;
    for (const Note &note : notes)
      text += note.text + "\n";
    return text;
  }

  std::vector<Note> notes;

private:
  std::string path_;
  int fd_ = -1;
};

// Waits until a file of the test's own appears in the scratch folder (the test says when
// the script goes on).
const char *const WAIT_FOR_GO = R"SH(
wait_go() {
  while [ ! -e "$VELM_SCRATCH/go.$1" ]; do sleep 0.05; done
}
)SH";

void go(const Sandbox &sb, const std::string &step) {
  write_file(sb.scratch() + "/go." + step, "");
}

} // namespace

// The launcher tells the service manager that it is ready only once the start's song is
// loaded (the start held up here by a play core that waits before its first move), sends
// keep-alives at half the watchdog's interval while it runs, says what it is doing, and
// STOPPING=1 when SIGTERM ends it.
TEST(Service, ReadyOnceTheSongIsLoadedThenKeepAlivesAndStopping) {
  Sandbox sb;
  NotifySocket manager(sb.scratch() + "/notify");
  std::string script =
      jukebox_collection(30, "dev1/A dev1/B") + jukebox_functions() + WAIT_FOR_GO + R"SH(
mkdir -p /tmp/bin
printf '#!/bin/sh\necho "${NOTIFY_SOCKET:-none} ${WATCHDOG_USEC:-none} ${WATCHDOG_PID:-none}" >>/tmp/child.env\n[ "$1" != startup ] && [ ! -e /tmp/slowed ] && : >/tmp/slowed && sleep 1.5\nexec %s "$@"\n' \
  "$(command -v velm_play)" >/tmp/bin/velm_play
chmod +x /tmp/bin/velm_play
export PATH=/tmp/bin:$PATH
export NOTIFY_SOCKET="$VELM_SCRATCH/notify" WATCHDOG_USEC=300000
sh -c 'WATCHDOG_PID=$$ exec velm -l -t -p /tmp/player.out "$@" 2>>/tmp/velm.err' velm \
  /mnt/music/dev1 &
jukebox=$!
wait_go stop
stop_jukebox
)SH";
  sb.start(script);
  ASSERT_TRUE(manager.take("READY=1", 60)) << manager.all() << sb.read("/tmp/velm.err");
  size_t ready = manager.notes.size() - 1;
  double ready_at = manager.notes.back().at;
  // Loaded: the play core has chosen the first song and handed it to the player.
  EXPECT_NE(sb.read("/tmp/PLAYSTATE").find("song 1 1 1\n"), std::string::npos);
  size_t starting = manager.find("STATUS=starting the player and the daemons");
  ASSERT_LT(starting, manager.notes.size()) << manager.all();
  EXPECT_LT(manager.find("STATUS=scanning the devices"), starting) << manager.all();
  EXPECT_GE(ready_at - manager.notes[starting].at, 1.4) << "ready before the song's move";

  // Keep-alives every 0.15 s while it plays.
  manager.take("never", 2);
  size_t alive = 0;
  for (size_t i = ready; i < manager.notes.size(); ++i)
    alive += manager.notes[i].text == "WATCHDOG=1" ? 1 : 0;
  EXPECT_GE(alive, 8U) << manager.all();
  EXPECT_LE(alive, 20U) << manager.all();
  EXPECT_NE(manager.all().find("STATUS=play: song 1 1 1 (device, list, song)\n"), std::string::npos)
      << manager.all();
  EXPECT_EQ(manager.find("STOPPING=1"), manager.notes.size());

  go(sb, "stop");
  EXPECT_TRUE(manager.take("STOPPING=1", 20)) << manager.all();
  RunResult r = sb.wait(TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");
  EXPECT_EQ(manager.count("READY=1"), 1U) << manager.all();
  // Its children are given neither the socket nor the watchdog.
  std::string env = sb.read("/tmp/child.env");
  EXPECT_FALSE(env.empty());
  for (size_t at; (at = env.find("none none none\n")) != std::string::npos;)
    env.erase(at, 15);
  EXPECT_EQ(env, "") << "what velm_play was given";
}

// A collection without songs will never load one: the launcher is ready at once and says
// why, rather than leaving the service manager waiting for its start to time out.
TEST(Service, ReadyAtOnceWithoutSongs) {
  Sandbox sb;
  NotifySocket manager(sb.scratch() + "/notify");
  std::string script = jukebox_functions() + WAIT_FOR_GO + R"SH(
mkdir -p /mnt/music/empty/A
export NOTIFY_SOCKET="$VELM_SCRATCH/notify"
start_jukebox /mnt/music/empty
wait_go stop
stop_jukebox
)SH";
  sb.start(script);
  EXPECT_TRUE(manager.take("READY=1", 30)) << manager.all() << sb.read("/tmp/velm.err");
  EXPECT_NE(manager.all().find("STATUS=no songs on the devices\n"), std::string::npos)
      << manager.all();
  go(sb, "stop");
  EXPECT_TRUE(manager.take("STOPPING=1", 20)) << manager.all();
  RunResult r = sb.wait(TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  // Without WATCHDOG_USEC, no keep-alives.
  EXPECT_EQ(manager.count("WATCHDOG=1"), 0U) << manager.all();
}

// With standard error the journal's stream (JOURNAL_STREAM naming its device and inode),
// what the children write reaches the launcher's standard error and /tmp/velm.log is not
// made; a JOURNAL_STREAM naming another file leaves the log as it is.
TEST(Service, TheJournalTakesTheChildrensMessages) {
  Sandbox sb;
  std::string script = jukebox_collection(10, "dev1/A") + R"SH(
run() { # stderr-file JOURNAL_STREAM
  velm -n -d -p /tmp/player.out /mnt/music/dev1 2>>"$1" &
  pid=$!
  i=0
  while [ $i -lt 200 ] && ! grep -q '^song 1 1 1$' /tmp/PLAYSTATE 2>/dev/null; do
    sleep 0.05
    i=$((i + 1))
  done
  sleep 1
  kill -TERM $pid
  wait $pid
  echo $? >>/tmp/velm.status
}
: >/tmp/journal
JOURNAL_STREAM=$(stat -c %d:%i /tmp/journal) run /tmp/journal
[ -e /tmp/velm.log ] && echo "log made under the journal" >>/tmp/velm.status
: >/tmp/other
JOURNAL_STREAM=$(stat -c %d:%i /tmp/other) run /tmp/plain
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n0\n");
  std::string journal = sb.read("/tmp/journal");
  for (const char *tag : {"[velm_display]", "[velm_control]"})
    EXPECT_NE(journal.find(tag), std::string::npos) << tag << "\n" << journal;
  EXPECT_EQ(sb.read("/tmp/other"), "");
  std::string log = sb.read("/tmp/velm.log");
  EXPECT_NE(log.find("[velm_display]"), std::string::npos) << log;
  EXPECT_EQ(sb.read("/tmp/plain").find("[velm_display]"), std::string::npos);
}

// A jukebox that stops of itself, because a daemon keeps ending, ends with status 1, so
// that the service manager (Restart=on-failure) starts it again; one stopped by SIGTERM
// ends with 0 (the tests above).
TEST(Service, GivingUpOnADaemonIsAFailure) {
  Sandbox sb;
  NotifySocket manager(sb.scratch() + "/notify");
  std::string script = jukebox_collection(5, "dev1/A") + jukebox_functions() + R"SH(
mkdir -p /tmp/bin
printf '#!/bin/sh\nexit 3\n' >/tmp/bin/velm_control
chmod +x /tmp/bin/velm_control
export PATH=/tmp/bin:$PATH NOTIFY_SOCKET="$VELM_SCRATCH/notify"
start_jukebox /mnt/music/dev1
wait $jukebox
echo $? >/tmp/velm.status
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "1\n") << err;
  EXPECT_NE(err.find("velm_control keeps ending"), std::string::npos) << err;
  manager.take("never", 0.2);
  EXPECT_NE(manager.all().find("STATUS=velm_control keeps ending; stopping\n"), std::string::npos)
      << manager.all();
  EXPECT_EQ(manager.count("STOPPING=1"), 1U) << manager.all();
}

namespace {

// The jukebox installed as the package installs it (cmake --install into a folder of
// the test's own); the path inside that folder of an installed file named `name`, empty
// when there is none.
struct Installed {
  std::string root;
  std::string output; // what cmake --install said

  // `tail` is the end of the path: a name, or folders and a name ("default/velm").
  std::string find(const std::string &tail) const {
    std::error_code ignored;
    for (const auto &entry : fs::recursive_directory_iterator(root, ignored)) {
      std::string path = entry.path().string().substr(root.size());
      if (!entry.is_directory() && path.size() > tail.size() &&
          path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
          path[path.size() - tail.size() - 1] == '/')
        return path;
    }
    return "";
  }
};

// Runs a command line on the host, standard error with the output; its exit status.
int run_host(const std::string &command, std::string &output) {
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr)
    return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output.append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Installed install_into(const std::string &root) {
  Installed installed{root, ""};
  int status = run_host("DESTDIR=" + shell_quote(root) + " " + shell_quote(VELM_CMAKE) +
                            " --install " + shell_quote(VELM_BUILD_DIR),
                        installed.output);
  if (status != 0)
    throw std::runtime_error("cmake --install failed:\n" + installed.output);
  return installed;
}

} // namespace

// systemd-analyze checks the installed units (their settings, and the programs they run
// in the installed tree) with the host's units for the targets they name, and finds
// nothing to say about them.
TEST(Service, TheUnitsPassSystemdAnalyzeVerify) {
  SKIP_WITHOUT("systemd-analyze");
  Sandbox sb; // for its scratch folder
  Installed installed = install_into(sb.scratch() + "/root");
  const std::string root = installed.root;
  std::string unit = installed.find("velm.service");
  ASSERT_FALSE(unit.empty()) << installed.output;
  // The targets and services the units are ordered against, and the shell of the panel
  // unit's start check.
  std::string output;
  ASSERT_EQ(run_host("mkdir -p " + shell_quote(root + "/lib/systemd") + " " +
                         shell_quote(root + "/bin") + " && cp -a /lib/systemd/system " +
                         shell_quote(root + "/lib/systemd/") + " && cp -L /bin/sh " +
                         shell_quote(root + "/bin/sh"),
                     output),
            0)
      << output;
  std::string man = installed.find("velm.1");
  std::string man_check =
      man.empty() ? "--man=no" : "--man=yes"; // the pages installed with it, found through MANPATH
  std::string manpath =
      man.empty()
          ? ""
          : "MANPATH=" + shell_quote(root + fs::path(man).parent_path().parent_path().string()) +
                " ";
  auto verify = [&](const std::string &path) {
    std::string said;
    int status = run_host(manpath + "systemd-analyze verify " + man_check +
                              " --root=" + shell_quote(root) + " " + shell_quote(path),
                          said);
    EXPECT_EQ(status, 0) << path << ":\n" << said;
    // Anything said about our units (a setting it does not know or takes wrongly, a
    // program that is not there) is a failure, though it may let the unit load.
    EXPECT_EQ(said.find("velm"), std::string::npos) << said;
  };
  verify(unit);
  std::string mixer = installed.find("velm-mixer.service");
  if (installed.find("velm/velm_mixer").empty())
    EXPECT_TRUE(mixer.empty()) << "a mixer unit without its program";
  else
    verify(mixer);
  std::string panel = installed.find("velm-lcdpanel.service");
  ASSERT_FALSE(panel.empty());
  if (installed.find("lcdpanel").empty())
    GTEST_SKIP() << "cmake --install puts no lcdpanel in place: velm-lcdpanel.service not verified";
  verify(panel);
}

// The installed jukebox in a machine made as velm.service describes: /tmp the state
// folder (a folder of the test's own, bound there), a /dev with only harmless nodes, run
// by the service's wrapper with the installed configuration, as a user without root (a
// real one where the test runs as root; else one mapped in a user namespace of its own).
// It plays, takes a song chosen through its web remote, and a second start resumes that
// song later than its start; the state folder keeps the state files.
TEST(Service, TheInstalledJukeboxKeepsItsStateInTheStateFolder) {
#ifdef VELM_EMULATOR
  // Its second user namespace (the service's user) and the emulator did not meet: the
  // run timed out under qemu-user. The build for this machine runs it.
  GTEST_SKIP() << "not run under an emulator";
#endif
  SKIP_WITHOUT("curl");
  Sandbox sb;
  Installed installed = install_into(sb.scratch() + "/root");
  std::string wrapper = installed.find("velm/velm-service");
  std::string config = installed.find("default/velm");
  ASSERT_FALSE(wrapper.empty()) << installed.output;
  ASSERT_FALSE(config.empty()) << installed.output;
  std::string launcher = installed.find("bin/velm");
  if (launcher.empty() || installed.find("velm_play").empty())
    GTEST_SKIP() << "cmake --install puts no jukebox in place yet:\n" << installed.output;
  std::string state = sb.scratch() + "/state";
  fs::create_directories(state);
  std::string as_user = "unshare --user --map-user=1000 --map-group=1000 --";
  if (geteuid() == 0) {
    as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups --";
    ASSERT_EQ(chown(state.c_str(), 65534, 65534), 0);
    // The installed tree lies in the scratch folder, which mkdtemp made for its owner.
    fs::permissions(sb.scratch(), fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
  }
  sb.tmp_from(state);
  int port = free_port();
  ASSERT_GT(port, 0);
  std::string root = installed.root;
  std::string script = "root=" + shell_quote(root) + "\nwrapper=$root" + shell_quote(wrapper) +
                       "\nconfig=$root" + shell_quote(config) + "\nport=" + std::to_string(port) +
                       "\nas_user() { exec " + as_user + " \"$@\"; }\n" +
                       R"SH(
tonegen 30 220 330 >/mnt/tune.wav
for n in 1 2; do
  mkdir -p /mnt/music/dev1/A
  lame --quiet -m m -b 32 --tt A$n --ta Artist /mnt/tune.wav /mnt/music/dev1/A/A$n.mp3
done
mkfifo -m 666 /dev/lcd
while :; do cat /dev/lcd; done >/mnt/lcd.bytes &
# Only what is installed (the build's folder off PATH), the configuration as the unit
# reads it, then this machine's devices and options. The stick folder is left out.
PATH=$(dirname "$(find "$root" -path '*/bin/velm' | head -n 1)"):/usr/sbin:/usr/bin:/sbin:/bin
export PATH
set -a
. "$config"
set +a
VELM_DEVICES=/mnt/music/dev1 VELM_MEDIA= VELM_WEB=$port
VELM_OPTIONS="$VELM_OPTIONS -l -p /tmp/player.out"
frames() { grep -c '^@F' /tmp/player.out 2>/dev/null || echo 0; }
until_true() { # tries the command for up to 30 s
  i=0
  while [ $i -lt 600 ] && ! "$@"; do sleep 0.05; i=$((i + 1)); done
}
chosen() { grep -q "^song $1\$" /tmp/PLAYSTATE 2>/dev/null; }
played() { [ "$(frames)" -ge "$1" ]; }
saved() { [ -s /tmp/FRAMEPOS ] && [ "$(tr -d ' \n' </tmp/FRAMEPOS)" -gt 0 ]; }
start() {
  as_user "$wrapper" 2>>"$VELM_SCRATCH/velm.err" &
  jukebox=$!
}
stop() {
  kill -TERM $jukebox
  wait $jukebox
  echo $? >>/mnt/velm.status
}
start
until_true chosen "1 1 1"
until_true played 40
curl -s -o /mnt/page.html "http://127.0.0.1:$port/catalog"
curl -s -o /mnt/chose.html "http://127.0.0.1:$port/cgi-bin/choose.sh?song=000100010002"
until_true chosen "1 1 2"
until_true saved
# The mixer's settings are saved every 10 s.
until_true [ -e /tmp/VOLUME ]
cp /tmp/FRAMEPOS /mnt/framepos.first
stop
mv /tmp/player.out /mnt/player.first
start
until_true played 40
chosen "1 1 2" && echo resumed >/mnt/resumed
stop
ls -ln /tmp >/mnt/state.list
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  std::string err = read_file(sb.scratch() + "/velm.err");
  ASSERT_EQ(r.status, 0) << r.err << err;
  EXPECT_EQ(sb.read("/mnt/velm.status"), "0\n0\n") << err;
  EXPECT_NE(sb.read("/mnt/page.html").find("A2"), std::string::npos) << err;
  EXPECT_EQ(sb.read("/mnt/resumed"), "resumed\n") << err;
  // The second start played its 40 frames from the first run's checkpoint on, not from
  // the song's start (the first frame lines after the jump may count the frames before it).
  std::string second = read_file(state + "/player.out");
  size_t frame_line = second.rfind("\n@F ");
  ASSERT_NE(frame_line, std::string::npos) << second.substr(0, 2000);
  long last_frame = std::stol(second.substr(frame_line + 4));
  long saved = std::stol(sb.read("/mnt/framepos.first"));
  EXPECT_GT(saved, 0);
  EXPECT_GE(last_frame, saved + 30) << second.substr(0, 2000);
  // The state stays in the state folder, the service user's own.
  for (const char *name : {"PLAYSTATE", "FRAMEPOS", "VOLUME", "BALANCE", "BASS", "TREBLE", "RANDOM",
                           "STATUS", "MPL", "OPL"}) {
    struct stat st {};
    EXPECT_EQ(lstat((state + "/" + name).c_str(), &st), 0)
        << name << "\n"
        << sb.read("/mnt/state.list") << read_file(state + "/velm.log");
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    if (geteuid() == 0) {
      EXPECT_EQ(st.st_uid, 65534U) << name;
    }
  }
  EXPECT_NE(read_file(state + "/PLAYSTATE").find("song 1 1 2\n"), std::string::npos);
}

// The wrapper turns the configuration into the launcher's options: as installed, no input
// handler; with VELM_INPUT one -i a device or pattern, the patterns as they are (never
// matched by the shell, though a device matches here), the key map and the lircd socket.
TEST(Service, TheWrapperGivesTheInputDevicesKeyMapAndLircdSocket) {
  Sandbox sb;
  Installed installed = install_into(sb.scratch() + "/root");
  std::string wrapper = installed.find("velm/velm-service");
  std::string config = installed.find("default/velm");
  std::string launcher = installed.find("bin/velm");
  ASSERT_FALSE(wrapper.empty() || config.empty() || launcher.empty()) << installed.output;
  // A stand-in launcher that notes its arguments.
  write_file(installed.root + launcher,
             "#!/bin/sh\nprintf '[%s]' \"$@\" >>/tmp/args\necho >>/tmp/args\n");
  std::string script = "root=" + shell_quote(installed.root) + "\nwrapper=$root" +
                       shell_quote(wrapper) + "\nconfig=$root" + shell_quote(config) +
                       "\nchmod +x $root" + shell_quote(launcher) + R"SH(
mkdir -p /dev/input/by-id /dev/input/by-path
: >/dev/input/by-id/usb-Remote-event-kbd
set -a
. "$config"
set +a
"$wrapper"
VELM_INPUT='/dev/input/by-id/*-event-kbd  /dev/input/by-path/*gpio*' \
  VELM_KEYMAP='/etc/velm/my map' VELM_LIRCD=/run/lirc/lircd VELM_DEVICES=/mnt/a "$wrapper"
)SH";
  RunResult r = sb.run(script);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/args"),
            "[-t][-w][8080][-m][/media/velm]\n"
            "[-t][-w][8080][-m][/media/velm][-i][/dev/input/by-id/*-event-kbd][-i]"
            "[/dev/input/by-path/*gpio*][-k][/etc/velm/my map][-L][/run/lirc/lircd][/mnt/a]\n");
}
