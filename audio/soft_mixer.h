#pragma once

// The OSS mixer of a machine that has none: what its requests do to its levels, and the
// player commands that give the sound those levels. Pure logic, apart from the device
// file and the player, for the daemon, its tests and its fuzzer.
//
// Channels: master volume, bass, treble and PCM, as an OSS card with a tone control has
// them. A level word holds the left level in bits 0 to 7 and the right in bits 8 to 15,
// each 0 to 100; bass and treble are mono channels, which take the left byte.
//
// The sound (mpg123's equalizer: a gain for each of its 32 bands, on each channel):
//   PCM 100 is the music as decoded; each step of 4 below it 1.5 dB less, so level 20 is
//   30 dB below, and every level down to 1 goes on in the same way; 0 is silence.
//   Bass and treble at level L change the lowest band (0 to 689 Hz at 44.1 kHz: the
//   bass around 100 Hz) and the bands from 5.5 kHz up (the treble around 10 kHz) by
//   (L - 50) x 12/50 dB, the band just below the treble by half that; the bands between
//   (1 kHz among them) are left alone.
//   The master volume is the card's own output, which this mixer leaves to the card: its
//   level is kept and read back, and changes nothing.

#include <cstddef>
#include <cstdint>
#include <string>

// OSS requests this mixer answers (the kernel's numbers, as <sys/soundcard.h> makes them:
// direction and size in the top bits, 'M' and the channel below).
inline constexpr uint32_t OSS_READ_DEVMASK = 0x80044DFE;
inline constexpr uint32_t OSS_READ_STEREODEVS = 0x80044DFB;
inline constexpr uint32_t OSS_READ_RECMASK = 0x80044DFD;
inline constexpr uint32_t OSS_READ_RECSRC = 0x80044DFF;
inline constexpr uint32_t OSS_READ_CAPS = 0x80044DFC;
inline constexpr uint32_t OSS_GETVERSION = 0x80044D76;
inline constexpr uint32_t OSS_READ_CHANNEL = 0x80044D00;  // + channel number
inline constexpr uint32_t OSS_WRITE_CHANNEL = 0xC0044D00; // + channel number

inline constexpr int OSS_CHANNEL_VOLUME = 0;
inline constexpr int OSS_CHANNEL_BASS = 1;
inline constexpr int OSS_CHANNEL_TREBLE = 2;
inline constexpr int OSS_CHANNEL_PCM = 4;
inline constexpr int OSS_DEVMASK = 1 << OSS_CHANNEL_VOLUME | 1 << OSS_CHANNEL_BASS |
                                   1 << OSS_CHANNEL_TREBLE | 1 << OSS_CHANNEL_PCM;
inline constexpr int OSS_STEREODEVS = 1 << OSS_CHANNEL_VOLUME | 1 << OSS_CHANNEL_PCM;
inline constexpr int OSS_VERSION = 0x040004; // the interface version these requests are of

// The number of the player's equalizer bands.
inline constexpr int EQ_BANDS = 32;

struct SoftMixer {
  // Level words as an OSS card starts: music at full level, tone neutral, and as the
  // requests have set them since.
  int master = 100 | 100 << 8;
  int bass = 50 | 50 << 8;
  int treble = 50 | 50 << 8;
  int pcm = 100 | 100 << 8;
};

// The outcome of one request: 0 and the int it answers with (the level word after a
// write, as a card reads it back), or a negative errno value (-EINVAL: not a request of
// this mixer; -EFAULT: its argument has not the size an int request carries).
struct MixerAnswer {
  int result = 0;
  int value = 0;
};

// Answers request `cmd` whose argument the caller passed in `in` (`in_size` bytes); a
// write changes `mixer` (each byte above 100 taken as 100, as OSS drivers do).
MixerAnswer answer_mixer_request(SoftMixer &mixer, uint32_t cmd, const void *in, size_t in_size);

// The gain of a PCM level (0 to 100, clamped) as a factor of the decoded music.
double pcm_gain(int level);
// The change in decibels bass or treble level L (0 to 100, clamped) makes to its band.
double tone_db(int level);
// The factor of band `band` (0 is the lowest) on one side at PCM level `level`.
double band_gain(const SoftMixer &mixer, int side_level, int band);

// The player's remote commands that give the sound the mixer's levels: one "EQ CHANNEL
// BAND FACTOR" line for every band of each channel (1 left, 2 right), each ending in a
// newline. All of it fits in one write to a pipe that no other writer can split.
std::string player_commands(const SoftMixer &mixer);
