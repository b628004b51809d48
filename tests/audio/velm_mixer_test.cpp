// velm_mixer on the real kernel path: the mixer device it mounts (FUSE), opened, asked and
// closed by velm_control itself and by an OSS program's requests; the player commands it
// sends; a player that comes later or anew; and its end.

#include "../control/control_rig.h"
#include "../launcher/jukebox_rig.h"
#include "mixer_skip.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Shell text: starts velm_mixer (its pid in $mixer, its standard error in
// /tmp/mixer.err) and waits until the device is mounted; a sandbox that cannot use FUSE
// (no access to /dev/fuse, as for a user other than root) prints "no fuse" and ends.
const std::string START_MIXER = std::string(FUSE_CHECK) + R"SH(
velm_mixer -d 2>/tmp/mixer.err &
mixer=$!
n=0
until [ "$(stat -f -c %t /dev/mixer 2>/dev/null)" = 65735546 ]; do
  n=$((n + 1)); [ $n -gt 200 ] && { echo "no mount"; cat /tmp/mixer.err; exit 1; }
  sleep 0.02
done
)SH";

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The gain of each channel (1, 2) and band in the last full set of EQ lines; every line
// the player got must be such a line.
struct LastGains {
  int sets = 0;
  double db[3][32] = {};
};

LastGains read_gains(const std::string &player_in) {
  static const std::regex eq_line("EQ ([12]) ([0-9]|[12][0-9]|3[01]) ([0-9]+\\.[0-9]{6})");
  LastGains gains;
  int in_set = 0;
  for (const std::string &line : lines_of(player_in)) {
    std::smatch m;
    if (!std::regex_match(line, m, eq_line)) {
      ADD_FAILURE() << "not a well-formed player command: " << line;
      continue;
    }
    double factor = std::stod(m[3]);
    gains.db[std::stoi(m[1])][std::stoi(m[2])] = factor > 0 ? 20 * std::log10(factor) : -999;
    if (++in_set == 64) {
      ++gains.sets;
      in_set = 0;
    }
  }
  EXPECT_EQ(in_set, 0) << "a set of commands came in parts";
  return gains;
}

} // namespace

// The control daemon's own requests, at its start from saved settings and at a key: the
// levels it computes become the player's gains, 1.5 dB a step of 4, the tone on its bands.
TEST(VelmMixer, TheControlDaemonSetsTheSoundThroughTheDevice) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  RunResult r = sb.run(control_rig_setup() + START_MIXER + R"SH(
printf 60 >/tmp/VOLUME; printf -- -24 >/tmp/BALANCE; printf 100 >/tmp/BASS; printf 0 >/tmp/TREBLE
(printf 'mixer_volumeup\n'; sleep 0.5) >/tmp/fifo.control &
velm_control -d >/dev/null 2>/tmp/control.err
kill $mixer; wait $mixer; echo "mixer ended $?"
wait $player_reader $display_reader
[ -e /dev/mixer ] && echo "device left behind"
true
)SH");
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("mixer ended 0"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("device left behind"), std::string::npos);
  std::string control_err = sb.read("/tmp/control.err");
  EXPECT_EQ(control_err.find("Failed to open mixer"), std::string::npos) << control_err;
  EXPECT_EQ(control_err.find("failed to set"), std::string::npos) << control_err;
  LastGains gains = read_gains(sb.read("/tmp/player.out"));
  EXPECT_GE(gains.sets, 2);
  // Volume 64, balance -24: left 64, right 48 (64 x 0.76, rounded down).
  const double left = (64 - 100) * 0.375, right = (48 - 100) * 0.375;
  EXPECT_NEAR(gains.db[1][3], left, 0.05);
  EXPECT_NEAR(gains.db[2][3], right, 0.05);
  EXPECT_NEAR(gains.db[1][0], left + 12, 0.05); // bass 100
  EXPECT_NEAR(gains.db[2][0], right + 12, 0.05);
  EXPECT_NEAR(gains.db[1][14], left - 12, 0.05); // treble 0
  EXPECT_NEAR(gains.db[2][31], right - 12, 0.05);
  std::string mixer_err = sb.read("/tmp/mixer.err");
  EXPECT_NE(mixer_err.find("request 0x80044DFE: answered 0x17"), std::string::npos) << mixer_err;
  EXPECT_NE(mixer_err.find("request 0xC0044D04: answered 0x3040"), std::string::npos) << mixer_err;
}

// Requests as OSS programs make them: the answers of a driver, levels clamped per byte,
// unknown requests refused; none of them gives the player anything but its commands.
TEST(VelmMixer, AnswersRequestsAsAnOssDriver) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  RunResult r = sb.run(control_rig_setup() + START_MIXER + R"SH(
exec 3<>/tmp/fifo.player
for request in "0x80044DFE" "0xC0044D04 0xC814" "0x80044D04" "0xC0044D01 0x0A30" \
               "0xC0044D06 0x3232" "0x40044D04 0x3232" "0x00001234" "0xC0045004 1"; do
  echo "$request: $(ossctl /dev/mixer $request)"
done
echo "again: $(velm_mixer 2>&1; echo $?)" 
head -c 4 /dev/mixer >/dev/null 2>&1 || echo "read refused"
kill $mixer; wait $mixer
exec 3>&-
wait $player_reader
)SH");
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "0x80044DFE: 0x17\n"
                   "0xC0044D04 0xC814: 0x6414\n"
                   "0x80044D04: 0x6414\n"
                   "0xC0044D01 0x0A30: 0x3030\n"
                   "0xC0044D06 0x3232: error: Invalid argument\n"
                   "0x40044D04 0x3232: error: Invalid argument\n"
                   "0x00001234: error: Invalid argument\n"
                   "0xC0045004 1: error: Invalid argument\n"
                   "again: velm_mixer: /dev/mixer: there is a mixer device already\n1\n"
                   "read refused\n");
  LastGains gains = read_gains(sb.read("/tmp/player.out"));
  EXPECT_EQ(gains.sets, 2); // the PCM write and the bass write
  // PCM 20 left, 100 right; bass 48.
  EXPECT_NEAR(gains.db[1][3], (20 - 100) * 0.375, 0.05);
  EXPECT_NEAR(gains.db[2][3], 0, 0.05);
  EXPECT_NEAR(gains.db[2][0], (48 - 50) * 0.24, 0.05);
}

// The levels outlive the player: one that starts after a change gets them within its first
// second, and so does a new one (its FIFO made anew, as the launcher does), once each; a
// change of the FIFO's mode is no new player; SIGHUP gives the levels again.
TEST(VelmMixer, APlayerThatComesLaterOrAnewGetsTheLevels) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  RunResult r = sb.run(START_MIXER + R"SH(
ossctl /dev/mixer 0xC0044D04 0x2850 >/dev/null
sleep 0.5
mkfifo /tmp/fifo.player
cat /tmp/fifo.player >/tmp/first.out &
reader=$!
exec 3<>/tmp/fifo.player
sleep 0.5
exec 3>&-
wait $reader
rm /tmp/fifo.player; mkfifo /tmp/fifo.player
cat /tmp/fifo.player >/tmp/second.out &
reader=$!
exec 3<>/tmp/fifo.player
sleep 0.5
exec 3>&-
wait $reader
cat /tmp/fifo.player >/tmp/third.out &
reader=$!
exec 3<>/tmp/fifo.player
chmod 0640 /tmp/fifo.player
sleep 0.3
kill -HUP $mixer
sleep 0.3
exec 3>&-
wait $reader
kill $mixer; wait $mixer
)SH");
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char *file : {"/tmp/first.out", "/tmp/second.out", "/tmp/third.out"}) {
    LastGains gains = read_gains(sb.read(file));
    EXPECT_EQ(gains.sets, 1) << file;
    EXPECT_NEAR(gains.db[1][5], (80 - 100) * 0.375, 0.05) << file;
    EXPECT_NEAR(gains.db[2][5], (40 - 100) * 0.375, 0.05) << file;
  }
}

// A mixer that is there before the jukebox starts (as velm-mixer.service provides one to
// velm.service) is used: the launcher starts none of its own, and the keys reach the
// player through it.
TEST(VelmMixer, TheLauncherUsesAMixerThatIsThereAlready) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  sb.put("/tmp/VOLUME", "100");
  sb.put("/tmp/BALANCE", "0");
  sb.put("/tmp/BASS", "50");
  sb.put("/tmp/TREBLE", "50");
  RunResult r = sb.run(START_MIXER + jukebox_collection(30, "dev1/A") + R"SH(
velm -n -p /tmp/player.out /mnt/music/dev1 2>/tmp/velm.err &
jukebox=$!
n=0
until grep -q '^@F' /tmp/player.out 2>/dev/null; do
  n=$((n + 1)); [ $n -gt 300 ] && { echo "no play"; break; }
  sleep 0.05
done
for i in 1 2 3 4; do echo mixer_volumedown >/tmp/fifo.control; done
sleep 1
echo "mixers: $(pgrep -c -x velm_mixer)"
kill $jukebox; wait $jukebox
kill $mixer; wait $mixer
)SH");
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "mixers: 1\n");
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_NE(err.find("/dev/mixer is provided already"), std::string::npos) << err;
  // The player's echo of its equalizer commands: volume 84 is 6 dB below full.
  std::string player = sb.read("/tmp/player.out");
  EXPECT_NE(player.find("@1 : 3 : 0.501187"), std::string::npos);
  EXPECT_NE(player.find("@2 : 31 : 0.501187"), std::string::npos);
}

// A mixer killed leaves its mount without a server; the next one takes it away (and any
// below it) and serves the device again.
TEST(VelmMixer, TheNextMixerTakesAwayTheMountOfOneKilled) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  RunResult r = sb.run(START_MIXER + R"SH(
kill -KILL $mixer; wait $mixer
echo "dead: $(ossctl /dev/mixer 0x80044DFE)"
velm_mixer 2>/tmp/second.err &
mixer=$!
n=0
until [ "$(ossctl /dev/mixer 0x80044DFE)" = 0x17 ]; do
  n=$((n + 1)); [ $n -gt 100 ] && { echo "not served"; break; }
  sleep 0.02
done
echo "served: $(ossctl /dev/mixer 0x80044DFE)"
kill $mixer; wait $mixer; echo "ended $?"
)SH");
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "dead: error: Transport endpoint is not connected\nserved: 0x17\nended 0\n");
  EXPECT_NE(sb.read("/tmp/second.err").find("took away the mount of a mixer that had ended"),
            std::string::npos);
}
