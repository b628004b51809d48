// The pacer's recording and its way to the card (aplay, here a stand-in that keeps what
// it is given), and tonegen's chords in two channels, measured.

#include "sandbox_run.h"
#include "tone_measure.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr int SECOND_BYTES = 44100 * 4;

// Shell text: `audio SECONDS` writes raw stereo chord audio of that length on standard
// output; `feed FILE` writes FILE into the pacer's FIFO once the pacer made it, and notes
// in $FED (by default /tmp/fed.ms) how many milliseconds that took; `stop_pacer` ends
// the pacer $pace; `wait_size FILE BYTES` waits until FILE holds that many bytes (at most
// 10 s).
const char *const AUDIO_FUNCTIONS = R"SH(
audio() { tonegen -c -2 "$1" 440 880 | tail -c +45; }
ms() { echo $(($(date +%s%N) / 1000000)); }
feed() {
  while ! [ -p /tmp/audio.fifo ]; do sleep 0.01; done
  start=$(ms)
  cat "$1" >/tmp/audio.fifo
  echo $(($(ms) - start)) >"${FED:-/tmp/fed.ms}"
}
stop_pacer() { kill $pace; wait $pace || true; }
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
wait_size() {
  i=0
  while [ $i -lt 200 ] && [ "$(size "$1")" -lt "$2" ]; do sleep 0.05; i=$((i + 1)); done
}
)SH";

// (strtol: "0" + text trips GCC 12's false -Wrestrict at -O3.)
long fed_ms(const Sandbox &sb) {
  return strtol(sb.read("/tmp/fed.ms").c_str(), nullptr, 10);
}

} // namespace

// Every byte taken goes into the file as it is taken, after what was there, cut back to
// whole frames; the timer paces it (2 s of audio take 2 s).
TEST(Audiopace, RecordsWhatItTakesAfterWhatWasRecorded) {
  Sandbox sb;
  RunResult r = sb.run(std::string(AUDIO_FUNCTIONS) + R"SH(
audio 2 >/tmp/expected.raw
printf 'ABCDEF' >/tmp/rec.raw  # a frame, and half of one a killed pacer left
for run in 1 2; do
  audiopace -s /tmp/rec.raw /tmp/audio.fifo 2>>/tmp/pace.err &
  pace=$!
  feed /tmp/expected.raw
  wait_size /tmp/rec.raw $((4 + run * 2 * 44100 * 4))
  stop_pacer
  rm /tmp/audio.fifo
done
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string tone = sb.read("/tmp/expected.raw");
  ASSERT_EQ(tone.size(), 2u * SECOND_BYTES);
  std::string recorded = sb.read("/tmp/rec.raw");
  EXPECT_EQ(recorded.size(), 4 + 2 * tone.size());
  EXPECT_TRUE(recorded == "ABCD" + tone + tone) << "the recording differs from what was fed";
  EXPECT_EQ(sb.read("/tmp/pace.err"), "");
  // The last 10 ms slice waits for the clock after it is taken; the player is on time.
  EXPECT_GE(fed_ms(sb), 1900);
  EXPECT_LE(fed_ms(sb), 2600);
}

// With -a the sound goes to aplay's standard input, and the card it plays on paces it:
// the stand-in takes it at once, so the pacer's timer must not hold it up.
TEST(Audiopace, PassesTheSoundToTheCardWhichPacesIt) {
  Sandbox sb;
  RunResult r = sb.run(std::string(AUDIO_FUNCTIONS) + R"SH(
mkdir /tmp/bin
printf '#!/bin/sh\necho "$@" >/tmp/aplay.args\nexec cat >/tmp/card.raw\n' >/tmp/bin/aplay
chmod +x /tmp/bin/aplay
audio 3 >/tmp/expected.raw
PATH=/tmp/bin:$PATH audiopace -a -s /tmp/rec.raw /tmp/audio.fifo 2>/tmp/pace.err &
pace=$!
feed /tmp/expected.raw
wait_size /tmp/card.raw $((3 * 44100 * 4))
stop_pacer
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string tone = sb.read("/tmp/expected.raw");
  EXPECT_EQ(sb.read("/tmp/aplay.args"), "-q -t raw -f S16_LE -r 44100 -c 2\n");
  EXPECT_TRUE(sb.read("/tmp/card.raw") == tone) << sb.read("/tmp/card.raw").size();
  EXPECT_TRUE(sb.read("/tmp/rec.raw") == tone) << sb.read("/tmp/rec.raw").size();
  EXPECT_EQ(sb.read("/tmp/pace.err"), "");
  EXPECT_LT(fed_ms(sb), 1500) << "3 s of audio paced by the timer, not by the card";
}

// No aplay, or one that ends: said once, and the timer paces from then on; the recording
// holds all of it.
TEST(Audiopace, WithoutTheCardsPlayerTheTimerPaces) {
  Sandbox sb;
  RunResult r = sb.run(std::string(AUDIO_FUNCTIONS) + R"SH(
audio 2 >/tmp/expected.raw
mkdir /tmp/none /tmp/bin
PATH=/tmp/none "$(command -v audiopace)" -a -s /tmp/missing.raw /tmp/audio.fifo 2>/tmp/missing.err &
pace=$!
feed /tmp/expected.raw
mv /tmp/fed.ms /tmp/missing.ms
wait_size /tmp/missing.raw $((2 * 44100 * 4))
stop_pacer
# An aplay that takes 20,000 bytes and ends.
printf '#!/bin/sh\nexec head -c 20000 >/tmp/card.raw\n' >/tmp/bin/aplay
chmod +x /tmp/bin/aplay
PATH=/tmp/bin:$PATH audiopace -a -s /tmp/ended.raw /tmp/audio.fifo 2>/tmp/ended.err &
pace=$!
feed /tmp/expected.raw
wait_size /tmp/ended.raw $((2 * 44100 * 4))
stop_pacer
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string tone = sb.read("/tmp/expected.raw");
  EXPECT_EQ(sb.read("/tmp/missing.err"),
            "audiopace: aplay: No such file or directory; paced by the timer\n");
  EXPECT_TRUE(sb.read("/tmp/missing.raw") == tone);
  EXPECT_GE(strtol(sb.read("/tmp/missing.ms").c_str(), nullptr, 10), 1900);

  EXPECT_EQ(sb.read("/tmp/ended.err"), "audiopace: aplay ended (status 0); paced by the timer\n");
  EXPECT_EQ(sb.read("/tmp/card.raw"), tone.substr(0, 20000));
  EXPECT_TRUE(sb.read("/tmp/ended.raw") == tone);
  // What aplay did not take (all but 0.11 s) is paced by the timer.
  EXPECT_GE(fed_ms(sb), 1700);
}

// A full disk stops the recording, said once; the pacer goes on taking the music.
TEST(Audiopace, AFullDiskStopsTheRecordingNotTheMusic) {
  Sandbox sb;
  sb.limit_tmp(64UL * 1024);
  RunResult r = sb.run(std::string(AUDIO_FUNCTIONS) + R"SH(
audio 2 >$VELM_SCRATCH/expected.raw
audiopace -s /tmp/rec.raw /tmp/audio.fifo 2>$VELM_SCRATCH/pace.err &
pace=$!
FED=$VELM_SCRATCH/fed.ms feed $VELM_SCRATCH/expected.raw
sleep 0.2
kill -0 $pace && echo pacing
stop_pacer
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "pacing\n");
  EXPECT_EQ(read_file(sb.scratch() + "/pace.err"),
            "audiopace: /tmp/rec.raw: No space left on device; recording stops, the music "
            "plays on\n");
  EXPECT_LE(sb.read("/tmp/rec.raw").size(), 64u * 1024);
  EXPECT_GT(sb.read("/tmp/rec.raw").size(), 16u * 1024);
  EXPECT_GE(strtol(read_file(sb.scratch() + "/fed.ms").c_str(), nullptr, 10), 1900) << "not paced";
}

// A chord: every tone at 0.8/N of full scale the whole time; with -2 in both channels.
TEST(Tonegen, SoundsAChordInTwoChannelsAtTheStatedLevels) {
  Sandbox sb;
  RunResult r = sb.run("tonegen -c -2 1 100 1000 10000 >/tmp/chord.wav\n"
                       "tonegen -c -a 0.5 1 440 880 >/tmp/loud.wav\n"
                       "tonegen -c -a 0.5 1 440 880 1320; echo \"status $?\"\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "status 2\n");
  EXPECT_NE(r.err.find("add up beyond full scale"), std::string::npos) << r.err;
  std::string wav = sb.read("/tmp/chord.wav");
  ASSERT_EQ(wav.size(), 44u + 44100 * 4);
  // The header: 2 channels, 4 bytes a frame.
  EXPECT_EQ(wav.substr(22, 2), std::string("\x02\x00", 2));
  EXPECT_EQ(wav.substr(32, 2), std::string("\x04\x00", 2));
  StereoAudio audio = stereo_from_bytes(wav.substr(44));
  EXPECT_EQ(audio.left, audio.right);
  const double level = 20 * std::log10(0.8 / 3);
  for (double frequency : {100.0, 1000.0, 10000.0})
    EXPECT_NEAR(tone_db(audio.left, 0, 44100, frequency), level, 0.01) << frequency;
  double peak = 0;
  for (double sample : audio.left)
    peak = std::max(peak, std::fabs(sample));
  EXPECT_LE(peak, 0.8 * FULL_SCALE + 1);
  EXPECT_GT(peak, 0.6 * FULL_SCALE);
  // -a: one channel (2 bytes a frame), each tone at the amplitude given.
  std::string loud = sb.read("/tmp/loud.wav");
  ASSERT_EQ(loud.size(), 44u + 44100 * 2);
  std::string doubled;
  for (size_t i = 44; i < loud.size(); i += 2)
    doubled += loud.substr(i, 2) + loud.substr(i, 2);
  StereoAudio mono = stereo_from_bytes(doubled);
  EXPECT_NEAR(tone_db(mono.left, 0, 44100, 880), 20 * std::log10(0.5), 0.01);
}
