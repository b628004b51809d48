// playwatch on the real player's output: mpg123 in remote-control mode plays MP3s made
// with lame, its commands come through /tmp/fifo.player from the stand-in nextsong.sh,
// and its standard output goes into the watcher. A recording of such a run is kept as a
// fixture, so the same checks also run without the player and its timing.

#include "convert.h"
#include "watch_rig.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

constexpr int RUN_TIMEOUT_MS = 120000;

// The recording of a run with the two songs below, made by RealPlayer.TwoSongsEndToEnd
// when VELM_WRITE_FIXTURE is set in its environment.
std::string fixture_path() {
  return std::string(source_dir()) + "/tests/playwatch/fixtures/mpg123_two_songs.txt";
}

// What the watcher must make of a player's output, worked out with the C library's own
// sscanf and the watcher's patterns: the display lines and the checkpoint events.
struct Expected {
  std::string display;
  std::string events;
  int checkpoints = 0; // checkpoints other than the 0 of a song's end
};

std::string framepos(int frame) {
  char text[32];
  snprintf(text, sizeof text, "%16d\n", frame);
  return text;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
Expected reference(const std::string &player_output) {
  Expected expected;
  int last_second = 0, counter = 0;
  std::string v2_title, v2_artist; // of the tag block being read
  std::istringstream in(player_output);
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t\r\v\f");
    if (start == std::string::npos)
      continue;
    line = line.substr(start);
    bool tag_detail = line.compare(0, 7, "@I ID3.") == 0 || line.compare(0, 9, "@I ID3v2.") == 0 ||
                      line == "@I }";
    if (line.compare(0, 2, "@I") == 0 && !tag_detail) {
      char t[31] = {}, a[31] = {}, al[31] = {}, y[5] = {}, c[31] = {}, g[256] = {};
      std::string title = "(no-id3-tag)";
      if (sscanf(line.c_str(), "@I ID3:%30c%30c%30c%4c%30c%255s", t, a, al, y, c, g) == 6) {
        std::string tt = t, aa = a;
        tt.erase(std::max<size_t>(tt.find_last_not_of(' ') + 1, 1));
        aa.erase(std::max<size_t>(aa.find_last_not_of(' ') + 1, 1));
        title = aa + " - " + tt;
      }
      expected.display += "display_setid3tagtitle " + title + "\n";
    }
    // The block's ID3v2 title (the recording's tags are plain ASCII, one line a field).
    if (line.compare(0, 15, "@I ID3v2.title:") == 0)
      v2_title = line.substr(15);
    if (line.compare(0, 16, "@I ID3v2.artist:") == 0)
      v2_artist = line.substr(16);
    if (line == "@I }") {
      if (!v2_title.empty())
        expected.display += "display_setid3tagtitle " +
                            (v2_artist.empty() ? v2_title : v2_artist + " - " + v2_title) + "\n";
      v2_title.clear();
      v2_artist.clear();
    }
    if (line == "@P 0") {
      expected.events += "nextsong.sh STOPCAUGHT\n" + framepos(0);
      continue;
    }
    char f[64], fl[64], e[64], x1[256], r[64], x2[256];
    if (sscanf(line.c_str(),
               "@F %16[1234567890] %16[1234567890] %8[1234567890].%0s "
               "%8[1234567890].%0s",
               f, fl, e, x1, r, x2) != 6)
      continue;
    int elapsed = parse_atoi(e), remaining = parse_atoi(r);
    if (elapsed == last_second)
      continue;
    last_second = elapsed;
    if (++counter > 9) {
      counter = 0;
      ++expected.checkpoints;
    }
    char text[64];
    snprintf(text, sizeof text, "display_settime +%02d:%02d -%02d:%02d\n", elapsed / 60 % 100,
             elapsed % 60, remaining / 60 % 100, remaining % 60);
    expected.display += text;
  }
  return expected;
}
#pragma GCC diagnostic pop

// The echo is the player's output with the report lines before each ID3 line.
std::string without_reports(const std::string &echo) {
  std::string out;
  std::istringstream in(echo);
  std::string line;
  int skipping = 0;
  while (std::getline(in, line)) {
    if (line.compare(0, 25, "[playwatch]id3tagtitle: >") == 0) {
      skipping = 7; // the title line, six field lines and an empty line follow
      continue;
    }
    if (skipping > 0) {
      --skipping;
      continue;
    }
    out += line + "\n";
  }
  return out;
}

const char MORNING_FERRY_REPORT[] =
    "[playwatch]id3tagtitle: >Harbour Lights - Morning Ferry<\n"
    "title:>Morning Ferry<\nauthor>Harbour Lights<\nalbum>Low Tide                      <\n"
    "year>1998<\ncomment>                              <\ngenre>Unknown<\n\n";
const char SOLO_ARTIST_REPORT[] =
    "[playwatch]id3tagtitle: >Solo Artist -  <\n"
    "title:> <\nauthor>Solo Artist<\nalbum>                              <\nyear>    <\n"
    "comment>a comment                     <\ngenre>Instrument<\n\n";

// Checks one run of the watcher on `player_output`, which held the two songs.
void check_run(const Sandbox &sb, const std::string &player_output) {
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/watch.err"), "");
  std::string echo = sb.read("/tmp/watch.out");
  EXPECT_EQ(without_reports(echo), player_output);
  EXPECT_NE(echo.find(std::string(MORNING_FERRY_REPORT) + "@I ID3:Morning Ferry "),
            std::string::npos);
  EXPECT_NE(echo.find(std::string(SOLO_ARTIST_REPORT) + "@I ID3: "), std::string::npos);

  Expected expected = reference(player_output);
  std::string display = sb.read("/tmp/display.out");
  EXPECT_EQ(display, expected.display);
  EXPECT_NE(display.find("display_setid3tagtitle Harbour Lights - Morning Ferry\n"),
            std::string::npos);
  EXPECT_NE(display.find("display_settime +00:01 -00:06\n"), std::string::npos);
  EXPECT_EQ(sb.read("/tmp/events.log"), expected.events);
  // Two song ends (the script sees the checkpoint 0) and, in the second song, the tenth
  // change of the second.
  EXPECT_EQ(std::count(expected.events.begin(), expected.events.end(), '\n'), 4);
  EXPECT_EQ(expected.checkpoints, 1);
  EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), framepos(0));
  EXPECT_EQ(sb.read("/tmp/velm.log"), "USR2\n");
}

} // namespace

TEST(RealPlayer, TwoSongsEndToEnd) {
  Sandbox sb;
  // The first song is loaded by hand; nextsong.sh loads the second, then ends the player.
  std::string script = watch_rig_standins() + R"(
mkdir -p /tmp/songs
tonegen 7 262 330 392 523 | lame --quiet -m m -b 64 --tt "Morning Ferry" --ta "Harbour Lights" \
  --tl "Low Tide" --ty 1998 - /tmp/songs/1.mp3
tonegen 5 349 440 | lame --quiet -m m -b 64 --ta "Solo Artist" --tc "a comment" \
  --tg Instrumental - /tmp/songs/2.mp3
cat >/tmp/bin/nextsong.sh <<'SCRIPT'
#!/bin/sh
echo "nextsong.sh $*" >>/tmp/events.log
cat /tmp/FRAMEPOS >>/tmp/events.log
n=$(cat /tmp/next 2>/dev/null || echo 2)
echo $((n + 1)) >/tmp/next
if [ -e /tmp/songs/$n.mp3 ]; then echo "LOAD /tmp/songs/$n.mp3"; else echo QUIT; fi
SCRIPT
)" + watch_rig_display() +
                       R"(
# mpg123 makes its FIFO afresh (removing one already there) and opens it.
{ while [ ! -p /tmp/fifo.player ]; do sleep 0.01; done; echo "LOAD /tmp/songs/1.mp3" >/tmp/fifo.player; } &
mpg123 -R -o dummy --fifo /tmp/fifo.player </dev/null 2>/tmp/mpg123.err | tee /tmp/player.raw |
  playwatch >/tmp/watch.out 2>/tmp/watch.err
echo $? >/tmp/watch.status
wait $display_reader
)" + watch_rig_end();
  RunResult r = sb.run(script, "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string raw = sb.read("/tmp/player.raw");
  ASSERT_NE(raw.find("@P 0\n"), std::string::npos) << sb.read("/tmp/mpg123.err");
  check_run(sb, raw);
  if (getenv("VELM_WRITE_FIXTURE") != nullptr)
    write_file(fixture_path(), raw);
}

// The recorded output replayed: the same checks, independent of the player's timing.
TEST(RealPlayer, RecordedOutputReplayed) {
  std::string recorded = read_file(fixture_path());
  Sandbox sb;
  RunResult r = sb.run(watch_rig_run(sb, recorded), "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  check_run(sb, recorded);
}

// A reader of /tmp/FRAMEPOS never sees it empty or partial while checkpoints replace it.
TEST(RealPlayer, CheckpointIsReplacedWhole) {
  std::string input;
  for (int second = 1; second <= 3000; ++second)
    input += "@F " + std::to_string(second * 38) + " 100 " + std::to_string(second) + ".00 1.00\n";
  // Every read must find a whole checkpoint. How many replacements a read catches depends
  // on how the two processes are scheduled, so a run that caught too few to show anything
  // is tried again, a few times at most.
  int changes = 0, reads = 0;
  for (int attempt = 0; attempt < 5 && changes <= 2; ++attempt) {
    Sandbox sb;
    sb.put("/tmp/FRAMEPOS", framepos(7));
    sb.start(watch_rig_run(sb, input));
    // The staged files are in place once the rig has started velm.
    for (int i = 0; i < 3000 && !sb.exists("/tmp/velm.ready"); ++i)
      usleep(1000);
    changes = reads = 0;
    std::string last;
    while (!sb.exists("/tmp/watch.status")) {
      std::string text = read_file(sb.path("/tmp/FRAMEPOS"));
      ++reads;
      ASSERT_EQ(text.size(), 17u) << "read " << reads;
      int frame = atoi(text.c_str());
      ASSERT_EQ(text, framepos(frame));
      ASSERT_TRUE(frame == 7 || frame % 380 == 0) << frame;
      if (text != last)
        ++changes;
      last = text;
    }
    RunResult r = sb.wait(RUN_TIMEOUT_MS);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), framepos(3000 * 38));
    EXPECT_EQ(temporaries_beside(sb, "FRAMEPOS"), "");
  }
  EXPECT_GT(changes, 2) << reads << " reads";
}
