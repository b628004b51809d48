// The daemons' state files under injected I/O faults: velm_control's mixer saves and
// playwatch's checkpoint. The fault is on from the daemon's start; while it lasts the
// old file must stay whole and each failed save be said, and the daemon must go on, so
// that once the fault is lifted (fiu-ctrl disables the failure point, or the filler of
// /tmp is removed) the next save lands.

#include "fault_rig.h"
#include "free_port.h"
#include "jukebox_rig.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Shell text that lifts the fault from the process $daemon.
std::string lift(const Fault &fault) {
  if (fault.enable.empty())
    return "rm -f /tmp/fill\n";
  std::string point = fault.enable.substr(fault.enable.find("name=") + 5);
  point.resize(point.find(','));
  return "fiu-ctrl -f \"$FIU_CTRL\" -c " + shell_quote("disable name=" + point) +
         " $daemon || echo 'fiu-ctrl failed' >&2\n";
}

// Runs the daemon under the fault in the background as $daemon.
std::string start_daemon(const Fault &fault, const std::string &command) {
  std::string text = fault.enable.empty() ? "fill_tmp\n(FAULTY_EXEC=1; plain " + command + ")"
                                          : "(FAULTY_EXEC=1; faulty " + shell_quote(fault.enable) +
                                                " " + command + ")";
  return text + " &\ndaemon=$!\n";
}

std::string read_or_empty(const std::string &path) {
  try {
    return read_file(path);
  } catch (...) {
    return "";
  }
}

// A report that is itself a write(2) to standard error is lost while every write fails.
bool report_survives(const Fault &fault) {
  return fault.enable.find("posix/io/rw/write") == std::string::npos;
}

// Frame-status lines of the seconds from..to, 38 frames a second.
std::string frame_lines(int from, int to) {
  std::string text;
  for (int second = from; second <= to; ++second)
    text += "@F " + std::to_string(second * 38) + " " + std::to_string((100 - second) * 38) + " " +
            std::to_string(second) + ".00 " + std::to_string(100 - second) + ".00\n";
  return text;
}

std::string framepos(int frame) {
  char text[32];
  snprintf(text, sizeof text, "%16d\n", frame);
  return text;
}

const std::string OLD_PLAYSTATE = "song 1 1 1\nstatus play\nframe kept\ngeneration 3\n";

std::string play_rig() {
  return "mkdir -p /mnt/stick/One /mnt/stick/Two\n"
         "for s in 01_a 02_b 03_c; do : >/mnt/stick/One/$s.mp3; : >/mnt/stick/Two/$s.mp3; done\n"
         "scantree /mnt/stick 1 >/dev/null 2>&1 && orderbuild 2>/dev/null || exit 98\n"
         "mkfifo /tmp/fifo.player /tmp/fifo.display\n"
         "while :; do cat /tmp/fifo.player; done >\"$VELM_SCRATCH/player.out\" &\n"
         "while :; do cat /tmp/fifo.display; done >\"$VELM_SCRATCH/display.out\" &\n";
}

} // namespace

// ---------------------------------------------------------------------------------------
// velm_control: every failed save says "write_string failed"; the daemon goes on.
TEST(ControlSaveFaults, OldSettingsStayAndTheDaemonSavesOnceTheFaultIsGone) {
  SKIP_WITHOUT_FIU();
  for (const Fault &fault : replacement_faults()) {
    SCOPED_TRACE(fault.name);
    Sandbox sb;
    prepare(sb, fault);
    sb.put("/tmp/VOLUME", "40");
    sb.put("/tmp/BALANCE", "-12");
    sb.put("/tmp/BASS", "50");
    sb.put("/tmp/TREBLE", "50");
    std::string script =
        fault_prelude() + "export FIU_CTRL=\"$VELM_SCRATCH/fiu\"\n" +
        "export VELM_PRELOAD=" + shell_quote(std::string(VELM_FAKEMIXER) + " " + VELM_FASTTIMER) +
        " VELM_FAKE_TIMER_MS=100 VELM_FAKE_MIXER_LOG=\"$VELM_SCRATCH/mixer.log\""
        " VELM_FAKE_MIXER_MASK=0x17\n"
        "touch /dev/mixer\n"
        "mkfifo /tmp/fifo.control /tmp/fifo.player /tmp/fifo.display\n"
        "cat /tmp/fifo.player >\"$VELM_SCRATCH/player.out\" &\n"
        "cat /tmp/fifo.display >\"$VELM_SCRATCH/display.out\" &\n" +
        start_daemon(fault, "velm_control >/dev/null 2>\"$VELM_SCRATCH/control.err\"") +
        "{\n"
        "  printf 'mixer_volumeup\\n'\n"
        "  sleep 1\n"
        "  cat /tmp/VOLUME /tmp/BALANCE >\"$VELM_SCRATCH/during\"\n"
        "  ls /tmp >\"$VELM_SCRATCH/names\"\n" +
        lift(fault) +
        "  sleep 1\n"
        "} >/tmp/fifo.control\n"
        "wait $daemon\n";
    RunResult r = sb.run(script);
    r.err += read_or_empty(sb.scratch() + "/control.err");
    expect_no_crash(r);
    EXPECT_EQ(r.status, 0) << r.err;
    // While the fault lasted, the old settings stayed and no temporary was left.
    EXPECT_EQ(read_or_empty(sb.scratch() + "/during"), "40-12");
    std::string names = read_or_empty(sb.scratch() + "/names");
    for (const char *file : {"VOLUME.", "BALANCE.", "BASS.", "TREBLE."})
      EXPECT_EQ(names.find(file), std::string::npos) << names;
    if (report_survives(fault)) {
      EXPECT_NE(r.err.find("\r\n[velm_control] write_string failed\r\n"), std::string::npos)
          << r.err;
    }
    // It went on: the change made while saves failed is saved once they work again.
    EXPECT_EQ(sb.read("/tmp/VOLUME"), "44");
    EXPECT_EQ(sb.read("/tmp/BALANCE"), "-12");
  }
}

// ---------------------------------------------------------------------------------------
// playwatch: a failed checkpoint says "[playwatch]error opening frameposfile"; the
// watcher goes on echoing and checkpoints again.
TEST(CheckpointFaults, OldCheckpointStaysAndTheWatcherGoesOn) {
  SKIP_WITHOUT_FIU();
  for (const Fault &fault : replacement_faults()) {
    SCOPED_TRACE(fault.name);
    Sandbox sb;
    prepare(sb, fault);
    sb.put("/tmp/FRAMEPOS", framepos(100));
    std::string script = fault_prelude() + "export FIU_CTRL=\"$VELM_SCRATCH/fiu\"\n" +
                         "mkfifo /tmp/fifo.display /tmp/player\n"
                         "cat /tmp/fifo.display >\"$VELM_SCRATCH/display.out\" &\n" +
                         start_daemon(fault, "playwatch </tmp/player >\"$VELM_SCRATCH/echo\" "
                                             "2>\"$VELM_SCRATCH/watch.err\"") +
                         "{\n"
                         "  printf '%s' " +
                         shell_quote(frame_lines(1, 25)) +
                         "\n"
                         "  sleep 0.5\n"
                         "  cat /tmp/FRAMEPOS >\"$VELM_SCRATCH/during\"\n"
                         "  ls /tmp >\"$VELM_SCRATCH/names\"\n" +
                         lift(fault) + "  printf '%s' " + shell_quote(frame_lines(26, 35)) +
                         "\n"
                         "} >/tmp/player\n"
                         "wait $daemon\n";
    RunResult r = sb.run(script);
    r.err += read_or_empty(sb.scratch() + "/watch.err");
    expect_no_crash(r);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_or_empty(sb.scratch() + "/during"), framepos(100));
    EXPECT_EQ(read_or_empty(sb.scratch() + "/names").find("FRAMEPOS."), std::string::npos);
    // The checkpoints of the 10th and 20th second failed, each said once.
    std::string message = "[playwatch]error opening frameposfile\n";
    size_t first = r.err.find(message);
    EXPECT_NE(first, std::string::npos) << r.err;
    if (first != std::string::npos) {
      EXPECT_NE(r.err.find(message, first + 1), std::string::npos) << r.err;
    }
    // It went on: the checkpoint of the 30th second, and the echo up to the last line.
    EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), framepos(30 * 38));
    std::string echo = read_or_empty(sb.scratch() + "/echo");
    if (report_survives(fault)) {
      EXPECT_EQ(echo, frame_lines(1, 35));
    } else {
      EXPECT_TRUE(echo.ends_with(frame_lines(35, 35))) << echo;
    }
  }
}

// ---------------------------------------------------------------------------------------
// The launcher velm: /tmp/RANDOM and the web server's page, chooser and configuration.
// A file it cannot replace is said on its standard error ("velm: could not ...") and the
// jukebox starts all the same; the fault is in velm alone (VELM_FIU_ONLY), not in the
// programs it starts. On a full /tmp the device cannot be scanned either ("velm: could
// not scan ..."): the jukebox starts without songs. (A failing write(2) is left out:
// in velm it fails the lines to the daemons too, the QUIT of the shutdown among them.)
TEST(LauncherFaults, FilesItCannotReplaceAreSaidAndTheJukeboxStarts) {
  SKIP_WITHOUT_FIU();
  SKIP_WITHOUT("mpg123");
  SKIP_WITHOUT("lame");
  const std::vector<Fault> faults = {fault_point("posix/io/oc/openat", ENOSPC),
                                     fault_point("posix/io/sync/fsync", EIO),
                                     fault_point("posix/io/dir/renameat", EIO), FULL_TMP};
  for (const Fault &fault : faults) {
    SCOPED_TRACE(fault.name);
    Sandbox sb;
    prepare(sb, fault);
    sb.put("/tmp/RANDOM", "a\n");
    std::string web = "127.0.0.1:" + std::to_string(free_port());
    std::string command = "velm -l -t -p \"$VELM_SCRATCH/player.out\" -r l -w " + web +
                          " /mnt/music/dev1 2>\"$VELM_SCRATCH/velm.err\"";
    std::string script =
        fault_prelude() + jukebox_collection(2, "dev1/A dev1/B") +
        "mkfifo /dev/lcd\nwhile :; do cat /dev/lcd; done >/dev/null &\n"
        "export VELM_FIU_ONLY=velm\n" +
        start_daemon(fault, command) +
        // Up once the player plays (or velm ended).
        "for i in $(seq 200); do kill -0 $daemon 2>/dev/null || break; "
        "grep -q '^@F' \"$VELM_SCRATCH/player.out\" 2>/dev/null && break; sleep 0.05; done\n"
        "if kill -0 $daemon 2>/dev/null; then echo up >\"$VELM_SCRATCH/state\"; fi\n"
        // The web part starts after the music; its request FIFO comes after its page (or is
        // said not to).
        "for i in $(seq 200); do [ -p /tmp/fifo.web ] && break; "
        "grep -q 'fifo.web' \"$VELM_SCRATCH/velm.err\" && break; sleep 0.05; done\n"
        "cat /tmp/RANDOM >\"$VELM_SCRATCH/random\"\n"
        "ls /tmp /tmp/velm-www >\"$VELM_SCRATCH/names\" 2>&1\n"
        "kill -TERM $daemon\nwait $daemon\n";
    RunResult r = sb.run(script);
    r.err += read_or_empty(sb.scratch() + "/velm.err");
    expect_no_crash(r);
    EXPECT_EQ(read_or_empty(sb.scratch() + "/random"), "a\n");
    std::string names = read_or_empty(sb.scratch() + "/names");
    for (const char *file : {"RANDOM.", "index.html."})
      EXPECT_EQ(names.find(file), std::string::npos) << names;
    if (fault.enable.empty()) {
      EXPECT_NE(r.err.find("velm: could not scan /mnt/music/dev1\n"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_or_empty(sb.scratch() + "/state"), "up\n") << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    std::string cause = strerror(fault.error);
    for (const std::string &message :
         {"velm: could not write /tmp/RANDOM: " + cause + "\n",
          std::string("velm: could not write the catalogue page /tmp/velm-www/index.html\n")})
      EXPECT_NE(r.err.find(message), std::string::npos) << message << " in:\n" << r.err;
  }
}

// ---------------------------------------------------------------------------------------
// velm_play: a move whose state files cannot be replaced ends with status 1 and
// "velm_play: ..." on standard error; /tmp/PLAYSTATE, STATUS and RANDOM keep their old
// text, and /tmp/FRAMEPOS is the old one or gone (never one the record does not own).
TEST(PlayCoreFaults, StateFilesStayWholeAndTheFailureIsSaid) {
  SKIP_WITHOUT_FIU();
  for (const Fault &fault : replacement_faults()) {
    for (const char *verb : {"next", "random", "stop", "gotolist 2"}) {
      SCOPED_TRACE(fault.name + " velm_play " + verb);
      Sandbox sb;
      prepare(sb, fault);
      sb.put("/tmp/PLAYSTATE", OLD_PLAYSTATE);
      sb.put("/tmp/STATUS", "play\n");
      sb.put("/tmp/RANDOM", "s\n");
      sb.put("/tmp/FRAMEPOS", framepos(380));
      RunResult r =
          sb.run(fault_prelude() + play_rig() + under(fault, std::string("velm_play ") + verb) +
                 "status=$?\n" + "ls /tmp >\"$VELM_SCRATCH/names\"\nexit $status\n");
      expect_no_crash(r);
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_NE(r.err.find("velm_play: "), std::string::npos) << r.err;
      EXPECT_EQ(sb.read("/tmp/PLAYSTATE"), OLD_PLAYSTATE);
      EXPECT_EQ(sb.read("/tmp/STATUS"), "play\n");
      EXPECT_EQ(sb.read("/tmp/RANDOM"), "s\n");
      if (sb.exists("/tmp/FRAMEPOS")) {
        EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), framepos(380));
      }
      std::string names = read_or_empty(sb.scratch() + "/names");
      for (const char *file : {"PLAYSTATE.", "STATUS.", "RANDOM.", "PREPARED."})
        EXPECT_EQ(names.find(file), std::string::npos) << names;
    }
  }
}

// The removal of an older song's checkpoint fails: the record already says "frame
// fresh", so the checkpoint left there is not taken for the new song's.
TEST(PlayCoreFaults, CheckpointThatCannotBeRemovedIsNotTakenForTheNewSong) {
  SKIP_WITHOUT_FIU();
#ifdef VELM_SANITIZED
  GTEST_SKIP() << POSIX_PRELOAD_SKIP;
#endif
  for (int error : {EIO, EACCES}) {
    Fault fault = fault_point("posix/io/dir/unlink", error);
    SCOPED_TRACE(fault.name);
    Sandbox sb;
    sb.put("/tmp/PLAYSTATE", OLD_PLAYSTATE);
    sb.put("/tmp/STATUS", "play\n");
    sb.put("/tmp/FRAMEPOS", framepos(380));
    RunResult r = sb.run(fault_prelude() + play_rig() + under(fault, "velm_play next"));
    expect_no_crash(r);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("velm_play: "), std::string::npos) << r.err;
    std::string state = sb.read("/tmp/PLAYSTATE");
    EXPECT_NE(state.find("frame fresh\n"), std::string::npos) << state;
    EXPECT_EQ(state.find("song 1 1 1\n"), std::string::npos) << state;
  }
}
