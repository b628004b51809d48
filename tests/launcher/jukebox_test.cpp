// The whole jukebox, end to end, in a sandbox: the launcher on a collection of real MP3s,
// the real player with the paced silent output, the keyboard's script form, and the
// panel's bytes read from /dev/lcd.

#include "jukebox_rig.h"
#include "panel_rows.h"
#include "sandbox_run.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr int TIMEOUT_MS = 120000;

// Shell text: devices dev1 and dev2 of two lists each, dev3 of one list, every list three
// songs of `seconds` (none for 0; see jukebox_rig.h), the jukebox's functions, `keys
// STEPS...` (the keyboard's script form, one step an argument), `wait_for FILE TEXT`
// (until FILE holds TEXT, at most 5 s; each logged to /tmp/steps) and `wait_played`
// (until the player has reported 40 frames in /tmp/player.out, at most 10 s).
std::string jukebox_rig(int seconds = 30) {
  std::string collection =
      seconds == 0 ? "" : jukebox_collection(seconds, "dev1/A dev1/B dev2/C dev2/D dev3/E");
  return collection + jukebox_functions() + R"SH(
keys() {
  printf '%s\n' "$@" | velm_keys
}
state_of() { # the chosen song of the play core's record, the whole of other files
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
wait_played() {
  i=0
  frames() { n=$(grep -c '^@F' /tmp/player.out 2>/dev/null); echo "${n:-0}"; }
  while [ $i -lt 200 ] && [ "$(frames)" -lt 40 ]; do
    sleep 0.05
    i=$((i + 1))
  done
}
)SH";
}

// The player's output without its frame lines and the watcher's reports, for failure
// messages.
std::string player_events(const std::string &output) {
  std::string events;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos)
      end = output.size();
    std::string line = output.substr(start, end - start);
    if (line.rfind("@P", 0) == 0 || line.rfind("@R", 0) == 0 || line.rfind("@J", 0) == 0 ||
        line.rfind("@I ID3:", 0) == 0 || line.rfind("@E", 0) == 0)
      events += line.substr(0, 40) + "\n";
    start = end + 1;
  }
  return events;
}

bool contains(const std::vector<std::string> &rows, const std::string &row) {
  return std::find(rows.begin(), rows.end(), row) != rows.end();
}

// The index of the first row equal to `row` from `from` on, or rows.size().
size_t find_row(const std::vector<std::string> &rows, const std::string &row, size_t from = 0) {
  auto at =
      std::find(rows.begin() + static_cast<long>(std::min(from, rows.size())), rows.end(), row);
  return static_cast<size_t>(at - rows.begin());
}

} // namespace

TEST(Jukebox, PlaysSongAfterSongAndTheKeysMoveIt) {
  Sandbox sb;
  std::string script = jukebox_rig() + R"(
start_jukebox /mnt/music/dev1 /mnt/music/dev2 /mnt/music/dev3
wait_for /tmp/PLAYSTATE "1 1 1"
keys n "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 2"
keys n "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 3"
keys N "wait 0.3"; wait_for /tmp/PLAYSTATE "1 2 1"
keys P "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 1"
keys p "wait 0.3"; wait_for /tmp/PLAYSTATE "3 1 3"
keys d "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 1"
keys 2 "wait 0.5" enter "wait 0.3"; wait_for /tmp/PLAYSTATE "1 1 2"
keys 2 l "wait 0.3"; wait_for /tmp/PLAYSTATE "1 2 1"
# Song 0 and list 0 are no songs: nothing changes.
keys 0 "wait 0.5" enter "wait 0.6"; wait_for /tmp/PLAYSTATE "1 2 1"
keys 0 l "wait 0.6"; wait_for /tmp/PLAYSTATE "1 2 1"
keys space "wait 0.3"; wait_for /tmp/STATUS pause
keys space "wait 0.3"; wait_for /tmp/STATUS play
cp /tmp/OPL /tmp/OPL.sequential
keys r "wait 0.5"; wait_for /tmp/RANDOM a
keys s "wait 0.3"; wait_for /tmp/STATUS stop
keys space "wait 0.3"; wait_for /tmp/STATUS play
sleep 3  # past the welcome scroll: the title shows
stop_jukebox
)";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 1 1 2\n"
                                   "/tmp/PLAYSTATE 1 1 3\n/tmp/PLAYSTATE 1 2 1\n"
                                   "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 3 1 3\n"
                                   "/tmp/PLAYSTATE 1 1 1\n/tmp/PLAYSTATE 1 1 2\n"
                                   "/tmp/PLAYSTATE 1 2 1\n/tmp/PLAYSTATE 1 2 1\n"
                                   "/tmp/PLAYSTATE 1 2 1\n/tmp/STATUS pause\n/tmp/STATUS play\n"
                                   "/tmp/RANDOM a\n/tmp/STATUS stop\n/tmp/STATUS play\n")
      << err << player_events(sb.read("/tmp/player.out"));

  std::string bytes = sb.read("/tmp/lcd.bytes");
  std::vector<std::string> status = drawn_rows(bytes, 0);
  std::vector<std::string> titles = drawn_rows(bytes, 1);
  // The ID3 title of the last song played, 1 2 1, whichever file the folder gave that
  // number.
  std::string mpl = sb.read("/tmp/MPL");
  size_t line = mpl.find("\n1 2 1 ");
  ASSERT_NE(line, std::string::npos) << mpl;
  std::string title = mpl.substr(mpl.find(".mp3", line) - 2, 2);
  EXPECT_TRUE(contains(titles, "Artist - " + title + std::string(13, ' '))) << title;
  // Typing a number shows the number input mode; pause, stop and the new order show.
  EXPECT_TRUE(contains(status, "NUMINPUT" + std::string(16, ' ')));
  auto shows = [&](const std::string &part) {
    return std::any_of(status.begin(), status.end(),
                       [&](const std::string &row) { return row.find(part) != std::string::npos; });
  };
  EXPECT_TRUE(shows(" PAUS ")) << "pause";
  EXPECT_TRUE(shows(" STOP ")) << "stop";
  EXPECT_TRUE(shows(" ALL")) << "the shuffled order";
  // The order list was built again, shuffled: the same songs in another order.
  EXPECT_EQ(sb.read("/tmp/RANDOM"), "a\n");
  std::string sequential = sb.read("/tmp/OPL.sequential"), shuffled = sb.read("/tmp/OPL");
  EXPECT_NE(shuffled, sequential);
  EXPECT_EQ(shuffled.size(), sequential.size());
  // The end: the farewell, and nothing left of the FIFOs.
  EXPECT_EQ(bytes.substr(bytes.size() - 19), "(powered by Linux!)");
  EXPECT_FALSE(sb.exists("/tmp/fifo.control"));
  EXPECT_FALSE(sb.exists("/tmp/fifo.display"));
}

// A key pressed while the jukebox starts: its writer may open the command FIFO, write
// and close before the launcher holds it open. The control daemon must not take that for
// the end of its input: it stays, and the line is handled.
TEST(Jukebox, AKeyPressedDuringTheStartDoesNotEndTheControlDaemon) {
  Sandbox sb;
  std::string script = jukebox_rig() + R"SH(
(
  while ! [ -p /tmp/fifo.control ]; do sleep 0.001; done
  echo mixer_volumeup >/tmp/fifo.control
) &
start_jukebox /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
sleep 2
pgrep -x velm_control >/tmp/control.pid || echo none >/tmp/control.pid
keys m "wait 0.5"
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_NE(sb.read("/tmp/control.pid"), "none\n") << err;
  EXPECT_EQ(err.find("did not start"), std::string::npos) << err;
  EXPECT_EQ(err.find("keeps ending"), std::string::npos) << err;
}

// Every program the launcher starts, and what the control daemon's scripts start in turn,
// gets the descriptors the launcher was started with and nothing of the launcher's own
// (the FIFOs it holds, its signal descriptor, the log, the player's pipe) beyond its
// standard input, output and error. Stand-ins first on PATH note what they got, then run
// the real program.
TEST(Jukebox, ChildrenGetNoDescriptorOfTheLauncher) {
  // ls lists its own descriptors: those it inherited, then the folder it reads.
  const std::string list = "$(ls /proc/self/fd | sort -n | tr '\\n' ' ')";
  const std::vector<std::string> children = {"scantree",  "orderbuild", "velm_display",
                                             "mpg123",    "playwatch",  "velm_control",
                                             "velm_play", "audiopace"};
  std::string wrappers = "mkdir -p /tmp/bin\n";
  for (const std::string &name : children)
    wrappers += "printf '#!/bin/sh\\necho \"" + name +
                " %s\" >>/tmp/fds.log\\nexec %s \"$@\"\\n' " + shell_quote(list) +
                " \"$(command -v " + name + ")\" >/tmp/bin/" + name + "\nchmod +x /tmp/bin/" +
                name + "\n";
  Sandbox sb;
  std::string script = jukebox_collection(5, "dev1/A") + jukebox_functions() + wrappers +
                       "export PATH=/tmp/bin:$PATH\necho \"" + list + "\" >/tmp/fds.given\n" +
                       R"SH(
start_jukebox /mnt/music/dev1
i=0
while [ $i -lt 200 ] && [ "$(chosen_song)" != "1 1 1" ]; do
  sleep 0.05
  i=$((i + 1))
done
sleep 1
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  std::string given = sb.read("/tmp/fds.given");
  // The sandbox starts the script with 0, 1 and 2 only; ls adds the folder it reads.
  ASSERT_EQ(given, "0 1 2 3 \n");
  given.pop_back();
  std::string log = sb.read("/tmp/fds.log");
  for (const std::string &name : children) {
    if (name == "audiopace")
      continue; // started only without a sound card
    EXPECT_NE(log.find(name + " "), std::string::npos) << name << " did not start\n" << log;
  }
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    std::string line = log.substr(start, end - start);
    std::string name = line.substr(0, line.find(' '));
    EXPECT_EQ(line, name + " " + given);
    start = end + 1;
  }
}

// A child that takes no notice of the end (here a watcher that ignores SIGTERM and stays
// after the player's output ends) cannot hold the shutdown up: it is killed.
TEST(Jukebox, AChildThatIgnoresTheEndIsKilledAtShutdown) {
  Sandbox sb;
  std::string script = jukebox_collection(5, "dev1/A") + jukebox_functions() + R"SH(
mkdir -p /tmp/bin
printf '#!/bin/sh\ntrap "" TERM\n%s "$@"\nexec sleep 600\n' "$(command -v playwatch)" \
  >/tmp/bin/playwatch
chmod +x /tmp/bin/playwatch
export PATH=/tmp/bin:$PATH
start_jukebox /mnt/music/dev1
i=0
while [ $i -lt 200 ] && [ "$(chosen_song)" != "1 1 1" ]; do sleep 0.05; i=$((i + 1)); done
started=$(date +%s)
stop_jukebox
echo $(($(date +%s) - started)) >/tmp/took
pgrep -x sleep >/tmp/left || true
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");
  EXPECT_LE(std::stoi(sb.read("/tmp/took")), 15);
  EXPECT_EQ(sb.read("/tmp/left"), "") << "the watcher is still there";
}

TEST(Jukebox, MixerKeysShowBarsAndTheValuesComeBackAfterARestart) {
  Sandbox sb;
  // Saves every 200 ms instead of every 10 s.
  std::string script = jukebox_rig() + fast_saving_control(VELM_FASTTIMER) + R"(
start_jukebox /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
sleep 7.5  # the welcome scroll: no bars before its end
keys m + + + ">" ">" B T T "wait 2.5"
wait_for /tmp/VOLUME 84
stop_jukebox
cp /tmp/lcd.bytes /tmp/lcd.first
start_jukebox /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
keys m "wait 0.6"
stop_jukebox
)";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  // From the first start's settings: volume 72, balance 0, tone 48.
  EXPECT_EQ(sb.read("/tmp/VOLUME"), "84");
  EXPECT_EQ(sb.read("/tmp/BALANCE"), "8");
  EXPECT_EQ(sb.read("/tmp/BASS"), "52");
  EXPECT_EQ(sb.read("/tmp/TREBLE"), "56");

  std::vector<std::string> first = drawn_rows(sb.read("/tmp/lcd.first"), 1);
  const std::string volume_bar = std::string(20, '\xff') + std::string(4, ' '); // 84 of 100
  EXPECT_TRUE(contains(first, volume_bar)) << "the volume's bar in mixer mode";
  // After the restart the mixer mode shows the saved values.
  std::string bytes = sb.read("/tmp/lcd.bytes");
  std::vector<std::string> second = drawn_rows(bytes.substr(sb.read("/tmp/lcd.first").size()), 0);
  EXPECT_TRUE(contains(second, "V: 84 b: 52 t: 56 B:   8")) << sb.read("/tmp/velm.err");
}

TEST(Jukebox, SongsFollowEachOtherAndAKilledPlayerResumesNearItsSavedFrame) {
  Sandbox sb;
  // A song of 3 s, then one of 30 s. The watcher saves the frame at every tenth change of
  // the second, counted across songs: 7 s into the second song.
  std::string script = jukebox_rig(0) + R"SH(
mkdir -p "/mnt/long/Long Play"
tonegen 3 440 | lame --quiet -m m -b 64 --tt Short --ta Player - "/mnt/long/Long Play/01 Short.mp3"
tonegen 30 220 330 | lame --quiet -m m -b 64 --tt Long --ta Player - "/mnt/long/Long Play/02 Long.mp3"
start_jukebox /mnt/long
wait_for /tmp/PLAYSTATE "1 1 2"
i=0
while [ $i -lt 300 ]; do
  frame=$(tr -d ' \n' 2>/dev/null </tmp/FRAMEPOS)
  [ -n "$frame" ] && [ "$frame" != 0 ] && break
  sleep 0.1
  i=$((i + 1))
done
echo "$frame" >/tmp/saved.frame
sleep 2  # the song plays on past its saved frame
killall -9 mpg123
# The new player jumps to the saved frame; the song plays on from there a while.
i=0
while [ $i -lt 300 ] && ! grep -q "^@J" /tmp/player.out; do
  sleep 0.1
  i=$((i + 1))
done
sleep 2.5
killall -9 velm_display
sleep 1
killall -9 velm_control
sleep 1
keys p "wait 0.5"
wait_for /tmp/PLAYSTATE "1 1 1"
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "/tmp/PLAYSTATE 1 1 2\n/tmp/PLAYSTATE 1 1 1\n");
  EXPECT_NE(err.find("the player ended; starting it again"), std::string::npos) << err;
  EXPECT_NE(err.find("velm_display ended; starting it again"), std::string::npos) << err;
  EXPECT_NE(err.find("velm_control ended; starting it again"), std::string::npos) << err;

  std::string bytes = sb.read("/tmp/lcd.bytes");
  std::vector<std::string> status = drawn_rows(bytes, 0);
  std::vector<std::string> titles = drawn_rows(bytes, 1);
  // The short song counts down and the long one follows by itself.
  size_t at = find_row(status, "1/001/01 PLAY -00:02 SEQ");
  at = find_row(status, "1/001/01 PLAY -00:01 SEQ", at);
  at = find_row(status, "1/001/02 PLAY -00:29 SEQ", at);
  EXPECT_LT(at, status.size()) << "no countdown into the second song";

  // The new player was told to jump to the saved frame.
  std::string frame = sb.read("/tmp/saved.frame");
  frame.pop_back();
  ASSERT_FALSE(frame.empty());
  int saved = std::stoi(frame);
  EXPECT_GT(saved, 200); // about 38 frames a second, 7 s
  std::string player = sb.read("/tmp/player.out");
  EXPECT_NE(player.find("@J " + frame + "\n"), std::string::npos) << frame;
  // The remaining time of the long song goes back up once, to where the saved frame is,
  // not to the song's start.
  std::vector<int> left;
  for (const std::string &row : status) {
    if (row.rfind("1/001/02 PLAY -00:", 0) == 0)
      left.push_back(std::stoi(row.substr(18, 2)));
  }
  // (The song's first rows may still show the last song's time or the zero the script
  // sets before the player's first time line: look from where it has run a while.)
  size_t resume = 0;
  while (resume < left.size() && left[resume] < 29)
    ++resume;
  while (resume < left.size() && left[resume] > 28)
    ++resume;
  ++resume;
  while (resume < left.size() && left[resume] <= left[resume - 1])
    ++resume;
  ASSERT_LT(resume, left.size()) << "the time never went back";
  int at_frame = static_cast<int>(std::lround(30 - saved / 38.28));
  EXPECT_NEAR(left[resume], at_frame, 1) << "saved frame " << saved;

  // The display came back: a second start, a second welcome.
  LcdScreen screen;
  lcd_screen_feed(screen, bytes.data(), bytes.size());
  EXPECT_EQ(screen.starts, 2);
  EXPECT_TRUE(contains(titles, "Player - Long" + std::string(11, ' ')));
}

// A power cut after the record of a new song ("frame fresh") and before the removal of
// the last song's checkpoint leaves that checkpoint behind: the chosen song then starts at
// its beginning, not at the other song's frame. A checkpoint the record keeps is the
// song's own and is resumed.
TEST(Jukebox, ACheckpointOlderThanTheSongsChoiceIsNotResumed) {
  Sandbox sb;
  std::string script = jukebox_rig(0) + R"SH(
mkdir -p /mnt/cut/List
tonegen 20 440 | lame --quiet -m m -b 32 --tt One --ta Cut - /mnt/cut/List/01.mp3
tonegen 20 330 | lame --quiet -m m -b 32 --tt Two --ta Cut - /mnt/cut/List/02.mp3
record() {
  printf 'song 1 1 2\nstatus play\nframe %s\ngeneration 7\n' "$1" >/tmp/PLAYSTATE
  printf '%16d\n' 300 >/tmp/FRAMEPOS
}
record fresh
start_jukebox /mnt/cut
wait_played
stop_jukebox
mv /tmp/player.out /tmp/chosen-after.out
record kept
start_jukebox /mnt/cut
wait_played
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n0\n");
  auto first_frame = [](const std::string &out) {
    size_t at = out.find("\n@F ");
    return at == std::string::npos ? -1 : std::stoi(out.substr(at + 4));
  };
  std::string stale = sb.read("/tmp/chosen-after.out");
  EXPECT_NE(stale.find("@I ID3:Two "), std::string::npos) << player_events(stale);
  EXPECT_EQ(stale.find("\n@J"), std::string::npos) << player_events(stale);
  EXPECT_LT(first_frame(stale), 10) << player_events(stale);
  std::string own = sb.read("/tmp/player.out");
  EXPECT_NE(own.find("@I ID3:Two "), std::string::npos) << player_events(own);
  EXPECT_NE(own.find("\n@J 300\n"), std::string::npos) << player_events(own);
}

// A power cut as a song ends leaves the watcher's mark of the end (a checkpoint of 0)
// behind, in a record that says "play" and keeps its checkpoint: the start goes on with
// the next song. A song just chosen ("fresh": the 0 is the song before's), a song started
// with no checkpoint yet, and a stopped song are kept.
TEST(Jukebox, ASongWhoseEndThePowerCutShortIsFollowedByTheNext) {
  Sandbox sb;
  std::string script = jukebox_rig(0) + R"SH(
mkdir -p /mnt/cut/List
for n in One Two Three; do
  tonegen 20 440 | lame --quiet -m m -b 32 --tt $n --ta Cut - /mnt/cut/List/$n.mp3
done
played() {
  wait_played
  stop_jukebox
  mv /tmp/player.out /tmp/$1.out
}
record() { # SONG STATUS FRAME, and the watcher's end mark with a fourth word "ended"
  printf 'song 1 1 %s\nstatus %s\nframe %s\ngeneration 3\n' "$1" "$2" "$3" >/tmp/PLAYSTATE
  rm -f /tmp/FRAMEPOS
  [ "${4:-}" = ended ] && printf '%16d\n' 0 >/tmp/FRAMEPOS
  return 0
}
# Files are named One, Three, Two: the songs 1 1 1, 1 1 2, 1 1 3 in that order.
record 1 play kept ended
start_jukebox /mnt/cut
played ended
record 1 play kept
start_jukebox /mnt/cut
played started
record 2 play fresh ended
start_jukebox /mnt/cut
played chosen
record 1 stop kept ended
start_jukebox /mnt/cut
played stopped
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  auto first_song = [&](const std::string &name) {
    std::string out = sb.read("/tmp/" + name + ".out");
    size_t at = out.find("@I ID3:");
    return at == std::string::npos ? "none: " + player_events(out) : out.substr(at + 7, 5);
  };
  EXPECT_EQ(first_song("ended"), "Three");
  EXPECT_EQ(first_song("started"), "One  ");
  EXPECT_EQ(first_song("chosen"), "Three");
  EXPECT_EQ(first_song("stopped"), "One  ");
}

// Today's tags on the panel, with ID3 titles: the ID3v2 title whole (an artist's and a
// title's accents in the display's Latin-1), a title of 60 characters without artist
// passing through the row to its end, and an ID3v1 tag alone as before.
TEST(Jukebox, TitlesOfTodaysTagsShowWholeWithTheirAccents) {
  Sandbox sb;
  std::string script = jukebox_functions() + R"SH(
mkdir -p /mnt/music/dev1/T
tonegen 20 220 330 >/tmp/tune.wav
lame --quiet -m m -b 32 --tt "Crème brûlée" --ta "Zoë & the Café Band" /tmp/tune.wav \
  /mnt/music/dev1/T/1.mp3
lame --quiet -m m -b 32 --id3v2-only --tt "Déjà vu: a title of sixty characters, and not a single fewer" \
  /tmp/tune.wav /mnt/music/dev1/T/2.mp3
lame --quiet -m m -b 32 --id3v1-only --tt "Plain Old Tag" --ta "Old Artist" /tmp/tune.wav \
  /mnt/music/dev1/T/3.mp3
start_jukebox /mnt/music/dev1
sleep 12 # past the welcome scroll (7.3 s) and through the title
printf 'n\n' | velm_keys
sleep 10.5 # the long title passes through
printf 'n\n' | velm_keys
sleep 1.5
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  // The player wrote the tags as UTF-8.
  std::string player = sb.read("/tmp/player.out");
  EXPECT_NE(player.find("@I ID3v2.artist:Zo\u00eb & the Caf\u00e9 Band\n"), std::string::npos)
      << player_events(player);
  std::vector<std::string> titles = drawn_rows(sb.read("/tmp/lcd.bytes"), 1);
  EXPECT_TRUE(contains(titles, "Zo\xeb & the Caf\xe9 Band - Cr"));
  EXPECT_TRUE(contains(titles, "Caf\xe9 Band - Cr\xe8me br\xfbl\xe9"
                               "e"));
  EXPECT_TRUE(contains(titles, "D\xe9j\xe0 vu: a title of sixt"));
  EXPECT_TRUE(contains(titles, ", and not a single fewer"));
  EXPECT_TRUE(contains(titles, "Old Artist - Plain Old T"));
}

// A first start (no mixer settings saved) plays at an audible volume with neutral tone;
// where any setting was saved, the others are not made up.
TEST(Jukebox, AFirstStartIsAudibleAndSavedSettingsAreKept) {
  Sandbox sb;
  std::string script = jukebox_rig() + R"SH(
start_jukebox /mnt/music/dev1
wait_for /tmp/PLAYSTATE "1 1 1"
stop_jukebox
for f in VOLUME BALANCE BASS TREBLE; do echo "$f $(cat /tmp/$f)" >>/tmp/first; done
rm /tmp/VOLUME /tmp/BALANCE /tmp/BASS /tmp/TREBLE
printf 20 >/tmp/TREBLE
# The record still says 1 1 1: this start is waited for by its player's frames.
rm -f /tmp/player.out
start_jukebox /mnt/music/dev1
wait_played
stop_jukebox
for f in VOLUME BALANCE BASS TREBLE; do echo "$f $(cat /tmp/$f 2>/dev/null)" >>/tmp/second; done
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n0\n") << sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/first"), "VOLUME 72\nBALANCE 0\nBASS 48\nTREBLE 48\n");
  // The missing ones stay missing (the control daemon takes them as 0, as it always has).
  EXPECT_EQ(sb.read("/tmp/second"), "VOLUME \nBALANCE \nBASS \nTREBLE 20\n");
}
