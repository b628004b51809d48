// The mixer of a machine without one, as logic: what its requests do to the levels, and
// the equalizer gains that give the sound those levels, measured against what a listener
// is promised: 1.5 dB a step of 4, silence at 0, tone within its 12 dB either way.

#include "soft_mixer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

namespace {

double db(double gain) {
  return 20 * std::log10(gain);
}

MixerAnswer request(SoftMixer &mixer, uint32_t cmd, int value) {
  return answer_mixer_request(mixer, cmd, &value, sizeof value);
}

// The gains of the commands, by channel (1, 2) and band; every line must be well formed.
struct Gains {
  double of[3][EQ_BANDS] = {};
};

Gains parse_commands(const std::string &text) {
  Gains gains;
  std::istringstream in(text);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    int channel, band, used = 0;
    double factor;
    EXPECT_EQ(sscanf(line.c_str(), "EQ %d %d %lf%n", &channel, &band, &factor, &used), 3) << line;
    EXPECT_EQ(static_cast<size_t>(used), line.size()) << line;
    EXPECT_TRUE(channel == 1 || channel == 2) << line;
    EXPECT_TRUE(band >= 0 && band < EQ_BANDS) << line;
    EXPECT_GE(factor, 0) << line;
    if ((channel == 1 || channel == 2) && band >= 0 && band < EQ_BANDS)
      gains.of[channel][band] = factor;
  }
  EXPECT_EQ(lines, 2 * EQ_BANDS);
  EXPECT_EQ(text.back(), '\n');
  return gains;
}

} // namespace

TEST(SoftMixer, PcmStepsAreEqualInDecibelsDownToSilence) {
  EXPECT_DOUBLE_EQ(pcm_gain(100), 1.0);
  EXPECT_EQ(pcm_gain(0), 0.0);
  double first_step = db(pcm_gain(100)) - db(pcm_gain(96));
  EXPECT_GE(first_step, 1.0);
  EXPECT_LE(first_step, 2.0);
  for (int level = 96; level >= 20; level -= 4) {
    double step = db(pcm_gain(level + 4)) - db(pcm_gain(level));
    EXPECT_NEAR(step, first_step, 0.3) << level;
  }
  // Below 20 it goes on falling, never reaching silence before 0.
  for (int level = 19; level >= 1; --level) {
    EXPECT_LT(pcm_gain(level), pcm_gain(level + 1)) << level;
    EXPECT_GT(pcm_gain(level), 0) << level;
  }
  // Out of the range: the bounds.
  EXPECT_EQ(pcm_gain(-5), 0.0);
  EXPECT_DOUBLE_EQ(pcm_gain(250), 1.0);
}

TEST(SoftMixer, ToneMovesItsBandsAndLeavesTheMiddle) {
  EXPECT_NEAR(tone_db(0), -12, 1e-9);
  EXPECT_NEAR(tone_db(100), 12, 1e-9);
  EXPECT_LE(std::fabs(tone_db(48)), 0.5);
  EXPECT_LE(std::fabs(tone_db(52)), 0.5);
  EXPECT_NEAR(tone_db(50), 0, 1e-9);
  for (int bass : {0, 48, 100}) {
    for (int treble : {0, 52, 100}) {
      SoftMixer mixer;
      mixer.bass = bass | bass << 8;
      mixer.treble = treble | treble << 8;
      // 100 Hz lies in band 0, 1 kHz in band 1, 10 kHz in band 14 (each 689 Hz wide).
      EXPECT_NEAR(db(band_gain(mixer, 100, 0)), tone_db(bass), 1e-9);
      EXPECT_NEAR(db(band_gain(mixer, 100, 14)), tone_db(treble), 1e-9);
      for (int band = 1; band <= 6; ++band)
        EXPECT_DOUBLE_EQ(band_gain(mixer, 100, band), 1.0) << band;
      // Tone and level add up, in decibels.
      EXPECT_NEAR(db(band_gain(mixer, 60, 0)), tone_db(bass) + db(pcm_gain(60)), 1e-9);
    }
  }
}

TEST(SoftMixer, RequestsAreAnsweredAsAnOssDriverWould) {
  SoftMixer mixer;
  EXPECT_EQ(request(mixer, OSS_READ_DEVMASK, 0).value, 0x17);
  EXPECT_EQ(request(mixer, OSS_READ_STEREODEVS, 0).value & 0x10, 0x10);
  // A write answers with the level kept: each byte at most 100.
  MixerAnswer pcm = request(mixer, OSS_WRITE_CHANNEL + OSS_CHANNEL_PCM, 0xC814);
  EXPECT_EQ(pcm.result, 0);
  EXPECT_EQ(pcm.value, 0x6414);
  EXPECT_EQ(mixer.pcm, 0x6414);
  EXPECT_EQ(request(mixer, OSS_READ_CHANNEL + OSS_CHANNEL_PCM, 0).value, 0x6414);
  // Bits above the two bytes are dropped.
  EXPECT_EQ(request(mixer, OSS_WRITE_CHANNEL + OSS_CHANNEL_PCM, 0x7F003C28).value, 0x3C28);
  // Bass and treble are mono: the left byte counts for both.
  EXPECT_EQ(request(mixer, OSS_WRITE_CHANNEL + OSS_CHANNEL_BASS, 0x0A30).value, 0x3030);
  EXPECT_EQ(request(mixer, OSS_WRITE_CHANNEL + OSS_CHANNEL_TREBLE, 0x00FF).value, 0x6464);
  EXPECT_EQ(request(mixer, OSS_WRITE_CHANNEL + OSS_CHANNEL_VOLUME, 0x5A5A).value, 0x5A5A);
  // What it does not have, or does not know, is refused and changes nothing.
  SoftMixer before = mixer;
  for (uint32_t cmd : {OSS_WRITE_CHANNEL + 6, OSS_READ_CHANNEL + 3, 0x40044D04U, 0x00001234U,
                       0xC0045004U, 0xC0084D04U})
    EXPECT_EQ(request(mixer, cmd, 0x3232).result, -EINVAL) << std::hex << cmd;
  EXPECT_EQ(answer_mixer_request(mixer, OSS_WRITE_CHANNEL + OSS_CHANNEL_PCM, nullptr, 0).result,
            -EFAULT);
  EXPECT_EQ(mixer.pcm, before.pcm);
  EXPECT_EQ(mixer.bass, before.bass);
}

TEST(SoftMixer, PlayerCommandsCarryEachSidesGainsInOneWrite) {
  SoftMixer mixer;
  mixer.pcm = 64 | 48 << 8;
  mixer.bass = 100 | 100 << 8;
  mixer.treble = 0;
  std::string text = player_commands(mixer);
  EXPECT_LE(text.size(), static_cast<size_t>(PIPE_BUF));
  Gains gains = parse_commands(text);
  // Six decimals: within 0.05 dB of the gain wanted.
  EXPECT_NEAR(db(gains.of[1][3]), -13.5, 0.05);
  EXPECT_NEAR(db(gains.of[2][3]), -19.5, 0.05);
  EXPECT_NEAR(db(gains.of[1][0]), -13.5 + 12, 0.05);
  EXPECT_NEAR(db(gains.of[2][14]), -19.5 - 12, 0.05);
  EXPECT_NEAR(db(gains.of[1][7]), -13.5 - 6, 0.05);
  // Level 1 with the treble cut, the smallest gain above silence, is still above it; 0 is
  // silence on its side only.
  mixer.pcm = 1; // left 1, right 0
  gains = parse_commands(player_commands(mixer));
  EXPECT_GT(gains.of[1][31], 0);
  for (int band = 0; band < EQ_BANDS; ++band)
    EXPECT_EQ(gains.of[2][band], 0) << band;
}
