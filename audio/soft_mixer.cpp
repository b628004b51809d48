#include "soft_mixer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr double DB_PER_LEVEL = 1.5 / 4; // 1.5 dB a step of 4
constexpr double TONE_DB_PER_LEVEL = 12.0 / 50;
// The player's bands are 44,100 / 64 = 689 Hz wide: band 0 holds the bass, bands 8 and
// up (from 5.5 kHz) the treble, band 7 (4.8 to 5.5 kHz) the shoulder between.
constexpr int BASS_BAND = 0;
constexpr int TREBLE_SHOULDER_BAND = 7;
constexpr int FIRST_TREBLE_BAND = 8;

int clamp_level(int level) {
  return std::clamp(level, 0, 100);
}

// The level word a card keeps after a write: each byte at most 100; a mono channel takes
// the left byte for both.
int taken_word(int word, bool stereo) {
  int left = std::min(word & 0xFF, 100);
  int right = stereo ? std::min(word >> 8 & 0xFF, 100) : left;
  return left | right << 8;
}

int *channel_word(SoftMixer &mixer, int channel) {
  switch (channel) {
  case OSS_CHANNEL_VOLUME:
    return &mixer.master;
  case OSS_CHANNEL_BASS:
    return &mixer.bass;
  case OSS_CHANNEL_TREBLE:
    return &mixer.treble;
  case OSS_CHANNEL_PCM:
    return &mixer.pcm;
  default:
    return nullptr;
  }
}

} // namespace

MixerAnswer answer_mixer_request(SoftMixer &mixer, uint32_t cmd, const void *in, size_t in_size) {
  switch (cmd) {
  case OSS_READ_DEVMASK:
    return {0, OSS_DEVMASK};
  case OSS_READ_STEREODEVS:
    return {0, OSS_STEREODEVS};
  case OSS_READ_RECMASK:
  case OSS_READ_RECSRC:
  case OSS_READ_CAPS:
    return {0, 0};
  case OSS_GETVERSION:
    return {0, OSS_VERSION};
  default:
    break;
  }
  const int channel = static_cast<int>(cmd & 0xFF);
  const uint32_t kind = cmd & ~0xFFU;
  int *word = channel_word(mixer, channel);
  if (word == nullptr || (kind != OSS_READ_CHANNEL && kind != OSS_WRITE_CHANNEL))
    return {-EINVAL, 0};
  if (kind == OSS_WRITE_CHANNEL) {
    if (in == nullptr || in_size != sizeof(int))
      return {-EFAULT, 0};
    int requested;
    memcpy(&requested, in, sizeof requested);
    *word = taken_word(requested, ((OSS_STEREODEVS >> channel) & 1) != 0);
  }
  return {0, *word};
}

double pcm_gain(int level) {
  level = clamp_level(level);
  if (level == 0)
    return 0;
  return std::pow(10.0, (level - 100) * DB_PER_LEVEL / 20);
}

double tone_db(int level) {
  return (clamp_level(level) - 50) * TONE_DB_PER_LEVEL;
}

double band_gain(const SoftMixer &mixer, int side_level, int band) {
  double db = 0;
  if (band == BASS_BAND)
    db = tone_db(mixer.bass & 0xFF);
  else if (band == TREBLE_SHOULDER_BAND)
    db = tone_db(mixer.treble & 0xFF) / 2;
  else if (band >= FIRST_TREBLE_BAND)
    db = tone_db(mixer.treble & 0xFF);
  return pcm_gain(side_level) * std::pow(10.0, db / 20);
}

std::string player_commands(const SoftMixer &mixer) {
  std::string text;
  text.reserve(size_t{2} * EQ_BANDS * 20);
  const int sides[2] = {mixer.pcm & 0xFF, mixer.pcm >> 8 & 0xFF};
  for (int channel = 1; channel <= 2; ++channel) {
    for (int band = 0; band < EQ_BANDS; ++band) {
      char line[48];
      // Six decimals: the smallest gain above silence (level 1, -37 dB) keeps three
      // figures.
      int n = snprintf(line, sizeof line, "EQ %d %d %.6f\n", channel, band,
                       band_gain(mixer, sides[channel - 1], band));
      text.append(line, static_cast<size_t>(n));
    }
  }
  return text;
}
