// The measuring of raw audio on signals made here, of known tones, levels and silence.

#include "sandbox_run.h"
#include "tone_measure.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Tone {
  double frequency, amplitude; // amplitude as a fraction of full scale
};

// `frames` frames of s16le stereo: the sum of `left`'s tones, and of `right`'s, after
// `silence` frames of nothing.
std::string stereo_bytes(size_t frames, const std::vector<Tone> &left,
                         const std::vector<Tone> &right, size_t silence = 0) {
  std::string bytes;
  auto put = [&](double value) {
    auto sample = static_cast<int16_t>(std::lround(value * FULL_SCALE));
    bytes.push_back(static_cast<char>(sample & 0xff));
    bytes.push_back(static_cast<char>((sample >> 8) & 0xff));
  };
  auto sum = [](const std::vector<Tone> &tones, double t) {
    double value = 0;
    for (const Tone &tone : tones)
      value += tone.amplitude * std::sin(2 * M_PI * tone.frequency * t);
    return value;
  };
  for (size_t n = 0; n < silence + frames; ++n) {
    double t = static_cast<double>(n) / AUDIO_RATE;
    put(n < silence ? 0 : sum(left, t));
    put(n < silence ? 0 : sum(right, t));
  }
  return bytes;
}

double db(double fraction) {
  return 20 * std::log10(fraction);
}

} // namespace

TEST(ToneMeasure, ReadsLittleEndianSignedFramesChannelByChannel) {
  // Left -32767 and 1, right 32767 and -256; the last three bytes are no whole frame.
  std::string bytes("\x01\x80\xff\x7f\x01\x00\x00\xff\x12\x34\x56", 11);
  StereoAudio audio = stereo_from_bytes(bytes);
  ASSERT_EQ(audio.frames(), 2u);
  EXPECT_EQ(audio.left, (std::vector<double>{-32767, 1}));
  EXPECT_EQ(audio.right, (std::vector<double>{32767, -256}));
  EXPECT_EQ(&audio.channel(1), &audio.right);

  Sandbox sb;
  std::string path = sb.scratch() + "/tone.raw";
  std::string tone = stereo_bytes(4410, {{440, 0.5}}, {});
  write_file(path, tone);
  StereoAudio from_file = stereo_from_file(path);
  EXPECT_EQ(from_file.left, stereo_from_bytes(tone).left);
  EXPECT_EQ(from_file.frames(), 4410u);
  EXPECT_EQ(stereo_from_file(sb.scratch() + "/missing.raw").frames(), 0u);
}

TEST(ToneMeasure, KnownAmplitudesGiveTheirRmsAndLevel) {
  StereoAudio audio = stereo_from_bytes(stereo_bytes(44100, {{1000, 0.5}}, {{1000, 0.25}}));
  EXPECT_NEAR(rms(audio.left, 0, 44100), 0.5 * FULL_SCALE / std::sqrt(2.0), 2);
  EXPECT_NEAR(rms(audio.right, 0, 44100), 0.25 * FULL_SCALE / std::sqrt(2.0), 2);
  EXPECT_NEAR(tone_amplitude(audio.left, 0, 44100, 1000), 0.5 * FULL_SCALE, 3);
  EXPECT_NEAR(tone_db(audio.left, 0, 44100, 1000), db(0.5), 0.01);
  EXPECT_NEAR(tone_db(audio.right, 0, 44100, 1000), db(0.25), 0.01);
  // Relative to another reference: the right is 6 dB below the left's amplitude.
  EXPECT_NEAR(tone_db(audio.right, 0, 44100, 1000, 0.5 * FULL_SCALE), db(0.5), 0.01);
  // A window of no whole number of periods, anywhere in the signal, measures the same.
  EXPECT_NEAR(tone_db(audio.left, 1234, 12345, 1000), db(0.5), 0.05);
  // A window past the end is cut there; one beyond it holds nothing.
  EXPECT_NEAR(rms(audio.left, 44000, 1000), rms(audio.left, 44000, 100), 200);
  EXPECT_EQ(rms(audio.left, 50000, 100), 0);
  EXPECT_EQ(tone_amplitude(audio.left, 50000, 100, 1000), 0);
}

TEST(ToneMeasure, TonesSoundingTogetherAreMeasuredApart) {
  // 100 Hz and 10 kHz on the left, 1 kHz alone on the right.
  StereoAudio audio =
      stereo_from_bytes(stereo_bytes(22050, {{100, 0.3}, {10000, 0.1}}, {{1000, 0.4}}));
  const size_t window = 17000; // 38.5 periods of 100 Hz
  EXPECT_NEAR(tone_db(audio.left, 2000, window, 100), db(0.3), 0.05);
  EXPECT_NEAR(tone_db(audio.left, 2000, window, 10000), db(0.1), 0.05);
  EXPECT_LT(tone_db(audio.left, 2000, window, 1000), -80);
  EXPECT_NEAR(tone_db(audio.right, 2000, window, 1000), db(0.4), 0.05);
  EXPECT_LT(tone_db(audio.right, 2000, window, 100), -80);
  EXPECT_LT(tone_db(audio.right, 2000, window, 10000), -80);
  // 10 Hz off the tone is another frequency: far below it.
  EXPECT_LT(tone_db(audio.left, 2000, window, 110), db(0.3) - 40);
  // Both tones are in the RMS: sqrt(0.3^2 + 0.1^2) / sqrt(2) of full scale.
  EXPECT_NEAR(rms(audio.left, 0, 22050), std::sqrt(0.1 / 2) * FULL_SCALE, 10);
}

TEST(ToneMeasure, SilenceHasNoLevelAndTheSoundStartIsFound) {
  StereoAudio silence = stereo_from_bytes(std::string(size_t{4} * 8820, '\0'));
  EXPECT_EQ(rms(silence.left, 0, 8820), 0);
  EXPECT_EQ(tone_db(silence.right, 0, 8820, 1000), -400);
  EXPECT_EQ(sound_start(silence, 441, 10), -1);

  // 0.3 s of silence, then a tone on the right only.
  StereoAudio audio = stereo_from_bytes(stereo_bytes(8820, {}, {{1000, 0.1}}, 13230));
  EXPECT_EQ(sound_start(audio, 441, 10), 13230);
  // Windows of 1000 frames: the sound is in the one from 13000.
  EXPECT_EQ(sound_start(audio, 1000, 10), 13000);
  // A threshold above the tone's RMS (2317) finds none.
  EXPECT_EQ(sound_start(audio, 441, 2400), -1);
  EXPECT_EQ(sound_start(audio, 0, 10), -1);
}
