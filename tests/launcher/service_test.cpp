// The launcher as systemd runs it: the notifications on a real datagram socket named in
// NOTIFY_SOCKET, the journal's stream as the log, the unit checked by systemd-analyze,
// and the installed jukebox in a machine made as the unit describes (its /tmp the
// state folder, a /dev with only harmless nodes, a user without root).

#include "installed.h"
#include "jukebox_rig.h"
#include "sandbox_run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
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
  std::string script = jukebox_collection(30, "dev1/A dev1/B") + jukebox_functions() +
                       WAIT_FOR_GO + R"SH(
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
  EXPECT_NE(manager.all().find("STATUS=play: song 1 1 1 (device, list, song)\n"),
            std::string::npos)
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
