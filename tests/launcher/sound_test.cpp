// What a listener hears: the whole jukebox on a machine without an OSS mixer, its sound
// recorded with -s while the mixer keys go into the control FIFO, measured per channel
// against a direct decode of the same song: a chord of pure tones at 100 Hz, 1 kHz and
// 10 kHz. Volume: 1.5 dB a step of 4 from 100 down to 20, silence at 0; balance lowers one
// side; bass and treble move their tones by (L - 50) x 12/50 dB and leave 1 kHz alone; the
// levels come back to a player the launcher starts again; a first start sounds.

#include "jukebox_rig.h"
#include "mixer_skip.h"
#include "sandbox_run.h"
#include "tone_measure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double TONES[] = {100, 1000, 10000};

// Shell text: the chord song (two channels, so each is decoded apart), its direct decode
// in /tmp/reference.raw, and `mark NAME` (after the sound has settled, the recording's
// length then, into /tmp/marks) and `keys WORD COUNT`.
const std::string SOUND_RIG = std::string(FUSE_CHECK) + R"SH(
# Each tone at a tenth of full scale: boosted by 12 dB, the chord still does not clip.
tonegen -c -2 -a 0.1 90 100 1000 10000 >/tmp/chord.wav
mkdir -p /mnt/music/dev1/A
lame --quiet -b 256 --tt Chord --ta Tones /tmp/chord.wav /mnt/music/dev1/A/chord.mp3
mpg123 -q -n 200 -s -r 44100 --stereo -e s16 /mnt/music/dev1/A/chord.mp3 >/tmp/reference.raw 2>/dev/null
mark() {
  sleep 0.45
  echo "$1 $(stat -c %s /tmp/rec.raw)" >>/tmp/marks
  sleep 0.3
}
keys() {
  k=0
  while [ $k -lt $2 ]; do echo "$1" >/tmp/fifo.control; k=$((k + 1)); done
}
start_recorded() {
  velm -n -s /tmp/rec.raw "$@" /mnt/music/dev1 2>>/tmp/velm.err &
  jukebox=$!
  n=0
  until [ "$(stat -c %s /tmp/rec.raw 2>/dev/null || echo 0)" -gt 400000 ]; do
    n=$((n + 1)); [ $n -gt 300 ] && { echo "no sound"; cat /tmp/velm.err; exit 1; }
    sleep 0.05
  done
  sleep 0.5
}
)SH";

struct Mark {
  std::string name;
  size_t frame;
};

std::vector<Mark> read_marks(const std::string &text) {
  std::vector<Mark> marks;
  std::istringstream in(text);
  std::string name;
  size_t bytes;
  while (in >> name >> bytes)
    marks.push_back({name, bytes / 4});
  return marks;
}

// The levels a setting should give, in dB against the direct decode, per channel and
// tone; -inf for silence.
struct Setting {
  int volume = 100, balance = 0, bass = 48, treble = 48;
};

double level_db(int level) {
  return level == 0 ? -HUGE_VAL : (level - 100) * 0.375;
}

double wanted_db(const Setting &s, int channel, double tone) {
  // The two sides as the control daemon computes them from volume and balance.
  int left = s.balance < 0 ? s.volume : static_cast<int>((100.0 - s.balance) / 100 * s.volume);
  int right = s.balance < 0 ? static_cast<int>((100.0 + s.balance) / 100 * s.volume) : s.volume;
  double db = level_db(channel == 0 ? left : right);
  if (tone == 100)
    db += (s.bass - 50) * 0.24;
  else if (tone == 10000)
    db += (s.treble - 50) * 0.24;
  return db;
}

constexpr size_t WINDOW = 11025; // a quarter of a second

// Measures the recording at each mark against the reference, prints the table and checks
// each level within `tolerance` dB (1 kHz: within 1 dB of what the volume gives).
void check_marks(const StereoAudio &recording, const StereoAudio &reference,
                 const std::vector<Mark> &marks, const std::map<std::string, Setting> &settings,
                 double tolerance = 0.5) {
  double reference_db[2][3];
  for (int c = 0; c < 2; ++c)
    for (int t = 0; t < 3; ++t)
      reference_db[c][t] = tone_db(reference.channel(c), 44100, WINDOW, TONES[t]);
  printf("%-12s %-6s %9s %9s %9s   (measured / wanted dB against the direct decode)\n", "setting",
         "side", "100 Hz", "1 kHz", "10 kHz");
  for (const Mark &mark : marks) {
    auto found = settings.find(mark.name);
    ASSERT_NE(found, settings.end()) << mark.name;
    ASSERT_LT(mark.frame, recording.frames()) << mark.name;
    ASSERT_GE(mark.frame, WINDOW) << mark.name;
    // The quarter of a second that ends at the mark.
    size_t start = mark.frame - WINDOW;
    for (int c = 0; c < 2; ++c) {
      const std::vector<double> &samples = recording.channel(c);
      std::string row;
      for (int t = 0; t < 3; ++t) {
        double wanted = wanted_db(found->second, c, TONES[t]);
        double measured = tone_db(samples, start, WINDOW, TONES[t]) - reference_db[c][t];
        char cell[40];
        snprintf(cell, sizeof cell, " %6.2f/%-6.2f", measured, std::isinf(wanted) ? -99.0 : wanted);
        row += cell;
        if (std::isinf(wanted)) {
          EXPECT_LT(rms(samples, start, WINDOW), 1.0) << mark.name << " side " << c;
        } else if (TONES[t] == 1000) {
          EXPECT_NEAR(measured, wanted, 1.0) << mark.name << " side " << c << " 1 kHz";
        } else {
          EXPECT_NEAR(measured, wanted, tolerance)
              << mark.name << " side " << c << " " << TONES[t] << " Hz";
        }
      }
      printf("%-12s %-6s%s\n", mark.name.c_str(), c == 0 ? "left" : "right", row.c_str());
    }
  }
}

} // namespace

TEST(Sound, MixerKeysChangeWhatIsHeard) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  sb.put("/tmp/VOLUME", "100");
  sb.put("/tmp/BALANCE", "0");
  sb.put("/tmp/BASS", "48");
  sb.put("/tmp/TREBLE", "48");
  RunResult r = sb.run(SOUND_RIG + R"SH(
start_recorded
mark v100
v=96
while [ $v -ge 20 ]; do keys mixer_volumedown 1; mark v$v; v=$((v - 4)); done
keys mixer_volumedown 5; mark v0
keys mixer_volumeup 13; mark v52
keys mixer_volumeup 12
keys mixer_balanceleft 12; mark b-48
keys mixer_balanceleft 13; mark b-100
keys mixer_balanceright 37; mark b48
keys mixer_balanceright 13; mark b100
keys mixer_balanceleft 25
keys mixer_bassdown 12; mark bass0
keys mixer_bassup 13; mark bass52
keys mixer_bassup 12; mark bass100
keys mixer_bassdown 13
keys mixer_trebledown 12; mark treble0
keys mixer_trebleup 13; mark treble52
keys mixer_trebleup 12; mark treble100
keys mixer_trebledown 13
# A new player: the launcher starts it again, the mixer gives it the levels.
keys mixer_volumedown 12; keys mixer_balanceright 6; keys mixer_bassup 13; mark before
pkill -KILL -x mpg123
sleep 4
mark restarted
kill $jukebox; wait $jukebox
)SH",
                       "", 240000);
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err << sb.read("/tmp/velm.err");
  std::map<std::string, Setting> settings = {
      {"v0", {0, 0, 48, 48}},         {"v52", {52, 0, 48, 48}},
      {"b-48", {100, -48, 48, 48}},   {"b-100", {100, -100, 48, 48}},
      {"b48", {100, 48, 48, 48}},     {"b100", {100, 100, 48, 48}},
      {"bass0", {100, 0, 0, 48}},     {"bass52", {100, 0, 52, 48}},
      {"bass100", {100, 0, 100, 48}}, {"treble0", {100, 0, 48, 0}},
      {"treble52", {100, 0, 48, 52}}, {"treble100", {100, 0, 48, 100}},
      {"before", {52, 24, 100, 48}},  {"restarted", {52, 24, 100, 48}}};
  for (int v = 100; v >= 20; v -= 4) {
    char name[8]; // (snprintf: "v" + a number trips GCC 12's false -Wrestrict at -O3)
    snprintf(name, sizeof name, "v%d", v);
    settings[name] = {v, 0, 48, 48};
  }
  EXPECT_NE(sb.read("/tmp/velm.err").find("the player ended; starting it again"), std::string::npos)
      << sb.read("/tmp/velm.err");
  std::vector<Mark> marks = read_marks(sb.read("/tmp/marks"));
  ASSERT_EQ(marks.size(), 35U) << sb.read("/tmp/marks");
  check_marks(stereo_from_file(sb.path("/tmp/rec.raw")),
              stereo_from_file(sb.path("/tmp/reference.raw")), marks, settings);
  // Each step of 4 between 100 and 20 the same, between 1 and 2 dB.
  StereoAudio recording = stereo_from_file(sb.path("/tmp/rec.raw"));
  double previous = 0;
  for (size_t i = 0; i <= 20; ++i) {
    double db = tone_db(recording.left, marks[i].frame - WINDOW, WINDOW, 1000);
    if (i > 0) {
      EXPECT_GE(previous - db, 1.2) << marks[i].name;
      EXPECT_LE(previous - db, 1.8) << marks[i].name;
    }
    previous = db;
  }
}

// No saved settings: the first start plays at volume 72 (10.5 dB below full), centred,
// the tone a step from neutral.
TEST(Sound, AFirstStartIsHeard) {
  SKIP_WITHOUT_MIXER_BUILD();
  Sandbox sb;
  RunResult r = sb.run(SOUND_RIG + R"SH(
start_recorded
mark first
kill $jukebox; wait $jukebox
)SH");
  SKIP_WITHOUT_FUSE(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err << sb.read("/tmp/velm.err");
  check_marks(stereo_from_file(sb.path("/tmp/rec.raw")),
              stereo_from_file(sb.path("/tmp/reference.raw")), read_marks(sb.read("/tmp/marks")),
              {{"first", {72, 0, 48, 48}}});
}
