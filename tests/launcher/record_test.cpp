// What the jukebox plays, recorded with `velm -s FILE` and measured: a stereo MP3 of three
// steady tones, played by the whole jukebox in a sandbox, against the same file decoded
// straight by the player, at the levels the jukebox starts with.

#include "jukebox_rig.h"
#include "sandbox_run.h"
#include "tone_measure.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace {

constexpr int TIMEOUT_MS = 120000;
constexpr size_t SECOND = 44100; // frames
const double TONES[] = {100, 1000, 10000};
// Each of the three tones of the song at 0.8/3 of full scale, before the encoding.
const double TONE_DB = 20 * std::log10(0.8 / 3);
// What the levels of a first start (volume 72, balance 0, bass and treble 48) do to each
// tone where velm_mixer gives them through the player's equalizer: 1.5 dB less for each
// step of 4 below volume 100, and (48 - 50) x 12/50 dB on the bass band (100 Hz) and the
// treble bands (10 kHz); 1 kHz lies between them.
const double FIRST_START_DB[] = {-10.5 - 0.48, -10.5, -10.5 - 0.48};

// Shell text: the song /mnt/music/dev1/A/chord.mp3 of `seconds` (100 Hz, 1 kHz and
// 10 kHz together, stereo, the channels encoded apart), its straight decode in
// /tmp/direct.raw, the jukebox's functions, `size FILE`, `wait_size FILE BYTES` (until
// FILE holds that many bytes, at most 20 s) and `note_mixer` (whether velm_mixer runs, in
// /tmp/mixer: "on" or "off").
std::string record_rig(int seconds) {
  return "seconds=" + std::to_string(seconds) + R"SH(
mkdir -p /mnt/music/dev1/A
tonegen -c -2 $seconds 100 1000 10000 >/tmp/chord.wav
lame --quiet -m s -b 192 --tt Chord --ta Tones /tmp/chord.wav /mnt/music/dev1/A/chord.mp3
mpg123 -q -o raw -a /tmp/direct.raw -r 44100 --stereo -e s16 /mnt/music/dev1/A/chord.mp3
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
wait_size() {
  i=0
  while [ $i -lt 400 ] && [ "$(size "$1")" -lt "$2" ]; do sleep 0.05; i=$((i + 1)); done
}
note_mixer() { if pgrep -x velm_mixer >/dev/null; then echo on; else echo off; fi >/tmp/mixer; }
)SH" + jukebox_functions();
}

// Each tone's level in each channel of `audio` over `count` frames from `from` is that of
// the straight decode `direct` a second after its sound starts, within 0.5 dB, changed by
// the first start's levels where the mixer gives them (`mixer`).
void expect_levels_of_direct(const StereoAudio &audio, size_t from, size_t count,
                             const StereoAudio &direct, bool mixer, const std::string &where) {
  long direct_start = sound_start(direct, 441, 300);
  ASSERT_GE(direct_start, 0);
  size_t direct_from = static_cast<size_t>(direct_start) + SECOND;
  ASSERT_GE(audio.frames(), from + count) << where;
  for (int channel = 0; channel < 2; ++channel) {
    for (int tone = 0; tone < 3; ++tone) {
      double frequency = TONES[tone];
      double decoded = tone_db(direct.channel(channel), direct_from, count, frequency);
      double heard = tone_db(audio.channel(channel), from, count, frequency);
      // The decode holds the tone as made, so the comparison is with the tone itself.
      EXPECT_NEAR(decoded, TONE_DB, 1.0) << frequency << " Hz, channel " << channel;
      EXPECT_NEAR(heard, decoded + (mixer ? FIRST_START_DB[tone] : 0), 0.5)
          << where << ": " << frequency << " Hz, channel " << channel
          << (mixer ? " (the mixer's levels)" : " (as decoded: no mixer)");
    }
  }
}

} // namespace

TEST(Recording, HoldsTheTonesOfAStraightDecodeAtTheStartingLevels) {
  Sandbox sb;
  RunResult r = sb.run(record_rig(8) + R"SH(
start_jukebox -s /tmp/rec.raw /mnt/music/dev1
wait_size /tmp/rec.raw $((4 * 44100 * 4))
note_mixer
stop_jukebox
)SH",
                       "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  std::string recorded = sb.read("/tmp/rec.raw");
  EXPECT_EQ(recorded.size() % 4, 0u);
  StereoAudio audio = stereo_from_bytes(recorded),
              direct = stereo_from_file(sb.path("/tmp/direct.raw"));
  ASSERT_GE(audio.frames(), 4 * SECOND) << err;
  long start = sound_start(audio, 441, 300);
  ASSERT_GE(start, 0);
  // The song starts at once: no more than the encoder's delay comes before it.
  EXPECT_LT(start, 4410);
  expect_levels_of_direct(audio, static_cast<size_t>(start) + SECOND, 2 * SECOND, direct,
                          sb.read("/tmp/mixer") == "on\n", "the recording");
}

// The pacer killed while it plays: the launcher starts it again with the same file, and
// a new player resumes the song into it. What was recorded stays; the recording goes on,
// at the levels of the song.
TEST(Recording, GoesOnAcrossARestartOfThePacer) {
  Sandbox sb;
  RunResult r = sb.run(record_rig(12) + R"SH(
start_jukebox -s /tmp/rec.raw /mnt/music/dev1
wait_size /tmp/rec.raw $((2 * 44100 * 4))
pgrep -x audiopace >/tmp/pacer.before
kill -KILL "$(cat /tmp/pacer.before)"
sleep 0.1
size /tmp/rec.raw >/tmp/size.killed
wait_size /tmp/rec.raw $(($(cat /tmp/size.killed) + 3 * 44100 * 4))
pgrep -x audiopace >/tmp/pacer.after
note_mixer
stop_jukebox
)SH",
                       "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_NE(err.find("audiopace ended; starting it again"), std::string::npos) << err;
  EXPECT_NE(sb.read("/tmp/pacer.after"), "") << err;
  EXPECT_NE(sb.read("/tmp/pacer.after"), sb.read("/tmp/pacer.before"));

  std::string recorded = sb.read("/tmp/rec.raw");
  EXPECT_EQ(recorded.size() % 4, 0u);
  size_t killed = strtoul(sb.read("/tmp/size.killed").c_str(), nullptr, 10) / 4;
  StereoAudio audio = stereo_from_bytes(recorded),
              direct = stereo_from_file(sb.path("/tmp/direct.raw"));
  ASSERT_GE(audio.frames(), killed + 3 * SECOND) << err;
  long start = sound_start(audio, 441, 300);
  ASSERT_GE(start, 0);
  ASSERT_GE(killed, static_cast<size_t>(start) + SECOND);
  bool mixer = sb.read("/tmp/mixer") == "on\n";
  expect_levels_of_direct(audio, static_cast<size_t>(start) + SECOND / 4, SECOND / 2, direct, mixer,
                          "before the pacer was killed");
  expect_levels_of_direct(audio, killed + SECOND, SECOND, direct, mixer, "after its restart");
}

// A recording that cannot be written is refused at the start, before anything runs, as
// is one of another output module than the pacer's.
TEST(Recording, AFileThatCannotBeWrittenRefusesTheStart) {
  Sandbox sb;
  RunResult r = sb.run(R"SH(
mkdir -p /mnt/music/dev1/A /tmp/ro
mount -t tmpfs -o ro tmpfs /tmp/ro || echo "no read-only folder"
for file in /tmp/none/rec.raw /tmp/ro/rec.raw; do
  timeout 10 velm -n -s $file /mnt/music/dev1 2>>/tmp/velm.err
  echo "$file $?"
done
timeout 10 velm -n -o null -s /tmp/rec.raw /mnt/music/dev1 2>/tmp/module.err
echo "-o $?"
ls /tmp
)SH",
                       "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  // Nothing ran: no list, no FIFO, no recording. (A checkout, build or scratch folder that
  // lies under /tmp is kept there by the sandbox, and is none of the jukebox's files.)
  std::string listed;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    bool kept = false;
    for (const std::string &dir :
         {std::string(VELM_SOURCE_DIR), std::string(VELM_BUILD_DIR), sb.scratch()})
      kept = kept || dir.rfind("/tmp/" + line + "/", 0) == 0 || dir == "/tmp/" + line;
    if (!kept)
      listed += line + "\n";
  }
  EXPECT_EQ(listed, "/tmp/none/rec.raw 2\n/tmp/ro/rec.raw 2\n-o 2\nmodule.err\nro\nvelm.err\n");
  EXPECT_EQ(sb.read("/tmp/velm.err"),
            "velm: cannot record into /tmp/none/rec.raw: No such file or directory\n"
            "velm: cannot record into /tmp/ro/rec.raw: Read-only file system\n");
  std::string module = sb.read("/tmp/module.err");
  EXPECT_EQ(module.rfind("velm: -s cannot record the output module given with -o\n", 0), 0u)
      << module;
  EXPECT_NE(module.find("Usage: velm"), std::string::npos) << module;
}
