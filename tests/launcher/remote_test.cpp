// The whole jukebox driven by a remote control, end to end, in a sandbox: the launcher
// starts velm_input on a FIFO at a device path of the sandbox's /dev, evplay plays a
// recording of a remote's events into it as the kernel delivers them, and what the panel
// shows is read from /dev/lcd's bytes.

#include "jukebox_rig.h"
#include "panel_rows.h"
#include "sandbox_run.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr int TIMEOUT_MS = 120000;

// Shell text: dev1 with lists A and B, dev2 with C (three songs each), the jukebox's
// functions, the remote's device /dev/input/by-id/usb-Test_Remote-event-kbd (a FIFO),
// `wait_for FILE TEXT` (until FILE holds TEXT, at most 5 s; each logged to /tmp/steps)
// and `keys STEPS...` (the keyboard's script form).
std::string remote_rig() {
  return jukebox_collection(30, "dev1/A dev1/B dev2/C") + jukebox_functions() + R"SH(
remote=/dev/input/by-id/usb-Test_Remote-event-kbd
mkdir -p /dev/input/by-id
mkfifo $remote
state_of() {
  if [ "$1" = /tmp/PLAYSTATE ]; then chosen_song; else cat "$1" 2>/dev/null; fi
}
wait_for() {
  i=0
  while [ $i -lt 100 ] && [ "$(state_of "$1")" != "$2" ]; do
    sleep 0.05
    i=$((i + 1))
  done
  echo "$1 $(state_of "$1")" >>/tmp/steps
}
keys() {
  printf '%s\n' "$@" | velm_keys
}
)SH";
}

bool starts_with(const std::string &row, const std::string &start) {
  return row.compare(0, start.size(), start) == 0;
}

// The index of the first row that starts with `start`, from `from` on; rows.size() when
// there is none.
size_t find_row(const std::vector<std::string> &rows, const std::string &start, size_t from = 0) {
  for (size_t i = from; i < rows.size(); ++i) {
    if (starts_with(rows[i], start))
      return i;
  }
  return rows.size();
}

// The length of a mixer bar row (glyphs from column 0, then blanks); -1 for another row.
int bar_length(const std::string &row) {
  size_t glyphs = row.find_first_not_of('\xff');
  if (glyphs == std::string::npos)
    glyphs = row.size();
  if (row.size() != 24 || row.find_first_not_of(' ', glyphs) != std::string::npos)
    return -1;
  return static_cast<int>(glyphs);
}

} // namespace

// A recording of presses on a remote: next song twice (short presses, let go before the
// hold time), the display's mixer mode, volume up held for a while (the kernel's repeats
// after 250 ms, every 33 ms), then the number 02 and OK. The songs change, the mixer mode
// shows the volume and its bar growing, the number input mode shows while the digits are
// typed, and the entry plays song 2 of the list and goes back to the mixer mode.
TEST(Remote, APlayedRecordingDrivesSongsTheVolumeBarAndTheNumberEntry) {
  Sandbox sb;
  std::string recording = R"(# next song, twice
0     EV_KEY KEY_NEXTSONG 1
120   EV_KEY KEY_NEXTSONG 0
2000  EV_KEY KEY_NEXTSONG 1
2100  EV_KEY KEY_NEXTSONG 0
# the mixer mode, then volume up held: one press and nine repeats
4000  EV_KEY KEY_MODE 1
4080  EV_KEY KEY_MODE 0
5000  EV_KEY KEY_VOLUMEUP 1
)";
  for (int i = 0; i < 9; ++i)
    recording += std::to_string(5250 + 33 * i) + " EV_KEY KEY_VOLUMEUP 2\n";
  recording += R"(5540  EV_KEY KEY_VOLUMEUP 0
# the number 02 (the 2 by its numbers: EV_KEY, KEY_2), then OK
8000  EV_KEY KEY_0 1
8080  EV_KEY KEY_0 0
8600  1 3 1
8680  1 3 0
9800  EV_KEY KEY_OK 1
9880  EV_KEY KEY_OK 0
)";
  sb.put("/tmp/remote.rec", recording);
  // The control daemon saves the mixer every 200 ms instead of every 10 s.
  std::string script = remote_rig() + fast_saving_control(VELM_FASTTIMER) + R"SH(
# The settings saved by a box turned all the way down.
for f in VOLUME BALANCE BASS TREBLE; do printf 0 >/tmp/$f; done
start_jukebox -i '/dev/input/by-id/*-event-kbd' /mnt/music/dev1 /mnt/music/dev2
wait_for /tmp/PLAYSTATE "1 1 1"
sleep 7.5  # the welcome scroll: no bars before its end
timeout 30 evplay -w 1500 /tmp/remote.rec $remote 2>/tmp/evplay.err &
player=$!
wait_for /tmp/PLAYSTATE "1 1 2"
wait_for /tmp/PLAYSTATE "1 1 3"
sleep 6
wait_for /tmp/PLAYSTATE "1 1 2"
wait_for /tmp/VOLUME 40
wait $player
echo $? >/tmp/evplay.status
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/evplay.status"), "0\n") << sb.read("/tmp/evplay.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 1 1 2\n"
                                   "/tmp/PLAYSTATE 1 1 3\n/tmp/PLAYSTATE 1 1 2\n"
                                   "/tmp/VOLUME 40\n")
      << err; // the volume: one press and nine repeats, 4 each
  EXPECT_EQ(err.find("velm_input ended"), std::string::npos) << err;

  std::string bytes = sb.read("/tmp/lcd.bytes");
  std::vector<std::string> status = drawn_rows(bytes, 0);
  std::vector<std::string> row1 = drawn_rows(bytes, 1);
  // The songs, in order; then the mixer mode with the volume at 0, rising to 40.
  size_t at = find_row(status, "1/001/02 PLAY");
  at = find_row(status, "1/001/03 PLAY", at);
  ASSERT_LT(at, status.size()) << "the next songs are not shown";
  at = find_row(status, "V:  0 ", at);
  size_t up = find_row(status, "V: 40 ", at);
  ASSERT_LT(up, status.size()) << "the mixer mode does not show the volume rising to 40";
  // The volume rose in steps the panel showed on the way (its rows come ten times a
  // second, the repeats thirty times).
  std::vector<std::string> values;
  for (size_t i = at; i <= up; ++i) {
    if (values.empty() || values.back() != status[i].substr(0, 5))
      values.push_back(status[i].substr(0, 5));
  }
  EXPECT_GE(values.size(), 3U) << "only " << values.size() << " volume values shown";
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << values.back();
  // Its bar grows to 40 of 100: 9 of 24 columns.
  std::vector<int> bars;
  for (const std::string &row : row1) {
    int length = bar_length(row);
    if (length > 0 && (bars.empty() || bars.back() != length))
      bars.push_back(length);
  }
  ASSERT_FALSE(bars.empty()) << "no volume bar";
  EXPECT_EQ(bars.back(), 9);
  EXPECT_GE(bars.size(), 2U);
  EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
  // The digits show the number input mode; the entry goes back to the mixer mode.
  size_t typing = find_row(status, "NUMINPUT" + std::string(16, ' '), up);
  ASSERT_LT(typing, status.size()) << "no NUMINPUT after the volume";
  EXPECT_LT(find_row(status, "V: 40 ", typing), status.size()) << "the mixer mode did not return";
}

// A key map velm_input cannot use: the launcher reports it once, does not start it again,
// and the jukebox plays on (the keyboard still moves it).
TEST(Remote, ABadKeyMapLeavesTheJukeboxWithoutTheRemote) {
  Sandbox sb;
  sb.put("/tmp/bad.keymap", "KEY_PLAYPAUSE press player_pause\nKEY_NOSUCHKEY press player_stop\n");
  std::string script = remote_rig() + R"SH(
start_jukebox -i $remote -k /tmp/bad.keymap /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
sleep 2
keys n "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 2"
pgrep -x velm_input >/tmp/input.pid || echo none >/tmp/input.pid
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 1 1 2\n") << err;
  EXPECT_EQ(sb.read("/tmp/input.pid"), "none\n");
  // Its own message (in the log, with what every child says) names the file and line; the
  // launcher's says it goes on without it.
  std::string log = sb.read("/tmp/velm.log");
  const std::string own = "velm_input: /tmp/bad.keymap:2: ";
  size_t at = log.find(own);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(own, at + 1), std::string::npos) << "started more than once:\n" << log;
  EXPECT_NE(err.find("velm: velm_input could not start"), std::string::npos) << err;
  EXPECT_EQ(err.find("keeps ending"), std::string::npos) << err;
}

// The launcher hands velm_input its devices (the pattern as it was given, for velm_input
// to match), the key map and the lircd socket; a velm_input that is killed is started
// again and the remote works on; at the end it is stopped with the rest.
TEST(Remote, AKilledInputHandlerIsStartedAgainAndStoppedAtTheEnd) {
#ifdef VELM_EMULATOR
  // The handler's command line read from /proc starts with the emulator's.
  GTEST_SKIP() << "the command line under an emulator names the emulator first";
#endif
  Sandbox sb;
  sb.put("/tmp/my.keymap", "KEY_NEXTSONG press player_nextsong\nKEY_CHANNELUP press "
                           "player_nextlist\n");
  sb.put("/tmp/next.rec", "0 EV_KEY KEY_NEXTSONG 1\n80 EV_KEY KEY_NEXTSONG 0\n");
  sb.put("/tmp/list.rec", "0 EV_KEY KEY_CHANNELUP 1\n80 EV_KEY KEY_CHANNELUP 0\n");
  std::string script = remote_rig() + R"SH(
start_jukebox -i '/dev/input/by-id/*-event-kbd' -k /tmp/my.keymap -L /tmp/lircd.socket \
  /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
timeout 20 evplay /tmp/next.rec $remote
wait_for /tmp/PLAYSTATE "1 1 2"
first=$(pgrep -x velm_input)
tr '\0' ' ' </proc/$first/cmdline >/tmp/input.cmdline
kill -9 $first
i=0
second=$first
while [ $i -lt 100 ] && [ "$second" = "$first" ]; do
  second=$(pgrep -x velm_input) || second=$first
  sleep 0.05
  i=$((i + 1))
done
timeout 20 evplay /tmp/list.rec $remote
wait_for /tmp/PLAYSTATE "1 2 1"
stop_jukebox
pgrep -x velm_input >/tmp/left || echo none >/tmp/left
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/input.cmdline"), "velm_input -k /tmp/my.keymap -L /tmp/lircd.socket "
                                           "/dev/input/by-id/*-event-kbd ");
  EXPECT_EQ(sb.read("/tmp/steps"),
            "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 1 1 2\n/tmp/PLAYSTATE 1 2 1\n")
      << err;
  EXPECT_NE(err.find("velm: velm_input ended; starting it again"), std::string::npos) << err;
  EXPECT_EQ(sb.read("/tmp/left"), "none\n");
}

// A velm_input that keeps ending at once (here a stand-in that fails) is started again a
// few times, then given up: the jukebox plays on without it, not stopped as it is for a
// daemon of its own that keeps ending.
TEST(Remote, AnInputHandlerThatKeepsEndingIsGivenUp) {
  Sandbox sb;
  std::string script = remote_rig() + R"SH(
mkdir -p /tmp/bin
printf '#!/bin/sh\necho started >>/tmp/input.starts\nexit 3\n' >/tmp/bin/velm_input
chmod +x /tmp/bin/velm_input
export PATH=/tmp/bin:$PATH
start_jukebox -i $remote /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
sleep 2
keys n "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 2"
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 1 1 2\n") << err;
  // The first start and five more.
  std::string starts;
  for (int i = 0; i < 6; ++i)
    starts += "started\n";
  EXPECT_EQ(sb.read("/tmp/input.starts"), starts) << err;
  EXPECT_NE(err.find("velm: velm_input keeps ending; going on without it"), std::string::npos)
      << err;
}
